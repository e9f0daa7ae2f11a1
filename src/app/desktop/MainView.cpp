#include "MainView.h"

#include "views/TextScale.h"

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
    m_column->setGeometry((width() - column.width()) / 2, (height() - column.height()) / 2 - pt(4),
                          column.width(), column.height());
    // Gear 14 from the right and bottom edges, envelope 4 to its left, both 30 x 30.
    const int side = pt(30);
    const QRect gear(width() - pt(14) - side, height() - pt(14) - side, side, side);
    m_gear->setGeometry(gear);
    const QRect envelope(gear.left() - pt(4) - side, gear.top(), side, side);
    m_envelope->setGeometry(envelope);
    // Badge centre 7 in from the envelope's right edge and 7 down from its top.
    const QPoint centre(envelope.right() + 1 - pt(7), envelope.top() + pt(7));
    m_badge->setGeometry(QRect(centre - pt(QPoint(7, 7)), pt(QSize(14, 14))));
}
