#include "LinuxProbe.h"

#include "engine/Rates.h"
#include "platform/SystemProbe.h"

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

using TextScan::nextLine;
using TextScan::nextNumber;
using TextScan::trimmed;

std::unique_ptr<Probe> makeSystemProbe()
{
    // A fixture tree in place of the live system, for end-to-end checks of the executable.
    const char* root = std::getenv("VELMORA_PROBE_ROOT");
    return std::make_unique<LinuxProbe>(root && *root ? root : "/");
}

namespace {

std::string joinRoot(const std::string& root, const char* path)
{
    std::string base = root;
    while (!base.empty() && base.back() == '/')
        base.pop_back();
    return base + path;
}

bool startsWith(std::string_view s, std::string_view prefix)
{
    return s.substr(0, prefix.size()) == prefix;
}

uint64_t installedMemoryFromSystem()
{
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGESIZE);
    return pages > 0 && pageSize > 0 ? uint64_t(pages) * uint64_t(pageSize) : 0;
}

} // namespace

LinuxProbe::LinuxProbe(std::string root)
    : m_root(joinRoot(root, "")), m_statPath(joinRoot(root, "/proc/stat")),
      m_meminfoPath(joinRoot(root, "/proc/meminfo")), m_netDevPath(joinRoot(root, "/proc/net/dev")),
      m_powerSupplyDir(joinRoot(root, "/sys/class/power_supply")),
      m_classNetDir(joinRoot(root, "/sys/class/net")), m_reader(16384),
      m_programs(joinRoot(root, "/proc"))
{
}

bool LinuxProbe::processorTicks(std::string_view line, CpuTicks& ticks)
{
    if (line.size() < 4 || line[3] < '0' || line[3] > '9')
        return false; // not a processor's line "cpuN ..."
    size_t at = line.find(' ');
    if (at == std::string_view::npos)
        return false;
    // user nice system idle iowait irq softirq steal; guest time is already in user.
    unsigned long long f[8] = {};
    int count = 0;
    while (count < 8 && nextNumber(line, at, f[count]))
        ++count;
    if (count < 4)
        return false; // malformed
    const uint64_t user = f[0], nice = f[1];
    const uint64_t system = f[2] + f[5] + f[6] + f[7];
    const uint64_t idle = f[3] + f[4];
    ticks.busy = user + nice + system;
    ticks.total = ticks.busy + idle;
    return true;
}

std::optional<CpuTicks> LinuxProbe::readCpuTicks()
{
    std::string_view text;
    if (!m_reader.read(m_statPath.c_str(), text))
        return std::nullopt;
    CpuTicks sum;
    bool any = false;
    size_t pos = 0, cores = 0;
    std::string_view line;
    while (nextLine(text, pos, line)) {
        // Per-processor lines "cpuN ..."; the aggregate "cpu " line is left out. They come
        // first, so stop at the first line past them.
        if (!startsWith(line, "cpu")) {
            if (any)
                break;
            continue;
        }
        CpuTicks one;
        if (!processorTicks(line, one))
            continue;
        sum.busy += one.busy;
        sum.total += one.total;
        any = true;
        // Kept for a menu that opens: each processor's load since this sample, at no cost.
        if (cores < m_sampledCores.size())
            m_sampledCores[cores] = one;
        else
            m_sampledCores.push_back(one);
        ++cores;
    }
    m_sampledCores.resize(cores);
    if (!any)
        return std::nullopt;
    return sum;
}

MemoryReading LinuxProbe::readMemory()
{
    MemoryReading reading;
    std::string_view text;
    if (!m_reader.read(m_meminfoPath.c_str(), text)) {
        reading.total = installedMemoryFromSystem();
        return reading;
    }
    unsigned long long total = 0, available = 0, freeKb = 0, buffers = 0, cached = 0;
    bool haveTotal = false, haveAvailable = false;
    size_t pos = 0;
    std::string_view line;
    while (nextLine(text, pos, line)) {
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos)
            continue;
        const std::string_view key = line.substr(0, colon);
        size_t at = colon + 1;
        unsigned long long kb = 0;
        if (!nextNumber(line, at, kb))
            continue;
        if (key == "MemTotal") {
            total = kb;
            haveTotal = true;
        } else if (key == "MemAvailable") {
            available = kb;
            haveAvailable = true;
        } else if (key == "MemFree") {
            freeKb = kb;
        } else if (key == "Buffers") {
            buffers = kb;
        } else if (key == "Cached") {
            cached = kb;
        }
    }
    if (!haveTotal) {
        reading.total = installedMemoryFromSystem();
        return reading;
    }
    reading.total = uint64_t(total) * 1024;
    // Kernels before 3.14 lack MemAvailable; free + buffers + cache is the older estimate.
    const uint64_t availableKb = haveAvailable ? available : freeKb + buffers + cached;
    reading.used = Rates::memoryInUse(reading.total, availableKb * 1024);
    return reading;
}

