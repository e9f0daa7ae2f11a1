#include "platform/DesktopPlatform.h"

#include "badge/LauncherEntryBadge.h"
#include "login/AutostartLoginItem.h"
#include "panel/StatusNotifierItem.h"
#include "panel/TrayIconStatusItem.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QSystemTrayIcon>

namespace DesktopPlatform {

StatusItemFactory statusItemFactory()
{
    return []() -> std::unique_ptr<StatusItemBackend> {
        QDBusConnection bus = QDBusConnection::sessionBus();
        const bool watcher =
            bus.isConnected() && bus.interface() &&
            bus.interface()->isServiceRegistered(StatusNotifierItem::kWatcherService);
        if (watcher)
            return std::make_unique<StatusNotifierItem>();
        if (QSystemTrayIcon::isSystemTrayAvailable())
            return std::make_unique<TrayIconStatusItem>();
        // The panel may simply not be up yet (at login): the item registers when it comes.
        if (bus.isConnected())
            return std::make_unique<StatusNotifierItem>();
        return nullptr; // no panel: the application works on without one
    };
}

std::unique_ptr<LoginItem> loginItem()
{
    return AutostartLoginItem::forCurrentUser();
}

std::unique_ptr<TaskBarBadge> taskBarBadge(const QString& desktopId)
{
    return std::make_unique<LauncherEntryBadge>(QDBusConnection::sessionBus(), desktopId);
}

} // namespace DesktopPlatform
