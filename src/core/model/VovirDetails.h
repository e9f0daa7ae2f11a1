#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The readings beyond the four figures, read only while something shows them. A reading the
// machine lacks, or that could not be read or made no sense this time, is absent: never 0 or a
// guess. Rates and loads are measured since the reading before; the first reading has none.

struct ProcessorDetails {
    std::vector<double> coreLoads;      // percent, one per processor in the kernel's order
    std::optional<double> frequencyMHz; // mean of the processors' current frequencies
    std::optional<double> temperatureC; // the package's
    std::optional<std::array<double, 3>> loadAverage; // 1, 5 and 15 minutes
};

struct MemoryDetails {
    std::optional<uint64_t> swapUsed;  // bytes
    std::optional<uint64_t> swapTotal; // bytes; 0 when the machine has no swap
    std::optional<uint64_t> cached;    // bytes of file cache
    std::optional<double> pressure;    // percent of the last 10 s some task waited for memory
};

struct LinkDetails {
    std::string name;
    std::optional<double> downBps;
    std::optional<double> upBps;
    bool defaultRoute = false; // the link the default route leaves by
};

struct BatteryDetails {
    std::optional<int64_t> secondsToEmpty; // while discharging
    std::optional<int64_t> secondsToFull;  // while charging
    std::optional<double> chargingWatts;
    std::optional<double> dischargingWatts;
    std::optional<double> healthPercent; // full capacity over design capacity
    std::optional<int64_t> cycleCount;
};

struct FileSystemDetails {
    std::string mountPoint; // "/" or the home folder, when it is a file system of its own
    uint64_t usedBytes = 0;
    uint64_t freeBytes = 0; // available to the user
};

struct DiskDetails {
    std::string name; // the kernel's: "nvme0n1", "sda"
    std::optional<double> readBps;
    std::optional<double> writeBps;
    std::optional<double> temperatureC;
};

struct ProgramDetails {
    std::string name;
    std::optional<double> cpuPercent; // share of the whole machine since the reading before
    uint64_t memoryBytes = 0;         // resident
};

struct VovirDetails {
    ProcessorDetails processor;
    MemoryDetails memory;
    std::vector<LinkDetails> links;
    std::optional<BatteryDetails> battery;
    std::vector<FileSystemDetails> fileSystems;
    std::vector<DiskDetails> disks;
    // The three programs using most processor time and most memory; empty unless asked for.
    std::vector<ProgramDetails> topProcessor;
    std::vector<ProgramDetails> topMemory;
};
