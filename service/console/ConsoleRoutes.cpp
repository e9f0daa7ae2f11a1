#include "ConsoleRoutes.h"

#include "Passwords.h"
#include "store/Store.h"

#include <QFile>
#include <QHttpServerResponse>
#include <QJsonArray>
#include <QJsonDocument>
#include <QUrlQuery>

namespace {

using Status = StoreCall::Status;
using Headers = QList<std::pair<QByteArray, QByteArray>>;

constexpr char kCookieName[] = "velmora_console";
constexpr char kCsrfHeader[] = "X-Velmora-Csrf";

// Every answer: nothing from elsewhere runs or loads, the console is never framed, no page is
// kept by the browser or a proxy.
const Headers kSecurityHeaders{
    {"Content-Security-Policy",
     "default-src 'self'; frame-ancestors 'none'; base-uri 'none'; form-action 'self'"},
    {"X-Content-Type-Options", "nosniff"},
    {"X-Frame-Options", "DENY"},
    {"Referrer-Policy", "no-referrer"},
    {"Cache-Control", "no-store"}};

void write(QHttpServerResponder& responder, const QByteArray& type, const QByteArray& body,
           Status status, const Headers& extra = {})
{
    QHttpServerResponse response(type, body, status);
    response.addHeaders(kSecurityHeaders);
    response.addHeaders(extra);
    response.write(std::move(responder));
}

void writeJson(QHttpServerResponder& responder, const StoreCall::Answer& answer,
               const Headers& extra = {})
{
    write(responder, QByteArrayLiteral("application/json"),
          QJsonDocument(answer.body).toJson(QJsonDocument::Compact), answer.status, extra);
}

StoreCall::Answer refusal(const QString& message, Status status)
{
    return {{{QStringLiteral("error"), message}}, status};
}

const QString kSignedOut = QStringLiteral("Session terminée : reconnectez-vous.");
const StoreCall::Answer kForeign = refusal(
    QStringLiteral("Requête refusée : elle ne vient pas de la console."), Status::Forbidden);

// What a form or a link on another site cannot produce: a JSON body, and this console's origin
// when the browser names one.
bool fromThisConsole(const QHttpServerRequest& request)
{
    const QByteArray origin = request.value("Origin");
    const QByteArray host = request.value("Host");
    const bool sameOrigin =
        origin.isEmpty() || origin == "http://" + host || origin == "https://" + host;
    return sameOrigin && request.value("Content-Type").startsWith("application/json");
}

// A change the session's own page made: from this console, with the session's CSRF token.
bool provedBy(const QHttpServerRequest& request, const ConsoleSessions::Session& session)
{
    return fromThisConsole(request) &&
           Passwords::sameToken(request.value(kCsrfHeader), session.csrf);
}

QByteArray sessionToken(const QHttpServerRequest& request)
{
    for (const QByteArray& part : request.value("Cookie").split(';')) {
        const QByteArray pair = part.trimmed();
        if (pair.startsWith(QByteArray(kCookieName) + '='))
            return pair.mid(qsizetype(sizeof kCookieName));
    }
    return {};
}

QJsonValue time(const QDateTime& at)
{
    return at.isValid() ? QJsonValue(at.toMSecsSinceEpoch()) : QJsonValue();
}

QString queryValue(const QHttpServerRequest& request, const QString& key)
{
    return request.query().queryItemValue(key, QUrl::FullyDecoded);
}

// Why the console cannot queue this answer, in the maker's words, or nothing.
std::optional<QString> answerProblem(const QString& text)
{
    if (!Store::makerTextProblem(text))
        return std::nullopt;
    if (text.trimmed().isEmpty())
        return QStringLiteral("La réponse est vide : l'application n'affiche pas de message "
                              "vide.");
    return QStringLiteral("La réponse compte %1 caractères : l'application en affiche au plus %2.")
        .arg(text.size())
        .arg(Store::kMaxMakerText);
}

QJsonObject groupToJson(const Store::CrashGroup& group)
{
    return {{QStringLiteral("signature"), group.signature},
            {QStringLiteral("kind"), group.kind},
            {QStringLiteral("message"), group.message},
            {QStringLiteral("count"), group.count},
            {QStringLiteral("versions"), QJsonArray::fromStringList(group.versions)},
            {QStringLiteral("firstSeen"), time(group.firstSeen)},
            {QStringLiteral("lastSeen"), time(group.lastSeen)},
            {QStringLiteral("devices"), group.devices}};
}

std::optional<StoreCall::Answer> inbox(Store& store, const QString& search, int offset)
{
    const auto rows = store.inbox(search, offset, ConsoleRoutes::kPageSize + 1);
    if (!rows)
        return std::nullopt;
    QJsonArray list;
    for (const Store::Conversation& row : rows->mid(0, ConsoleRoutes::kPageSize))
        list.append(QJsonObject{{QStringLiteral("device"), row.device},
                                {QStringLiteral("email"), row.email},
                                {QStringLiteral("version"), row.version},
                                {QStringLiteral("system"), row.system},
                                {QStringLiteral("preview"), row.preview},
                                {QStringLiteral("at"), time(row.lastActivity)},
                                {QStringLiteral("new"), row.attention}});
    return StoreCall::Answer{{{QStringLiteral("conversations"), list},
                              {QStringLiteral("more"), rows->size() > ConsoleRoutes::kPageSize}}};
}

std::optional<StoreCall::Answer> conversation(Store& store, const QString& device)
{
    const auto facts = store.deviceFacts(device);
    if (!facts)
        return std::nullopt;
    if (facts->id.isEmpty())
        return refusal(QStringLiteral("Appareil inconnu."), Status::NotFound);
    const auto entries = store.conversation(device);
    const auto crashes = store.crashesOfDevice(device);
    if (!entries || !crashes)
        return std::nullopt;
    QJsonArray lines;
    for (const Store::Entry& entry : *entries)
        lines.append(QJsonObject{{QStringLiteral("kind"), entry.kind},
                                 {QStringLiteral("id"), entry.id},
                                 {QStringLiteral("text"), entry.text},
                                 {QStringLiteral("email"), entry.email},
                                 {QStringLiteral("at"), time(entry.at)},
                                 {QStringLiteral("state"), entry.state},
                                 {QStringLiteral("author"), entry.author}});
    QJsonArray crashList;
    for (const Store::DeviceCrash& crash : *crashes)
        crashList.append(QJsonObject{{QStringLiteral("signature"), crash.signature},
                                     {QStringLiteral("kind"), crash.kind},
                                     {QStringLiteral("message"), crash.message},
                                     {QStringLiteral("count"), crash.count},
                                     {QStringLiteral("lastSeen"), time(crash.lastSeen)}});
    const QJsonObject about{{QStringLiteral("id"), facts->id},
                            {QStringLiteral("firstSeen"), time(facts->firstSeen)},
                            {QStringLiteral("lastSeen"), time(facts->lastSeen)},
                            {QStringLiteral("version"), facts->version},
                            {QStringLiteral("system"), facts->system},
                            {QStringLiteral("emails"), QJsonArray::fromStringList(facts->emails)},
                            {QStringLiteral("new"), facts->attention}};
    return StoreCall::Answer{{{QStringLiteral("device"), about},
                              {QStringLiteral("entries"), lines},
                              {QStringLiteral("crashes"), crashList}}};
}

std::optional<StoreCall::Answer> crashGroup(Store& store, const QString& signature)
{
    const auto group = store.crashGroup(signature);
    if (!group)
        return std::nullopt;
    if (group->signature.isEmpty())
        return refusal(QStringLiteral("Groupe de plantages inconnu."), Status::NotFound);
    const auto devices = store.crashDevices(signature);
    if (!devices)
        return std::nullopt;
    QJsonObject about = groupToJson(*group);
    about.insert(QStringLiteral("stack"), group->firstStack);
    QJsonArray hit;
    for (const Store::CrashDevice& device : *devices)
        hit.append(QJsonObject{{QStringLiteral("device"), device.device},
                               {QStringLiteral("count"), device.count},
                               {QStringLiteral("lastSeen"), time(device.lastSeen)}});
    return StoreCall::Answer{{{QStringLiteral("group"), about}, {QStringLiteral("devices"), hit}}};
}

} // namespace

