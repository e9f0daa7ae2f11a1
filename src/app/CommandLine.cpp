#include "CommandLine.h"

CommandLine CommandLine::parse(const QStringList& arguments)
{
    CommandLine line;
    bool once = false, watch = false, help = false, version = false;
    for (const QString& argument : arguments) {
        if (argument == QLatin1String("--once"))
            once = true;
        else if (argument == QLatin1String("--watch"))
            watch = true;
        else if (argument == QLatin1String("--json"))
            line.json = true;
        else if (argument == QLatin1String("--help") || argument == QLatin1String("-h"))
            help = true;
        else if (argument == QLatin1String("--version") || argument == QLatin1String("-v"))
            version = true;
        else {
            line.action = Action::Error;
            line.error = argument.startsWith(QLatin1Char('-'))
                             ? QStringLiteral("unknown option '%1'").arg(argument)
                             : QStringLiteral("unexpected argument '%1'").arg(argument);
            return line;
        }
    }
    if (help)
        line.action = Action::Help;
    else if (version)
        line.action = Action::Version;
    else if (once && watch) {
        line.action = Action::Error;
        line.error = QStringLiteral("--once and --watch cannot be combined");
    } else if (once)
        line.action = Action::Once;
    else if (watch)
        line.action = Action::Watch;
    else if (line.json) {
        line.action = Action::Error;
        line.error = QStringLiteral("--json goes with --once or --watch");
    }
    return line;
}

QString CommandLine::helpText()
{
    return QStringLiteral(
        "Usage: velmoravovir [--once | --watch] [--json]\n"
        "Shows the machine's live vital signs: processor load, memory in use, network rates\n"
        "and battery.\n"
        "\n"
        "Without an option, opens the main window (or watches in the terminal when no display\n"
        "is available).\n"
        "\n"
        "  --once      take one sample and print the panel line by the current settings\n"
        "  --watch     print the panel line at every tick until interrupted\n"
        "  --json      with --once or --watch: print the raw figures as one JSON object a line\n"
        "  --help      show this help and exit\n"
        "  --version   show the version and exit\n"
        "\n"
        "Environment: VELMORA_SERVICE_URL replaces the address of the maker's service.\n");
}
