#include "VovirEngine.h"

#include "platform/SystemProbe.h"
#include "settings/VovirSettings.h"

#include <ctime>

namespace {

int64_t monotonicNow()
{
    // Durations never come from the wall clock: a clock adjustment would fake a rate.
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

} // namespace

VovirEngine& VovirEngine::shared()
{
    static VovirEngine* engine = new VovirEngine(makeSystemProbe());
    return *engine;
}

VovirEngine::VovirEngine(std::unique_ptr<Probe> probe, Clock clock, QObject* parent)
    : QObject(parent), m_probe(std::move(probe)), m_clock(clock ? std::move(clock) : monotonicNow),
      m_timer(this)
{
    m_timer.setTimerType(Qt::CoarseTimer);
    connect(&m_timer, &QTimer::timeout, this, &VovirEngine::sample);
}

VovirEngine::~VovirEngine() = default;

void VovirEngine::start()
{
    // Prime both baselines so that the first published sample measures a real difference.
    cpuUsage();
    networkRates();
    if (m_detailsWanted)
        m_probe->readDetails(m_clock(), m_programsWanted);
    m_timer.start(int(VovirSettings::intervalSeconds() * 1000));
    // Bound to this object: once the engine is gone the delayed sample does nothing.
    QTimer::singleShot(kFirstSampleDelayMs, Qt::PreciseTimer, this, &VovirEngine::sample);
}

void VovirEngine::setDetailsWanted(bool wanted, bool programs)
{
    m_detailsWanted = wanted;
    m_programsWanted = wanted && programs;
    if (!wanted)
        m_details.reset();
}

const VovirDetails& VovirEngine::readDetailsNow(bool programs)
{
    m_details = m_probe->readDetails(m_clock(), programs);
    return *m_details;
}

void VovirEngine::stop()
{
    m_timer.stop();
}

void VovirEngine::sample()
{
    VovirSnapshot snapshot;
    snapshot.cpuPercent = cpuUsage();
    const MemoryReading memory = m_probe->readMemory();
    snapshot.memTotal = memory.total;
    snapshot.memUsed = memory.used ? std::min(*memory.used, memory.total) : 0;
    const Rates::NetRates rates = networkRates();
    snapshot.downBps = rates.down;
    snapshot.upBps = rates.up;
    snapshot.battery = m_probe->readBattery();
    if (m_temperatureWanted)
        snapshot.temperatureC = m_probe->readTemperature();
    m_sampledAtNs = m_clock();
    m_snapshot = snapshot;
    if (m_detailsWanted)
        m_details = m_probe->readDetails(m_clock(), m_programsWanted);
    if (onUpdate)
        onUpdate(snapshot);
}

double VovirEngine::cpuUsage()
{
    const std::optional<CpuTicks> ticks = m_probe->readCpuTicks();
    if (!ticks)
        return 0; // baseline kept
    const double load = m_lastCPUTicks ? Rates::cpuLoad(*m_lastCPUTicks, *ticks) : 0;
    m_lastCPUTicks = ticks;
    return load;
}

Rates::NetRates VovirEngine::networkRates()
{
    const std::optional<NetCounters> counters = m_probe->readNetCounters();
    if (!counters)
        return {}; // baseline kept
    const int64_t now = m_clock();
    const Rates::NetRates rates =
        m_lastNet ? Rates::netRates(m_lastNet->counters, *counters, now - m_lastNet->atNs)
                  : Rates::NetRates{};
    m_lastNet = NetBaseline{*counters, now};
    return rates;
}
