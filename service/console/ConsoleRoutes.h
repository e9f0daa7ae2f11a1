#pragma once

#include "ConsoleSessions.h"
#include "http/RateLimiter.h"
#include "http/StoreCall.h"

#include <QHttpServer>

class StorePool;

// The maker's console: its pages (one HTML page and its script and style) and the JSON API they
// call, on an address of its own. Every API request needs a signed-in session; requests that
// change something also need the session's CSRF token in a header, a JSON body and, when the
// browser gives one, this console's own origin.
class ConsoleRoutes final {
public:
    // The largest request: an answer of 4,000 characters written as JSON escapes.
    static constexpr qint64 kMaxBodyBytes = 64 * 1024;
    // Guesses: a few per account, then one every two minutes; a few more per address.
    static constexpr int kLoginBurstPerAccount = 5;
    static constexpr qint64 kLoginPeriodPerAccountMs = 120 * 1000;
    static constexpr int kLoginBurstPerAddress = 10;
    static constexpr qint64 kLoginPeriodPerAddressMs = 60 * 1000;
    static constexpr int kPageSize = 50;

    // behindTls: the maker reaches the console over HTTPS (a reverse proxy), so the cookie is
    // sent over HTTPS only.
    ConsoleRoutes(QHttpServer& server, StorePool& stores, bool behindTls);

private:
    using Responder = QHttpServerResponder;
    using Request = QHttpServerRequest;
    using Answer = StoreCall::Answer;
    // Work that needs the signed-in account (checked again in the database: a removed account
    // is signed out at its next request).
    using Work = std::function<std::optional<Answer>(Store&, const QString& user)>;

    void page(const QString& file, const QByteArray& type, Responder&& responder);
    void login(const Request& request, Responder&& responder);
    void logout(const Request& request, Responder&& responder);
    void read(const Request& request, Responder&& responder, Work work);
    void change(
        const Request& request, Responder&& responder,
        std::function<std::optional<Answer>(Store&, const QString& user, const QJsonObject& body)>
            work);
    void withAccount(const QString& user, Responder&& responder, Work work);
    const ConsoleSessions::Session* session(const Request& request);
    QByteArray cookie(const QByteArray& token, bool ending) const;

    StorePool& m_stores;
    bool m_behindTls;
    ConsoleSessions m_sessions;
    RateLimiter m_loginsPerAccount{kLoginBurstPerAccount, kLoginPeriodPerAccountMs};
    RateLimiter m_loginsPerAddress{kLoginBurstPerAddress, kLoginPeriodPerAddressMs};
};
