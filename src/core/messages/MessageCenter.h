#pragma once

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>

#include "service/ServiceContract.h"

#include <functional>
#include <optional>

class UserDefaults;

// One message of the conversation with the maker.
struct ArchivedMessage {
    qint64 id = 0; // the maker's positive id; own messages: minus the seconds since 1970
    QString body;
    QDateTime date; // when it entered the archive
    bool mine = false;
    bool unsent = false; // an own reply whose upload has not gone through (yet)
};

// A maker message fetched by a sync and not yet shown.
struct PendingMessage {
    qint64 id = 0;
    QString body;
    bool operator==(const PendingMessage&) const = default;
};

// The conversation with the maker: the archive, the shown list and the acknowledged id in the
// settings store, the pending message in memory, the device identifier, and the exchanges with
// the maker's service. Used on the main thread only; network answers come back there.
class MessageCenter final : public QObject {
    Q_OBJECT
public:
    static constexpr int kMaxStored = 50;
    static constexpr int kSyncDeadlineMs = 8000;
    static constexpr int kReportDeadlineMs = 10000;

    MessageCenter() = default;
    static MessageCenter& shared();
    // Tests shorten the deadlines of the exchanges.
    void setDeadlines(int syncMs, int reportMs)
    {
        m_syncDeadlineMs = syncMs;
        m_reportDeadlineMs = reportMs;
    }

    // Newest first; entries without an integer "id" or a string "body" are left out.
    QList<ArchivedMessage> messageHistory() const;
    // Archives the user's own message as not sent yet; returns its id.
    qint64 archiveOwn(const QString& body);
    // The reply (id, body) went through: it loses its "not sent" mark.
    void markOwnSent(qint64 id, const QString& body);
    void markMessageShown();
    // Records this message as shown (the one a pop-up displayed, even if a later sync replaced
    // the pending message meanwhile); clears the pending message when it is this one.
    void markShown(const PendingMessage& message);

    std::optional<PendingMessage> pendingMessage;

    QString deviceId();
    // The system as the service sees it; the crash upload sends the same.
    static QString osString();

    // One sync: sets pendingMessage when the service offers a message never shown; done runs
    // afterwards in every case (also on failure).
    void checkWithServer(std::function<void()> done);
    // How an upload ended: taken by the service, or not (no network, an error, a refusal), or
    // refused as too large (413), which sending it again cannot mend.
    enum class Upload { Sent, Failed, TooLarge };
    // Uploads a problem report.
    void reportProblem(const QString& text, const std::optional<QString>& email,
                       std::function<void(Upload)> done);
    // Uploads a reply typed in the messages window: the same upload, marked as a reply so that
    // the maker tells it from a new report; done gets whether the service took it.
    void sendReply(const QString& text, std::function<void(bool)> done);

signals:
    // The pending message changed (set by a sync, or cleared when shown).
    void pendingMessageChanged();
    // A sync ended, successfully or not, after its caller's own steps.
    void syncFinished();

private:
    void archive(qint64 id, const QString& body);
    void upload(ServiceContract::ReportRequest request, std::function<void(Upload)> done);
    static UserDefaults& store();
    int m_syncDeadlineMs = kSyncDeadlineMs;
    int m_reportDeadlineMs = kReportDeadlineMs;
    // Reports and replies not known to have arrived, by what they say: the same text sent again
    // goes with the same request id, so that one the service stored after all (its answer
    // lost) is stored once.
    QHash<QByteArray, QString> m_unconfirmed;
};
