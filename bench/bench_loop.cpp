// The floor under the panel mode: the engine's ticks and the live line, as --watch does them,
// but in the GUI toolkit's event loop (QApplication), with no item, window or bus. Measured
// beside --watch by bench_panel.sh, it tells what the toolkit alone costs per tick.
#include "engine/VovirEngine.h"
#include "format/VovirFormat.h"

#include <QApplication>

#include <cstdio>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("VelmoraVovir"));
    VovirEngine& engine = VovirEngine::shared();
    engine.onUpdate = [](const VovirSnapshot& snapshot) {
        std::puts(VovirFormat::menuBarText(snapshot).value_or(QString()).toUtf8().constData());
        std::fflush(stdout);
    };
    engine.start();
    return app.exec();
}
