#include "MailSettings.h"

#include <QFile>
#include <QRegularExpression>

std::optional<QString> addressProblem(const QString& address)
{
    if (address.contains(QLatin1Char('\r')) || address.contains(QLatin1Char('\n')))
        return QStringLiteral("l'adresse contient un retour à la ligne");
    // The relay is not asked for SMTPUTF8: local parts and domains in ASCII (IDNs as
    // punycode), as RFC 5321 measures them.
    static const QRegularExpression plain(QStringLiteral(
        "^[A-Za-z0-9.!#$%&'*+/=?^_`{|}~-]{1,64}@[A-Za-z0-9](?:[A-Za-z0-9-]{0,61}[A-Za-z0-9])?"
        "(?:\\.[A-Za-z0-9](?:[A-Za-z0-9-]{0,61}[A-Za-z0-9])?)+$"));
    if (address.size() > 254 || !plain.match(address).hasMatch())
        return QStringLiteral("« %1 » n'est pas une adresse e-mail utilisable")
            .arg(address.left(80));
    return std::nullopt;
}

std::optional<QString> MailSettings::problem() const
{
    const QString scheme = relay.scheme();
    if (!relay.isValid() || relay.host().isEmpty() ||
        (scheme != QLatin1String("smtps") && scheme != QLatin1String("smtp")) ||
        !relay.path().isEmpty() || !relay.userName().isEmpty())
        return QStringLiteral("smtp-url takes smtps://HOST[:PORT] or smtp://HOST[:PORT] (with "
                              "STARTTLS), the credentials in smtp-credentials-file");
    if (from.isEmpty() || addressProblem(from))
        return QStringLiteral("mail-from takes the sender's address, e.g. support@example.org");
    if (!replyTo.isEmpty() && addressProblem(replyTo))
        return QStringLiteral("reply-to takes an address, e.g. support@example.org");
    if (signature.contains(QLatin1Char('\r')))
        return QStringLiteral("mail-signature is one line");
    return std::nullopt;
}

bool MailSettings::readCredentials(const QString& file, QString* error)
{
    QFile in(file);
    if (!in.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read the SMTP credentials file %1: %2")
                     .arg(file, in.errorString());
        return false;
    }
    const QStringList lines = QString::fromUtf8(in.read(4096)).split(QLatin1Char('\n'));
    user = lines.value(0).trimmed();
    password = lines.value(1).trimmed();
    if (user.isEmpty() || password.isEmpty()) {
        *error = QStringLiteral("%1: expected the user on the first line and the password on "
                                "the second")
                     .arg(file);
        return false;
    }
    return true;
}
