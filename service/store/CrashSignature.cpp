#include "CrashSignature.h"

#include <QCryptographicHash>
#include <QRegularExpression>
#include <QStringList>

namespace {

// Frames that decide the group: deeper ones vary with the caller, not the fault.
constexpr int kSignatureFrames = 5;

// "[0x7f3a…]" and gdb's "#0  0x00007f3a… in": where the code happened to be loaded. A hex
// number after "+" is an offset inside its function or module and is kept.
QString withoutAddresses(QString text)
{
    static const QRegularExpression addresses(QStringLiteral("(?<!\\+)\\b0x[0-9a-fA-F]+"));
    return text.replace(addresses, QStringLiteral("?")).simplified();
}

} // namespace

QString crashSignature(const QString& kind, const QString& message, const QString& stack,
                       const QString& version)
{
    QStringList parts{kind, version, withoutAddresses(message)};
    const QStringList frames = stack.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString& frame : frames.mid(0, kSignatureFrames))
        parts << withoutAddresses(frame);
    const QByteArray digest =
        QCryptographicHash::hash(parts.join(QLatin1Char('\n')).toUtf8(), QCryptographicHash::Sha1);
    return QString::fromLatin1(digest.toHex().left(16));
}
