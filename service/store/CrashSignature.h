#pragma once

#include <QString>

// What groups reports of the same crash: the kind, the message, the top frames and the
// version. Absolute addresses change from one run to the next (address-space randomisation)
// and are left out; an offset inside a module names the place in that build, so it stays, and
// so does the version that gives it its meaning.
QString crashSignature(const QString& kind, const QString& message, const QString& stack,
                       const QString& version);
