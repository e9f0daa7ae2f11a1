#include "StatusTemplate.h"

#include "format/VovirFormat.h"

#include <algorithm>
#include <functional>

namespace {

using Field = std::function<QString(const VovirSnapshot&, const VovirDetails&)>;

template <typename T, typename F> QString ifKnown(const std::optional<T>& value, F&& text)
{
    return value ? text(*value) : QString();
}

// A rate summed over the disks that have it; none when none has.
std::optional<double> allDisks(const VovirDetails& d, std::optional<double> DiskDetails::*rate)
{
    std::optional<double> sum;
    for (const DiskDetails& disk : d.disks)
        if (disk.*rate)
            sum = sum.value_or(0) + *(disk.*rate);
    return sum;
}

// How many of the placeholders come first and need no details.
constexpr int kBasicFields = 6;

const std::vector<std::pair<QString, Field>>& fields()
{
    using S = const VovirSnapshot&;
    using D = const VovirDetails&;
    static const std::vector<std::pair<QString, Field>> all{
        {"cpu", [](S s, D) { return VovirFormat::percent(s.cpuPercent); }},
        {"memory", [](S s, D) { return VovirFormat::gigabytes(s.memUsed); }},
        {"memory_total", [](S s, D) { return VovirFormat::gigabytes(s.memTotal); }},
        {"down", [](S s, D) { return VovirFormat::ratePerSec(s.downBps); }},
        {"up", [](S s, D) { return VovirFormat::ratePerSec(s.upBps); }},
        {"battery",
         [](S s, D) {
             return ifKnown(s.battery, [](const BatterySnapshot& b) {
                 return QString::number(b.percent) + QStringLiteral(" %");
             });
         }},
        {"temp", [](S, D d) { return ifKnown(d.processor.temperatureC, VovirFormat::celsius); }},
        {"freq", [](S, D d) { return ifKnown(d.processor.frequencyMHz, VovirFormat::gigahertz); }},
        {"load",
         [](S, D d) {
             return ifKnown(d.processor.loadAverage,
                            [](const auto& a) { return VovirFormat::decimal(a[0], 2); });
         }},
        {"swap", [](S, D d) { return ifKnown(d.memory.swapUsed, VovirFormat::gigabytes); }},
        {"pressure", [](S, D d) { return ifKnown(d.memory.pressure, VovirFormat::percent); }},
        {"battery_time",
         [](S, D d) {
             if (!d.battery)
                 return QString();
             return ifKnown(d.battery->secondsToEmpty ? d.battery->secondsToEmpty
                                                      : d.battery->secondsToFull,
                            VovirFormat::duration);
         }},
        {"battery_power",
         [](S, D d) {
             if (!d.battery)
                 return QString();
             return ifKnown(d.battery->dischargingWatts ? d.battery->dischargingWatts
                                                        : d.battery->chargingWatts,
                            VovirFormat::watts);
         }},
        {"disk_free",
         [](S, D d) {
             return d.fileSystems.empty() ? QString()
                                          : VovirFormat::gigabytes(d.fileSystems[0].freeBytes);
         }},
        {"disk_read",
         [](S, D d) {
             return ifKnown(allDisks(d, &DiskDetails::readBps), VovirFormat::ratePerSec);
         }},
        {"disk_write",
         [](S, D d) {
             return ifKnown(allDisks(d, &DiskDetails::writeBps), VovirFormat::ratePerSec);
         }},
        {"top_cpu",
         [](S, D d) {
             return d.topProcessor.empty() ? QString()
                                           : QString::fromStdString(d.topProcessor[0].name);
         }},
        {"top_memory",
         [](S, D d) {
             return d.topMemory.empty() ? QString() : QString::fromStdString(d.topMemory[0].name);
         }},
    };
    return all;
}

} // namespace

QStringList StatusTemplate::placeholders()
{
    QStringList names;
    for (const auto& [name, field] : fields())
        names << QLatin1Char('{') + name + QLatin1Char('}');
    return names;
}

std::optional<StatusTemplate> StatusTemplate::parse(const QString& text, QString* error)
{
    StatusTemplate result;
    QString literal;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if ((c == QLatin1Char('{') || c == QLatin1Char('}')) && i + 1 < text.size() &&
            text[i + 1] == c) {
            literal += c; // "{{" and "}}"
            ++i;
            continue;
        }
        if (c == QLatin1Char('}')) {
            *error = QStringLiteral("--format : « } » sans « { » (écris « }} » pour une accolade)");
            return std::nullopt;
        }
        if (c != QLatin1Char('{')) {
            literal += c;
            continue;
        }
        const qsizetype close = text.indexOf(QLatin1Char('}'), i);
        if (close < 0) {
            *error = QStringLiteral("--format : « { » sans « } » (écris « {{ » pour une accolade)");
            return std::nullopt;
        }
        const QString name = text.mid(i + 1, close - i - 1);
        const auto& all = fields();
        const auto found = std::find_if(all.begin(), all.end(),
                                        [&](const auto& field) { return field.first == name; });
        if (found == all.end()) {
            *error = QStringLiteral("--format : champ inconnu « {%1} » ; les champs : %2")
                         .arg(name, placeholders().join(QLatin1Char(' ')));
            return std::nullopt;
        }
        const int index = int(found - all.begin());
        result.m_pieces.append({literal, -1});
        result.m_pieces.append({QString(), index});
        literal.clear();
        result.m_needsDetails = result.m_needsDetails || index >= kBasicFields;
        result.m_needsPrograms = result.m_needsPrograms || name.startsWith(QLatin1String("top_"));
        i = close;
    }
    result.m_pieces.append({literal, -1});
    return result;
}

QString StatusTemplate::render(const VovirSnapshot& snapshot, const VovirDetails* details) const
{
    static const VovirDetails none;
    QString line;
    for (const Piece& piece : m_pieces)
        line += piece.field < 0
                    ? piece.literal
                    : fields()[size_t(piece.field)].second(snapshot, details ? *details : none);
    return line;
}