ConsoleRoutes::ConsoleRoutes(QHttpServer& server, StorePool& stores, bool behindTls)
    : m_stores(stores), m_behindTls(behindTls)
{
    using Method = QHttpServerRequest::Method;
    auto file = [&](const char* path, const char* resource, const char* type) {
        server.route(QString::fromLatin1(path), Method::Get,
                     [this, resource, type](const Request&, Responder&& responder) {
                         page(QString::fromLatin1(resource), type, std::move(responder));
                     });
    };
    file("/", ":/console/index.html", "text/html; charset=utf-8");
    file("/console.js", ":/console/console.js", "text/javascript; charset=utf-8");
    file("/console.css", ":/console/console.css", "text/css; charset=utf-8");

    server.route("/api/login", Method::Post,
                 [this](const Request& request, Responder&& r) { login(request, std::move(r)); });
    server.route("/api/logout", Method::Post,
                 [this](const Request& request, Responder&& r) { logout(request, std::move(r)); });
    server.route("/api/session", Method::Get, [this](const Request& request, Responder&& r) {
        const ConsoleSessions::Session* signedIn = session(request);
        const QByteArray csrf = signedIn ? signedIn->csrf : QByteArray();
        read(request, std::move(r), [csrf](Store&, const QString& user) {
            return Answer{{{QStringLiteral("user"), user},
                           {QStringLiteral("csrf"), QString::fromLatin1(csrf)}}};
        });
    });
    server.route("/api/inbox", Method::Get, [this](const Request& request, Responder&& r) {
        const QString search = queryValue(request, QStringLiteral("q")).left(200).trimmed();
        const int offset =
            qBound(0, queryValue(request, QStringLiteral("offset")).toInt(), 1000000);
        read(request, std::move(r), [search, offset](Store& store, const QString&) {
            return inbox(store, search, offset);
        });
    });
    server.route("/api/conversation", Method::Get, [this](const Request& request, Responder&& r) {
        const QString device = queryValue(request, QStringLiteral("device"));
        read(request, std::move(r),
             [device](Store& store, const QString&) { return conversation(store, device); });
    });
    server.route("/api/crashes", Method::Get, [this](const Request& request, Responder&& r) {
        read(request, std::move(r), [](Store& store, const QString&) -> std::optional<Answer> {
            const auto groups = store.crashGroups();
            if (!groups)
                return std::nullopt;
            QJsonArray list;
            for (const Store::CrashGroup& group : *groups)
                list.append(groupToJson(group));
            return Answer{{{QStringLiteral("groups"), list}}};
        });
    });
    server.route("/api/crash", Method::Get, [this](const Request& request, Responder&& r) {
        const QString signature = queryValue(request, QStringLiteral("signature"));
        read(request, std::move(r),
             [signature](Store& store, const QString&) { return crashGroup(store, signature); });
    });
    server.route("/api/reply", Method::Post, [this](const Request& request, Responder&& r) {
        change(request, std::move(r),
               [](Store& store, const QString& user,
                  const QJsonObject& body) -> std::optional<Answer> {
                   const QString device = body.value(QStringLiteral("device")).toString();
                   const QString text = body.value(QStringLiteral("text")).toString();
                   if (const auto problem = answerProblem(text))
                       return refusal(*problem, Status::BadRequest);
                   if (!store.deviceExists(device))
                       return refusal(QStringLiteral("Appareil inconnu."), Status::NotFound);
                   const auto id = store.addMakerMessage(device, text, user);
                   if (!id)
                       return std::nullopt;
                   return Answer{{{QStringLiteral("id"), *id}}};
               });
    });
    server.route("/api/retract", Method::Post, [this](const Request& request, Responder&& r) {
        change(request, std::move(r),
               [](Store& store, const QString&, const QJsonObject& body) -> std::optional<Answer> {
                   switch (store.retract(body.value(QStringLiteral("id")).toInteger())) {
                   case Store::Retraction::Done:
                       return Answer{};
                   case Store::Retraction::AlreadyRead:
                       return refusal(QStringLiteral("L'appareil a déjà reçu cette réponse : "
                                                     "elle ne peut plus être retirée."),
                                      Status::Conflict);
                   case Store::Retraction::Unknown:
                       return refusal(QStringLiteral("Message inconnu."), Status::NotFound);
                   case Store::Retraction::Failed:
                       break;
                   }
                   return std::nullopt;
               });
    });
    server.route("/api/handled", Method::Post, [this](const Request& request, Responder&& r) {
        change(request, std::move(r),
               [](Store& store, const QString&, const QJsonObject& body) -> std::optional<Answer> {
                   const QString device = body.value(QStringLiteral("device")).toString();
                   if (!store.deviceExists(device))
                       return refusal(QStringLiteral("Appareil inconnu."), Status::NotFound);
                   if (!store.markHandled(device))
                       return std::nullopt;
                   return Answer{};
               });
    });
}

