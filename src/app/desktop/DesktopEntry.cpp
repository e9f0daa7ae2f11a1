#include "app/terminal/TerminalMode.h"
#include "engine/VovirEngine.h"

#include <QCoreApplication>

// Until the window exists, a display session gets the live line in the terminal too.
int runDesktop(int& argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("VelmoraVovir"));
    TerminalMode terminal(VovirEngine::shared(), TerminalMode::Repeat::Watch, false);
    return terminal.run();
}
