#pragma once

#include <QString>

// What groups reports of the same crash: the kind, the message and the top frames, without
// the addresses and offsets that change from one run (or build) to the next.
QString crashSignature(const QString& kind, const QString& message, const QString& stack);
