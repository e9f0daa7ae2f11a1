#pragma once

#include <QColor>
#include <QFont>
#include <QPalette>
#include <QString>

#include <optional>
#include <utility>

class QLabel;
class QWidget;

// An accent that follows the light or dark appearance, resolved each time it is painted.
struct DynamicColor {
    QColor light;
    QColor dark;
    QColor resolve(const QPalette& palette) const;
};

// Dark when the window colour is darker than the text colour (Qt 6.4 has no colour-scheme API).
bool isDarkAppearance(const QPalette& palette);

// Whether the desktop asks for high contrast: GNOME's high-contrast setting or theme, a KDE
// colour scheme named for it, or GTK_THEME. Then every text is drawn in the full text colour
// (at least 4.5:1), accents and greys aside. Read by readDesktopContrast(), at launch.
bool highContrast();
void readDesktopContrast();
// WCAG's contrast ratio of two opaque colours, from 1 to 21.
qreal contrastRatio(const QColor& a, const QColor& b);
// The main button's text and background colours.
std::pair<QColor, QColor> mainButtonColors();

DynamicColor velmoraMauve();
DynamicColor vovirCyan();
// A red that reads on light and dark backgrounds, for what went wrong.
DynamicColor warningRed();
const QColor& velmoraMauveFixed();
const QColor& vovirCyanFixed();

// The semantic text colours, derived from the palette's text colour.
enum class LabelTone { Primary, Secondary, Tertiary };
QColor labelColor(const QPalette& palette, LabelTone tone = LabelTone::Primary);
// The label colour at a small alpha, for fills, strokes and tracks.
QColor labelColor(const QPalette& palette, qreal alpha);

// What a label's text is painted with: a semantic tone or an accent, both appearance-aware.
struct TextColor {
    LabelTone tone = LabelTone::Primary;
    std::optional<DynamicColor> accent;
    static TextColor of(LabelTone t) { return {t, std::nullopt}; }
    static TextColor of(const DynamicColor& c) { return {LabelTone::Primary, c}; }
    QColor resolve(const QPalette& palette) const;
};

// The application font at a size in design points (pixels at the desktop's text scale) and a
// weight.
QFont systemFont(qreal pixelSize, QFont::Weight weight);
// The same with figures of equal width, so that changing values do not shift.
QFont monospacedDigitFont(qreal pixelSize, QFont::Weight weight);
bool hasTabularDigits(const QFont& font);

// Sets role in widget's own palette to color, resolved against the appearance around it (its
// parent's palette), not against the widget's own overridden colours.
void applyTextColor(QWidget* widget, const TextColor& color, QPalette::ColorRole role);

// A centred plain-text label in the given font and colour.
QLabel* makeLabel(const QString& text, qreal size, QFont::Weight weight, const TextColor& color);
// Changes the colour of a label made by makeLabel (it keeps following the appearance).
void setLabelColor(QLabel* label, const TextColor& color);
