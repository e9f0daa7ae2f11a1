#include "AppDelegate.h"
#include "SingleInstance.h"
#include "views/Symbols.h"

#include <QApplication>

#include <cstdio>

// The desktop application: one copy per user, the delegate driving everything else.
int runDesktop(int& argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("VelmoraVovir"));
    QApplication::setApplicationDisplayName(QStringLiteral("VelmoraVovir"));
    QGuiApplication::setDesktopFileName(QStringLiteral("velmoravovir"));
    QApplication::setWindowIcon(applicationIcon());
    // The delegate decides when closing a window quits (task-bar mode only).
    QApplication::setQuitOnLastWindowClosed(false);

    SingleInstance instance;
    if (instance.handOverToRunningInstance()) {
        std::fputs("velmoravovir: already running; showing its window\n", stderr);
        return 0;
    }
    if (!instance.listen())
        std::fputs("velmoravovir: cannot watch for later launches; a second copy may start\n",
                   stderr);

    AppDelegate delegate;
    QObject::connect(&instance, &SingleInstance::activationRequested, &delegate,
                     &AppDelegate::showMainWindow);
    QObject::connect(&delegate, &AppDelegate::quitRequested, &app, &QApplication::quit,
                     Qt::QueuedConnection);
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &delegate,
                     &AppDelegate::applicationWillTerminate);
    delegate.applicationDidFinishLaunching();
    return QApplication::exec();
}
