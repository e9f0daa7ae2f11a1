#pragma once

#include "platform/TaskBarBadge.h"

#include <QDBusConnection>
#include <QObject>
#include <QString>

class QDBusServiceWatcher;

// The count on the launcher entry through Unity's LauncherEntry signal, which KDE Plasma and
// Dash to Dock show. The full state goes out each time, and again when a dock appears.
class LauncherEntryBadge final : public QObject, public TaskBarBadge {
    Q_OBJECT
public:
    static inline const QString kDockService = QStringLiteral("com.canonical.Unity");
    static inline const QString kInterface = QStringLiteral("com.canonical.Unity.LauncherEntry");
    static inline const QString kPath =
        QStringLiteral("/com/canonical/unity/launcherentry/velmoravovir");

    LauncherEntryBadge(QDBusConnection bus, const QString& desktopId);
    void setCount(int count) override;

private:
    void announce();
    QDBusConnection m_bus;
    QString m_appUri;
    int m_count = 0;
    QDBusServiceWatcher* m_watcher;
};
