// The readings beyond the four figures: processor, memory, links and battery.
#include "LinuxProbe.h"

#include "engine/Rates.h"

#include <cmath>
#include <cstdlib>

using TextScan::firstFields;
using TextScan::nextLine;
using TextScan::nextNumber;
using TextScan::numberOf;
using TextScan::trimmed;

namespace {

// Details measured over a longer gap (the menu opened again an hour later) would be an
// average nobody asked for: the reading then starts anew.
constexpr int64_t kLongestMeasureNs = 60'000'000'000;
// A fifth of a second of one processor's time, in the kernel's ticks of 1/100 s.
constexpr uint64_t kMinimumCoreTicks = 20;

bool startsWith(std::string_view s, std::string_view prefix)
{
    return s.substr(0, prefix.size()) == prefix;
}

// The number after "key" on a line of /proc/meminfo, in bytes.
std::optional<uint64_t> meminfoBytes(std::string_view text, std::string_view key)
{
    size_t pos = 0;
    std::string_view line;
    while (nextLine(text, pos, line))
        if (startsWith(line, key) && line.size() > key.size() && line[key.size()] == ':') {
            size_t at = key.size() + 1;
            unsigned long long kb = 0;
            if (nextNumber(line, at, kb))
                return uint64_t(kb) * 1024;
        }
    return std::nullopt;
}

} // namespace

std::pair<std::optional<double>, std::optional<double>>
LinuxProbe::ratesSince(const std::map<std::string, NetCounters>& before, const std::string& name,
                       const NetCounters& now, double seconds)
{
    const auto found = before.find(name);
    if (seconds <= 0 || found == before.end())
        return {};
    const Rates::NetRates rates = Rates::netRates(found->second, now, int64_t(seconds * 1e9));
    return {rates.down, rates.up};
}

std::optional<std::string> LinuxProbe::text(const std::string& path)
{
    std::string_view content;
    if (!m_reader.read(path.c_str(), content))
        return std::nullopt; // missing, or EIO as battery attributes often answer
    return std::string(trimmed(content));
}

std::optional<double> LinuxProbe::number(const std::string& path)
{
    const std::optional<std::string> content = text(path);
    if (!content || content->empty())
        return std::nullopt;
    char* end = nullptr;
    const double value = std::strtod(content->c_str(), &end);
    return end != content->c_str() && std::isfinite(value) ? std::optional(value) : std::nullopt;
}

VovirDetails LinuxProbe::readDetails(int64_t nowNs, bool programs)
{
    std::optional<double> seconds;
    if (m_detailsAtNs && nowNs - *m_detailsAtNs > Rates::kMinimumRateWindowNs &&
        nowNs - *m_detailsAtNs <= kLongestMeasureNs)
        seconds = double(nowNs - *m_detailsAtNs) / 1e9;
    m_detailsAtNs = nowNs;

    VovirDetails details;
    readProcessorDetails(details.processor, seconds.has_value());
    readMemoryDetails(details.memory);
    readLinkDetails(details.links, seconds.value_or(0));
    details.battery = readBatteryDetails();
    readFileSystems(details.fileSystems);
    readDisks(details.disks, seconds.value_or(0));
    if (programs)
        m_programs.scan(seconds, int(std::max<size_t>(1, m_coreTicks.size())), details.topProcessor,
                        details.topMemory);
    return details;
}

