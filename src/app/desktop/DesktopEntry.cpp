#include "AlertPresenter.h"
#include "AppDelegate.h"
#include "QtFrench.h"
#include "SingleInstance.h"
#include "views/Palette.h"
#include "views/Symbols.h"

#include <QApplication>

#include <cstdio>
#include <unistd.h>

// The desktop application: one copy per user, the delegate driving everything else.
int runDesktop(int& argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("VelmoraVovir"));
    QApplication::setApplicationDisplayName(QStringLiteral("VelmoraVovir"));
    QGuiApplication::setDesktopFileName(QStringLiteral("velmoravovir"));
    QApplication::setWindowIcon(applicationIcon());
    installQtFrench(app);
    readDesktopContrast();
    // The delegate decides when closing a window quits (task-bar mode only).
    QApplication::setQuitOnLastWindowClosed(false);

    SingleInstance instance;
    switch (instance.handOverToRunningInstance()) {
    case SingleInstance::HandOver::Done:
        std::fputs("velmoravovir : déjà lancé ; sa fenêtre s'affiche\n", stderr);
        return 0;
    case SingleInstance::HandOver::Unresponsive:
        // Paused or busy, but alive: a second copy would run beside it.
        std::fputs("velmoravovir : une copie déjà lancée ne répond pas ; pas de seconde copie\n",
                   stderr);
        // Launched from the desktop's menu, nobody reads standard error.
        if (!::isatty(STDERR_FILENO))
            MessageBoxPresenter().run(
                {QStringLiteral("VelmoraVovir ne répond pas"),
                 QStringLiteral("Une copie de VelmoraVovir déjà lancée ne répond pas. Quitte-la "
                                "(ou ferme la session), puis relance VelmoraVovir."),
                 {QStringLiteral("OK")}},
                nullptr);
        return 1;
    case SingleInstance::HandOver::NoneRunning:
    case SingleInstance::HandOver::Foreign:
        break;
    }
    if (!instance.listen())
        std::fputs("velmoravovir : impossible de surveiller les lancements suivants ; une seconde "
                   "copie pourrait démarrer\n",
                   stderr);

    AppDelegate delegate;
    QObject::connect(&instance, &SingleInstance::activationRequested, &delegate,
                     [&delegate](const QString& token) {
                         // Qt's Wayland activation presents the token of the launch that asked,
                         // without which the compositor leaves a covered window where it is.
                         if (!token.isEmpty())
                             qputenv("XDG_ACTIVATION_TOKEN", token.toLatin1());
                         delegate.showMainWindow();
                     });
    QObject::connect(&delegate, &AppDelegate::quitRequested, &app, &QApplication::quit,
                     Qt::QueuedConnection);
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &delegate,
                     &AppDelegate::applicationWillTerminate);
    delegate.applicationDidFinishLaunching();
    return QApplication::exec();
}
