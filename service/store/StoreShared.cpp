// What every instance of the service on one database must see alike: request limits and the
// console's sessions. Kept in the database, so that behind a load balancer any instance
// enforces one limit and knows every session.
#include "Store.h"
#include "StoreValues.h"

using namespace StoreValues;

namespace {

// A session's last use is written at most this often: the idle limit holds to within it.
constexpr qint64 kSessionTouchMs = 60 * 1000;

// One statement, so that instances taking from one bucket at once each see the other's take. A
// bucket refills continuously; a refused request leaves it as it was. Clocks of two instances
// that differ never refill it backwards. Put together once per dialect, not at every request.
const QString& takeStatement(bool postgres)
{
    auto make = [](bool postgres) {
        const QString least = postgres ? QStringLiteral("LEAST") : QStringLiteral("MIN");
        const QString greatest = postgres ? QStringLiteral("GREATEST") : QStringLiteral("MAX");
        const QString refilled =
            QStringLiteral("%1(?, limits.tokens + %2(0, excluded.updated - limits.updated) / "
                           "CAST(? AS DOUBLE PRECISION))")
                .arg(least, greatest);
        return QStringLiteral("INSERT INTO limits (key, tokens, updated) VALUES (?, ?, ?) "
                              "ON CONFLICT (key) DO UPDATE SET tokens = %1 - 1, updated = "
                              "%2(limits.updated, excluded.updated) WHERE %1 >= 1 "
                              "RETURNING tokens")
            .arg(refilled, greatest);
    };
    static const QString sqlite = make(false), postgresql = make(true);
    return postgres ? postgresql : sqlite;
}

} // namespace

std::optional<bool> Store::take(const QString& key, Limit limit)
{
    if (!connect())
        return std::nullopt;
    QSqlQuery& q = prepared("take", takeStatement(m_postgres));
    for (const QVariant& v : {QVariant(key), QVariant(double(limit.burst - 1)), QVariant(nowMs()),
                              QVariant(double(limit.burst)), QVariant(limit.periodMs),
                              QVariant(double(limit.burst)), QVariant(limit.periodMs)})
        q.addBindValue(v);
    if (!q.exec())
        return fail(QStringLiteral("cannot count the request"), q.lastError()), std::nullopt;
    const bool allowed = q.next();
    q.finish();
    return allowed;
}

bool Store::forgetIdleLimits(qint64 idleMs)
{
    return connect() &&
           execute("forget-limits", QStringLiteral("DELETE FROM limits WHERE updated < ?"),
                   {nowMs() - idleMs}, QStringLiteral("cannot forget old limits"));
}

bool Store::openConsoleSession(const QByteArray& tokenHash, const QString& name,
                               const QString& stamp, const QByteArray& csrf,
                               const SessionRules& rules)
{
    if (!connect())
        return false;
    const qint64 now = nowMs();
    const QString what = QStringLiteral("cannot open the session");
    return inTransaction(what, [&] {
        return execute("sessions-expired",
                       QStringLiteral("DELETE FROM console_sessions WHERE used < ? OR began < ?"),
                       {now - rules.idleMs, now - rules.lifetimeMs}, what) &&
               // More live sessions than a studio has makers is someone signing in in a loop.
               execute("sessions-oldest",
                       QStringLiteral("DELETE FROM console_sessions WHERE began <= (SELECT began "
                                      "FROM console_sessions ORDER BY began DESC LIMIT 1 "
                                      "OFFSET ?)"),
                       {rules.most - 1}, what) &&
               execute("session-open",
                       QStringLiteral("INSERT INTO console_sessions (token_hash, name, stamp, "
                                      "csrf, began, used) VALUES (?, ?, ?, ?, ?, ?)"),
                       {QString::fromLatin1(tokenHash), name, stamp, QString::fromLatin1(csrf), now,
                        now},
                       what);
    });
}

std::optional<Store::ConsoleSession> Store::consoleSession(const QByteArray& tokenHash,
                                                           const SessionRules& rules)
{
    if (!connect())
        return std::nullopt;
    const qint64 now = nowMs();
    // The account must still be the one, with the password, the session was opened under.
    QSqlQuery& q = prepared(
        "session", QStringLiteral("SELECT s.name, s.csrf, s.used FROM console_sessions s JOIN "
                                  "console_users u ON u.name = s.name AND u.stamp = s.stamp "
                                  "WHERE s.token_hash = ? AND s.used >= ? AND s.began >= ?"));
    q.addBindValue(QString::fromLatin1(tokenHash));
    q.addBindValue(now - rules.idleMs);
    q.addBindValue(now - rules.lifetimeMs);
    if (!q.exec())
        return fail(QStringLiteral("cannot read the session"), q.lastError()), std::nullopt;
    ConsoleSession session;
    qint64 used = now;
    if (q.next()) {
        session = {q.value(0).toString(), q.value(1).toString().toLatin1()};
        used = q.value(2).toLongLong();
    }
    q.finish();
    if (!session.name.isEmpty() && now - used > kSessionTouchMs &&
        !execute("session-touch",
                 QStringLiteral("UPDATE console_sessions SET used = ? WHERE token_hash = ?"),
                 {now, QString::fromLatin1(tokenHash)}, QStringLiteral("cannot keep the session")))
        return std::nullopt;
    return session;
}

bool Store::closeConsoleSession(const QByteArray& tokenHash)
{
    return connect() &&
           execute("session-close",
                   QStringLiteral("DELETE FROM console_sessions WHERE token_hash = ?"),
                   {QString::fromLatin1(tokenHash)}, QStringLiteral("cannot close the session"));
}
