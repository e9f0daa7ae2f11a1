#include "VovirFormat.h"

#include "settings/VovirSettings.h"

#include <QStringList>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace VovirFormat {
namespace {

const QString kSeparator = QStringLiteral(" \u00B7 ");
const QString kDown = QStringLiteral("\u2193");
const QString kUp = QStringLiteral(" \u2191");
const QString kCharging = QStringLiteral("\u26A1");

// Halves away from zero. A non-finite value reads 0 and huge ones are held at the edge of the
// range, rather than converted with undefined behaviour.
qint64 roundWhole(double value)
{
    if (!std::isfinite(value))
        return 0;
    const double clamped = std::clamp(value, -9.0e15, 9.0e15);
    return qint64(std::round(clamped));
}

} // namespace

// As printf's "%.1f" and "%.2f": ties to even (1.25 gives 1.2), unlike QString::number, which
// rounds them away from zero; but never in the process's locale (printf follows LC_NUMERIC,
// and some locales write an Arabic decimal separator), always with the French comma.
QString decimal(double value, int decimals)
{
    if (!std::isfinite(value))
        value = 0;
    char text[400]; // the longest double in fixed notation, with its decimals
    const auto [end, error] =
        std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals);
    if (error != std::errc())
        return QStringLiteral("0");
    return QString::fromLatin1(text, end - text).replace(QLatin1Char('.'), QLatin1Char(','));
}

namespace {

// A figure at its widest, in digits and decimal commas: loads and the battery reach "100", the
// memory "999,9", rates "1023,9" (their "1,00 Go" has fewer digits).
struct Slot {
    int digits;
    int commas;
    bool units = false; // Ko, Mo or Go
};

// Pads the number in text on its left to the slot's width: a figure space (U+2007) for each
// missing digit, a punctuation space (U+2008) for a missing comma.
QString steady(const QString& text, Slot slot)
{
    const qsizetype start =
        std::find_if(text.cbegin(), text.cend(), [](QChar c) { return c.isDigit(); }) -
        text.cbegin();
    int digits = 0, commas = 0;
    for (qsizetype i = start; i < text.size() && (text[i].isDigit() || text[i] == QLatin1Char(','));
         ++i)
        (text[i].isDigit() ? digits : commas) += 1;
    QString pad = QString(std::max(0, slot.digits - digits), QChar(0x2007)) +
                  QString(std::max(0, slot.commas - commas), QChar(0x2008));
    // A rate's unit letter changes too, and M is the widest of K, M and G in the usual sans
    // fonts: a thin and a hair space make up a K, two hair spaces a G (as the panels' text
    // layout, Pango, rounds them).
    if (slot.units) {
        if (text.contains(QLatin1String(" Ko")))
            pad += QStringLiteral("\u2009\u200A");
        else if (text.contains(QLatin1String(" Go")))
            pad += QStringLiteral("\u200A\u200A");
    }
    return QString(text).insert(start, pad);
}

QString batteryText(const BatterySnapshot& battery)
{
    return (battery.isCharging ? kCharging : QString()) + QString::number(battery.percent) +
           QStringLiteral(" %");
}

} // namespace

QString percent(double value)
{
    return QString::number(roundWhole(value)) + QStringLiteral(" %");
}

QString gigabytes(uint64_t bytes)
{
    const double g = double(bytes) * 0x1p-30;
    const double x = double(roundWhole(g * 10)) / 10;
    if (x == std::floor(x))
        return QString::number(qint64(x)) + QStringLiteral(" Go");
    return decimal(x, 1) + QStringLiteral(" Go");
}

QString rate(double bytesPerSecond)
{
    const double k = bytesPerSecond * 0.0009765625;
    if (!(k >= 1)) // also NaN and negative rates
        return QStringLiteral("0 Ko");
    if (k < 1024)
        return QString::number(roundWhole(k)) + QStringLiteral(" Ko");
    const double m = k / 1024;
    if (m < 1024)
        return decimal(m, 1) + QStringLiteral(" Mo");
    return decimal(std::min(m / 1024, 9.0e15), 2) + QStringLiteral(" Go");
}

QString ratePerSec(double bytesPerSecond)
{
    return rate(bytesPerSecond) + QStringLiteral("/s");
}

QString celsius(double degrees)
{
    return QString::number(roundWhole(degrees)) + QStringLiteral(" °C");
}

QString watts(double value)
{
    return decimal(value, 1) + QStringLiteral(" W");
}

QString gigahertz(double megahertz)
{
    return decimal(megahertz / 1000, 1) + QStringLiteral(" GHz");
}

QString duration(int64_t seconds)
{
    const int64_t minutes = std::max<int64_t>(0, (seconds + 30) / 60);
    if (minutes < 60)
        return QString::number(minutes) + QStringLiteral(" min");
    return QStringLiteral("%1 h %2").arg(minutes / 60).arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

QString spokenDuration(int64_t seconds)
{
    if (seconds < 60)
        return QString::number(std::max<int64_t>(0, seconds)) + QStringLiteral(" s");
    if (seconds % 3600 == 0)
        return QString::number(seconds / 3600) + QStringLiteral(" h");
    return duration(seconds);
}

QString ago(int64_t seconds)
{
    return seconds < 1 ? QStringLiteral("maintenant")
                       : QStringLiteral("il y a ") + spokenDuration(seconds);
}

std::optional<QString> menuBarText(const VovirSnapshot& snapshot, Width width)
{
    const bool compact = VovirSettings::compactFormat();
    auto fit = [width](const QString& figure, Slot slot) {
        return width == Width::Steady ? steady(figure, slot) : figure;
    };
    const Slot whole{3, 0}, memory{4, 1}, rates{5, 1, true};
    QStringList parts;
    if (VovirSettings::showCPU()) {
        const QString p = fit(percent(snapshot.cpuPercent), whole);
        parts << (compact ? p : QStringLiteral("CPU ") + p);
    }
    if (VovirSettings::showMemory()) {
        const QString g = fit(gigabytes(snapshot.memUsed), memory);
        parts << (compact ? g : QStringLiteral("RAM ") + g);
    }
    if (VovirSettings::showNetwork()) {
        if (compact)
            parts << kDown + fit(rate(snapshot.downBps), rates);
        else
            parts << kDown + fit(ratePerSec(snapshot.downBps), rates) + kUp +
                         fit(ratePerSec(snapshot.upBps), rates);
    }
    if (VovirSettings::showBattery() && snapshot.battery) {
        // The charging sign comes and goes: held by an em space's width where it is absent.
        QString value = fit(batteryText(*snapshot.battery), whole);
        if (width == Width::Steady && !snapshot.battery->isCharging)
            value.prepend(QChar(0x2003));
        parts << (compact ? value : QStringLiteral("Bat ") + value);
    }
    if (parts.isEmpty())
        return std::nullopt;
    return parts.join(kSeparator);
}

QString menuBarGuide(Width width)
{
    // Widest figures of each part: three-digit load, double-digit decimals, four-digit rates.
    VovirSnapshot widest;
    widest.cpuPercent = 100;
    widest.memUsed = uint64_t(88.8 * double(1ull << 30));
    widest.downBps = 888.8 * 1024 * 1024;
    widest.upBps = 888.8 * 1024 * 1024;
    widest.battery = BatterySnapshot{100, true, true, 0};
    return menuBarText(widest, width).value_or(QString());
}

} // namespace VovirFormat
