#pragma once

#include "platform/LoginItem.h"

#include <QStringList>

// Opening at login through an XDG autostart entry (freedesktop Desktop Application Autostart).
class AutostartLoginItem final : public LoginItem {
public:
    // configHome: $XDG_CONFIG_HOME; configDirs: $XDG_CONFIG_DIRS, searched for system entries.
    AutostartLoginItem(QString desktopId, QString executable, QString configHome,
                       QStringList configDirs);
    // The user's real folders and this process's executable.
    static std::unique_ptr<AutostartLoginItem> forCurrentUser();

    bool isEnabled() const override;
    bool setEnabled(bool on, QString* error) override;

    QString userEntryPath() const;

private:
    QString systemEntryPath() const;
    bool writeEntry(bool hidden, QString* error) const;

    QString m_desktopId;
    QString m_executable;
    QString m_configHome;
    QStringList m_configDirs;
};
