#include "CardBox.h"

#include "views/Palette.h"

#include <QPainter>

void CardBox::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(labelColor(palette(), 0.08), 1.0));
    painter.setBrush(labelColor(palette(), 0.05));
    painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 10, 10);
}
