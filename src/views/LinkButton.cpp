#include "LinkButton.h"

#include <QApplication>
#include <QPainter>

LinkButton::LinkButton(const QString& text, const DynamicColor& color, const QFont& font,
                       QWidget* parent)
    : QAbstractButton(parent), m_color(color)
{
    setText(text);
    setFont(font);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::TabFocus);
}

QColor LinkButton::textColor() const
{
    return m_color.resolve(parentWidget() ? parentWidget()->palette() : QApplication::palette());
}

QSize LinkButton::sizeHint() const
{
    return {fontMetrics().horizontalAdvance(text()) + 1, fontMetrics().height()};
}

void LinkButton::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setFont(font());
    painter.setPen(textColor());
    painter.drawText(rect(), Qt::AlignLeft | Qt::AlignVCenter, text());
    if (hasFocus()) { // reached by Tab: underlined, as a focused link is
        const int baseline = (height() + fontMetrics().ascent() - fontMetrics().descent()) / 2 + 1;
        painter.drawLine(0, baseline, fontMetrics().horizontalAdvance(text()), baseline);
    }
}
