#pragma once

#include "engine/Probe.h"
#include "platform/linux/probe/FileReader.h"

#include <string>

// Reads /proc and /sys below a root folder ("/" on a live system; a fixture tree in tests).
class LinuxProbe final : public Probe {
public:
    explicit LinuxProbe(std::string root = "/");

    std::optional<CpuTicks> readCpuTicks() override;
    MemoryReading readMemory() override;
    std::optional<NetCounters> readNetCounters() override;
    std::optional<BatterySnapshot> readBattery() override;

    // Whether an interface of this name is counted: wired and wireless Ethernet only, so that
    // loopback, bridges, tunnels and container links do not count traffic twice.
    static bool isCountedInterface(std::string_view name);

private:
    bool readSupplyFile(const char* supply, const char* file, std::string_view& value);
    bool readSupplyNumber(const char* supply, const char* file, unsigned long long& number);

    std::string m_statPath;
    std::string m_meminfoPath;
    std::string m_netDevPath;
    std::string m_powerSupplyDir;
    FileReader m_reader;
    FileReader m_smallReader{256};
};
