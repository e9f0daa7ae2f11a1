#pragma once

#include <QString>

// Text from a request made safe for the maker's terminal: control characters (escape sequences
// included) and bidirectional overrides are written out as \x.. or \u...., never sent raw.
// Line breaks stay, indented by `indent`.
QString terminalSafe(const QString& text, const QString& indent = QString());

// JSON text made safe for the terminal the same way, still valid JSON with the same meaning.
QString terminalSafeJson(const QString& json);
