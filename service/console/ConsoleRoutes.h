#pragma once

#include "PasswordChecks.h"
#include "http/StoreCall.h"
#include "http/TrustedProxies.h"
#include "store/Store.h"

#include <QHttpServer>

class Mailer;
class StorePool;

// The maker's console: its pages (one HTML page and its script and style) and the JSON API they
// call, on an address of its own. Every API request needs a signed-in session; requests that
// change something also need the session's CSRF token in a header, a JSON body and, when the
// browser gives one, this console's own origin. Sessions and sign-in limits live in the
// database, so that any instance behind a load balancer answers any request.
class ConsoleRoutes final {
public:
    // The largest request: an answer of 4,000 characters written as JSON escapes.
    static constexpr qint64 kMaxBodyBytes = 64 * 1024;
    // Sign-in tries, each counted: per account from one address, five at once, then one every
    // two minutes (a guesser elsewhere never locks the maker out); per address, ten at once,
    // then one a minute, whatever the account.
    static constexpr Store::Limit kLoginsPerAccount{5, 120 * 1000};
    static constexpr Store::Limit kLoginsPerAddress{10, 60 * 1000};
    // A session ends when unused for 2 h, 12 h after it began, or at logout; more live
    // sessions than a studio has makers is someone signing in in a loop.
    static constexpr Store::SessionRules kSessions{2 * 3600 * 1000, 12 * 3600 * 1000, 1000};

    struct Options {
        // The maker reaches the console over HTTPS (a reverse proxy): the cookie is sent over
        // HTTPS only.
        bool behindTls = false;
        // The console's public address (https://console.example.org), which browsers name as
        // Origin behind a proxy that rewrites Host; empty: this server's own Host.
        QString origin;
        TrustedProxies proxies;
        // Sends answers by e-mail as well; none: no relay is configured.
        Mailer* mailer = nullptr;
    };
    ConsoleRoutes(QHttpServer& server, StorePool& stores, Options options);

private:
    using Responder = QHttpServerResponder;
    using Request = QHttpServerRequest;
    using Answer = StoreCall::Answer;
    using Session = Store::ConsoleSession;
    // Work for a signed-in session (checked in the database at each request: a removed account
    // or a changed password ends it).
    using Work = std::function<std::optional<Answer>(Store&, const Session&)>;

    void page(const QString& file, const QByteArray& type, Responder&& responder);
    void login(const Request& request, Responder&& responder);
    void checkPassword(const QString& name, const QString& stamp, const QString& hash,
                       const QByteArray& password, Responder&& responder);
    void openSession(const QString& name, const QString& stamp, Responder&& responder);
    void logout(const Request& request, Responder&& responder);
    void read(const Request& request, Responder&& responder, Work work);
    void
    change(const Request& request, Responder&& responder,
           std::function<std::optional<Answer>(Store&, const Session&, const QJsonObject&)> work);
    // proof: the CSRF token the request carries, when it must match the session's.
    void withSession(const Request& request, Responder&& responder, std::optional<QByteArray> proof,
                     Work work);
    bool fromThisConsole(const Request& request) const;
    QByteArray cookie(const QByteArray& token, bool ending) const;

    StorePool& m_stores;
    Options m_options;
    PasswordChecks m_passwords;
};
