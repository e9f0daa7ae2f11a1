#include "TextScale.h"

#include <QFont>
#include <QGuiApplication>

#include <algorithm>

qreal textScale()
{
    const QFont font = QGuiApplication::font();
    // A font given in pixels is read at the 96 dots per inch Qt lays logical pixels out at.
    const qreal points = font.pointSizeF() > 0 ? font.pointSizeF() : font.pixelSize() * 0.75;
    return std::clamp(points / 11.0, 1.0, 2.5);
}

int pt(qreal designLength)
{
    return qRound(designLength * textScale());
}

QSize pt(QSize design)
{
    return {pt(design.width()), pt(design.height())};
}

QPoint pt(QPoint design)
{
    return {pt(design.x()), pt(design.y())};
}

QRect pt(const QRect& design)
{
    return {pt(design.topLeft()), pt(design.size())};
}
