#include "ConsoleRoutes.h"

#include "ConsoleAnswers.h"
#include "Passwords.h"
#include "mail/Mailer.h"
#include "store/Store.h"

#include <QCryptographicHash>
#include <QFile>
#include <QHttpServerResponse>
#include <QJsonArray>
#include <QJsonDocument>
#include <QPointer>
#include <QTcpSocket>
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

using ConsoleAnswers::refusal;

const QString kSignedOut = QStringLiteral("Session terminée : reconnectez-vous.");
const QString kWrongPassword = QStringLiteral("Nom ou mot de passe incorrect.");
const StoreCall::Answer kForeign = refusal(
    QStringLiteral("Requête refusée : elle ne vient pas de la console."), Status::Forbidden);

const StoreCall::Answer kUnreadable =
    refusal(QStringLiteral("Requête illisible."), Status::BadRequest);
// PostgreSQL cannot keep U+0000 in a text, and no name, id or answer has one.
const StoreCall::Answer kNul = refusal(
    QStringLiteral("Requête refusée : elle contient un caractère nul."), Status::BadRequest);

bool hasNul(const QJsonValue& value)
{
    if (value.isString())
        return value.toString().contains(QChar(u'\0'));
    if (value.isObject()) {
        const QJsonObject object = value.toObject();
        for (auto it = object.begin(); it != object.end(); ++it)
            if (it.key().contains(QChar(u'\0')) || hasNul(it.value()))
                return true;
    }
    if (value.isArray())
        for (const QJsonValue item : value.toArray())
            if (hasNul(item))
                return true;
    return false;
}

