#include "MiniBarView.h"

#include "Palette.h"

#include <QAccessibleValueInterface>
#include <QAccessibleWidget>
#include <QPainter>
#include <QPainterPath>

#include <cmath>

namespace {

// What the bar shows, in whole per cent from 0 to 100.
int percentShown(qreal progress)
{
    return progress > 0 ? int(std::lround(std::min<qreal>(progress, 1) * 100)) : 0;
}

class AccessibleMiniBar final : public QAccessibleWidget, public QAccessibleValueInterface {
public:
    explicit AccessibleMiniBar(QWidget* bar) : QAccessibleWidget(bar, QAccessible::ProgressBar) {}
    void* interface_cast(QAccessible::InterfaceType type) override
    {
        return type == QAccessible::ValueInterface ? static_cast<QAccessibleValueInterface*>(this)
                                                   : QAccessibleWidget::interface_cast(type);
    }
    QString text(QAccessible::Text kind) const override
    {
        return kind == QAccessible::Value ? QStringLiteral("%1 %").arg(current())
                                          : QAccessibleWidget::text(kind);
    }
    QVariant currentValue() const override { return current(); }
    void setCurrentValue(const QVariant&) override {} // it only shows
    QVariant maximumValue() const override { return 100; }
    QVariant minimumValue() const override { return 0; }
    QVariant minimumStepSize() const override { return 1; }

private:
    int current() const { return percentShown(static_cast<MiniBarView*>(widget())->progress()); }
};

QAccessibleInterface* accessibleMiniBar(const QString& className, QObject* object)
{
    return className == QLatin1String("MiniBarView") && object && object->isWidgetType()
               ? new AccessibleMiniBar(static_cast<QWidget*>(object))
               : nullptr;
}

} // namespace

MiniBarView::MiniBarView(QWidget* parent) : QWidget(parent)
{
    static const bool installed = (QAccessible::installFactory(accessibleMiniBar), true);
    Q_UNUSED(installed);
}

void MiniBarView::setProgress(qreal progress)
{
    const int before = percentShown(m_progress);
    m_progress = progress;
    update();
    // Only a screen reader listening hears of it: nothing is built for nobody.
    if (QAccessible::isActive() && percentShown(progress) != before) {
        QAccessibleValueChangeEvent event(this, percentShown(progress));
        QAccessible::updateAccessibility(&event);
    }
}

qreal MiniBarView::fillWidth(qreal progress, const QSizeF& size)
{
    if (!(progress > 0)) // also NaN
        return 0;
    const qreal width = progress > 1 ? size.width() : size.width() * progress;
    return std::max(width, size.height());
}

void MiniBarView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    const QRectF bounds = rect();
    const qreal radius = bounds.height() / 2;
    painter.setBrush(labelColor(palette(), 0.12));
    painter.drawRoundedRect(bounds, radius, radius);
    const qreal width = fillWidth(m_progress, bounds.size());
    if (width <= 0)
        return;
    painter.setBrush(vovirCyanFixed());
    painter.drawRoundedRect(QRectF(bounds.topLeft(), QSizeF(width, bounds.height())), radius,
                            radius);
}
