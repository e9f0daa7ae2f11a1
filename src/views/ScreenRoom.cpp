#include "ScreenRoom.h"

#include <QScreen>
#include <QWidget>
#include <QWindow>

#include <climits>

QSize roomOnScreen(const QWidget* window)
{
    const QScreen* screen = window->screen();
    if (!screen)
        return {INT_MAX, INT_MAX};
    const QMargins frame =
        window->windowHandle() ? window->windowHandle()->frameMargins() : QMargins();
    const int frameHeight = frame.top() + frame.bottom() > 0 ? frame.top() + frame.bottom() : 40;
    return screen->availableGeometry().size() - QSize(frame.left() + frame.right(), frameHeight);
}
