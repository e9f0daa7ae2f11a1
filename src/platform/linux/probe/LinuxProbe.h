#pragma once

#include "engine/Probe.h"
#include "platform/linux/probe/FileReader.h"

#include <string>
#include <utility>
#include <vector>

// Reads /proc and /sys below a root folder ("/" on a live system; a fixture tree in tests).
class LinuxProbe final : public Probe {
public:
    explicit LinuxProbe(std::string root = "/");

    std::optional<CpuTicks> readCpuTicks() override;
    MemoryReading readMemory() override;
    std::optional<NetCounters> readNetCounters() override;
    std::optional<BatterySnapshot> readBattery() override;

    // The fallback rule, by name, when /sys/class/net cannot be read: wired and wireless
    // Ethernet only.
    static bool isCountedInterface(std::string_view name);

private:
    // Whether a link is backed by hardware (a device link, not under /sys/devices/virtual):
    // Ethernet, Wi-Fi, WWAN and USB network devices whatever their name. Loopback, bridges,
    // bonds, VLANs, tunnels, VPNs, veth and container links are skipped, so that traffic through
    // them is counted once, on the link it really leaves by.
    bool isHardwareLink(std::string_view name);
    // Decided once per name while the list of interfaces stays the same.
    bool decideCounted(std::string_view name);
    bool readSupplyFile(const char* supply, const char* file, std::string_view& value);
    bool readSupplyNumber(const char* supply, const char* file, unsigned long long& number);
    std::optional<int64_t> batteryPercent(const char* battery);
    // Several system batteries read as one.
    std::optional<int64_t> combinedPercent(const char (*batteries)[256], int count);
    static constexpr int kMaxBatteries = 8;

    std::string m_statPath;
    std::string m_meminfoPath;
    std::string m_netDevPath;
    std::string m_powerSupplyDir;
    std::string m_classNetDir;
    // The links of the last reading in their order, each with whether it counts.
    std::vector<std::pair<std::string, bool>> m_links;
    FileReader m_reader;
    FileReader m_smallReader{256};
};
