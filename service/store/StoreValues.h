#pragma once

#include <QDateTime>
#include <QString>
#include <QVariant>

#include <optional>

// How the store writes times and optional texts into either database: milliseconds since the
// epoch, and NULL for a text not given.
namespace StoreValues {

inline qint64 nowMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

inline QDateTime fromMs(const QVariant& ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms.toLongLong(), Qt::UTC);
}

inline QVariant nullable(const std::optional<QString>& text)
{
    return text ? QVariant(*text) : QVariant(QMetaType::fromType<QString>());
}

} // namespace StoreValues