void ConsoleRoutes::page(const QString& file, const QByteArray& type, Responder&& responder)
{
    // Built into the program: read once.
    static QHash<QString, QByteArray> cache;
    auto found = cache.find(file);
    if (found == cache.end()) {
        QFile resource(file);
        found = cache.insert(file, resource.open(QIODevice::ReadOnly) ? resource.readAll()
                                                                      : QByteArray());
    }
    write(responder, type, *found, Status::Ok);
}

const ConsoleSessions::Session* ConsoleRoutes::session(const Request& request)
{
    return m_sessions.find(sessionToken(request));
}

QByteArray ConsoleRoutes::cookie(const QByteArray& token, bool ending) const
{
    return QByteArray(kCookieName) + '=' + token + "; Path=/; HttpOnly; SameSite=Strict" +
           (ending ? "; Max-Age=0" : "") + (m_behindTls ? "; Secure" : "");
}

void ConsoleRoutes::read(const Request& request, Responder&& responder, Work work)
{
    const ConsoleSessions::Session* signedIn = session(request);
    if (!signedIn)
        return writeJson(responder, refusal(kSignedOut, Status::Unauthorized));
    withAccount(signedIn->user, std::move(responder), std::move(work));
}

void ConsoleRoutes::change(
    const Request& request, Responder&& responder,
    std::function<std::optional<Answer>(Store&, const QString&, const QJsonObject&)> work)
{
    const ConsoleSessions::Session* signedIn = session(request);
    if (!signedIn)
        return writeJson(responder, refusal(kSignedOut, Status::Unauthorized));
    // A page elsewhere can make the browser send the cookie (a form, an image), but can neither
    // read the token nor set a header on such a request.
    if (!provedBy(request, *signedIn))
        return writeJson(responder, kForeign);
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(request.body(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return writeJson(responder,
                         refusal(QStringLiteral("Requête illisible."), Status::BadRequest));
    withAccount(signedIn->user, std::move(responder),
                [work = std::move(work), body = document.object()](
                    Store& store, const QString& user) { return work(store, user, body); });
}

void ConsoleRoutes::withAccount(const QString& user, Responder&& responder, Work work)
{
    StoreCall::run(
        m_stores, std::move(responder),
        [](Responder& r, const Answer& answer) { writeJson(r, answer); },
        [user, work = std::move(work)](Store& store) -> std::optional<Answer> {
            const auto hash = store.consoleUserHash(user);
            if (!hash)
                return std::nullopt;
            if (hash->isEmpty()) // the account was removed meanwhile
                return refusal(kSignedOut, Status::Unauthorized);
            std::optional<Answer> answer = work(store, user);
            if (!answer || answer->status != Status::Ok)
                return answer;
            // What waits, shown on every page.
            const auto waiting = store.waitingCount();
            if (!waiting)
                return std::nullopt;
            answer->body.insert(QStringLiteral("waiting"), *waiting);
            return answer;
        });
}

void ConsoleRoutes::login(const Request& request, Responder&& responder)
{
    // Nobody is signed in by another site into an account of its choosing.
    if (!fromThisConsole(request))
        return writeJson(responder, kForeign);
    const QJsonObject body = QJsonDocument::fromJson(request.body()).object();
    const QString name = body.value(QStringLiteral("name")).toString();
    const QByteArray password = body.value(QStringLiteral("password")).toString().toUtf8();
    if (name.isEmpty() || name.size() > 64 || password.size() > Passwords::kMaxLength)
        return writeJson(responder, refusal(QStringLiteral("Nom ou mot de passe incorrect."),
                                            Status::Unauthorized));
    // Both limits take a try: a guesser from many addresses meets the account's, one from
    // a single address guessing many accounts meets the address's.
    const bool addressAllowed = m_loginsPerAddress.allow(request.remoteAddress().toString());
    if (!addressAllowed || !m_loginsPerAccount.allow(name))
        return writeJson(responder,
                         refusal(QStringLiteral("Trop de tentatives : réessayez dans quelques "
                                                "minutes."),
                                 Status::TooManyRequests));
    StoreCall::run(
        m_stores, std::move(responder),
        [this, name](Responder& r, const Answer& answer) {
            if (answer.status != Status::Ok)
                return writeJson(r, answer);
            const QByteArray token = m_sessions.open(name);
            QJsonObject body = answer.body;
            body.insert(QStringLiteral("csrf"), QString::fromLatin1(m_sessions.find(token)->csrf));
            writeJson(r, {body, Status::Ok}, {{"Set-Cookie", cookie(token, false)}});
        },
        [name, password](Store& store) -> std::optional<Answer> {
            const auto hash = store.consoleUserHash(name);
            if (!hash)
                return std::nullopt;
            if (!Passwords::matches(*hash, password))
                return refusal(QStringLiteral("Nom ou mot de passe incorrect."),
                               Status::Unauthorized);
            return Answer{{{QStringLiteral("user"), name}}};
        });
}

void ConsoleRoutes::logout(const Request& request, Responder&& responder)
{
    if (const ConsoleSessions::Session* signedIn = session(request)) {
        if (!provedBy(request, *signedIn))
            return writeJson(responder, kForeign);
        m_sessions.close(sessionToken(request));
    }
    writeJson(responder, Answer{{{QStringLiteral("ok"), true}}},
              {{"Set-Cookie", cookie(QByteArray(), true)}});
}
