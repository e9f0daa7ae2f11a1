#pragma once

#include <QLabel>
#include <QPixmap>

// The red unread disc with a number: any count below 1 shows 1; no cap.
QPixmap quotaBadgeImage(qint64 count, qreal diameter, qreal devicePixelRatio = 1.0);

// The text drawn in the badge and its font, exposed for the layout checks.
QString badgeText(qint64 count);
QFont badgeFont(qreal diameter);

// Shows a badge over another control without taking its clicks.
class BadgeImageView final : public QLabel {
    Q_OBJECT
public:
    explicit BadgeImageView(QWidget* parent = nullptr);
};
