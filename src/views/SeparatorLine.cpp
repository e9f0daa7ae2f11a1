#include "SeparatorLine.h"

#include "Palette.h"

#include <QPainter>

SeparatorLine::SeparatorLine(QWidget* parent, qreal alpha) : QWidget(parent), m_alpha(alpha) {}

void SeparatorLine::paintEvent(QPaintEvent*)
{
    QPainter(this).fillRect(rect(), labelColor(palette(), m_alpha));
}
