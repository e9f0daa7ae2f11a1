#include "ServiceRoutes.h"

#include "StoreCall.h"
#include "console/Notifier.h"
#include "service/ServiceContract.h"
#include "store/CrashSignature.h"
#include "store/Store.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace {

using Status = QHttpServerResponder::StatusCode;

const QJsonObject kRefusal{{QStringLiteral("ok"), false}};

// Compact, as the application writes its own requests.
void writeJson(QHttpServerResponder& responder, const QJsonObject& body, Status status)
{
    responder.write(QJsonDocument(body).toJson(QJsonDocument::Compact),
                    QByteArrayLiteral("application/json"), status);
}
const QJsonObject kAccepted{{QStringLiteral("ok"), true}};

bool fits(const QString& text, qsizetype limit)
{
    return text.size() <= limit;
}

// A device id the maker can read and type back: printable characters only, no control, format
// (bidi, zero-width) or lone surrogate, which would print alike for different ids.
bool isDeviceId(const QString& id)
{
    if (id.isEmpty() || !fits(id, ServiceRoutes::kMaxShortText))
        return false;
    for (qsizetype i = 0; i < id.size(); ++i) {
        char32_t c = id[i].unicode();
        if (QChar::isHighSurrogate(c) && i + 1 < id.size() && id[i + 1].isLowSurrogate()) {
            c = QChar::surrogateToUcs4(id[i], id[i + 1]);
            ++i;
        } else if (QChar::isSurrogate(c))
            return false;
        if (!QChar::isPrint(c))
            return false;
    }
    return true;
}

} // namespace

std::optional<qint64> ServiceRoutes::bodyLimit(const QByteArray& path)
{
    if (path == ServiceContract::kCrashPath.toLatin1())
        return kMaxCrashBytes;
    if (path == ServiceContract::kReportPath.toLatin1())
        return kMaxReportBytes;
    if (path == ServiceContract::kSyncPath.toLatin1())
        return kMaxSyncBytes;
    return std::nullopt;
}

ServiceRoutes::ServiceRoutes(QHttpServer& server, StorePool& stores, Notifier* notifier)
    : m_stores(stores), m_notifier(notifier)
{
    using Method = QHttpServerRequest::Method;
    server.route(ServiceContract::kSyncPath, Method::Post,
                 [this](const QHttpServerRequest& request, Responder&& responder) {
                     sync(request, std::move(responder));
                 });
    server.route(ServiceContract::kReportPath, Method::Post,
                 [this](const QHttpServerRequest& request, Responder&& responder) {
                     report(request, std::move(responder));
                 });
    server.route(ServiceContract::kCrashPath, Method::Post,
                 [this](const QHttpServerRequest& request, Responder&& responder) {
                     crash(request, std::move(responder));
                 });
}

void ServiceRoutes::withStore(Responder&& responder,
                              std::function<std::optional<QJsonObject>(Store&)> work)
{
    StoreCall::run(
        m_stores, std::move(responder),
        [](Responder& responder, const StoreCall::Answer& answer) {
            writeJson(responder, answer.body, answer.status);
        },
        [work = std::move(work)](Store& store) -> std::optional<StoreCall::Answer> {
            if (std::optional<QJsonObject> body = work(store))
                return StoreCall::Answer{*body};
            return std::nullopt;
        });
}

void ServiceRoutes::sync(const QHttpServerRequest& request, Responder&& responder)
{
    const auto sync = ServiceContract::syncRequestFrom(request.body());
    if (!sync || !isDeviceId(sync->device) || !fits(sync->version, kMaxShortText) ||
        !fits(sync->os, kMaxShortText))
        return writeJson(responder, kRefusal, Status::BadRequest);
    withStore(std::move(responder), [sync = *sync](Store& store) -> std::optional<QJsonObject> {
        const auto offer = store.sync(sync.device, sync.version, sync.os, sync.ack);
        if (!offer)
            return std::nullopt;
        return ServiceContract::toJson(ServiceContract::SyncAnswer{offer->id, offer->text});
    });
}

void ServiceRoutes::report(const QHttpServerRequest& request, Responder&& responder)
{
    const auto report = ServiceContract::reportRequestFrom(request.body());
    if (!report || !isDeviceId(report->device) || report->text.trimmed().isEmpty() ||
        !fits(report->version, kMaxShortText) || !fits(report->os, kMaxShortText) ||
        !fits(report->text, kMaxReportText) ||
        !fits(report->email.value_or(QString()), kMaxShortText))
        return writeJson(responder, kRefusal, Status::BadRequest);
    if (!m_reports.allow(report->device))
        return writeJson(responder, kRefusal, Status::TooManyRequests);
    withStore(
        std::move(responder),
        [report = *report, notifier = m_notifier](Store& store) -> std::optional<QJsonObject> {
            if (!store.addReport(report.device, report.version, report.os, report.text,
                                 report.email, report.reply))
                return std::nullopt;
            if (notifier && !report.reply)
                notifier->newReport(report.device);
            return kAccepted;
        });
}

void ServiceRoutes::crash(const QHttpServerRequest& request, Responder&& responder)
{
    const auto crash = ServiceContract::crashRequestFrom(request.body());
    if (!crash || !isDeviceId(crash->device) || !fits(crash->kind, kMaxShortText) ||
        !fits(crash->version, kMaxShortText) || !fits(crash->os, kMaxShortText) ||
        !fits(crash->message, kMaxCrashText) || !fits(crash->stack, kMaxCrashText))
        return writeJson(responder, kRefusal, Status::BadRequest);
    if (!m_crashes.allow(crash->device))
        return writeJson(responder, kRefusal, Status::TooManyRequests);
    withStore(std::move(responder),
              [crash = *crash, notifier = m_notifier](Store& store) -> std::optional<QJsonObject> {
                  bool newGroup = false;
                  if (!store.addCrash(crash.device, crash.kind, crash.message, crash.stack,
                                      crash.version, crash.os, notifier ? &newGroup : nullptr))
                      return std::nullopt;
                  if (newGroup)
                      notifier->newCrashGroup(
                          crashSignature(crash.kind, crash.message, crash.stack, crash.version));
                  return kAccepted;
              });
}
