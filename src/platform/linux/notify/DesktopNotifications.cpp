#include "DesktopNotifications.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kOpenAction = QStringLiteral("default");

QString reasonFor(const QDBusError& error)
{
    switch (error.type()) {
    case QDBusError::ServiceUnknown:
    case QDBusError::Disconnected:
        return QStringLiteral("Aucun service de notifications ne tourne sur ce bureau.");
    case QDBusError::NoReply:
    case QDBusError::Timeout:
    case QDBusError::TimedOut:
        return QStringLiteral("Le service de notifications n'a pas répondu.");
    default:
        break;
    }
    // The service's own words, short and on one line.
    QString said = error.message().simplified().left(160);
    return QStringLiteral("Le service de notifications a refusé l'alerte") +
           (said.isEmpty() ? QStringLiteral(".") : QStringLiteral(" : ") + said);
}

} // namespace

DesktopNotifications::DesktopNotifications(QDBusConnection bus, int answerTimeoutMs,
                                           QObject* parent)
    : QObject(parent), m_bus(std::move(bus)), m_timeoutMs(answerTimeoutMs)
{
}

void DesktopNotifications::notify(const QString& summary, const QString& body,
                                  std::function<void(const QString&)> done)
{
    if (!m_bus.isConnected()) {
        if (done)
            done(QStringLiteral("Pas de bus de session : les alertes ne peuvent pas "
                                "s'afficher."));
        return;
    }
    if (!m_listening)
        m_listening = m_bus.connect(QString(), kPath, kService, QStringLiteral("ActionInvoked"),
                                    this, SLOT(actionInvoked(uint, QString)));
    QDBusMessage call =
        QDBusMessage::createMethodCall(kService, kPath, kService, QStringLiteral("Notify"));
    const QVariantMap hints{{QStringLiteral("desktop-entry"), QStringLiteral("velmoravovir")},
                            {QStringLiteral("category"), QStringLiteral("device")},
                            {QStringLiteral("urgency"), QVariant::fromValue(uchar(1))}};
    call << QStringLiteral("VelmoraVovir") << uint(0) << QStringLiteral("velmoravovir") << summary
         << body << QStringList{kOpenAction, QStringLiteral("Ouvrir VelmoraVovir")} << hints
         << int(-1);
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call, m_timeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, watcher, done = std::move(done)] {
                watcher->deleteLater();
                const QDBusPendingReply<uint> reply = *watcher;
                if (reply.isValid()) {
                    m_shown.append(reply.value());
                    if (m_shown.size() > 16)
                        m_shown.removeFirst();
                }
                if (done)
                    done(reply.isValid() ? QString() : reasonFor(reply.error()));
            });
}

void DesktopNotifications::actionInvoked(uint id, const QString& action)
{
    if (action == kOpenAction && m_shown.contains(id))
        emit openRequested();
}
