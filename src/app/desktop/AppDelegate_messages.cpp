// The conversation with the maker: the hourly sync, the unread indicators, the pending message's
// pop-up and problem reports.
#include "AppDelegate.h"

#include "AlertPresenter.h"
#include "messages/MessageCenter.h"
#include "platform/TaskBarBadge.h"
#include "settings/UserDefaults.h"
#include "settings/VovirSettings.h"
#include "views/BadgeImage.h"

#include <QApplication>
#include <QMainWindow>

namespace {

// A report that has not gone through yet, offered again in the dialog until one does.
const QString kReportDraft = QStringLiteral("VSReportDraft");

ReportForm storedDraft()
{
    const QVariantMap draft = VovirSettings::store().object(kReportDraft).toMap();
    return {draft.value(QStringLiteral("text")).toString(),
            draft.value(QStringLiteral("email")).toString()};
}

} // namespace

const QString AppDelegate::kSupportEmail = QStringLiteral("support@velmoralabs.ch");

void AppDelegate::syncWithServer()
{
    if (!VovirSettings::sendDiagnostics())
        return; // switched off by the user or the administrator

    QPointer<AppDelegate> weak(this);
    m_messages->checkWithServer([weak] {
        if (!weak)
            return;
        weak->refreshVovirUI();
        weak->refreshMessageBadges();
        if (weak->m_messages->pendingMessage && weak->m_mainWindow &&
            weak->m_mainWindow->isVisible())
            weak->showPendingMessage();
    });
}

void AppDelegate::refreshMessageBadges()
{
    const bool unread = m_messages->pendingMessage.has_value();
    m_taskBarBadge->setCount(unread ? 1 : 0);
    // What the red disc says, for a screen reader.
    const QString waiting = unread ? QStringLiteral("1 message non lu") : QString();
    if (m_messagesBadge) {
        m_messagesBadge->setPixmap(unread ? quotaBadgeImage(1, 14, qApp->devicePixelRatio())
                                          : QPixmap());
        m_messagesBadge->setVisible(unread);
        m_messagesBadge->setAccessibleName(waiting);
    }
    if (m_messagesButton) {
        m_messagesButton->setAccented(unread);
        m_messagesButton->setAccessibleDescription(waiting);
    }
    if (m_appMessagesItem)
        m_appMessagesItem->setVisible(unread);
}

void AppDelegate::showPendingMessage()
{
    // One pop-up at a time: a sync ending while it is open only refreshes the indicators.
    if (!m_messages->pendingMessage || m_showingPendingMessage)
        return;
    const PendingMessage shown = *m_messages->pendingMessage;
    m_showingPendingMessage = true;
    activateApplication();
    m_alerts->run({QStringLiteral("Message de Velmora Labs"),
                   shownMessageText(shown.body),
                   {QStringLiteral("Compris")}},
                  m_mainWindow);
    m_showingPendingMessage = false;
    m_messages->markShown(shown);
    refreshMessageBadges();
}

void AppDelegate::reportProblemPressed()
{
    activateApplication();
    const std::optional<ReportForm> form = m_alerts->askReport(storedDraft(), m_mainWindow);
    if (!form)
        return;
    const QString text = form->text.trimmed();
    if (text.isEmpty()) {
        // Emptied and confirmed: the user threw the draft away ("Annuler" keeps it).
        VovirSettings::store().remove(kReportDraft);
        return;
    }
    // Kept until the service has it: a failed send never costs the user the text.
    const QVariantMap draft{{QStringLiteral("text"), text}, {QStringLiteral("email"), form->email}};
    VovirSettings::store().setDictionary(kReportDraft, draft);
    const std::optional<QString> email =
        form->email.isEmpty() ? std::nullopt : std::optional<QString>(form->email);
    QPointer<AppDelegate> weak(this);
    m_messages->reportProblem(text, email, [weak, draft](MessageCenter::Upload outcome) {
        if (!weak)
            return;
        const bool ok = outcome == MessageCenter::Upload::Sent;
        if (ok && VovirSettings::store().object(kReportDraft).toMap() == draft)
            VovirSettings::store().remove(kReportDraft);
        const Alert result =
            ok ? Alert{QStringLiteral("Merci !"),
                       QStringLiteral(
                           "Ton signalement est bien parti. La réponse arrivera dans l'app."),
                       {}}
            : outcome == MessageCenter::Upload::TooLarge
                ? Alert{QStringLiteral("Signalement trop long"),
                        QStringLiteral("Velmora Labs ne peut pas recevoir un signalement aussi "
                                       "long. Raccourcis-le (il est gardé) ou écris à ") +
                            kSupportEmail + QLatin1Char('.'),
                        {}}
                : Alert{QStringLiteral("Envoi impossible"),
                        QStringLiteral("Impossible d'envoyer pour le moment (réseau ?). "
                                       "Réessaie plus tard ou écris à ") +
                            kSupportEmail + QLatin1Char('.'),
                        {}};
        weak->activateApplication();
        weak->m_alerts->run(result, weak->m_mainWindow);
    });
}
