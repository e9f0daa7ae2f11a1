#pragma once

// The unread count on the application's task-bar or dock entry.
class TaskBarBadge {
public:
    virtual ~TaskBarBadge() = default;
    // 0 hides the badge.
    virtual void setCount(int count) = 0;
};
