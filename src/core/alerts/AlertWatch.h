#pragma once

#include "alerts/AlertRules.h"
#include "model/VovirSnapshot.h"

#include <QList>

#include <cstdint>
#include <optional>
#include <vector>

// Follows the figures sample by sample and says when a rule's figure has stayed past its level
// for the rule's time. One episode gives one alert: once raised, a rule is quiet until its
// figure has come back by a margin (the hysteresis) and stayed back for the cool-down.
class AlertWatch final {
public:
    struct Raised {
        AlertRules::Rule rule;
        double value = 0;
        int64_t heldSeconds = 0;
    };
    static constexpr int64_t kCoolDownSeconds = 300;
    static constexpr double kMargin = 5; // points of percent, or degrees

    // Rules that stay the same keep their state; only enabled, sound rules are watched.
    void setRules(const QList<AlertRules::Rule>& rules);
    bool watches(AlertRules::Metric metric) const;
    bool isEmpty() const { return m_watched.empty(); }

    std::vector<Raised> observe(int64_t nowNs, const VovirSnapshot& snapshot);

    // The figure a rule follows in a snapshot; none when the machine does not have it.
    static std::optional<double> valueOf(AlertRules::Metric metric, const VovirSnapshot& snapshot);

private:
    struct Watched {
        AlertRules::Rule rule;
        std::optional<int64_t> pastSinceNs; // past the level since
        bool raised = false;
        std::optional<int64_t> backSinceNs; // back inside the margin since, once raised
    };
    std::vector<Watched> m_watched;
};
