#include "CrashSignature.h"

#include <QCryptographicHash>
#include <QRegularExpression>
#include <QStringList>

namespace {

// Frames that decide the group: deeper ones vary with the caller, not the fault.
constexpr int kSignatureFrames = 5;

QString withoutAddresses(QString text)
{
    static const QRegularExpression addresses(QStringLiteral("0x[0-9a-fA-F]+|\\+[0-9]+\\b"));
    return text.replace(addresses, QStringLiteral("?")).simplified();
}

} // namespace

QString crashSignature(const QString& kind, const QString& message, const QString& stack)
{
    QStringList parts{kind, withoutAddresses(message)};
    const QStringList frames = stack.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString& frame : frames.mid(0, kSignatureFrames))
        parts << withoutAddresses(frame);
    const QByteArray digest =
        QCryptographicHash::hash(parts.join(QLatin1Char('\n')).toUtf8(), QCryptographicHash::Sha1);
    return QString::fromLatin1(digest.toHex().left(16));
}
