#include "ServiceRoutes.h"

#include "StoreCall.h"
#include "console/Notifier.h"
#include "service/ServiceContract.h"
#include "store/CrashSignature.h"
#include "store/Store.h"
#include "store/StorePool.h"

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

// Whether a request is within its address's limit and its device's, in the database that all
// instances share; the address's first, so that one refused there takes nothing from a device.
// Without trusted-proxies, a client on this machine is taken for a reverse proxy that limits
// its clients itself (the shipped nginx site does), as before the setting existed: one address
// for all of them would refuse them all together.
std::optional<bool> withinLimits(Store& store, const QString& what, const QHostAddress& address,
                                 bool proxiesNamed, Store::Limit perAddress, const QString& device,
                                 Store::Limit perDevice)
{
    const auto byAddress =
        address.isLoopback() && !proxiesNamed
            ? std::optional(true)
            : store.take(what + QStringLiteral(" from ") + address.toString(), perAddress);
    if (!byAddress || !*byAddress)
        return byAddress;
    return store.take(what + QStringLiteral(" of ") + device, perDevice);
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
                  return StoreCall::Answer{ServiceContract::toJson(
                      ServiceContract::SyncAnswer{offer->id, offer->text})};
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
    withStore(std::move(responder),
              [report = *report, notifier = m_notifier, address = m_proxies.clientOf(request),
               proxiesNamed = !m_proxies.isEmpty()](
                  Store& store) -> std::optional<StoreCall::Answer> {
                  const auto allowed = withinLimits(store, QStringLiteral("report"), address,
                                                    proxiesNamed, kReportsPerAddress, report.device,
                                                    kReportsPerDevice);
                  if (!allowed)
                      return std::nullopt;
                  if (!*allowed)
                      return kTooMany;
                  bool stored = false;
                  if (!store.addReport(report.device, report.version, report.os, report.text,
                                       report.email, report.reply, report.request, &stored))
                      return std::nullopt;
                  if (notifier && stored && !report.reply)
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
    withStore(std::move(responder),
              [crash = *crash, notifier = m_notifier, address = m_proxies.clientOf(request),
               proxiesNamed = !m_proxies.isEmpty()](
                  Store& store) -> std::optional<StoreCall::Answer> {
                  const auto allowed = withinLimits(store, QStringLiteral("crash"), address,
                                                    proxiesNamed, kCrashesPerAddress, crash.device,
                                                    kCrashesPerDevice);
                  if (!allowed)
                      return std::nullopt;
                  if (!*allowed)
                      return kTooMany;
                  bool newGroup = false;
                  if (!store.addCrash(crash.device, crash.kind, crash.message, crash.stack,
                                      crash.version, crash.os, &newGroup, crash.request))
                      return std::nullopt;
                  if (notifier && newGroup)
                      notifier->newCrashGroup(
                          crashSignature(crash.kind, crash.message, crash.stack, crash.version));
                  return StoreCall::Answer{kAccepted};
              });
}
