#include "TrayIconStatusItem.h"

#include "GaugeColor.h"
#include "views/Symbols.h"

TrayIconStatusItem::TrayIconStatusItem()
{
    // The panel's colours are unknown here; the window's text colour can vanish on a dark panel.
    m_icon.setIcon(symbolIcon(QStringLiteral("gauge.medium"), 22, gaugeGrey()));
    m_icon.show();
}

void TrayIconStatusItem::setMenu(QMenu* menu)
{
    m_icon.setContextMenu(menu);
}

void TrayIconStatusItem::showText(const QString& text, const QString&)
{
    m_icon.setToolTip(text);
}

void TrayIconStatusItem::showGauge()
{
    m_icon.setToolTip(QStringLiteral("VelmoraVovir"));
}
