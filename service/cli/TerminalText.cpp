#include "TerminalText.h"

QString terminalSafe(const QString& text, const QString& indent)
{
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u == '\n') {
            out += QLatin1Char('\n') + indent;
        } else if (u < 0x20 || (u >= 0x7f && u < 0xa0)) {
            out += QStringLiteral("\\x%1").arg(u, 2, 16, QLatin1Char('0'));
        } else if ((u >= 0x202a && u <= 0x202e) || (u >= 0x2066 && u <= 0x2069) || u == 0x200e ||
                   u == 0x200f || u == 0x061c) {
            out += QStringLiteral("\\u%1").arg(u, 4, 16, QLatin1Char('0'));
        } else {
            out += c;
        }
    }
    return out;
}
