#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>

#include <functional>

// Notifications through the desktop's notification service (org.freedesktop.Notifications on
// the session bus). Every call is asynchronous and bounded in time: a missing, slow or refusing
// service never holds the caller up, and its answer comes back as a French reason.
class DesktopNotifications final : public QObject {
    Q_OBJECT
public:
    static constexpr int kAnswerTimeoutMs = 10'000;
    explicit DesktopNotifications(QDBusConnection bus = QDBusConnection::sessionBus(),
                                  int answerTimeoutMs = kAnswerTimeoutMs,
                                  QObject* parent = nullptr);

    // done gets an empty text once the service shows it, else why it could not.
    void notify(const QString& summary, const QString& body,
                std::function<void(const QString& problem)> done = {});

signals:
    // The user chose "Ouvrir VelmoraVovir" on one of our notifications.
    void openRequested();

private slots:
    void actionInvoked(uint id, const QString& action);

private:
    QDBusConnection m_bus;
    int m_timeoutMs;
    bool m_listening = false;
    QList<uint> m_shown; // the last notifications' ids, for their actions
};
