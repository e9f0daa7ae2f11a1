#pragma once

class QWidget;

// Marks a widget while the keyboard brought focus to it (Tab, Shift+Tab, a shortcut) with the
// property "keyboardFocus", so that a style sheet or a paint draws a ring then, and not for the
// focus a window gives its first control as it opens.
void markKeyboardFocus(QWidget* widget);
bool hasKeyboardFocus(const QWidget* widget);
