#include "MessageCenter.h"

#include "service/AppInfo.h"
#include "service/ServiceContract.h"
#include "service/ServiceExchange.h"
#include "settings/UserDefaults.h"
#include "settings/VovirSettings.h"

#include <QJsonDocument>
#include <QUuid>

namespace {

const QString kHistory = QStringLiteral("VSMessageHistory");
const QString kShown = QStringLiteral("VSShownMessages");
const QString kAck = QStringLiteral("VSAckMessage");
const QString kDevice = QStringLiteral("VSDeviceId");
// Extra member of an own entry whose upload has not succeeded; readers ignore unknown members.
const QString kSent = QStringLiteral("sent");

QVariantList capped(QVariantList list)
{
    if (list.size() > MessageCenter::kMaxStored)
        list = list.mid(list.size() - MessageCenter::kMaxStored);
    return list;
}

// The stored array's elements of the wanted type, the newest 50: an element of another type
// is left out alone (it must not cost the rest of the conversation at the next write).
QVariantList typedArray(const QVariant& stored, QMetaType::Type elementType)
{
    if (stored.typeId() != QMetaType::QVariantList)
        return {};
    QVariantList list = stored.toList();
    list.removeIf(
        [elementType](const QVariant& element) { return element.typeId() != elementType; });
    return capped(list);
}

std::optional<qint64> entryId(const QVariantMap& entry)
{
    const QVariant id = entry.value(QStringLiteral("id"));
    if (id.typeId() != QMetaType::LongLong)
        return std::nullopt;
    return id.toLongLong();
}

} // namespace

MessageCenter& MessageCenter::shared()
{
    static MessageCenter* center = new MessageCenter; // lives until the process ends
    return *center;
}

UserDefaults& MessageCenter::store()
{
    return VovirSettings::store();
}

QList<ArchivedMessage> MessageCenter::messageHistory() const
{
    QList<ArchivedMessage> messages;
    for (const QVariant& element : typedArray(store().object(kHistory), QMetaType::QVariantMap)) {
        const QVariantMap entry = element.toMap();
        const std::optional<qint64> id = entryId(entry);
        const QVariant body = entry.value(QStringLiteral("body"));
        if (!id || body.typeId() != QMetaType::QString)
            continue;
        const QVariant date = entry.value(QStringLiteral("date"));
        const QVariant mine = entry.value(QStringLiteral("mine"));
        const QVariant sent = entry.value(kSent);
        ArchivedMessage message;
        message.id = *id;
        message.body = body.toString();
        message.date = date.typeId() == QMetaType::QDateTime ? date.toDateTime()
                                                             : QDateTime::currentDateTime();
        message.mine = mine.typeId() == QMetaType::Bool && mine.toBool();
        message.unsent = message.mine && sent.typeId() == QMetaType::Bool && !sent.toBool();
        messages.prepend(message);
    }
    return messages;
}

void MessageCenter::archive(qint64 id, const QString& body)
{
    QVariantList history = typedArray(store().object(kHistory), QMetaType::QVariantMap);
    for (const QVariant& element : history)
        if (entryId(element.toMap()) == id)
            return;
    history.append(QVariantMap{{QStringLiteral("id"), id},
                               {QStringLiteral("body"), body},
                               {QStringLiteral("date"), QDateTime::currentDateTime()},
                               {QStringLiteral("mine"), false}});
    store().setArray(kHistory, capped(history));
}

qint64 MessageCenter::archiveOwn(const QString& body)
{
    QVariantList history = typedArray(store().object(kHistory), QMetaType::QVariantMap);
    const qint64 id = -(QDateTime::currentMSecsSinceEpoch() / 1000);
    history.append(QVariantMap{{QStringLiteral("id"), id},
                               {QStringLiteral("body"), body},
                               {QStringLiteral("date"), QDateTime::currentDateTime()},
                               {QStringLiteral("mine"), true},
                               {kSent, false}});
    store().setArray(kHistory, capped(history));
    return id;
}

