#include "AutostartLoginItem.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

namespace {

// An entry starts the program unless it is hidden or disabled for GNOME.
bool entryEnables(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    bool inMainGroup = false;
    for (const QByteArray& raw : file.read(256 * 1024).split('\n')) {
        const QByteArray line = raw.trimmed();
        if (line.startsWith('[')) {
            inMainGroup = line == "[Desktop Entry]";
            continue;
        }
        if (!inMainGroup)
            continue;
        const int eq = line.indexOf('=');
        if (eq < 0)
            continue;
        const QByteArray key = line.left(eq).trimmed();
        const QByteArray value = line.mid(eq + 1).trimmed();
        if (key == "Hidden" && value == "true")
            return false;
        if (key == "X-GNOME-Autostart-enabled" && value == "false")
            return false;
    }
    return true;
}

// The Exec value of a desktop entry: quoted when it holds characters the format reserves, and
// "%" doubled wherever it is, since alone it starts a field code (an install path such as
// /opt/50%/ would otherwise make the entry invalid).
QString execValue(const QString& program)
{
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    bool quote = false;
    for (QChar c : program)
        quote = quote || reserved.contains(c);
    if (!quote)
        return QString(program).replace(QLatin1Char('%'), QStringLiteral("%%"));
    QString escaped = QString(program).replace(QLatin1Char('%'), QStringLiteral("%%"));
    escaped.replace(QLatin1Char('\\'), QStringLiteral("\\\\\\\\"))
        .replace(QLatin1Char('"'), QStringLiteral("\\\\\""))
        .replace(QLatin1Char('`'), QStringLiteral("\\\\`"))
        .replace(QLatin1Char('$'), QStringLiteral("\\\\$"));
    return QLatin1Char('"') + escaped + QLatin1Char('"');
}

} // namespace

AutostartLoginItem::AutostartLoginItem(QString desktopId, QString executable, QString configHome,
                                       QStringList configDirs)
    : m_desktopId(std::move(desktopId)), m_executable(std::move(executable)),
      m_configHome(std::move(configHome)), m_configDirs(std::move(configDirs))
{
}

std::unique_ptr<AutostartLoginItem> AutostartLoginItem::forCurrentUser()
{
    QString home = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (home.isEmpty())
        home = QDir::homePath() + QStringLiteral("/.config");
    QStringList dirs =
        qEnvironmentVariable("XDG_CONFIG_DIRS").split(QLatin1Char(':'), Qt::SkipEmptyParts);
    if (dirs.isEmpty())
        dirs << QStringLiteral("/etc/xdg");
    // The command the user started (it hands over to this window program), by its full path.
    QString program = qEnvironmentVariable("VELMORA_LAUNCHER");
    if (program.isEmpty())
        program = QCoreApplication::applicationFilePath();
    return std::make_unique<AutostartLoginItem>(QStringLiteral("velmoravovir"), program, home,
                                                dirs);
}

QString AutostartLoginItem::userEntryPath() const
{
    return m_configHome + QStringLiteral("/autostart/") + m_desktopId + QStringLiteral(".desktop");
}

QString AutostartLoginItem::systemEntryPath() const
{
    for (const QString& dir : m_configDirs) {
        const QString path =
            dir + QStringLiteral("/autostart/") + m_desktopId + QStringLiteral(".desktop");
        if (QFile::exists(path))
            return path;
    }
    return {};
}

bool AutostartLoginItem::isEnabled() const
{
    if (QFile::exists(userEntryPath()))
        return entryEnables(userEntryPath());
    const QString system = systemEntryPath();
    return !system.isEmpty() && entryEnables(system);
}

bool AutostartLoginItem::writeEntry(bool hidden, QString* error) const
{
    const QString folder = QFileInfo(userEntryPath()).absolutePath();
    if (!QDir().mkpath(folder)) {
        if (error)
            *error = QStringLiteral("cannot create the folder %1").arg(folder);
        return false;
    }
    QByteArray entry =
        "[Desktop Entry]\nType=Application\nName=VelmoraVovir\n"
        "Comment=Processeur, mémoire, réseau et batterie en direct\n"
        "Icon=velmoravovir\nExec=" +
        execValue(m_executable).toUtf8() +
        // The desktop skips the entry once the program is gone (package removed).
        "\nTryExec=" +
        QString(m_executable).replace(QLatin1Char('\\'), QStringLiteral("\\\\")).toUtf8() +
        "\nTerminal=false\n";
    entry += hidden ? "Hidden=true\n" : "X-GNOME-Autostart-enabled=true\n";
    QSaveFile file(userEntryPath());
    if (!file.open(QIODevice::WriteOnly) || file.write(entry) != entry.size() || !file.commit()) {
        if (error)
            *error = QStringLiteral("cannot write %1: %2").arg(userEntryPath(), file.errorString());
        return false;
    }
    return true;
}

bool AutostartLoginItem::setEnabled(bool on, QString* error)
{
    if (on)
        return writeEntry(false, error);
    // A system-wide entry can only be overridden by a hidden entry of the user's own.
    if (!systemEntryPath().isEmpty())
        return writeEntry(true, error);
    QFile file(userEntryPath());
    if (file.exists() && !file.remove()) {
        if (error)
            *error =
                QStringLiteral("cannot remove %1: %2").arg(userEntryPath(), file.errorString());
        return false;
    }
    return true;
}
