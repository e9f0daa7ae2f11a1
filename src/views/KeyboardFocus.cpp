#include "KeyboardFocus.h"

#include <QEvent>
#include <QFocusEvent>
#include <QStyle>
#include <QWidget>

namespace {

constexpr char kProperty[] = "keyboardFocus";

class KeyboardFocusMarker final : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() != QEvent::FocusIn && event->type() != QEvent::FocusOut)
            return false;
        const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
        const bool byKeyboard = event->type() == QEvent::FocusIn &&
                                (reason == Qt::TabFocusReason || reason == Qt::BacktabFocusReason ||
                                 reason == Qt::ShortcutFocusReason);
        auto* widget = static_cast<QWidget*>(watched);
        if (widget->property(kProperty).toBool() != byKeyboard) {
            widget->setProperty(kProperty, byKeyboard);
            widget->style()->unpolish(widget); // style sheets read properties when polished
            widget->style()->polish(widget);
            widget->update();
        }
        return false;
    }
};

} // namespace

void markKeyboardFocus(QWidget* widget)
{
    widget->installEventFilter(new KeyboardFocusMarker(widget));
}

bool hasKeyboardFocus(const QWidget* widget)
{
    return widget->property(kProperty).toBool();
}
