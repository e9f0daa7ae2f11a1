#pragma once

#include <QSize>

class QWidget;

// The room a window's content has on the screen it shows on: the screen's available area less
// the window's frame (before a first show, when the frame is not known yet, a usual title bar).
// Unbounded without a screen.
QSize roomOnScreen(const QWidget* window);
