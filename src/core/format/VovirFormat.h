#pragma once

#include "model/VovirSnapshot.h"

#include <QString>

#include <cstdint>
#include <optional>

// French texts of the figures: byte units in multiples of 1024, decimal comma.
namespace VovirFormat {

QString percent(double value);             // "23 %"
QString gigabytes(uint64_t bytes);         // "7,9 Go"
QString rate(double bytesPerSecond);       // "12 Ko", "1,5 Mo", "1,00 Go"
QString ratePerSec(double bytesPerSecond); // "12 Ko/s"

// The panel line by the current settings; absent when no metric is to be shown.
std::optional<QString> menuBarText(const VovirSnapshot& snapshot);

// The widest line the current settings can produce, so that a panel can reserve its width.
QString menuBarGuide();

} // namespace VovirFormat
