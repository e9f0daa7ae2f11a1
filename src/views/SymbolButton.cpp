#include "SymbolButton.h"

#include "Palette.h"
#include "Symbols.h"

#include <QApplication>
#include <QEvent>

SymbolButton::SymbolButton(const QString& symbol, qreal pointSize, const QString& description,
                           QWidget* parent)
    : QToolButton(parent), m_symbol(symbol), m_pointSize(pointSize)
{
    setAutoRaise(true);
    setFocusPolicy(Qt::TabFocus);
    setIconSize(QSize(qRound(pointSize), qRound(pointSize)));
    setToolTip(description);
    setAccessibleName(description);
    tint();
}

bool SymbolButton::event(QEvent* event)
{
    if (event->type() == QEvent::ApplicationPaletteChange)
        tint();
    return QToolButton::event(event);
}

void SymbolButton::tint()
{
    setIcon(symbolIcon(m_symbol, m_pointSize,
                       labelColor(QApplication::palette(), LabelTone::Secondary)));
}
