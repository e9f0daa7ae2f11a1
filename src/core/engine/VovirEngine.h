#pragma once

#include "engine/Probe.h"
#include "engine/Rates.h"
#include "model/VovirSnapshot.h"

#include <QObject>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>

// Samples the machine on a repeating timer of the main thread and hands each snapshot to one
// callback. Loads and rates are differences between two readings, so the engine keeps the
// previous processor ticks and network counters between samples.
class VovirEngine final : public QObject {
    Q_OBJECT
public:
    using Clock = std::function<int64_t()>; // monotonic nanoseconds

    // The process's engine, reading the real system.
    static VovirEngine& shared();

    explicit VovirEngine(std::unique_ptr<Probe> probe, Clock clock = {}, QObject* parent = nullptr);
    ~VovirEngine() override;

    const std::optional<VovirSnapshot>& snapshot() const { return m_snapshot; }
    // The readings beyond the four figures, read with each sample only while something shows
    // them (nothing is read that nothing shows); programs adds the top programs' scan.
    const std::optional<VovirDetails>& details() const { return m_details; }
    void setDetailsWanted(bool wanted, bool programs = false);
    // Reads the details now, for a menu that opens: rates since the reading before (none on a
    // first reading, or a minute later).
    const VovirDetails& readDetailsNow(bool programs);
    // The temperature joins every snapshot while wanted (a history or an alert watches it).
    void setTemperatureWanted(bool wanted) { m_temperatureWanted = wanted; }
    // When the latest snapshot was taken, on the engine's monotonic clock.
    int64_t sampledAtNs() const { return m_sampledAtNs; }
    std::function<void(const VovirSnapshot&)> onUpdate;

    // (Re)starts sampling at the configured interval; the first sample comes 0.6 s later,
    // measured over those 0.6 s.
    void start();
    void stop();
    bool isRunning() const { return m_timer.isActive(); }
    int intervalMs() const { return m_timer.interval(); }

    // Takes one sample now and publishes it.
    void sample();

    static constexpr int kFirstSampleDelayMs = 600;

private:
    struct NetBaseline {
        NetCounters counters;
        int64_t atNs = 0;
    };

    double cpuUsage();
    Rates::NetRates networkRates();

    std::unique_ptr<Probe> m_probe;
    Clock m_clock;
    QTimer m_timer;
    std::optional<VovirSnapshot> m_snapshot;
    std::optional<VovirDetails> m_details;
    bool m_detailsWanted = false;
    bool m_programsWanted = false;
    bool m_temperatureWanted = false;
    int64_t m_sampledAtNs = 0;
    std::optional<CpuTicks> m_lastCPUTicks;
    std::optional<NetBaseline> m_lastNet;
};
