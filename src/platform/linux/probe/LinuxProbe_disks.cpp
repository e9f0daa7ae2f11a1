// Disks and temperatures: space of the root and home file systems, activity of physical disks,
// and the sensors of the processor and the drives.
#include "LinuxProbe.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

using TextScan::firstFields;
using TextScan::nextLine;
using TextScan::trimmed;

namespace {

// Sensors give millidegrees; outside this range a value is a sensor's fault (-273 °C).
std::optional<double> plausibleCelsius(std::optional<double> milli)
{
    if (!milli || *milli / 1000 <= -40 || *milli / 1000 >= 150)
        return std::nullopt;
    return *milli / 1000;
}

std::string resolved(const std::string& path)
{
    char target[PATH_MAX];
    return realpath(path.c_str(), target) ? std::string(target) : std::string();
}

// The folders below dir, sorted, so that readings keep their order.
std::vector<std::string> entries(const std::string& dir)
{
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (const dirent* entry = readdir(d))
            if (entry->d_name[0] != '.')
                names.emplace_back(entry->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

std::vector<std::string> LinuxProbe::temperatureSources()
{
    // The package's sensor: Intel's coretemp "Package id 0", AMD's k10temp or zenpower die
    // ("Tdie", else the control value "Tctl").
    const std::string hwmon = m_root + "/sys/class/hwmon/";
    for (const std::string& entry : entries(hwmon)) {
        const std::string folder = hwmon + entry + '/';
        const std::optional<std::string> name = text(folder + "name");
        if (!name || (*name != "coretemp" && *name != "k10temp" && *name != "zenpower"))
            continue;
        std::string best;
        int bestRank = 0;
        for (const std::string& file : entries(folder)) {
            // The sensors this device has: "tempN_input", N from 1.
            if (file.rfind("temp", 0) != 0 || file.size() < 11 ||
                file.compare(file.size() - 6, 6, "_input") != 0)
                continue;
            const std::string sensor = folder + file.substr(0, file.size() - 6);
            const bool first = file == "temp1_input";
            const std::optional<std::string> label = text(sensor + "_label");
            const int rank = label == "Package id 0" || label == "Tdie" ? 3
                             : label == "Tctl"                          ? 2
                             : !label && first && *name != "coretemp"   ? 1
                                                                        : 0;
            if (rank > bestRank && plausibleCelsius(number(sensor + "_input"))) {
                best = sensor + "_input";
                bestRank = rank;
            }
        }
        if (!best.empty())
            return {best};
    }
    // Else the hottest thermal zone of a processor type.
    const std::string zones = m_root + "/sys/class/thermal/";
    std::vector<std::string> found;
    for (const std::string& entry : entries(zones)) {
        const std::optional<std::string> type = text(zones + entry + "/type");
        if (type &&
            (type->find("cpu") != std::string::npos || type->find("pkg") != std::string::npos) &&
            plausibleCelsius(number(zones + entry + "/temp")))
            found.push_back(zones + entry + "/temp");
    }
    return found;
}

std::optional<double> LinuxProbe::readTemperature()
{
    // The sensors are looked for once and then only read; looked for again when one stops
    // answering, and every 30th reading while a machine shows none.
    if (m_temperatureFiles.empty()) {
        if (m_temperatureSearchWait > 0) {
            --m_temperatureSearchWait;
            return std::nullopt;
        }
        m_temperatureFiles = temperatureSources();
        m_temperatureSearchWait = 30;
    }
    std::optional<double> hottest;
    for (const std::string& file : m_temperatureFiles) {
        std::string_view content;
        std::optional<double> value;
        if (m_smallReader.read(file.c_str(), content) && !trimmed(content).empty() &&
            trimmed(content).size() < 24) {
            char digits[24] = {};
            trimmed(content).copy(digits, sizeof digits - 1);
            char* end = nullptr;
            const double milli = std::strtod(digits, &end);
            if (*end == '\0')
                value = plausibleCelsius(milli);
        }
        if (!value) {
            m_temperatureFiles.clear();
            m_temperatureSearchWait = 0;
            return std::nullopt;
        }
        if (!hottest || *value > *hottest)
            hottest = value;
    }
    return hottest;
}

std::map<std::string, std::optional<double>> LinuxProbe::driveTemperatures()
{
    // NVMe and drivetemp sensors hang off the drive's device, which a disk's "device" names.
    std::map<std::string, std::optional<double>> byDevice;
    const std::string hwmon = m_root + "/sys/class/hwmon/";
    for (const std::string& entry : entries(hwmon)) {
        const std::optional<std::string> name = text(hwmon + entry + "/name");
        if (name == "nvme" || name == "drivetemp")
            byDevice.emplace(resolved(hwmon + entry + "/device"),
                             plausibleCelsius(number(hwmon + entry + "/temp1_input")));
    }
    byDevice.erase(std::string()); // a sensor whose device could not be resolved
    return byDevice;
}

void LinuxProbe::readFileSystems(std::vector<FileSystemDetails>& fileSystems)
{
    // The root file system, and home where it is one of its own.
    const char* home = std::getenv("HOME");
    dev_t rootDevice = 0;
    for (const std::string& place : {std::string("/"), std::string(home ? home : "")}) {
        struct stat info {};
        struct statvfs space {};
        const std::string path = m_root + place;
        if (place.empty() || stat(path.c_str(), &info) != 0 || statvfs(path.c_str(), &space) != 0)
            continue;
        if (place != "/" && !fileSystems.empty() && info.st_dev == rootDevice)
            continue;
        if (place == "/")
            rootDevice = info.st_dev;
        const uint64_t unit = space.f_frsize ? space.f_frsize : space.f_bsize;
        fileSystems.push_back({place, (uint64_t(space.f_blocks) - space.f_bfree) * unit,
                               uint64_t(space.f_bavail) * unit});
    }
}

void LinuxProbe::readDisks(std::vector<DiskDetails>& disks, double seconds)
{
    std::string_view content;
    std::map<std::string, NetCounters> bytes;
    if (!m_reader.read((m_root + "/proc/diskstats").c_str(), content))
        return;
    const std::string stats(content); // the sensors below reuse the reader
    const std::map<std::string, std::optional<double>> sensors = driveTemperatures();
    size_t pos = 0;
    std::string_view line;
    while (nextLine(stats, pos, line)) {
        // "MAJOR MINOR NAME reads merged SECTORS ms writes merged SECTORS ...", sectors of 512.
        std::string_view f[10];
        if (!firstFields(line, f, 10))
            continue;
        const std::string name(f[2]);
        // Whole physical disks only: partitions are not in /sys/block, and loop, RAM, zram and
        // device-mapper disks have no device behind them. Optical drives are left out.
        struct stat info {};
        if (name.rfind("sr", 0) == 0 ||
            lstat((m_root + "/sys/block/" + name + "/device").c_str(), &info) != 0)
            continue;
        const NetCounters now{TextScan::numberOf(f[5]) * 512, TextScan::numberOf(f[9]) * 512};
        DiskDetails disk{name, std::nullopt, std::nullopt, std::nullopt};
        std::tie(disk.readBps, disk.writeBps) = ratesSince(m_diskBytes, name, now, seconds);
        if (const auto sensor = sensors.find(resolved(m_root + "/sys/block/" + name + "/device"));
            sensor != sensors.end())
            disk.temperatureC = sensor->second;
        bytes.emplace(name, now);
        disks.push_back(std::move(disk));
    }
    m_diskBytes.swap(bytes);
}