void LinuxProbe::readProcessorDetails(ProcessorDetails& processor, bool measured)
{
    std::vector<CpuTicks> cores;
    std::string_view content;
    if (m_reader.read(m_statPath.c_str(), content)) {
        size_t pos = 0;
        std::string_view line;
        CpuTicks ticks;
        while (nextLine(content, pos, line))
            if (startsWith(line, "cpu") && processorTicks(line, ticks))
                cores.push_back(ticks);
    }
    // Since the details read before; on a first reading, since the last sample when that is
    // long enough ago (a fifth of a second) to measure.
    const std::vector<CpuTicks>* since = measured ? &m_coreTicks : &m_sampledCores;
    const bool longEnough = !since->empty() && !cores.empty() &&
                            cores[0].total >= (*since)[0].total + kMinimumCoreTicks;
    if (since->size() == cores.size() && (measured || longEnough))
        for (size_t i = 0; i < cores.size(); ++i)
            processor.coreLoads.push_back(Rates::cpuLoad((*since)[i], cores[i]));
    m_coreTicks = cores;

    // The mean of the processors' frequencies, as the kernel's frequency driver gives them.
    double sum = 0;
    int known = 0;
    for (size_t i = 0; i < cores.size(); ++i) {
        const std::optional<double> kHz = number(m_root + "/sys/devices/system/cpu/cpu" +
                                                 std::to_string(i) + "/cpufreq/scaling_cur_freq");
        if (kHz && *kHz > 0 && *kHz < 20e6) {
            sum += *kHz / 1000;
            ++known;
        }
    }
    if (known > 0)
        processor.frequencyMHz = sum / known;
    processor.temperatureC = readTemperature();

    if (const std::optional<std::string> loads = text(m_root + "/proc/loadavg")) {
        std::array<double, 3> average{};
        char* at = const_cast<char*>(loads->c_str());
        bool ok = true;
        for (double& value : average) {
            char* end = nullptr;
            value = std::strtod(at, &end);
            ok = ok && end != at && value >= 0 && std::isfinite(value);
            at = end;
        }
        if (ok)
            processor.loadAverage = average;
    }
}

void LinuxProbe::readMemoryDetails(MemoryDetails& memory)
{
    std::string_view content;
    if (m_reader.read(m_meminfoPath.c_str(), content)) {
        memory.swapTotal = meminfoBytes(content, "SwapTotal");
        const std::optional<uint64_t> swapFree = meminfoBytes(content, "SwapFree");
        if (memory.swapTotal && swapFree)
            memory.swapUsed = *memory.swapTotal - std::min(*swapFree, *memory.swapTotal);
        memory.cached = meminfoBytes(content, "Cached");
    }
    // "some avg10=1.23 avg60=... total=...": the share of time some task waited for memory.
    if (const std::optional<std::string> pressure = text(m_root + "/proc/pressure/memory")) {
        const size_t at = pressure->find("some avg10=");
        if (at != std::string::npos) {
            const char* start = pressure->c_str() + at + 11;
            char* end = nullptr;
            const double value = std::strtod(start, &end);
            if (end != start && value >= 0 && value <= 100)
                memory.pressure = value;
        }
    }
}

std::string LinuxProbe::defaultRouteLink()
{
    // IPv4: "Iface Destination Gateway Flags RefCnt Use Metric Mask ...", numbers in hex; the
    // default route has destination and mask 0, the lowest metric wins.
    std::string best;
    unsigned long bestMetric = ~0UL;
    if (const std::optional<std::string> routes = text(m_root + "/proc/net/route")) {
        size_t pos = 0;
        std::string_view line;
        while (nextLine(*routes, pos, line)) {
            std::string_view f[8];
            if (!firstFields(line, f, 8) || f[1] != "00000000" || f[7] != "00000000")
                continue;
            const unsigned long metric = numberOf(f[6]);
            if (metric < bestMetric) {
                bestMetric = metric;
                best = f[0];
            }
        }
    }
    if (!best.empty())
        return best;
    // IPv6 only: "DEST PREFIXLEN SOURCE PREFIXLEN NEXTHOP METRIC REFCNT USE FLAGS IFACE".
    if (const std::optional<std::string> routes = text(m_root + "/proc/net/ipv6_route")) {
        size_t pos = 0;
        std::string_view line;
        while (nextLine(*routes, pos, line)) {
            std::string_view f[10];
            if (!firstFields(line, f, 10) || f[0] != std::string(32, '0') || f[1] != "00" ||
                f[9] == "lo")
                continue;
            const unsigned long metric = numberOf(f[5], 16);
            if (metric < bestMetric) {
                bestMetric = metric;
                best = f[9];
            }
        }
    }
    return best;
}

