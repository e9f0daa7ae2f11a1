// The command: terminal modes in this lean process (Qt Core only), the window in the desktop
// executable it hands over to. A status bar running --watch all day never loads the GUI.
#include "app/CommandLine.h"
#include "app/alerts/AlertCenter.h"
#include "app/terminal/TerminalMode.h"
#include "crash/CrashReporter.h"
#include "engine/VovirEngine.h"
#include "service/AppInfo.h"
#include "settings/UserDefaults.h"
#include "settings/VovirSettings.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

bool hasDisplay()
{
    return !qEnvironmentVariableIsEmpty("DISPLAY") ||
           !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
           !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
}

// Beside this program in a build tree; in libexec once installed.
QByteArray desktopExecutable(const QString& self)
{
    const QDir here = QFileInfo(self).absoluteDir();
    for (const QString& candidate :
         {here.filePath(QStringLiteral("velmoravovir-desktop")),
          here.filePath(QStringLiteral(VELMORA_DESKTOP_RELATIVE_PATH))}) {
        if (QFileInfo(candidate).isExecutable())
            return QFile::encodeName(QDir::cleanPath(candidate));
    }
    return {};
}

QString selfPath()
{
    char self[4096] = {};
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    return n > 0 ? QString::fromLocal8Bit(self, int(n)) : QString();
}

int runWindow(char** argv)
{
    const QByteArray desktop = desktopExecutable(selfPath());
    if (desktop.isEmpty()) {
        std::fputs("velmoravovir : le programme de la fenêtre (velmoravovir-desktop) n'est pas "
                   "installé à côté de celui-ci ; essaie --watch\n",
                   stderr);
        return 1;
    }
    // The autostart entry should start this command, not the program behind it.
    qputenv("VELMORA_LAUNCHER", QFile::encodeName(selfPath()));
    argv[0] = const_cast<char*>(desktop.constData());
    ::execv(desktop.constData(), argv);
    std::fprintf(stderr, "velmoravovir : impossible de lancer %s : %s\n", desktop.constData(),
                 std::strerror(errno));
    return 1;
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
        std::fprintf(stderr,
                     "velmoravovir : %s\nEssaie « velmoravovir --help » pour en savoir plus.\n",
                     qPrintable(line.error));
        return 2;
    case CommandLine::Action::Window:
        if (hasDisplay())
            return runWindow(argv);
        std::fputs("velmoravovir : aucun écran disponible ; la ligne en direct s'affiche ici "
                   "(Ctrl+C arrête)\n",
                   stderr);
        line.action = CommandLine::Action::Watch;
        break;
    default:
        break;
    }

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("VelmoraVovir"));
    // The terminal modes only read the settings: a broken file is left for the window, which
    // sets it aside and keeps the device's identifier.
    static UserDefaults settings(UserDefaults::standardPath(), UserDefaults::Broken::LeaveAlone);
    VovirSettings::setStore(&settings);
    // A status bar's --watch runs all day: its crashes are reported like the window's, and it
    // sends what earlier runs left. --once only records.
    if (line.action == CommandLine::Action::Watch)
        CrashReporter::install();
    else
        CrashReporter::installHandlers(CrashReporter::defaultPaths().pendingFile);
    CrashReporter::setRunContext(CrashReporter::runContext(QStringLiteral("terminal")));
    TerminalMode terminal(VovirEngine::shared(),
                          line.action == CommandLine::Action::Once ? TerminalMode::Repeat::Once
                                                                   : TerminalMode::Repeat::Watch,
                          line.json);
    if (!line.format.isEmpty()) {
        QString unused;
        terminal.setTemplate(*StatusTemplate::parse(line.format, &unused));
    }
    // "Ouvrir VelmoraVovir" on an alert starts the window, or brings the running one forward.
    if (AlertCenter* alerts = terminal.alerts())
        QObject::connect(alerts, &AlertCenter::openRequested, [] {
            const QByteArray desktop = desktopExecutable(selfPath());
            qputenv("VELMORA_LAUNCHER", QFile::encodeName(selfPath()));
            if (!desktop.isEmpty())
                QProcess::startDetached(QFile::decodeName(desktop), {});
        });
    return terminal.run();
}
