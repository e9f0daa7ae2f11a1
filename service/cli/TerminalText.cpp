#include "TerminalText.h"

namespace {

// Characters that change how a terminal shows what follows: C1 controls (some terminals read
// them as escape sequences) and bidirectional overrides and marks (they reorder the line).
bool isC1(char16_t u)
{
    return u >= 0x7f && u < 0xa0;
}

bool isBidiControl(char16_t u)
{
    return (u >= 0x202a && u <= 0x202e) || (u >= 0x2066 && u <= 0x2069) || u == 0x200e ||
           u == 0x200f || u == 0x061c;
}

QString escaped(char16_t u, int digits, const char* prefix)
{
    return QLatin1String(prefix) + QStringLiteral("%1").arg(u, digits, 16, QLatin1Char('0'));
}

} // namespace

QString terminalSafe(const QString& text, const QString& indent)
{
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u == '\n')
            out += QLatin1Char('\n') + indent;
        else if (u == '\t') // moves the cursor on, never back: harmless, and errors carry them
            out += c;
        else if (u < 0x20 || isC1(u))
            out += escaped(u, 2, "\\x");
        else if (isBidiControl(u))
            out += escaped(u, 4, "\\u");
        else
            out += c;
    }
    return out;
}

QString terminalSafeJson(const QString& json)
{
    // JSON escapes C0 controls itself; the others are written as JSON escapes, which read back
    // as the same text.
    QString out;
    out.reserve(json.size());
    for (const QChar c : json) {
        const char16_t u = c.unicode();
        if (isC1(u) || isBidiControl(u))
            out += escaped(u, 4, "\\u");
        else
            out += c;
    }
    return out;
}
