#pragma once

#include "model/VovirSnapshot.h"

#include <QString>

#include <cstdint>
#include <optional>

// French texts of the figures: byte units in multiples of 1024, decimal comma.
namespace VovirFormat {

QString percent(double value);               // "23 %"
QString gigabytes(uint64_t bytes);           // "7,9 Go"
QString rate(double bytesPerSecond);         // "12 Ko", "1,5 Mo", "1,00 Go"
QString ratePerSec(double bytesPerSecond);   // "12 Ko/s"
QString decimal(double value, int decimals); // "0,52": ties to even, always a comma
QString celsius(double degrees);             // "52 °C"
QString watts(double value);                 // "10,2 W"
QString gigahertz(double megahertz);         // "1,6 GHz"
QString duration(int64_t seconds);           // "2 h 05", "45 min"
QString spokenDuration(int64_t seconds);     // "45 s", "2 min", "1 h", "1 h 05"
QString ago(int64_t seconds);                // "maintenant", "il y a 40 s", "il y a 12 min"

// How wide the panel line's figures are: as they come, or each held at the width of its widest
// value with figure spaces, so that a panel drawing the line in its own font does not move.
enum class Width { Natural, Steady };

// The panel line by the current settings; absent when no metric is to be shown.
std::optional<QString> menuBarText(const VovirSnapshot& snapshot, Width width = Width::Natural);

// The widest line the current settings can produce, so that a panel can reserve its width.
QString menuBarGuide(Width width = Width::Natural);

} // namespace VovirFormat