void LinuxProbe::readLinkDetails(std::vector<LinkDetails>& links, double seconds)
{
    std::string_view content;
    if (!m_reader.read(m_netDevPath.c_str(), content))
        return;
    std::map<std::string, NetCounters> bytes;
    std::vector<std::pair<std::string, NetCounters>> counted;
    size_t pos = 0;
    std::string_view line;
    while (nextLine(content, pos, line)) {
        const size_t colon = line.find(':');
        NetCounters counters;
        if (colon == std::string_view::npos || !linkCounters(line, colon, counters))
            continue;
        const std::string name(trimmed(line.substr(0, colon)));
        if (decideCounted(name))
            counted.emplace_back(name, counters);
    }
    const std::string route = defaultRouteLink();
    for (const auto& [name, counters] : counted) {
        LinkDetails link{name, std::nullopt, std::nullopt, name == route};
        std::tie(link.downBps, link.upBps) = ratesSince(m_linkBytes, name, counters, seconds);
        bytes.emplace(name, counters);
        links.push_back(std::move(link));
    }
    m_linkBytes.swap(bytes);
}

std::optional<BatteryDetails> LinuxProbe::readBatteryDetails()
{
    char batteries[kMaxBatteries][256] = {};
    bool external = false;
    const int count = listBatteries(batteries, external);
    if (count == 0)
        return std::nullopt;
    BatteryDetails details;
    // Energy in µWh where the firmware gives it, else charge in µAh; power in µW, else current
    // (µA) times voltage (µV). All batteries are summed, as the desktop's indicator does.
    double nowSum = 0, fullSum = 0, charging = 0, discharging = 0;
    double healthFull = 0, designSum = 0;
    bool capacityKnown = true, designKnown = true, powerKnown = true;
    for (int i = 0; i < count; ++i) {
        const std::string folder = m_powerSupplyDir + '/' + batteries[i] + '/';
        const std::optional<std::string> status = text(folder + "status");
        const bool energy = number(folder + "energy_now").has_value();
        const char* unit = energy ? "energy" : "charge";
        const std::optional<double> now = number(folder + unit + "_now");
        const std::optional<double> full = number(folder + unit + "_full");
        const std::optional<double> design = number(folder + unit + "_full_design");
        const std::optional<double> voltage = number(folder + "voltage_now");
        std::optional<double> watts;
        if (const std::optional<double> power = number(folder + "power_now"))
            watts = std::abs(*power) / 1e6;
        else if (const std::optional<double> current = number(folder + "current_now");
                 current && voltage)
            watts = std::abs(*current) * *voltage / 1e12;
        // Time left is energy over power; from charge, charge over current.
        const double scale = energy || !voltage ? 1.0 : *voltage / 1e6;
        capacityKnown = capacityKnown && now && full && *full > 0;
        designKnown = designKnown && full && design && *design > 0;
        if (now && full) {
            nowSum += *now * scale;
            fullSum += *full * scale;
        }
        if (full && design) {
            healthFull += *full * scale;
            designSum += *design * scale;
        }
        if (status == "Discharging" || status == "Charging") {
            // A battery that says it discharges at 0 W cannot be timed.
            if (!watts || *watts <= 0 || *watts > 500)
                powerKnown = false;
            else
                (*status == "Charging" ? charging : discharging) += *watts;
        }
    }
    if (powerKnown && charging > 0)
        details.chargingWatts = charging;
    if (powerKnown && discharging > 0)
        details.dischargingWatts = discharging;
    // Time in hours is µWh over µW: the units cancel.
    if (capacityKnown && details.dischargingWatts && !details.chargingWatts)
        details.secondsToEmpty = std::llround(nowSum / (discharging * 1e6) * 3600);
    if (capacityKnown && details.chargingWatts && !details.dischargingWatts)
        details.secondsToFull =
            std::llround(std::max(0.0, fullSum - nowSum) / (charging * 1e6) * 3600);
    for (std::optional<int64_t>* time : {&details.secondsToEmpty, &details.secondsToFull})
        if (*time && **time > 7 * 24 * 3600)
            time->reset(); // a trickle of current, not a time anyone can use
    if (designKnown && designSum > 0) {
        const double health = healthFull / designSum * 100;
        if (health > 0 && health <= 150)
            details.healthPercent = health;
    }
    // 0 is what firmware that does not count cycles reports.
    if (const std::optional<double> cycles =
            number(m_powerSupplyDir + '/' + batteries[0] + "/cycle_count");
        cycles && *cycles > 0)
        details.cycleCount = int64_t(*cycles);
    return details;
}
