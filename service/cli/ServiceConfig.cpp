#include "ServiceConfig.h"

#include <QFile>
#include <QStringList>

std::optional<ServiceConfig> ServiceConfig::read(const QString& path, bool explicitlyGiven,
                                                 QString* error)
{
    ServiceConfig config;
    QFile file(path);
    if (!file.exists() && !explicitlyGiven)
        return config;
    // A configuration is a few lines; more is not one.
    constexpr qint64 kMaxBytes = 64 * 1024;
    if (!file.open(QIODevice::ReadOnly) || file.size() > kMaxBytes) {
        *error = QStringLiteral("cannot read the configuration %1: %2")
                     .arg(path, file.size() > kMaxBytes ? QStringLiteral("too large")
                                                        : file.errorString());
        return std::nullopt;
    }
    const QHash<QString, QString*> keys{{"listen", &config.listen},
                                        {"database", &config.database},
                                        {"database-password-file", &config.databasePasswordFile},
                                        {"console-listen", &config.consoleListen},
                                        {"console-behind-tls", &config.consoleBehindTls},
                                        {"notify-url", &config.notifyUrl}};
    int number = 0;
    for (const QString& raw : QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'))) {
        ++number;
        const QString line = raw.trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        const QString key = line.left(equals).trimmed();
        if (equals < 0 || !keys.contains(key)) {
            *error =
                QStringLiteral("%1, line %2: expected one of %3 = VALUE")
                    .arg(path)
                    .arg(number)
                    .arg(QStringList(keys.keyBegin(), keys.keyEnd()).join(QStringLiteral(", ")));
            return std::nullopt;
        }
        *keys.value(key) = line.mid(equals + 1).trimmed();
    }
    return config;
}
