#include "LauncherEntryBadge.h"

#include <QDBusMessage>
#include <QDBusServiceWatcher>
#include <QVariantMap>

LauncherEntryBadge::LauncherEntryBadge(QDBusConnection bus, const QString& desktopId)
    : m_bus(bus),
      m_appUri(QStringLiteral("application://") + desktopId + QStringLiteral(".desktop")),
      m_watcher(new QDBusServiceWatcher(kDockService, bus,
                                        QDBusServiceWatcher::WatchForRegistration, this))
{
    // A dock started later knows nothing of the count: tell it again.
    connect(m_watcher, &QDBusServiceWatcher::serviceRegistered, this,
            &LauncherEntryBadge::announce);
}

void LauncherEntryBadge::setCount(int count)
{
    m_count = qMax(0, count);
    announce();
}

void LauncherEntryBadge::announce()
{
    if (!m_bus.isConnected())
        return;
    QDBusMessage signal = QDBusMessage::createSignal(kPath, kInterface, QStringLiteral("Update"));
    const QVariantMap properties{{QStringLiteral("count"), qint64(m_count)},
                                 {QStringLiteral("count-visible"), m_count > 0}};
    signal << m_appUri << properties;
    m_bus.send(signal);
}
