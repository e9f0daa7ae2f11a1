#pragma once

#include "LoginItem.h"
#include "TaskBarBadge.h"
#include "views/StatusItemController.h"

#include <memory>

// The desktop services of the system this build targets.
namespace DesktopPlatform {

// Panel items from the desktop's panel protocol, or a plain tray icon where there is none.
StatusItemFactory statusItemFactory();
// Opening at login.
std::unique_ptr<LoginItem> loginItem();
// The unread count on the task-bar entry of the application (desktop id, without ".desktop").
std::unique_ptr<TaskBarBadge> taskBarBadge(const QString& desktopId);

} // namespace DesktopPlatform