bool LinuxProbe::isCountedInterface(std::string_view name)
{
    return startsWith(name, "en") || startsWith(name, "eth") || startsWith(name, "wl");
}

bool LinuxProbe::isHardwareLink(std::string_view name)
{
    const std::string link = m_classNetDir + '/' + std::string(name);
    struct stat info {};
    if (lstat((link + "/device").c_str(), &info) != 0)
        return false; // no device behind it: a virtual link
    // /sys/class/net/NAME links to the device's folder; virtual ones live in devices/virtual.
    char target[PATH_MAX];
    const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    const std::string_view where = n > 0 ? std::string_view(target, size_t(n)) : link;
    return where.find("/devices/virtual/") == std::string_view::npos;
}

bool LinuxProbe::decideCounted(std::string_view name)
{
    struct stat info {};
    return stat(m_classNetDir.c_str(), &info) == 0 && S_ISDIR(info.st_mode)
               ? isHardwareLink(name)
               : isCountedInterface(name);
}

bool LinuxProbe::linkCounters(std::string_view line, size_t colon, NetCounters& counters)
{
    // "  eth0: rx_bytes rx_packets errs drop fifo frame compressed multicast tx_bytes ..."
    size_t at = colon + 1;
    unsigned long long f[9] = {};
    int count = 0;
    while (count < 9 && nextNumber(line, at, f[count]))
        ++count;
    counters = {f[0], f[8]};
    return count == 9;
}

std::optional<NetCounters> LinuxProbe::readNetCounters()
{
    std::string_view text;
    if (!m_reader.read(m_netDevPath.c_str(), text))
        return std::nullopt;
    NetCounters sum;
    size_t index = 0; // the link's place among the lines
    size_t pos = 0;
    std::string_view line;
    while (nextLine(text, pos, line)) {
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos)
            continue; // the two header lines
        const std::string_view name = trimmed(line.substr(0, colon));
        // The kernel lists links in a stable order: each line is compared with the same place
        // of the last reading, so a sample is linear in the links. From the first link that
        // came or went (a phone tethered, a VPN up), the names are decided anew.
        if (index >= m_links.size() || m_links[index].first != name) {
            m_links.resize(index);
            m_links.emplace_back(std::string(name), decideCounted(name));
        }
        const bool counted = m_links[index++].second;
        if (!counted)
            continue;
        NetCounters link;
        if (!linkCounters(line, colon, link))
            continue; // malformed
        sum.down += link.down;
        sum.up += link.up;
    }
    m_links.resize(index); // links gone at the end
    return sum;
}

bool LinuxProbe::readSupplyFile(const char* supply, const char* file, std::string_view& value)
{
    char path[512];
    const int n =
        std::snprintf(path, sizeof path, "%s/%s/%s", m_powerSupplyDir.c_str(), supply, file);
    if (n <= 0 || size_t(n) >= sizeof path || !m_smallReader.read(path, value))
        return false;
    value = trimmed(value);
    return true;
}

bool LinuxProbe::readSupplyNumber(const char* supply, const char* file, unsigned long long& number)
{
    std::string_view value;
    size_t at = 0;
    return readSupplyFile(supply, file, value) && nextNumber(value, at, number);
}

