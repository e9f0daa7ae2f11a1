#include "LinuxProbe.h"

#include "engine/Rates.h"
#include "platform/SystemProbe.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
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
    : m_statPath(joinRoot(root, "/proc/stat")), m_meminfoPath(joinRoot(root, "/proc/meminfo")),
      m_netDevPath(joinRoot(root, "/proc/net/dev")),
      m_powerSupplyDir(joinRoot(root, "/sys/class/power_supply")), m_reader(16384)
{
}

std::optional<CpuTicks> LinuxProbe::readCpuTicks()
{
    std::string_view text;
    if (!m_reader.read(m_statPath.c_str(), text))
        return std::nullopt;
    CpuTicks sum;
    bool any = false;
    size_t pos = 0;
    std::string_view line;
    while (nextLine(text, pos, line)) {
        // Per-processor lines "cpuN ..."; the aggregate "cpu " line is left out. They come
        // first, so stop at the first line past them.
        if (!startsWith(line, "cpu")) {
            if (any)
                break;
            continue;
        }
        if (line.size() < 4 || line[3] < '0' || line[3] > '9')
            continue;
        size_t at = line.find(' ');
        if (at == std::string_view::npos)
            continue;
        // user nice system idle iowait irq softirq steal; guest time is already in user.
        unsigned long long f[8] = {};
        int count = 0;
        while (count < 8 && nextNumber(line, at, f[count]))
            ++count;
        if (count < 4)
            continue; // malformed
        const uint64_t user = f[0], nice = f[1];
        const uint64_t system = f[2] + f[5] + f[6] + f[7];
        const uint64_t idle = f[3] + f[4];
        const uint64_t busy = user + nice + system;
        sum.busy += busy;
        sum.total += busy + idle;
        any = true;
    }
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

std::optional<NetCounters> LinuxProbe::readNetCounters()
{
    std::string_view text;
    if (!m_reader.read(m_netDevPath.c_str(), text))
        return std::nullopt;
    NetCounters sum;
    size_t pos = 0;
    std::string_view line;
    while (nextLine(text, pos, line)) {
        // "  eth0: rx_bytes rx_packets errs drop fifo frame compressed multicast tx_bytes ..."
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos)
            continue; // the two header lines
        const std::string_view name = trimmed(line.substr(0, colon));
        if (!isCountedInterface(name))
            continue;
        size_t at = colon + 1;
        unsigned long long f[9] = {};
        int count = 0;
        while (count < 9 && nextNumber(line, at, f[count]))
            ++count;
        if (count < 9)
            continue; // malformed
        sum.down += f[0];
        sum.up += f[8];
    }
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

std::optional<BatterySnapshot> LinuxProbe::readBattery()
{
    DIR* dir = opendir(m_powerSupplyDir.c_str());
    if (!dir)
        return std::nullopt;
    char battery[256] = {};
    bool external = false;
    while (const dirent* entry = readdir(dir)) {
        const char* name = entry->d_name;
        if (name[0] == '.' || std::strlen(name) >= sizeof battery)
            continue;
        std::string_view type;
        if (!readSupplyFile(name, "type", type))
            continue;
        if (type == "Battery") {
            // A wireless mouse or keyboard also reports a battery, scoped to its device.
            std::string_view scope;
            if (readSupplyFile(name, "scope", scope) && scope == "Device")
                continue;
            // readdir order is arbitrary: the first battery is the first by name (BAT0).
            if (battery[0] == '\0' || std::strcmp(name, battery) < 0)
                std::strcpy(battery, name);
        } else if (type == "Mains" || type == "USB") {
            std::string_view online;
            if (readSupplyFile(name, "online", online) && online == "1")
                external = true;
        }
    }
    closedir(dir);
    if (battery[0] == '\0')
        return std::nullopt;

    BatterySnapshot snapshot;
    unsigned long long number = 0, now = 0, full = 0;
    if (readSupplyNumber(battery, "capacity", number)) {
        snapshot.percent = int64_t(std::min<unsigned long long>(number, 100));
    } else if ((readSupplyNumber(battery, "charge_now", now) &&
                readSupplyNumber(battery, "charge_full", full)) ||
               (readSupplyNumber(battery, "energy_now", now) &&
                readSupplyNumber(battery, "energy_full", full))) {
        // Some firmware gives no capacity file: derive it from the charge or energy pair.
        if (full > 0)
            snapshot.percent =
                int64_t(std::min(100.0, std::round(double(now) * 100.0 / double(full))));
    }
    std::string_view value;
    if (readSupplyFile(battery, "status", value)) {
        snapshot.isCharging = value == "Charging";
        if (value == "Charging" || value == "Full" || value == "Not charging")
            external = true;
    }
    if (readSupplyNumber(battery, "cycle_count", number))
        snapshot.cycleCount = int64_t(std::min<unsigned long long>(number, INT64_MAX));
    snapshot.externalConnected = external;
    return snapshot;
}
