#include "ServiceConfig.h"

#include <QFile>
#include <QStringList>

namespace {

// The usual spellings of a yes or a no; nothing for anything else.
std::optional<bool> yesOrNo(const QString& value)
{
    static const QStringList yes{"yes", "true", "on", "1", "oui"},
        no{"no", "false", "off", "0", "non"};
    if (yes.contains(value.toLower()))
        return true;
    if (no.contains(value.toLower()))
        return false;
    return std::nullopt;
}

} // namespace

QString ServiceConfig::where(const QString& key) const
{
    return QStringLiteral("%1, line %2: %3").arg(m_path).arg(m_lines.value(key)).arg(key);
}

std::optional<ServiceConfig> ServiceConfig::read(const QString& path, bool explicitlyGiven,
                                                 QString* error)
{
    ServiceConfig config;
    config.m_path = path;
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
    QString consoleBehindTls, retentionDays;
    const QHash<QString, QString*> keys{{"retention-days", &retentionDays},
                                        {"listen", &config.listen},
                                        {"database", &config.database},
                                        {"database-password-file", &config.databasePasswordFile},
                                        {"console-listen", &config.consoleListen},
                                        {"console-behind-tls", &consoleBehindTls},
                                        {"console-origin", &config.consoleOrigin},
                                        {"trusted-proxies", &config.trustedProxies},
                                        {"notify-url", &config.notifyUrl},
                                        {"smtp-url", &config.smtpUrl},
                                        {"smtp-credentials-file", &config.smtpCredentialsFile},
                                        {"smtp-ca-file", &config.smtpCaFile},
                                        {"mail-from", &config.mailFrom},
                                        {"reply-to", &config.replyTo},
                                        {"mail-signature", &config.mailSignature}};
    int number = 0;
    for (const QString& raw : QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'))) {
        ++number;
        const QString line = raw.trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        const QString key = line.left(equals).trimmed();
        if (equals < 0 || !keys.contains(key)) {
            QStringList names(keys.keyBegin(), keys.keyEnd());
            names.sort();
            *error = QStringLiteral("%1, line %2: expected one of %3 = VALUE")
                         .arg(path)
                         .arg(number)
                         .arg(names.join(QStringLiteral(", ")));
            return std::nullopt;
        }
        *keys.value(key) = line.mid(equals + 1).trimmed();
        config.m_lines.insert(key, number);
    }
    if (!consoleBehindTls.isEmpty()) {
        const std::optional<bool> behindTls = yesOrNo(consoleBehindTls);
        if (!behindTls) {
            *error = QStringLiteral("%1 takes yes or no, not \"%2\"")
                         .arg(config.where(QStringLiteral("console-behind-tls")), consoleBehindTls);
            return std::nullopt;
        }
        config.consoleBehindTls = *behindTls;
    }
    if (!retentionDays.isEmpty()) {
        bool ok = false;
        config.retentionDays = retentionDays.toInt(&ok);
        if (!ok || config.retentionDays < 1 || config.retentionDays > 36500) {
            *error = QStringLiteral("%1 takes a number of days from 1 to 36500, not \"%2\"")
                         .arg(config.where(QStringLiteral("retention-days")), retentionDays);
            return std::nullopt;
        }
    }
    return config;
}

std::optional<MailSettings> ServiceConfig::mail(QString* error) const
{
    MailSettings settings;
    if (smtpUrl.isEmpty())
        return settings;
    settings.relay = QUrl(smtpUrl);
    settings.caFile = smtpCaFile;
    settings.from = mailFrom;
    settings.replyTo = replyTo;
    if (!mailSignature.isEmpty())
        settings.signature = mailSignature;
    if (const auto problem = settings.problem()) {
        *error = m_path + QStringLiteral(": ") + *problem;
        return std::nullopt;
    }
    if (!smtpCredentialsFile.isEmpty() && !settings.readCredentials(smtpCredentialsFile, error))
        return std::nullopt;
    return settings;
}
