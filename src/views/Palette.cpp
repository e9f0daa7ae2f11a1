#include "Palette.h"

#include "TextScale.h"

#include <QApplication>
#include <QEvent>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QLabel>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>

#include <cmath>

namespace {

QColor srgb(double r, double g, double b)
{
    return QColor::fromRgbF(float(r), float(g), float(b), 1.0f);
}

// A label that re-resolves its colour whenever the appearance changes.
class AppearanceLabel final : public QLabel {
public:
    AppearanceLabel(const QString& text, const TextColor& color) : QLabel(text), m_color(color)
    {
        apply();
    }
    void setColor(const TextColor& color)
    {
        m_color = color;
        apply();
    }

protected:
    bool event(QEvent* event) override
    {
        const bool result = QLabel::event(event);
        switch (event->type()) {
        case QEvent::ApplicationPaletteChange:
        case QEvent::PaletteChange:
        case QEvent::ParentChange:
            apply();
            break;
        default:
            break;
        }
        return result;
    }

private:
    void apply()
    {
        if (m_applying)
            return; // our own setPalette below sends a PaletteChange too
        m_applying = true;
        applyTextColor(this, m_color, QPalette::WindowText);
        m_applying = false;
    }
    TextColor m_color;
    bool m_applying = false;
};

} // namespace

namespace {

bool g_highContrast = false;

// GNOME's own setting, asked of gsettings (GNOME's configuration has no file to read).
bool gnomeAsksForHighContrast()
{
    if (!qEnvironmentVariable("XDG_CURRENT_DESKTOP").contains(QLatin1String("GNOME")) ||
        QStandardPaths::findExecutable(QStringLiteral("gsettings")).isEmpty())
        return false;
    QProcess gsettings;
    gsettings.start(QStringLiteral("gsettings"),
                    {QStringLiteral("get"), QStringLiteral("org.gnome.desktop.a11y.interface"),
                     QStringLiteral("high-contrast")});
    return gsettings.waitForFinished(1000) && gsettings.readAllStandardOutput().trimmed() == "true";
}

} // namespace

bool highContrast()
{
    return g_highContrast;
}

void readDesktopContrast()
{
    const QSettings kde(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
                            QStringLiteral("/kdeglobals"),
                        QSettings::IniFormat);
    g_highContrast = qEnvironmentVariable("GTK_THEME").contains(QLatin1String("HighContrast")) ||
                     // QSettings reads an INI file's [General] section as its top level.
                     kde.value(QStringLiteral("ColorScheme"))
                         .toString()
                         .contains(QLatin1String("HighContrast")) ||
                     gnomeAsksForHighContrast();
}

qreal contrastRatio(const QColor& a, const QColor& b)
{
    auto luminance = [](const QColor& c) {
        auto linear = [](qreal v) {
            return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * linear(c.redF()) + 0.7152 * linear(c.greenF()) + 0.0722 * linear(c.blueF());
    };
    const qreal la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

std::pair<QColor, QColor> mainButtonColors()
{
    // White on the cyan reads at 2.4:1; black on it, well over 4.5:1.
    return {highContrast() ? QColor(Qt::black) : QColor(Qt::white), vovirCyanFixed()};
}

QColor DynamicColor::resolve(const QPalette& palette) const
{
    return isDarkAppearance(palette) ? dark : light;
}

bool isDarkAppearance(const QPalette& palette)
{
    return palette.color(QPalette::Window).lightnessF() <
           palette.color(QPalette::WindowText).lightnessF();
}

DynamicColor velmoraMauve()
{
    return {srgb(0.486, 0.227, 0.929), srgb(0.686, 0.573, 0.992)};
}

DynamicColor warningRed()
{
    return {QColor(0xb0, 0x1c, 0x1c), QColor(0xff, 0x7a, 0x70)};
}

DynamicColor vovirCyan()
{
    return {srgb(0.055, 0.455, 0.565), srgb(0.133, 0.827, 0.933)};
}

const QColor& velmoraMauveFixed()
{
    static const QColor color = srgb(0.486, 0.227, 0.929);
    return color;
}

const QColor& vovirCyanFixed()
{
    static const QColor color = srgb(0.024, 0.714, 0.831);
    return color;
}

QColor labelColor(const QPalette& palette, LabelTone tone)
{
    if (highContrast())
        return palette.color(QPalette::WindowText);
    switch (tone) {
    case LabelTone::Secondary:
        return labelColor(palette, 0.5);
    case LabelTone::Tertiary:
        return labelColor(palette, 0.26);
    default:
        return palette.color(QPalette::WindowText);
    }
}

QColor labelColor(const QPalette& palette, qreal alpha)
{
    QColor c = palette.color(QPalette::WindowText);
    c.setAlphaF(float(alpha));
    return c;
}

QColor TextColor::resolve(const QPalette& palette) const
{
    return accent && !highContrast() ? accent->resolve(palette) : labelColor(palette, tone);
}

QFont systemFont(qreal pixelSize, QFont::Weight weight)
{
    QFont font = QApplication::font();
    if (pixelSize > 0)
        font.setPixelSize(pt(pixelSize));
    font.setWeight(weight);
    return font;
}

bool hasTabularDigits(const QFont& font)
{
    const QFontMetricsF metrics(font);
    const qreal zero = metrics.horizontalAdvance(QLatin1Char('0'));
    for (char c = '1'; c <= '9'; ++c)
        if (!qFuzzyCompare(metrics.horizontalAdvance(QLatin1Char(c)), zero))
            return false;
    return true;
}

QFont monospacedDigitFont(qreal pixelSize, QFont::Weight weight)
{
    QFont font = systemFont(pixelSize, weight);
    if (hasTabularDigits(font))
        return font;
    QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    fixed.setPixelSize(pt(pixelSize));
    fixed.setWeight(weight);
    return fixed;
}

void applyTextColor(QWidget* widget, const TextColor& color, QPalette::ColorRole role)
{
    const QWidget* parent = widget->parentWidget();
    const QPalette base = parent ? parent->palette() : QApplication::palette();
    QPalette own = widget->palette();
    own.setColor(role, color.resolve(base));
    widget->setPalette(own);
}

QLabel* makeLabel(const QString& text, qreal size, QFont::Weight weight, const TextColor& color)
{
    auto* label = new AppearanceLabel(text, color);
    label->setTextFormat(Qt::PlainText);
    label->setFont(systemFont(size, weight));
    label->setAlignment(Qt::AlignCenter);
    return label;
}

void setLabelColor(QLabel* label, const TextColor& color)
{
    if (auto* own = dynamic_cast<AppearanceLabel*>(label))
        own->setColor(color);
}
