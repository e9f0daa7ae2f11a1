// The floor under the panel mode: --watch itself (the terminal mode, its ticks and its line), run
// in the GUI toolkit's event loop (QApplication), with no item, window or bus. Measured beside
// --watch by bench_panel.sh, it tells what the toolkit alone costs per tick.
#include "app/terminal/TerminalMode.h"
#include "engine/VovirEngine.h"

#include <QApplication>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("VelmoraVovir"));
    TerminalMode terminal(VovirEngine::shared(), TerminalMode::Repeat::Watch, false);
    return terminal.run();
}
