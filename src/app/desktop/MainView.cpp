#include "MainView.h"

#include <QEvent>

MainView::MainView(QWidget* column, QWidget* gear, QWidget* envelope, QWidget* badge,
                   QWidget* parent)
    : QWidget(parent), m_column(column), m_gear(gear), m_envelope(envelope), m_badge(badge)
{
    // Added in this order so that the badge lies over the envelope.
    for (QWidget* child : {column, gear, envelope, badge})
        child->setParent(this);
    place();
}

void MainView::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    place();
}

bool MainView::event(QEvent* event)
{
    if (event->type() == QEvent::LayoutRequest)
        place(); // the column's texts changed size
    return QWidget::event(event);
}

void MainView::place()
{
    const QSize column = m_column->sizeHint();
    // Centred, 4 points above the middle.
    m_column->setGeometry((width() - column.width()) / 2, (height() - column.height()) / 2 - 4,
                          column.width(), column.height());
    // Gear 14 from the right and bottom edges, envelope 4 to its left, both 30 x 30.
    const QRect gear(width() - 14 - 30, height() - 14 - 30, 30, 30);
    m_gear->setGeometry(gear);
    const QRect envelope(gear.left() - 4 - 30, gear.top(), 30, 30);
    m_envelope->setGeometry(envelope);
    // Badge centre 7 in from the envelope's right edge and 7 down from its top.
    const QPoint centre(envelope.left() + 30 - 7, envelope.top() + 7);
    m_badge->setGeometry(centre.x() - 7, centre.y() - 7, 14, 14);
}
