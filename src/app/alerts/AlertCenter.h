#pragma once

#include "alerts/AlertWatch.h"

#include <QObject>
#include <QPointer>

#include <memory>

class DesktopNotifications;

// The user's alerts at work: reads them from the settings, follows each sample and hands what
// stays wrong to the desktop's notifications. Costs nothing while no alert is on: no bus, no
// reading beyond the sample.
class AlertCenter final : public QObject {
    Q_OBJECT
public:
    // notifications: the session bus's service when null, reached only when needed.
    explicit AlertCenter(DesktopNotifications* notifications = nullptr, QObject* parent = nullptr);
    ~AlertCenter() override;

    // Reads "VSAlerts" again (after the dialog saves, or another process changed it).
    void reload();
    bool isWatching() const { return !m_watch.isEmpty(); }
    bool watchesTemperature() const { return m_watch.watches(AlertRules::Metric::Temperature); }

    void observe(int64_t nowNs, const VovirSnapshot& snapshot);
    // A notification now, for the dialog's "Essayer"; done gets the reason it failed, or "".
    void tryNotification(std::function<void(const QString& problem)> done);
    // Why the last alert could not be shown and what it said, in French; empty once one was.
    QString lastProblem() const { return m_lastProblem; }
    // What a notification says: headline and "100 % depuis 2 min."
    static QPair<QString, QString> texts(const AlertWatch::Raised& raised);

signals:
    void problemChanged(const QString& problem);
    void openRequested();

private:
    DesktopNotifications& notifications();
    void noteOutcome(const QString& problem);
    QPointer<DesktopNotifications> m_notifications;
    std::unique_ptr<DesktopNotifications> m_ownNotifications;
    AlertWatch m_watch;
    QString m_lastProblem;
};
