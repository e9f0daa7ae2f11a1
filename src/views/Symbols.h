#pragma once

#include <QColor>
#include <QIcon>
#include <QPixmap>
#include <QString>

// The project's own icons, looked up by the names of the system symbols they stand for
// ("gauge.medium", "gearshape.fill", ...). A name without an icon gives a null result.
bool hasSymbol(const QString& name);
QPixmap symbolPixmap(const QString& name, qreal pointSize, const QColor& tint,
                     qreal devicePixelRatio = 1.0);
QIcon symbolIcon(const QString& name, qreal pointSize, const QColor& tint);

// The application's icon at a size in pixels; null when the resource is missing.
QPixmap applicationIconPixmap(int size, qreal devicePixelRatio = 1.0);
QIcon applicationIcon();

// text without the characters outside the basic plane (emoji) that no installed font draws:
// a desktop without a colour emoji font would show an empty box.
QString withDrawableEmoji(const QString& text);
