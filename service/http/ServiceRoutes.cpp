#include "ServiceRoutes.h"

#include "StoreCall.h"
#include "console/Notifier.h"
#include "service/ServiceContract.h"
#include "store/CrashSignature.h"
#include "store/Store.h"
#include "store/StorePool.h"
#include "symbols/Symbolizer.h"

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

// PostgreSQL cannot keep U+0000 in a text, and nothing that reads one needs it: dropped from
// what clients write, wherever it is.
void dropNul(std::initializer_list<QString*> texts)
{
    for (QString* text : texts)
        text->remove(QChar(u'\0'));
}

// An id (a device's, a request's) the maker can read and type back: printable characters only,
// no NUL or other control, format (bidi, zero-width) or lone surrogate, which would print alike
// for different ids.
bool isIdentifier(const QString& id)
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

const StoreCall::Answer kTooMany{kRefusal, Status::TooManyRequests};

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

ServiceRoutes::ServiceRoutes(QHttpServer& server, StorePool& stores, Notifier* notifier,
                             TrustedProxies proxies)
    : m_stores(stores), m_notifier(notifier), m_proxies(std::move(proxies))
{
    m_forgetLimits.setInterval(10 * 60 * 1000);
    m_forgetLimits.callOnTimeout([this] {
        m_stores.run([](Store* store) {
            if (store)
                store->forgetIdleLimits(kLimitIdleMs);
        });
    });
    m_forgetLimits.start();
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
                              std::function<std::optional<StoreCall::Answer>(Store&)> work)
{
    StoreCall::run(
        m_stores, std::move(responder),
        [](Responder& responder, const StoreCall::Answer& answer) {
            writeJson(responder, answer.body, answer.status);
        },
        std::move(work));
}

void ServiceRoutes::withinLimits(const QHttpServerRequest& request, Responder&& responder,
                                 const Limits& limits,
                                 std::function<std::optional<StoreCall::Answer>(Store&)> work)
{
    // Without trusted-proxies, a client on this machine is taken for a reverse proxy that
    // limits its clients itself (the shipped nginx site does), as before the setting existed:
    // one address for all of them would refuse them all together.
    const QHostAddress address = m_proxies.clientOf(request);
    const bool byAddress = !address.isLoopback() || !m_proxies.isEmpty();
    withStore(std::move(responder),
              [limits, byAddress, address = address.toString(),
               work = std::move(work)](Store& store) -> std::optional<StoreCall::Answer> {
                  // The address's bucket first: a request refused there takes nothing from
                  // its device's.
                  std::optional<bool> allowed =
                      byAddress ? store.take(limits.what + QStringLiteral(" from ") + address,
                                             limits.perAddress)
                                : true;
                  if (allowed && *allowed)
                      allowed = store.take(limits.what + QStringLiteral(" of ") + limits.device,
                                           limits.perDevice);
                  if (!allowed)
                      return std::nullopt;
                  if (!*allowed)
                      return kTooMany;
                  return work(store);
              });
}

void ServiceRoutes::sync(const QHttpServerRequest& request, Responder&& responder)
{
    auto sync = ServiceContract::syncRequestFrom(request.body());
    if (!sync || !isIdentifier(sync->device) || !fits(sync->version, kMaxShortText) ||
        !fits(sync->os, kMaxShortText))
        return writeJson(responder, kRefusal, Status::BadRequest);
    dropNul({&sync->version, &sync->os});
    withStore(std::move(responder),
              [sync = *sync](Store& store) -> std::optional<StoreCall::Answer> {
                  const auto offer = store.sync(sync.device, sync.version, sync.os, sync.ack);
                  if (!offer)
                      return std::nullopt;
                  return StoreCall::Answer{
                      ServiceContract::toJson(ServiceContract::SyncAnswer{offer->id, offer->text})};
              });
}

void ServiceRoutes::report(const QHttpServerRequest& request, Responder&& responder)
{
    auto report = ServiceContract::reportRequestFrom(request.body());
    if (!report || !isIdentifier(report->device) || report->text.trimmed().isEmpty() ||
        !fits(report->version, kMaxShortText) || !fits(report->os, kMaxShortText) ||
        !fits(report->text, kMaxReportText) ||
        !fits(report->email.value_or(QString()), kMaxShortText) ||
        (!report->request.isEmpty() && !isIdentifier(report->request)))
        return writeJson(responder, kRefusal, Status::BadRequest);
    if (report->email)
        dropNul({&*report->email});
    dropNul({&report->version, &report->os, &report->text});
    withinLimits(request, std::move(responder),
                 {QStringLiteral("report"), kReportsPerAddress, report->device, kReportsPerDevice},
                 [report = *report,
                  notifier = m_notifier](Store& store) -> std::optional<StoreCall::Answer> {
                     bool stored = false;
                     if (!store.addReport(report.device, report.version, report.os, report.text,
                                          report.email, report.reply, report.request, &stored))
                         return std::nullopt;
                     if (notifier && stored && !report.reply && !store.isBlocked(report.device))
                         notifier->newReport(report.device);
                     return StoreCall::Answer{kAccepted};
                 });
}

void ServiceRoutes::crash(const QHttpServerRequest& request, Responder&& responder)
{
    auto crash = ServiceContract::crashRequestFrom(request.body());
    if (!crash || !isIdentifier(crash->device) || !fits(crash->kind, kMaxShortText) ||
        !fits(crash->version, kMaxShortText) || !fits(crash->os, kMaxShortText) ||
        !fits(crash->message, kMaxCrashText) || !fits(crash->stack, kMaxCrashText) ||
        (!crash->request.isEmpty() && !isIdentifier(crash->request)))
        return writeJson(responder, kRefusal, Status::BadRequest);
    dropNul({&crash->kind, &crash->message, &crash->stack, &crash->version, &crash->os});
    withinLimits(
        request, std::move(responder),
        {QStringLiteral("crash"), kCrashesPerAddress, crash->device, kCrashesPerDevice},
        [crash = *crash, notifier = m_notifier](Store& store) -> std::optional<StoreCall::Answer> {
            bool newGroup = false;
            const auto json = [](const auto& value) {
                return QString::fromUtf8(QJsonDocument(value).toJson(QJsonDocument::Compact));
            };
            // Named when the maker gave the symbols of its build: then one fault is one group
            // across builds. A lookup not done before runs here, bounded (Symbolizer).
            QString named, title;
            if (!crash.frames.isEmpty())
                if (const auto frames = Symbolizer::name(store, crash.frames)) {
                    named = Symbolizer::signature(crash.kind, crash.message, *frames);
                    title = Symbolizer::title(*frames);
                }
            bool regressed = false;
            if (!store.addCrash(crash.device, crash.kind, crash.message, crash.stack, crash.version,
                                crash.os, &newGroup, crash.request, json(crash.frames),
                                json(crash.context), named, title, &regressed))
                return std::nullopt;
            const QString group = !named.isEmpty() ? named
                                                   : crashSignature(crash.kind, crash.message,
                                                                    crash.stack, crash.version);
            if (notifier && regressed)
                notifier->crashRegression(
                    group, title.isEmpty() ? crash.message.section(u'\n', 0, 0) : title,
                    crash.version);
            if (notifier && newGroup)
                notifier->newCrashGroup(group);
            return StoreCall::Answer{kAccepted};
        });
}
