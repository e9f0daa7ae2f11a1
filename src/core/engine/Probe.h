#pragma once

#include "model/VovirDetails.h"
#include "model/VovirSnapshot.h"

#include <cstdint>
#include <optional>

// Summed processor ticks since boot over all processors.
struct CpuTicks {
    uint64_t busy = 0;  // user + nice + system
    uint64_t total = 0; // busy + idle
};

struct MemoryReading {
    uint64_t total = 0;
    // Absent when the system would not say; the engine then reports 0 in use.
    std::optional<uint64_t> used;
};

// Summed byte counters of the counted network interfaces.
struct NetCounters {
    uint64_t down = 0;
    uint64_t up = 0;
};

// Raw system readings; one implementation per operating system. Absent means "could not be
// read this time", never an error to report.
class Probe {
public:
    virtual ~Probe() = default;
    virtual std::optional<CpuTicks> readCpuTicks() = 0;
    virtual MemoryReading readMemory() = 0;
    virtual std::optional<NetCounters> readNetCounters() = 0;
    virtual std::optional<BatterySnapshot> readBattery() = 0;
    // The readings beyond the four figures, rates measured since the call before (nowNs on a
    // monotonic clock); the top programs only when asked. None on a system that lacks them.
    virtual VovirDetails readDetails(int64_t /*nowNs*/, bool /*programs*/) { return {}; }
    // The processor package's temperature in degrees Celsius, cheap enough for every sample.
    virtual std::optional<double> readTemperature() { return {}; }
};
