#include "alerts/AlertWatch.h"

#include <cmath>

using AlertRules::Metric;
using AlertRules::Rule;

namespace {

constexpr int64_t kNsPerSecond = 1'000'000'000;

} // namespace

void AlertWatch::setRules(const QList<Rule>& rules)
{
    std::vector<Watched> watched;
    for (const Rule& rule : rules) {
        if (!rule.enabled || !AlertRules::problemOf(rule).isEmpty())
            continue;
        Watched entry{rule, std::nullopt, false, std::nullopt};
        for (const Watched& before : m_watched)
            if (before.rule == rule)
                entry = before;
        watched.push_back(entry);
    }
    m_watched = std::move(watched);
}

bool AlertWatch::watches(Metric metric) const
{
    for (const Watched& entry : m_watched)
        if (entry.rule.metric == metric)
            return true;
    return false;
}

std::optional<double> AlertWatch::valueOf(Metric metric, const VovirSnapshot& snapshot)
{
    switch (metric) {
    case Metric::Cpu:
        return snapshot.cpuPercent;
    case Metric::Memory:
        if (!snapshot.memTotal)
            return std::nullopt;
        return 100.0 * double(snapshot.memUsed) / double(snapshot.memTotal);
    case Metric::Temperature:
        return snapshot.temperatureC;
    case Metric::Battery:
        break;
    }
    if (!snapshot.battery)
        return std::nullopt;
    return double(snapshot.battery->percent);
}

std::vector<AlertWatch::Raised> AlertWatch::observe(int64_t nowNs, const VovirSnapshot& snapshot)
{
    std::vector<Raised> raised;
    for (Watched& entry : m_watched) {
        const Rule& rule = entry.rule;
        const std::optional<double> value = valueOf(rule.metric, snapshot);
        // A battery on its charger is being taken care of.
        const bool charging = rule.metric == Metric::Battery && !rule.above && snapshot.battery &&
                              snapshot.battery->externalConnected;
        if (!value) {
            entry.pastSinceNs.reset(); // an absent figure neither starts nor ends an episode
            continue;
        }
        const bool past = !charging && (rule.above ? *value > rule.level : *value < rule.level);
        if (!entry.raised) {
            if (!past) {
                entry.pastSinceNs.reset();
                continue;
            }
            if (!entry.pastSinceNs)
                entry.pastSinceNs = nowNs;
            const int64_t held = (nowNs - *entry.pastSinceNs) / kNsPerSecond;
            if (held >= rule.seconds) {
                entry.raised = true;
                entry.backSinceNs.reset();
                raised.push_back({rule, *value, held});
            }
            continue;
        }
        const bool back = charging || (rule.above ? *value <= rule.level - kMargin
                                                  : *value >= rule.level + kMargin);
        if (!back) {
            entry.backSinceNs.reset();
        } else if (!entry.backSinceNs) {
            entry.backSinceNs = nowNs;
        } else if (nowNs - *entry.backSinceNs >= kCoolDownSeconds * kNsPerSecond) {
            entry.raised = false;
            entry.pastSinceNs.reset();
        }
    }
    return raised;
}
