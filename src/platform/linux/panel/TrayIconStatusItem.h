#pragma once

#include "views/StatusItemController.h"

#include <QSystemTrayIcon>

// The fallback panel item where no StatusNotifierItem host runs: a plain tray icon, with the
// live text as its tooltip (tray icons cannot show text).
class TrayIconStatusItem final : public StatusItemBackend {
public:
    TrayIconStatusItem();
    void setMenu(QMenu* menu) override;
    void showText(const QString& text, const QString& guide) override;
    void showGauge() override;

private:
    QSystemTrayIcon m_icon;

public:
    QIcon icon() const { return m_icon.icon(); }
};
