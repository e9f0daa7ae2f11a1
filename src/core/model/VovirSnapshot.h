#pragma once

#include <cstdint>
#include <optional>

// One reading of the battery, as the engine found it.
struct BatterySnapshot {
    int64_t percent = 0;
    bool isCharging = false;
    bool externalConnected = false;
    int64_t cycleCount = 0;
};

// One sample of every metric; made once per tick and handed out by value.
struct VovirSnapshot {
    double cpuPercent = 0;
    uint64_t memUsed = 0;
    uint64_t memTotal = 0;
    double downBps = 0;
    double upBps = 0;
    std::optional<BatterySnapshot> battery;
    // The processor package's temperature, read only while the history or an alert wants it.
    std::optional<double> temperatureC;
};
