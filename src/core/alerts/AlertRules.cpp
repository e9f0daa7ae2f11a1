#include "alerts/AlertRules.h"

#include "format/VovirFormat.h"
#include "settings/UserDefaults.h"
#include "settings/VovirSettings.h"

#include <QJsonObject>
#include <QVariantMap>

#include <cmath>

namespace AlertRules {

namespace {

const Metric kMetrics[] = {Metric::Cpu, Metric::Memory, Metric::Temperature, Metric::Battery};
// In the order of Metric: the key in the file, the title people read.
const struct {
    const char* key;
    const char* title;
} kNames[] = {{"cpu", "Processeur"},
              {"memory", "Mémoire"},
              {"temperature", "Température"},
              {"battery", "Batterie"}};

std::optional<Metric> metricNamed(const QString& key)
{
    for (Metric metric : kMetrics)
        if (metricKey(metric) == key)
            return metric;
    return std::nullopt;
}

// A JSON number; booleans and numbers written as text are not.
std::optional<double> numberIn(const QVariant& value)
{
    const int type = value.typeId();
    if (type != QMetaType::Double && type != QMetaType::LongLong && type != QMetaType::Int)
        return std::nullopt;
    const double number = value.toDouble();
    return std::isfinite(number) ? std::optional(number) : std::nullopt;
}

QString level(Metric metric, double value)
{
    return VovirFormat::decimal(value, value == std::floor(value) ? 0 : 1) + u' ' + unitOf(metric);
}

} // namespace

QString metricKey(Metric metric)
{
    return QLatin1String(kNames[int(metric)].key);
}

QString metricTitle(Metric metric)
{
    return QString::fromUtf8(kNames[int(metric)].title);
}

QString unitOf(Metric metric)
{
    return metric == Metric::Temperature ? QStringLiteral("°C") : QStringLiteral("%");
}

Range levelRange(Metric metric)
{
    // A level the figure cannot cross would watch for nothing: 0 % and 100 % are not levels.
    return metric == Metric::Temperature ? Range{30, 110} : Range{1, 99};
}

QList<Entry> read(const QVariant& stored)
{
    QList<Entry> entries;
    if (stored.typeId() != QMetaType::QVariantList)
        return entries;
    for (const QVariant& value : stored.toList()) {
        Entry entry{std::nullopt, QString(), value};
        // The store's own dictionaries, or plain objects written into the file by hand.
        const QJsonValue plain = UserDefaults::untaggedJson(value);
        const QVariantMap object =
            plain.isObject() ? plain.toObject().toVariantMap() : value.toMap();
        const std::optional<Metric> metric =
            value.typeId() == QMetaType::QVariantMap || plain.isObject()
                ? metricNamed(object.value(QStringLiteral("metric")).toString())
                : std::nullopt;
        const bool above = object.contains(QStringLiteral("above"));
        const std::optional<double> levelValue =
            numberIn(object.value(above ? QStringLiteral("above") : QStringLiteral("below")));
        const std::optional<double> seconds = numberIn(object.value(QStringLiteral("seconds")));
        const QVariant enabled = object.value(QStringLiteral("enabled"), true);
        if (!metric || !levelValue || !seconds || enabled.typeId() != QMetaType::Bool ||
            above == object.contains(QStringLiteral("below"))) {
            entry.problem = QStringLiteral("Une alerte enregistrée est illisible : elle est "
                                           "ignorée et gardée telle quelle.");
        } else {
            entry.rule = Rule{*metric, above, *levelValue,
                              int64_t(std::clamp(*seconds, -1.0, 1e12)), enabled.toBool()};
            entry.problem = problemOf(*entry.rule);
        }
        entries.append(entry);
    }
    return entries;
}

QList<Entry> stored()
{
    return read(VovirSettings::store().object(QStringLiteral("VSAlerts")));
}

void save(const QList<Entry>& entries)
{
    QVariantList array;
    for (const Entry& entry : entries)
        array.append(entry.rule ? QVariant(toStored(*entry.rule)) : entry.stored);
    VovirSettings::store().setArray(QStringLiteral("VSAlerts"), array);
}

QVariantMap toStored(const Rule& rule)
{
    return {{QStringLiteral("metric"), metricKey(rule.metric)},
            // Whole levels stay integers in the file, as a hand-written one would be.
            {rule.above ? QStringLiteral("above") : QStringLiteral("below"),
             rule.level == std::floor(rule.level) ? QVariant(qint64(rule.level))
                                                  : QVariant(rule.level)},
            {QStringLiteral("seconds"), qint64(rule.seconds)},
            {QStringLiteral("enabled"), rule.enabled}};
}

QString problemOf(const Rule& rule)
{
    const Range range = levelRange(rule.metric);
    const QString title = QStringLiteral("« ") + metricTitle(rule.metric) + QStringLiteral(" »");
    if (!(rule.level >= range.low && rule.level <= range.high))
        return QStringLiteral("Le niveau de %1 doit être entre %2 et %3.")
            .arg(title, VovirFormat::decimal(range.low, 0), level(rule.metric, range.high));
    if (rule.seconds < kShortestSeconds || rule.seconds > kLongestSeconds)
        return QStringLiteral("La durée de %1 doit être entre %2 et %3.")
            .arg(title, VovirFormat::spokenDuration(kShortestSeconds),
                 VovirFormat::spokenDuration(kLongestSeconds));
    return QString();
}

QString headline(const Rule& rule)
{
    return metricTitle(rule.metric) +
           (rule.above ? QStringLiteral(" au-dessus de ") : QStringLiteral(" sous ")) +
           level(rule.metric, rule.level);
}

} // namespace AlertRules
