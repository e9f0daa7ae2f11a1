#include "Rates.h"

#include <algorithm>

namespace Rates {

double cpuLoad(const CpuTicks& previous, const CpuTicks& current)
{
    if (current.total <= previous.total || current.busy < previous.busy)
        return 0;
    const double busy = double(current.busy - previous.busy);
    const double total = double(current.total - previous.total);
    return std::clamp(busy / total * 100.0, 0.0, 100.0);
}

NetRates netRates(const NetCounters& previous, const NetCounters& current, int64_t elapsedNs)
{
    // No wrap correction: a counter going backwards means an interface went away or reset.
    if (elapsedNs <= kMinimumRateWindowNs || current.down < previous.down ||
        current.up < previous.up)
        return {};
    const double seconds = double(elapsedNs) / 1e9;
    return {double(current.down - previous.down) / seconds,
            double(current.up - previous.up) / seconds};
}

uint64_t memoryInUse(uint64_t total, uint64_t available)
{
    return available >= total ? 0 : std::min(total - available, total);
}

} // namespace Rates