void MessageCenter::markOwnSent(qint64 id, const QString& body)
{
    QVariantList history = typedArray(store().object(kHistory), QMetaType::QVariantMap);
    // Two replies of the same second share an id: the newest unsent one with this text.
    for (qsizetype i = history.size() - 1; i >= 0; --i) {
        QVariantMap entry = history[i].toMap();
        if (entryId(entry) != id || entry.value(QStringLiteral("body")).toString() != body ||
            !entry.contains(kSent))
            continue;
        entry.remove(kSent);
        history[i] = entry;
        store().setArray(kHistory, history);
        return;
    }
}

void MessageCenter::markMessageShown()
{
    if (pendingMessage)
        markShown(*pendingMessage);
}

void MessageCenter::markShown(const PendingMessage& message)
{
    QVariantList shown = typedArray(store().object(kShown), QMetaType::LongLong);
    shown.append(message.id);
    store().setArray(kShown, capped(shown));
    store().setInteger(kAck, message.id);
    archive(message.id, message.body);
    if (pendingMessage == message) {
        pendingMessage.reset();
        emit pendingMessageChanged();
    }
}

QString MessageCenter::deviceId()
{
    const QString stored = store().stringValue(kDevice);
    if (store().object(kDevice).typeId() == QMetaType::QString && !stored.isEmpty())
        return stored;
    const QString created = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    store().setString(kDevice, created);
    return created;
}

QString MessageCenter::osString()
{
    return AppInfo::systemDescription();
}

void MessageCenter::checkWithServer(std::function<void()> done)
{
    ServiceContract::SyncRequest request{deviceId(), AppInfo::version(), osString(), std::nullopt};
    const QVariant ack = store().object(kAck);
    if (ack.typeId() == QMetaType::LongLong && ack.toLongLong() > 0)
        request.ack = ack.toLongLong();
    ServiceExchange::post(
        ServiceContract::kSyncPath, ServiceContract::toJson(request), m_syncDeadlineMs, this,
        [this, done](std::optional<ServiceExchange::Answer> answer) {
            // The status is not examined: an error page with a well-formed body still counts.
            const auto offer = answer ? ServiceContract::syncAnswerFrom(answer->body)
                                      : std::optional<ServiceContract::SyncAnswer>();
            if (offer && offer->mid > 0 && !offer->msg.isEmpty()) {
                const QVariantList shown = typedArray(store().object(kShown), QMetaType::LongLong);
                const PendingMessage message{offer->mid, offer->msg};
                if (!shown.contains(QVariant(offer->mid)) && pendingMessage != message) {
                    pendingMessage = message;
                    emit pendingMessageChanged();
                }
            }
            if (done)
                done();
            emit syncFinished();
        });
}

void MessageCenter::reportProblem(const QString& text, const std::optional<QString>& email,
                                  std::function<void(Upload)> done)
{
    upload({deviceId(), AppInfo::version(), osString(), text, email, false, {}}, std::move(done));
}

void MessageCenter::sendReply(const QString& text, std::function<void(bool)> done)
{
    upload({deviceId(), AppInfo::version(), osString(), text, std::nullopt, true, {}},
           [done = std::move(done)](Upload outcome) {
               if (done)
                   done(outcome == Upload::Sent);
           });
}

void MessageCenter::upload(ServiceContract::ReportRequest request, std::function<void(Upload)> done)
{
    const QByteArray content = QJsonDocument(ServiceContract::toJson(request)).toJson();
    QString& id = m_unconfirmed[content];
    if (id.isEmpty())
        id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    request.request = id;
    ServiceExchange::post(
        ServiceContract::kReportPath, ServiceContract::toJson(request), m_reportDeadlineMs, this,
        [this, done, content](std::optional<ServiceExchange::Answer> answer) {
            bool ok = false;
            if (answer && answer->status == 200)
                ok = ServiceContract::reportAnswerFrom(answer->body).value_or(false);
            if (ok)
                m_unconfirmed.remove(content);
            if (done)
                done(ok                                ? Upload::Sent
                     : answer && answer->status == 413 ? Upload::TooLarge
                                                       : Upload::Failed);
        });
}
