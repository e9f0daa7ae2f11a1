#pragma once

#include "engine/Probe.h"

#include <cstdint>

// Pure arithmetic from two readings; each figure of the program is defined here once.
namespace Rates {

// Load between two tick readings, 0 to 100. 0 when nothing progressed or a counter went
// backwards (a processor went offline, a counter reset).
double cpuLoad(const CpuTicks& previous, const CpuTicks& current);

struct NetRates {
    double down = 0;
    double up = 0;
};

// Readings closer than this give 0: the counters move in steps too coarse for a short window.
inline constexpr int64_t kMinimumRateWindowNs = 200'000'000;

// Bytes per second between two counter readings taken elapsedNs apart on a monotonic clock.
NetRates netRates(const NetCounters& previous, const NetCounters& current, int64_t elapsedNs);

// In-use memory, never above the installed total.
uint64_t memoryInUse(uint64_t total, uint64_t available);

} // namespace Rates
