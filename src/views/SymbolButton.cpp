#include "SymbolButton.h"

#include "Palette.h"
#include "Symbols.h"
#include "TextScale.h"

#include <QApplication>
#include <QEvent>

SymbolButton::SymbolButton(const QString& symbol, qreal pointSize, const QString& description,
                           QWidget* parent)
    : QToolButton(parent), m_symbol(symbol), m_pointSize(pt(pointSize))
{
    setAutoRaise(true);
    setFocusPolicy(Qt::TabFocus);
    setIconSize(QSize(qRound(m_pointSize), qRound(m_pointSize)));
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

void SymbolButton::setAccented(bool accented)
{
    if (accented == m_accented)
        return;
    m_accented = accented;
    tint();
}

QColor SymbolButton::tintColor() const
{
    const QPalette palette = QApplication::palette();
    return m_accented ? palette.color(QPalette::Highlight)
                      : labelColor(palette, LabelTone::Secondary);
}

void SymbolButton::tint()
{
    setIcon(symbolIcon(m_symbol, m_pointSize, tintColor()));
}
