#include "AlertCenter.h"

#include "format/VovirFormat.h"
#include "platform/linux/notify/DesktopNotifications.h"

AlertCenter::AlertCenter(DesktopNotifications* notifications, QObject* parent)
    : QObject(parent), m_notifications(notifications)
{
    if (m_notifications)
        connect(m_notifications, &DesktopNotifications::openRequested, this,
                &AlertCenter::openRequested);
    reload();
}

AlertCenter::~AlertCenter() = default;

void AlertCenter::reload()
{
    QList<AlertRules::Rule> rules;
    for (const AlertRules::Entry& entry : AlertRules::stored())
        if (entry.rule)
            rules.append(*entry.rule);
    m_watch.setRules(rules);
}

DesktopNotifications& AlertCenter::notifications()
{
    if (!m_notifications) {
        m_ownNotifications = std::make_unique<DesktopNotifications>();
        m_notifications = m_ownNotifications.get();
        connect(m_notifications, &DesktopNotifications::openRequested, this,
                &AlertCenter::openRequested);
    }
    return *m_notifications;
}

QPair<QString, QString> AlertCenter::texts(const AlertWatch::Raised& raised)
{
    const QString value = raised.rule.metric == AlertRules::Metric::Temperature
                              ? VovirFormat::celsius(raised.value)
                              : VovirFormat::percent(raised.value);
    return {AlertRules::headline(raised.rule), value + QStringLiteral(" depuis ") +
                                                   VovirFormat::spokenDuration(raised.heldSeconds) +
                                                   u'.'};
}

void AlertCenter::observe(int64_t nowNs, const VovirSnapshot& snapshot)
{
    if (m_watch.isEmpty())
        return;
    for (const AlertWatch::Raised& raised : m_watch.observe(nowNs, snapshot)) {
        const auto [summary, body] = texts(raised);
        QPointer<AlertCenter> self(this);
        // An alert the desktop could not show is kept in what the dialog says, not lost.
        const QString missed =
            QStringLiteral("Alerte non affichée : ") + summary + QStringLiteral(", ") + body;
        notifications().notify(summary, body, [self, missed](const QString& problem) {
            if (self)
                self->noteOutcome(problem.isEmpty() ? problem : problem + u'\n' + missed);
        });
    }
}

void AlertCenter::tryNotification(std::function<void(const QString&)> done)
{
    QPointer<AlertCenter> self(this);
    notifications().notify(QStringLiteral("Alertes de VelmoraVovir"),
                           QStringLiteral("Les alertes s'afficheront ainsi."),
                           [self, done = std::move(done)](const QString& problem) {
                               if (self)
                                   self->noteOutcome(problem);
                               if (done)
                                   done(problem);
                           });
}

void AlertCenter::noteOutcome(const QString& problem)
{
    if (m_lastProblem == problem)
        return;
    m_lastProblem = problem;
    emit problemChanged(problem);
}