// Kept in the database as a hash: what the database holds cannot be used as a cookie.
QByteArray tokenHash(const QByteArray& token)
{
    return QCryptographicHash::hash(token, QCryptographicHash::Sha256).toHex();
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

QString queryValue(const QHttpServerRequest& request, const QString& key)
{
    return request.query().queryItemValue(key, QUrl::FullyDecoded);
}

// Where a page of a list begins.
int offsetOf(const QHttpServerRequest& request)
{
    return qBound(0, queryValue(request, QStringLiteral("offset")).toInt(), 1000000);
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

// Why this answer cannot also go by e-mail, in the maker's words, or nothing.
std::optional<QString> mailProblem(bool relay, const QString& address)
{
    if (!relay)
        return QStringLiteral("Aucun relais de messagerie n'est configuré (smtp-url) : la réponse "
                              "n'est pas partie.");
    if (address.isEmpty())
        return QStringLiteral("L'utilisateur n'a donné aucune adresse e-mail.");
    if (const auto problem = addressProblem(address))
        return QStringLiteral("Envoi par e-mail refusé : %1. La réponse n'est pas partie.")
            .arg(*problem);
    return std::nullopt;
}

// A change of something that may not exist: nothing when the database failed, 404 with what
// was not found, else done.
std::optional<StoreCall::Answer> doneIfKnown(std::optional<bool> known, const QString& unknown)
{
    if (!known)
        return std::nullopt;
    if (!*known)
        return refusal(unknown, Status::NotFound);
    return StoreCall::Answer{};
}

} // namespace

ConsoleRoutes::ConsoleRoutes(QHttpServer& server, StorePool& stores, Options options)
    : m_stores(stores), m_options(std::move(options))
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
        read(request, std::move(r), [](Store&, const Session& session) {
            return Answer{{{QStringLiteral("user"), session.name},
                           {QStringLiteral("csrf"), QString::fromLatin1(session.csrf)}}};
        });
    });
    server.route("/api/inbox", Method::Get, [this](const Request& request, Responder&& r) {
        Store::InboxQuery query;
        query.search = queryValue(request, QStringLiteral("q")).left(200).trimmed();
        query.waiting = queryValue(request, QStringLiteral("waiting")) == QLatin1String("1");
        query.withEmail = queryValue(request, QStringLiteral("email")) == QLatin1String("1");
        query.version = queryValue(request, QStringLiteral("version")).left(40).trimmed();
        const int offset = offsetOf(request);
        read(request, std::move(r), [query, offset](Store& store, const Session&) {
            return ConsoleAnswers::inbox(store, query, offset);
        });
    });
    server.route("/api/conversation", Method::Get, [this](const Request& request, Responder&& r) {
        const QString device = queryValue(request, QStringLiteral("device"));
        const QString before = queryValue(request, QStringLiteral("before")).left(40);
        read(request, std::move(r),
             [device, before, mail = m_options.mailer != nullptr](Store& store, const Session&) {
                 return ConsoleAnswers::conversation(store, device, before, mail);
             });
    });
    server.route("/api/crashes", Method::Get, [this](const Request& request, Responder&& r) {
        const int offset = offsetOf(request);
        read(request, std::move(r), [offset](Store& store, const Session&) {
            return ConsoleAnswers::crashes(store, offset);
        });
    });
    server.route("/api/crash", Method::Get, [this](const Request& request, Responder&& r) {
        const QString signature = queryValue(request, QStringLiteral("signature"));
        read(request, std::move(r), [signature](Store& store, const Session&) {
            return ConsoleAnswers::crashGroup(store, signature);
        });
    });
    server.route("/api/reply", Method::Post, [this](const Request& request, Responder&& r) {
        change(request, std::move(r),
               [mailer = m_options.mailer](Store& store, const Session& session,
                                           const QJsonObject& body) -> std::optional<Answer> {
                   const QString device = body.value(QStringLiteral("device")).toString();
                   const QString text = body.value(QStringLiteral("text")).toString();
                   const bool byMail = body.value(QStringLiteral("email")).toBool();
                   if (const auto problem = answerProblem(text))
                       return refusal(*problem, Status::BadRequest);
                   const auto facts = store.deviceFacts(device);
                   if (!facts)
                       return std::nullopt;
                   if (facts->id.isEmpty())
                       return refusal(QStringLiteral("Appareil inconnu."), Status::NotFound);
                   if (byMail) {
                       if (const auto problem = mailProblem(mailer != nullptr, facts->email))
                           return refusal(*problem, Status::BadRequest);
                   }
                   const auto id = store.addMakerMessage(device, text, session.name,
                                                         byMail ? facts->email : QString());
                   if (!id)
                       return std::nullopt;
                   if (byMail)
                       mailer->wake();
                   return Answer{{{QStringLiteral("id"), *id}}};
               });
    });
    server.route("/api/retract", Method::Post, [this](const Request& request, Responder&& r) {
        change(request, std::move(r),
               [](Store& store, const Session&, const QJsonObject& body) -> std::optional<Answer> {
                   switch (store.retract(body.value(QStringLiteral("id")).toInteger())) {
                   case Store::Retraction::Done:
                       return Answer{};
                   case Store::Retraction::AlreadyOffered:
                       return refusal(QStringLiteral("Réponse déjà transmise à l'appareil : "
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
    // A user's data: everything kept about the device, and all of it erased.
    server.route("/api/export", Method::Get, [this](const Request& request, Responder&& r) {
        const QString device = queryValue(request, QStringLiteral("device"));
        read(
            request, std::move(r), [device](Store& store, const Session&) -> std::optional<Answer> {
                if (!store.deviceExists(device))
                    return refusal(QStringLiteral("Appareil inconnu."), Status::NotFound);
                const std::optional<QJsonObject> all = store.exportDevice(device);
                if (!all)
                    return std::nullopt;
                return Answer{{{QStringLiteral("device"), device}, {QStringLiteral("data"), *all}}};
            });
    });
    server.route("/api/block", Method::Post, [this](const Request& request, Responder&& r) {
        change(request, std::move(r),
               [](Store& store, const Session&, const QJsonObject& body) -> std::optional<Answer> {
                   const std::optional<bool> known =
                       store.setBlocked(body.value(QStringLiteral("device")).toString(),
                                        body.value(QStringLiteral("blocked")).toBool());
                   return doneIfKnown(known, QStringLiteral("Appareil inconnu."));
               });
    });
    server.route("/api/forget", Method::Post, [this](const Request& request, Responder&& r) {
        change(request, std::move(r),
               [](Store& store, const Session&, const QJsonObject& body) -> std::optional<Answer> {
                   const QString device = body.value(QStringLiteral("device")).toString();
                   if (!store.deviceExists(device))
                       return refusal(QStringLiteral("Appareil inconnu."), Status::NotFound);
                   if (!store.forgetDevice(device))
                       return std::nullopt;
                   return Answer{};
               });
    });
    // A group resolved in a version, ignored, or reopened.
    server.route("/api/crash-state", Method::Post, [this](const Request& request, Responder&& r) {
        change(request, std::move(r),
               [](Store& store, const Session&, const QJsonObject& body) -> std::optional<Answer> {
                   const QString state = body.value(QStringLiteral("state")).toString();
                   const QString version =
                       body.value(QStringLiteral("version")).toString().trimmed();
                   if (state != QLatin1String("resolved") && state != QLatin1String("ignored") &&
                       state != QLatin1String("new"))
                       return refusal(QStringLiteral("État inconnu."), Status::BadRequest);
                   if (state == QLatin1String("resolved") && !Store::isResolvingVersion(version))
                       return refusal(QStringLiteral("Indique la version qui le corrige, par "
                                                     "exemple 1.0.2."),
                                      Status::BadRequest);
                   const std::optional<bool> known = store.setGroupState(
                       body.value(QStringLiteral("signature")).toString(), state,
                       state == QLatin1String("resolved") ? version : QString());
                   return doneIfKnown(known, QStringLiteral("Groupe de plantages inconnu."));
               });
    });
    // One conversation or several at once.
    server.route("/api/handled", Method::Post, [this](const Request& request, Responder&& r) {
        change(request, std::move(r),
               [](Store& store, const Session&, const QJsonObject& body) -> std::optional<Answer> {
                   QStringList devices;
                   for (const QJsonValue device : body.value(QStringLiteral("devices")).toArray())
                       devices << device.toString();
                   if (body.contains(QStringLiteral("device")))
                       devices << body.value(QStringLiteral("device")).toString();
                   if (devices.isEmpty() || devices.size() > ConsoleAnswers::kInboxPage)
                       return refusal(QStringLiteral("Choisis de 1 à %1 conversations.")
                                          .arg(ConsoleAnswers::kInboxPage),
                                      Status::BadRequest);
                   const std::optional<qint64> known = store.markHandled(devices);
                   return doneIfKnown(known ? std::optional(*known > 0) : std::nullopt,
                                      QStringLiteral("Appareil inconnu."));
               });
    });
    // The answers the makers give often, with {email} and {version} filled in as they are used.
    server.route("/api/saved-replies", Method::Get, [this](const Request& request, Responder&& r) {
        read(request, std::move(r), [](Store& store, const Session&) -> std::optional<Answer> {
            const auto saved = store.savedReplies();
            if (!saved)
                return std::nullopt;
            QJsonArray list;
            for (const Store::SavedReply& reply : *saved)
                list.append(QJsonObject{{QStringLiteral("id"), reply.id},
                                        {QStringLiteral("title"), reply.title},
                                        {QStringLiteral("text"), reply.text}});
            return Answer{{{QStringLiteral("replies"), list}}};
        });
    });
    server.route("/api/saved-reply", Method::Post, [this](const Request& request, Responder&& r) {
        change(request, std::move(r),
               [](Store& store, const Session& session,
                  const QJsonObject& body) -> std::optional<Answer> {
                   const QString title = body.value(QStringLiteral("title")).toString().trimmed();
                   const QString text = body.value(QStringLiteral("text")).toString();
                   if (title.isEmpty() || title.size() > 80)
                       return refusal(QStringLiteral("Donne-lui un nom de 1 à 80 caractères."),
                                      Status::BadRequest);
                   if (const auto problem = answerProblem(text))
                       return refusal(*problem, Status::BadRequest);
                   const auto id = store.addSavedReply(title, text, session.name);
                   if (!id)
                       return std::nullopt;
                   return Answer{{{QStringLiteral("id"), *id}}};
               });
    });
    server.route(
        "/api/saved-reply-remove", Method::Post, [this](const Request& request, Responder&& r) {
            change(
                request, std::move(r),
                [](Store& store, const Session&, const QJsonObject& body) -> std::optional<Answer> {
                    return doneIfKnown(
                        store.removeSavedReply(body.value(QStringLiteral("id")).toInteger()),
                        QStringLiteral("Réponse enregistrée inconnue."));
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

bool ConsoleRoutes::fromThisConsole(const Request& request) const
{
    // What a form or a link on another site cannot produce: a JSON body, and this console's
    // origin when the browser names one.
    const QByteArray origin = request.value("Origin");
    bool sameOrigin = origin.isEmpty();
    if (!sameOrigin && !m_options.origin.isEmpty()) {
        sameOrigin = origin == m_options.origin.toUtf8();
    } else if (!sameOrigin) {
        const QByteArray host = request.value("Host");
        sameOrigin = origin == "http://" + host || origin == "https://" + host;
    }
    return sameOrigin && request.value("Content-Type").startsWith("application/json");
}

QByteArray ConsoleRoutes::cookie(const QByteArray& token, bool ending) const
{
    return QByteArray(kCookieName) + '=' + token + "; Path=/; HttpOnly; SameSite=Strict" +
           (ending ? "; Max-Age=0" : "") + (m_options.behindTls ? "; Secure" : "");
}

void ConsoleRoutes::read(const Request& request, Responder&& responder, Work work)
{
    if (request.query().toString(QUrl::FullyDecoded).contains(QChar(u'\0')))
        return writeJson(responder, kNul);
    withSession(request, std::move(responder), std::nullopt, std::move(work));
}

void ConsoleRoutes::change(
    const Request& request, Responder&& responder,
    std::function<std::optional<Answer>(Store&, const Session&, const QJsonObject&)> work)
{
    // A page elsewhere can make the browser send the cookie (a form, an image), but can neither
    // read the token nor set a header on such a request.
    if (!fromThisConsole(request))
        return writeJson(responder, kForeign);
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(request.body(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return writeJson(responder, kUnreadable);
    if (hasNul(document.object()))
        return writeJson(responder, kNul);
    withSession(request, std::move(responder), request.value(kCsrfHeader),
                [work = std::move(work), body = document.object()](
                    Store& store, const Session& session) { return work(store, session, body); });
}

void ConsoleRoutes::withSession(const Request& request, Responder&& responder,
                                std::optional<QByteArray> proof, Work work)
{
    const QByteArray token = sessionToken(request);
    if (token.isEmpty())
        return writeJson(responder, refusal(kSignedOut, Status::Unauthorized));
    StoreCall::run(
        m_stores, std::move(responder),
        [](Responder& r, const Answer& answer) { writeJson(r, answer); },
        [hash = tokenHash(token), proof,
         work = std::move(work)](Store& store) -> std::optional<Answer> {
            const auto session = store.consoleSession(hash, kSessions);
            if (!session)
                return std::nullopt;
            if (session->name.isEmpty())
                return refusal(kSignedOut, Status::Unauthorized);
            if (proof && !Passwords::sameToken(*proof, session->csrf))
                return kForeign;
            std::optional<Answer> answer = work(store, *session);
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
    if (hasNul(body))
        return writeJson(responder, kNul);
    const QString name = body.value(QStringLiteral("name")).toString();
    const QByteArray password = body.value(QStringLiteral("password")).toString().toUtf8();
    if (name.isEmpty() || name.size() > 64 || password.size() > Passwords::kMaxLength)
        return writeJson(responder, refusal(kWrongPassword, Status::Unauthorized));
    const QString address = m_options.proxies.clientOf(request).toString();
    // The limits and the account in one database call; the password's check, which takes
    // tenths of a second, then runs in threads of its own.
    StoreCall::run(
        m_stores, std::move(responder),
        [this, name, password](Responder& r, const Answer& answer) {
            if (answer.status != Status::Ok)
                return writeJson(r, answer);
            checkPassword(name, answer.body.value(QStringLiteral("stamp")).toString(),
                          answer.body.value(QStringLiteral("hash")).toString(), password,
                          std::move(r));
        },
        [name, address](Store& store) -> std::optional<Answer> {
            // Both limits take a try: a guesser from many addresses meets the account's (per
            // address, so the maker elsewhere is never locked out), one from a single address
            // guessing many accounts meets the address's.
            auto allowed = store.take(QStringLiteral("sign-in from ") + address, kLoginsPerAddress);
            if (allowed && *allowed)
                allowed = store.take(QStringLiteral("sign-in to %1 from %2").arg(name, address),
                                     kLoginsPerAccount);
            if (!allowed)
                return std::nullopt;
            if (!*allowed)
                return refusal(QStringLiteral("Trop de tentatives : réessayez dans quelques "
                                              "minutes."),
                               Status::TooManyRequests);
            const auto account = store.consoleAccount(name);
            if (!account)
                return std::nullopt;
            return Answer{{{QStringLiteral("hash"), account->hash},
                           {QStringLiteral("stamp"), account->stamp}}};
        });
}

void ConsoleRoutes::checkPassword(const QString& name, const QString& stamp, const QString& hash,
                                  const QByteArray& password, Responder&& responder)
{
    // Kept on this (the network) thread until the check is done; the client may leave meanwhile.
    const QPointer<QTcpSocket> socket = responder.socket();
    auto waiting = std::make_shared<Responder>(std::move(responder));
    const bool started = m_passwords.check(hash, password, [=, this](bool ok) {
        if (!socket)
            return;
        if (!ok)
            return writeJson(*waiting, refusal(kWrongPassword, Status::Unauthorized));
        openSession(name, stamp, std::move(*waiting));
    });
    if (!started)
        writeJson(*waiting, refusal(QStringLiteral("Trop de connexions en cours : réessayez dans "
                                                   "un instant."),
                                    Status::ServiceUnavailable));
}

void ConsoleRoutes::openSession(const QString& name, const QString& stamp, Responder&& responder)
{
    const QByteArray token = Passwords::randomToken(32);
    const QByteArray csrf = Passwords::randomToken(32);
    StoreCall::run(
        m_stores, std::move(responder),
        [this, token](Responder& r, const Answer& answer) {
            writeJson(r, answer,
                      answer.status == Status::Ok ? Headers{{"Set-Cookie", cookie(token, false)}}
                                                  : Headers{});
        },
        [name, stamp, hash = tokenHash(token), csrf](Store& store) -> std::optional<Answer> {
            if (!store.openConsoleSession(hash, name, stamp, csrf, kSessions))
                return std::nullopt;
            return Answer{{{QStringLiteral("user"), name},
                           {QStringLiteral("csrf"), QString::fromLatin1(csrf)}}};
        });
}

void ConsoleRoutes::logout(const Request& request, Responder&& responder)
{
    const QByteArray token = sessionToken(request);
    const Headers ended{{"Set-Cookie", cookie(QByteArray(), true)}};
    if (token.isEmpty())
        return writeJson(responder, Answer{{{QStringLiteral("ok"), true}}}, ended);
    if (!fromThisConsole(request))
        return writeJson(responder, kForeign);
    StoreCall::run(
        m_stores, std::move(responder),
        [ended](Responder& r, const Answer& answer) {
            writeJson(r, answer, answer.status == Status::Ok ? ended : Headers{});
        },
        [hash = tokenHash(token),
         proof = request.value(kCsrfHeader)](Store& store) -> std::optional<Answer> {
            const auto session = store.consoleSession(hash, kSessions);
            if (!session)
                return std::nullopt;
            // Whoever can send the cookie cannot end the session without its token.
            if (!session->name.isEmpty() && !Passwords::sameToken(proof, session->csrf))
                return kForeign;
            if (!store.closeConsoleSession(hash))
                return std::nullopt;
            return Answer{{{QStringLiteral("ok"), true}}};
        });
}
