#include "MiniBarView.h"

#include "Palette.h"

#include <QPainter>
#include <QPainterPath>

void MiniBarView::setProgress(qreal progress)
{
    m_progress = progress;
    update();
}

qreal MiniBarView::fillWidth(qreal progress, const QSizeF& size)
{
    if (!(progress > 0)) // also NaN
        return 0;
    const qreal width = progress > 1 ? size.width() : size.width() * progress;
    return std::max(width, size.height());
}

void MiniBarView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    const QRectF bounds = rect();
    const qreal radius = bounds.height() / 2;
    painter.setBrush(labelColor(palette(), 0.12));
    painter.drawRoundedRect(bounds, radius, radius);
    const qreal width = fillWidth(m_progress, bounds.size());
    if (width <= 0)
        return;
    painter.setBrush(vovirCyanFixed());
    painter.drawRoundedRect(QRectF(bounds.topLeft(), QSizeF(width, bounds.height())), radius,
                            radius);
}
