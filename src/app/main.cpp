#include "app/CommandLine.h"
#include "app/terminal/TerminalMode.h"
#include "engine/VovirEngine.h"
#include "service/AppInfo.h"

#include <QCoreApplication>

#include <cstdio>

int runDesktop(int& argc, char** argv);

namespace {

bool hasDisplay()
{
    return !qEnvironmentVariableIsEmpty("DISPLAY") ||
           !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
           !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
}

} // namespace

int main(int argc, char** argv)
{
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    CommandLine line = CommandLine::parse(arguments);

    switch (line.action) {
    case CommandLine::Action::Help:
        std::fputs(qPrintable(CommandLine::helpText()), stdout);
        return 0;
    case CommandLine::Action::Version:
        std::printf("velmoravovir %s\n", qPrintable(AppInfo::version()));
        return 0;
    case CommandLine::Action::Error:
        std::fprintf(stderr, "velmoravovir: %s\nTry 'velmoravovir --help' for more information.\n",
                     qPrintable(line.error));
        return 2;
    case CommandLine::Action::Window:
        if (hasDisplay())
            return runDesktop(argc, argv);
        std::fputs("velmoravovir: no display available; printing the live line here instead "
                   "(Ctrl+C stops)\n",
                   stderr);
        line.action = CommandLine::Action::Watch;
        break;
    default:
        break;
    }

    // The terminal mode needs no GUI: a plain core application keeps it light.
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("VelmoraVovir"));
    TerminalMode terminal(VovirEngine::shared(),
                          line.action == CommandLine::Action::Once ? TerminalMode::Repeat::Once
                                                                   : TerminalMode::Repeat::Watch,
                          line.json);
    return terminal.run();
}
