#include "BadgeImage.h"

#include "Palette.h"

#include <QFontMetricsF>
#include <QPainter>

namespace {
// The system red of the light appearance; the badge keeps its colours in every appearance.
const QColor kSystemRed(0xFF, 0x3B, 0x30);
} // namespace

QString badgeText(qint64 count)
{
    return QString::number(std::max<qint64>(count, 1));
}

QFont badgeFont(qreal diameter)
{
    QFont font = systemFont(0, QFont::Bold);
    font.setPixelSize(std::max(1, qRound(0.68 * diameter)));
    return font;
}

QPixmap quotaBadgeImage(qint64 count, qreal diameter, qreal devicePixelRatio)
{
    const int side = std::max(1, qRound(diameter * devicePixelRatio));
    QPixmap pixmap(side, side);
    pixmap.setDevicePixelRatio(devicePixelRatio);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(kSystemRed);
    painter.drawEllipse(QRectF(0, 0, diameter, diameter));
    const QString text = badgeText(count);
    const QFont font = badgeFont(diameter);
    const QFontMetricsF metrics(font);
    const qreal width = metrics.horizontalAdvance(text);
    const qreal height = metrics.height();
    // Centred on the disc, also when the text is wider than the disc.
    const QPointF origin((diameter - width) * 0.5, (diameter - height) * 0.5 + metrics.ascent());
    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.drawText(origin, text);
    return pixmap;
}

BadgeImageView::BadgeImageView(QWidget* parent) : QLabel(parent)
{
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setScaledContents(true);
}
