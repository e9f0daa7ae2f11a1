#pragma once

#include <QList>
#include <QString>
#include <QVariant>

#include <cstdint>
#include <optional>

// The user's alerts, kept under "VSAlerts" as an array of objects
// {"metric": "cpu"|"memory"|"temperature"|"battery", "above"|"below": level, "seconds": n,
// "enabled": bool}.
namespace AlertRules {

enum class Metric { Cpu, Memory, Temperature, Battery };

struct Rule {
    Metric metric = Metric::Cpu;
    bool above = true;
    double level = 90;
    int64_t seconds = 120;
    bool enabled = false;
    bool operator==(const Rule&) const = default;
};

// One stored entry: its rule when it can be read, else why not; the stored value stays as it
// was, so that saving the others never loses it.
struct Entry {
    std::optional<Rule> rule;
    QString problem; // French; empty when the rule is sound
    QVariant stored;
};

QList<Entry> read(const QVariant& stored);
QVariantMap toStored(const Rule& rule);
// The entries of the settings store, and saving them back: the edited rules as rules, the
// entries that could not be read as they were.
QList<Entry> stored();
void save(const QList<Entry>& entries);
// Why a rule cannot watch, in French ("Le niveau de « Processeur » doit être entre 1 et
// 99 %."); empty when it can.
QString problemOf(const Rule& rule);

QString metricKey(Metric metric);   // "cpu"
QString metricTitle(Metric metric); // "Processeur"
QString unitOf(Metric metric);      // "%" or "°C"
// The levels a metric can reach, bounds included, and the durations a rule may ask.
struct Range {
    double low, high;
};
Range levelRange(Metric metric);
inline constexpr int64_t kShortestSeconds = 10;
inline constexpr int64_t kLongestSeconds = 24 * 3600;

// "Processeur au-dessus de 90 %".
QString headline(const Rule& rule);

} // namespace AlertRules
