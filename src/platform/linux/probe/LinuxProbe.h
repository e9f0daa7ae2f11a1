#pragma once

#include "engine/Probe.h"
#include "platform/linux/probe/FileReader.h"
#include "platform/linux/probe/ProgramScan.h"

#include <map>
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
    // The readings beyond the four figures (LinuxProbe_details.cpp, LinuxProbe_disks.cpp).
    VovirDetails readDetails(int64_t nowNs, bool programs) override;
    std::optional<double> readTemperature() override;

    // The fallback rule, by name, when /sys/class/net cannot be read: wired and wireless
    // Ethernet only.
    static bool isCountedInterface(std::string_view name);

private:
    // One processor's line of /proc/stat; false for other lines.
    static bool processorTicks(std::string_view line, CpuTicks& ticks);
    // The counters of a line of /proc/net/dev whose name ends at colon.
    static bool linkCounters(std::string_view line, size_t colon, NetCounters& counters);
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
    // The system's batteries sorted by name; external tells whether a charger is online.
    int listBatteries(char (*batteries)[256], bool& external);

    void readProcessorDetails(ProcessorDetails& processor, bool measured);
    // The files of the processor's package sensor (or its thermal zones, the hottest counts).
    std::vector<std::string> temperatureSources();
    void readMemoryDetails(MemoryDetails& memory);
    void readLinkDetails(std::vector<LinkDetails>& links, double seconds);
    std::string defaultRouteLink();
    std::optional<BatteryDetails> readBatteryDetails();
    void readFileSystems(std::vector<FileSystemDetails>& fileSystems);
    void readDisks(std::vector<DiskDetails>& disks, double seconds);
    // The drives' sensors, by the resolved path of the device they measure.
    std::map<std::string, std::optional<double>> driveTemperatures();
    // Rates of counters since the reading before under the same name; none on a first one.
    static std::pair<std::optional<double>, std::optional<double>>
    ratesSince(const std::map<std::string, NetCounters>& before, const std::string& name,
               const NetCounters& now, double seconds);
    // A whole file as text, or nothing; and its first number.
    std::optional<std::string> text(const std::string& path);
    std::optional<double> number(const std::string& path);

    std::string m_root;

    std::string m_statPath;
    std::string m_meminfoPath;
    std::string m_netDevPath;
    std::string m_powerSupplyDir;
    std::string m_classNetDir;
    // The links of the last reading in their order, each with whether it counts.
    std::vector<std::pair<std::string, bool>> m_links;
    FileReader m_reader;
    FileReader m_smallReader{256};

    // What the details were measured against last time.
    std::optional<int64_t> m_detailsAtNs;
    std::vector<CpuTicks> m_coreTicks;
    std::vector<CpuTicks> m_sampledCores; // each processor's ticks at the last sample
    std::map<std::string, NetCounters> m_linkBytes;
    std::map<std::string, NetCounters> m_diskBytes; // read and written
    ProgramScan m_programs;
    std::vector<std::string> m_temperatureFiles;
    int m_temperatureSearchWait = 0;
};
