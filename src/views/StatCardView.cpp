#include "StatCardView.h"

#include "KeyboardFocus.h"
#include "MiniBarView.h"
#include "Palette.h"
#include "TextScale.h"

#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>

StatCardView::StatCardView(const QString& title, bool showsBar, QWidget* parent)
    : QWidget(parent), m_title(title)
{
    setFixedSize(pt(cardSize));
    setFocusPolicy(Qt::TabFocus);
    markKeyboardFocus(this);
    setAccessibleName(title);
    setCursor(Qt::PointingHandCursor);
    setToolTip(QStringLiteral("Historique de la dernière heure"));
    auto leftLabel = [this](const QString& text, const QFont& font, LabelTone tone,
                            const QRect& frame) {
        QLabel* label = makeLabel(text, 0, QFont::Normal, TextColor::of(tone));
        label->setParent(this);
        label->setFont(font);
        label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        label->setGeometry(pt(frame));
        return label;
    };
    m_titleLabel = leftLabel(title, systemFont(11, QFont::DemiBold), LabelTone::Secondary,
                             QRect(12, 7, 162, 14));
    m_valueLabel = leftLabel(QStringLiteral("\u2026"), monospacedDigitFont(17, QFont::DemiBold),
                             LabelTone::Primary, QRect(12, 23, 162, 21));
    if (showsBar) {
        m_bar = new MiniBarView(this);
        m_bar->setGeometry(pt(QRect(12, 49, 162, 5)));
    } else {
        m_subLabel = leftLabel(QStringLiteral(" "), monospacedDigitFont(10, QFont::Normal),
                               LabelTone::Tertiary, QRect(12, 46, 162, 13));
    }
}

void StatCardView::update(const QString& value, const std::optional<QString>& sub,
                          const std::optional<double>& progress)
{
    m_valueLabel->setText(value);
    // Said again by a screen reader while the card has focus. Set only when it changes: each
    // setting is an accessibility event, built even when no screen reader listens.
    const QString name = m_title + QStringLiteral(" : ") + value;
    if (accessibleName() != name)
        setAccessibleName(name);
    if (sub && m_subLabel) {
        m_subLabel->setText(*sub);
        if (accessibleDescription() != *sub)
            setAccessibleDescription(*sub);
    }
    if (progress && m_bar)
        m_bar->setProgress(*progress);
}

void StatCardView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF box = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    painter.setPen(QPen(labelColor(palette(), 0.08), 1.0));
    painter.setBrush(labelColor(palette(), 0.05));
    painter.drawRoundedRect(box, 10, 10);
    if (hasFocus() && hasKeyboardFocus(this)) { // where the keyboard is, in the accent
        painter.setPen(QPen(vovirCyan().resolve(palette()), 2.0));
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(QRectF(rect()).adjusted(1, 1, -1, -1), 9.5, 9.5);
    }
}

void StatCardView::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        emit activated();
}

void StatCardView::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter ||
        event->key() == Qt::Key_Space)
        emit activated();
    else
        QWidget::keyPressEvent(event);
}
