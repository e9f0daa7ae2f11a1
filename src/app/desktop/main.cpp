// The window program; users start it through the velmoravovir command.
int runDesktop(int& argc, char** argv);

int main(int argc, char** argv)
{
    return runDesktop(argc, argv);
}
