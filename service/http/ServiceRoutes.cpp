#include "ServiceRoutes.h"

#include "service/ServiceContract.h"
#include "store/Store.h"

#include <QJsonObject>

namespace {

using Status = QHttpServerResponse::StatusCode;

QHttpServerResponse refused(Status status)
{
    return QHttpServerResponse(QJsonObject{{QStringLiteral("ok"), false}}, status);
}

bool fits(const QString& text, qsizetype limit)
{
    return text.size() <= limit;
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

ServiceRoutes::ServiceRoutes(QHttpServer& server, Store& store) : m_store(store)
{
    using Method = QHttpServerRequest::Method;
    server.route(ServiceContract::kSyncPath, Method::Post,
                 [this](const QHttpServerRequest& request) { return sync(request); });
    server.route(ServiceContract::kReportPath, Method::Post,
                 [this](const QHttpServerRequest& request) { return report(request); });
    server.route(ServiceContract::kCrashPath, Method::Post,
                 [this](const QHttpServerRequest& request) { return crash(request); });
}

QHttpServerResponse ServiceRoutes::sync(const QHttpServerRequest& request)
{
    const auto sync = ServiceContract::syncRequestFrom(request.body());
    if (!sync || sync->device.isEmpty() || !fits(sync->device, kMaxShortText) ||
        !fits(sync->version, kMaxShortText) || !fits(sync->os, kMaxShortText))
        return refused(Status::BadRequest);
    const auto offer = m_store.sync(sync->device, sync->version, sync->os, sync->ack);
    if (!offer)
        return refused(Status::ServiceUnavailable);
    return QHttpServerResponse(
        ServiceContract::toJson(ServiceContract::SyncAnswer{offer->id, offer->text}));
}

QHttpServerResponse ServiceRoutes::report(const QHttpServerRequest& request)
{
    const auto report = ServiceContract::reportRequestFrom(request.body());
    if (!report || report->device.isEmpty() || report->text.trimmed().isEmpty() ||
        !fits(report->device, kMaxShortText) || !fits(report->version, kMaxShortText) ||
        !fits(report->os, kMaxShortText) || !fits(report->text, kMaxReportText) ||
        !fits(report->email.value_or(QString()), kMaxShortText))
        return refused(Status::BadRequest);
    if (!m_reports.allow(report->device))
        return refused(Status::TooManyRequests);
    if (!m_store.addReport(report->device, report->version, report->os, report->text, report->email,
                           report->reply))
        return refused(Status::ServiceUnavailable);
    return QHttpServerResponse(QJsonObject{{QStringLiteral("ok"), true}});
}

QHttpServerResponse ServiceRoutes::crash(const QHttpServerRequest& request)
{
    const auto crash = ServiceContract::crashRequestFrom(request.body());
    if (!crash || !fits(crash->device, kMaxShortText) || !fits(crash->kind, kMaxShortText) ||
        !fits(crash->version, kMaxShortText) || !fits(crash->os, kMaxShortText) ||
        !fits(crash->message, kMaxCrashText) || !fits(crash->stack, kMaxCrashText))
        return refused(Status::BadRequest);
    if (!m_crashes.allow(crash->device))
        return refused(Status::TooManyRequests);
    if (!m_store.addCrash(crash->device, crash->kind, crash->message, crash->stack, crash->version,
                          crash->os))
        return refused(Status::ServiceUnavailable);
    return QHttpServerResponse(QJsonObject{{QStringLiteral("ok"), true}});
}
