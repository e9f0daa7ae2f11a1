#include "AppInfo.h"

#include <QFile>
#include <QList>

#include <sys/utsname.h>

namespace AppInfo {
namespace {

const char* const kServiceBase = "https://service.velmoralabs.ch";

QString osReleaseValue(const QByteArray& text, const QByteArray& key)
{
    for (const QByteArray& raw : text.split('\n')) {
        const QByteArray line = raw.trimmed();
        if (!line.startsWith(key + '='))
            continue;
        QByteArray value = line.mid(key.size() + 1);
        // Values may be quoted with single or double quotes (os-release(5)).
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
            value.back() == value.front())
            value = value.mid(1, value.size() - 2);
        return QString::fromUtf8(value).trimmed();
    }
    return {};
}

} // namespace

QString version()
{
#ifdef VELMORA_VERSION
    return QStringLiteral(VELMORA_VERSION);
#else
    return QStringLiteral("?");
#endif
}

QString systemDescriptionFrom(const QByteArray& osRelease, const QString& kernelRelease)
{
    const QString name = osReleaseValue(osRelease, "NAME");
    const QString versionId = osReleaseValue(osRelease, "VERSION_ID");
    if (!name.isEmpty())
        return versionId.isEmpty() ? name : name + QLatin1Char(' ') + versionId;
    // Kernel "6.1.0-18-amd64" -> "Linux 6.1".
    const QStringList parts = kernelRelease.split(QLatin1Char('.'));
    QString majorMinor = parts.value(0);
    if (parts.size() > 1) {
        QString minor;
        for (QChar c : parts[1]) {
            if (!c.isDigit())
                break;
            minor += c;
        }
        if (!minor.isEmpty())
            majorMinor += QLatin1Char('.') + minor;
    }
    return QStringLiteral("Linux ") + majorMinor;
}

QString systemDescription()
{
    QByteArray osRelease;
    for (const char* path : {"/etc/os-release", "/usr/lib/os-release"}) {
        QFile file(QString::fromLatin1(path));
        if (file.open(QIODevice::ReadOnly)) {
            osRelease = file.read(64 * 1024);
            break;
        }
    }
    utsname uts{};
    const QString kernel = uname(&uts) == 0 ? QString::fromLatin1(uts.release) : QString();
    return systemDescriptionFrom(osRelease, kernel);
}

QUrl serviceUrl(const QString& path)
{
    QString base = qEnvironmentVariable("VELMORA_SERVICE_URL");
    if (base.isEmpty())
        base = QString::fromLatin1(kServiceBase);
    while (base.endsWith(QLatin1Char('/')))
        base.chop(1);
    return QUrl(base + path);
}

} // namespace AppInfo
