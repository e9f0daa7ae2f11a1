#include "TrayIconStatusItem.h"

#include "views/Symbols.h"

#include <QApplication>
#include <QPalette>

TrayIconStatusItem::TrayIconStatusItem()
{
    m_icon.setIcon(symbolIcon(QStringLiteral("gauge.medium"), 22,
                              QApplication::palette().color(QPalette::WindowText)));
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