std::optional<int64_t> LinuxProbe::batteryPercent(const char* battery)
{
    unsigned long long number = 0, now = 0, full = 0;
    if (readSupplyNumber(battery, "capacity", number))
        return int64_t(std::min<unsigned long long>(number, 100));
    // Some firmware gives no capacity file: derive it from the charge or energy pair.
    if (((readSupplyNumber(battery, "charge_now", now) &&
          readSupplyNumber(battery, "charge_full", full)) ||
         (readSupplyNumber(battery, "energy_now", now) &&
          readSupplyNumber(battery, "energy_full", full))) &&
        full > 0)
        return int64_t(std::min(100.0, std::round(double(now) * 100.0 / double(full))));
    return std::nullopt;
}

std::optional<int64_t> LinuxProbe::combinedPercent(const char (*batteries)[256], int count)
{
    // As the desktop's power indicator does: what all hold over what all can hold, in energy
    // (µWh) where every battery gives it, else in charge (µAh).
    for (const auto& [nowFile, fullFile] :
         {std::pair{"energy_now", "energy_full"}, std::pair{"charge_now", "charge_full"}}) {
        unsigned long long nowSum = 0, fullSum = 0;
        int complete = 0;
        for (int i = 0; i < count; ++i) {
            unsigned long long now = 0, full = 0;
            if (!readSupplyNumber(batteries[i], nowFile, now) ||
                !readSupplyNumber(batteries[i], fullFile, full))
                break;
            nowSum += now;
            fullSum += full;
            ++complete;
        }
        if (complete == count && fullSum > 0)
            return int64_t(std::min(100.0, std::round(double(nowSum) * 100.0 / double(fullSum))));
    }
    // Neither pair everywhere: the mean of the percentages that can be read.
    int64_t total = 0;
    int known = 0;
    for (int i = 0; i < count; ++i)
        if (const std::optional<int64_t> percent = batteryPercent(batteries[i])) {
            total += *percent;
            ++known;
        }
    if (known == 0)
        return std::nullopt;
    return int64_t(std::lround(double(total) / known));
}

int LinuxProbe::listBatteries(char (*batteries)[256], bool& external)
{
    DIR* dir = opendir(m_powerSupplyDir.c_str());
    if (!dir)
        return 0;
    // The system's batteries sorted by name (BAT0 first): readdir order is arbitrary.
    int count = 0;
    external = false;
    while (const dirent* entry = readdir(dir)) {
        const char* name = entry->d_name;
        if (name[0] == '.' || std::strlen(name) >= sizeof batteries[0])
            continue;
        std::string_view type;
        if (!readSupplyFile(name, "type", type))
            continue;
        if (type == "Battery") {
            // A wireless mouse or keyboard also reports a battery, scoped to its device.
            std::string_view scope;
            if (readSupplyFile(name, "scope", scope) && scope == "Device")
                continue;
            if (count == kMaxBatteries && std::strcmp(name, batteries[count - 1]) > 0)
                continue;
            int at = std::min(count, kMaxBatteries - 1);
            while (at > 0 && std::strcmp(name, batteries[at - 1]) < 0) {
                std::memcpy(batteries[at], batteries[at - 1], sizeof batteries[0]);
                --at;
            }
            std::strcpy(batteries[at], name);
            count = std::min(count + 1, kMaxBatteries);
        } else if (type == "Mains" || type == "USB") {
            std::string_view online;
            if (readSupplyFile(name, "online", online) && online == "1")
                external = true;
        }
    }
    closedir(dir);
    return count;
}

std::optional<BatterySnapshot> LinuxProbe::readBattery()
{
    char batteries[kMaxBatteries][256] = {};
    bool external = false;
    const int count = listBatteries(batteries, external);
    if (count == 0)
        return std::nullopt;

    BatterySnapshot snapshot;
    const std::optional<int64_t> percent =
        count == 1 ? batteryPercent(batteries[0]) : combinedPercent(batteries, count);
    snapshot.percent = percent.value_or(snapshot.percent);
    for (int i = 0; i < count; ++i) {
        std::string_view value;
        if (!readSupplyFile(batteries[i], "status", value))
            continue;
        if (value == "Charging")
            snapshot.isCharging = true; // charging when any charges
        if (value == "Charging" || value == "Full" || value == "Not charging")
            external = true;
    }
    unsigned long long cycles = 0;
    if (readSupplyNumber(batteries[0], "cycle_count", cycles))
        snapshot.cycleCount = int64_t(std::min<unsigned long long>(cycles, INT64_MAX));
    snapshot.externalConnected = external;
    return snapshot;
}
