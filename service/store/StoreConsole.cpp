// The store's side of the maker's console: the inbox, a device's facts and crashes, the
// "handled" mark and the console's accounts.
#include "Store.h"
#include "StoreValues.h"

#include <QRandomGenerator>
#include <QRegularExpression>

using namespace StoreValues;

namespace {

// A LIKE pattern that finds text as typed: its own wildcards taken literally.
QString containing(const QString& text)
{
    QString escaped = text;
    escaped.replace(QLatin1Char('!'), QStringLiteral("!!"))
        .replace(QLatin1Char('%'), QStringLiteral("!%"))
        .replace(QLatin1Char('_'), QStringLiteral("!_"));
    return QLatin1Char('%') + escaped + QLatin1Char('%');
}

} // namespace

std::optional<QList<Store::Conversation>> Store::inbox(const QString& search, int offset, int limit)
{
    if (!connect())
        return std::nullopt;
    // Read in the order of the devices_inbox index: no sort over every device.
    const QString columns = QStringLiteral(
        "SELECT id, email, version, system, preview, last_activity, attention FROM devices "
        "WHERE last_activity IS NOT NULL AND blocked = 0 ");
    const QString order =
        QStringLiteral("ORDER BY attention DESC, last_activity DESC LIMIT ? OFFSET ?");
    QSqlQuery* q = nullptr;
    if (search.isEmpty()) {
        q = &prepared("inbox", columns + order);
    } else if (m_postgres) {
        q = &prepared("inbox-search",
                      columns +
                          QStringLiteral("AND id IN (SELECT device FROM reports WHERE text ILIKE ? "
                                         "ESCAPE '!' OR email ILIKE ? ESCAPE '!') ") +
                          order);
        q->addBindValue(containing(search));
        q->addBindValue(containing(search));
    } else {
        // SQLite looks words up in its full-text index, among the most recent matches: a
        // word in every message would otherwise read them all.
        static const QRegularExpression word(QStringLiteral("[\\p{L}\\p{N}]+"));
        QStringList words;
        for (const QRegularExpressionMatch& m : word.globalMatch(search))
            words << m.captured();
        if (words.isEmpty())
            return QList<Conversation>{};
        q = &prepared("inbox-search",
                      columns +
                          QStringLiteral("AND id IN (SELECT device FROM reports WHERE id IN "
                                         "(SELECT rowid FROM reports_search WHERE "
                                         "reports_search MATCH ? ORDER BY rowid DESC LIMIT %1)) ")
                              .arg(kSearchedMessages) +
                          order);
        q->addBindValue(QLatin1Char('"') + words.join(QLatin1Char(' ')) + QLatin1Char('"'));
    }
    q->addBindValue(limit);
    q->addBindValue(offset);
    if (!q->exec())
        return fail(QStringLiteral("cannot read the inbox"), q->lastError()), std::nullopt;
    QList<Conversation> rows;
    while (q->next())
        rows.append({q->value(0).toString(), q->value(1).toString(), q->value(2).toString(),
                     q->value(3).toString(), q->value(4).toString(), fromMs(q->value(5)),
                     q->value(6).toInt() != 0});
    q->finish();
    return rows;
}

std::optional<qint64> Store::waitingCount()
{
    if (!connect())
        return std::nullopt;
    QSqlQuery& q =
        prepared("waiting", QStringLiteral("SELECT COUNT(*) FROM devices WHERE attention = 1 "
                                           "AND blocked = 0"));
    if (!q.exec() || !q.next())
        return fail(QStringLiteral("cannot count the waiting conversations"), q.lastError()),
               std::nullopt;
    const qint64 count = q.value(0).toLongLong();
    q.finish();
    return count;
}

std::optional<Store::DeviceFacts> Store::deviceFacts(const QString& device)
{
    if (!connect())
        return std::nullopt;
    QSqlQuery& q = prepared("device-facts",
                            QStringLiteral("SELECT id, first_seen, last_seen, version, system, "
                                           "attention, blocked FROM devices WHERE id = ?"));
    q.addBindValue(device);
    if (!q.exec())
        return fail(QStringLiteral("cannot read the device"), q.lastError()), std::nullopt;
    DeviceFacts facts;
    if (q.next())
        facts = {q.value(0).toString(),   fromMs(q.value(1)),     fromMs(q.value(2)),
                 q.value(3).toString(),   q.value(4).toString(),  {},
                 q.value(5).toInt() != 0, q.value(6).toInt() != 0};
    q.finish();
    if (facts.id.isEmpty())
        return facts;
    QSqlQuery& emails = prepared("device-emails",
                                 QStringLiteral("SELECT DISTINCT email FROM reports WHERE "
                                                "device = ? AND email IS NOT NULL ORDER BY email"));
    emails.addBindValue(device);
    if (!emails.exec())
        return fail(QStringLiteral("cannot read the device"), emails.lastError()), std::nullopt;
    while (emails.next())
        facts.emails << emails.value(0).toString();
    emails.finish();
    return facts;
}

std::optional<QList<Store::DeviceCrash>> Store::crashesOfDevice(const QString& device)
{
    if (!connect())
        return std::nullopt;
    QSqlQuery& q = prepared(
        "device-crashes",
        QStringLiteral("SELECT c.signature, MIN(c.kind), MIN(c.message), COUNT(*), "
                       "MAX(c.received), COALESCE(MIN(g.title), '') FROM crashes c LEFT JOIN "
                       "crash_groups g ON g.signature = c.signature WHERE c.device = ? GROUP BY "
                       "c.signature ORDER BY MAX(c.received) DESC"));
    q.addBindValue(device);
    if (!q.exec())
        return fail(QStringLiteral("cannot list the device's crashes"), q.lastError()),
               std::nullopt;
    QList<DeviceCrash> list;
    while (q.next())
        list.append({q.value(0).toString(), q.value(5).toString(), q.value(1).toString(),
                     q.value(2).toString(), q.value(3).toLongLong(), fromMs(q.value(4))});
    q.finish();
    return list;
}

bool Store::markHandled(const QString& device)
{
    return connect() && execute("mark-handled",
                                QStringLiteral("UPDATE devices SET handled = ?, attention = 0 "
                                               "WHERE id = ?"),
                                {nowMs(), device}, QStringLiteral("cannot mark it handled"));
}

bool Store::addConsoleUser(const QString& name, const QString& passwordHash, bool replace)
{
    const QString insert = QStringLiteral(
        "INSERT INTO console_users (name, password_hash, created, stamp) VALUES (?, ?, ?, ?)");
    const QString stamp = QString::number(QRandomGenerator::system()->generate64(), 36);
    return connect() &&
           execute(replace ? "console-user-replace" : "console-user-add",
                   replace ? insert + QStringLiteral(" ON CONFLICT (name) DO UPDATE SET "
                                                     "password_hash = excluded.password_hash, "
                                                     "stamp = excluded.stamp")
                           : insert,
                   {name, passwordHash, nowMs(), stamp}, QStringLiteral("cannot save the account"));
}

bool Store::removeConsoleUser(const QString& name)
{
    const QString what = QStringLiteral("cannot remove the account");
    return connect() && inTransaction(what, [&] {
               return execute("console-user-remove",
                              QStringLiteral("DELETE FROM console_users WHERE name = ?"), {name},
                              what) &&
                      execute("console-user-sessions",
                              QStringLiteral("DELETE FROM console_sessions WHERE name = ?"), {name},
                              what);
           });
}

std::optional<Store::ConsoleAccount> Store::consoleAccount(const QString& name)
{
    if (!connect())
        return std::nullopt;
    QSqlQuery& q = prepared("console-user", QStringLiteral("SELECT password_hash, stamp FROM "
                                                           "console_users WHERE name = ?"));
    q.addBindValue(name);
    if (!q.exec())
        return fail(QStringLiteral("cannot read the account"), q.lastError()), std::nullopt;
    ConsoleAccount account;
    if (q.next())
        account = {q.value(0).toString(), q.value(1).toString()};
    q.finish();
    return account;
}

std::optional<QStringList> Store::consoleUsers()
{
    if (!connect())
        return std::nullopt;
    QSqlQuery& q =
        prepared("console-users", QStringLiteral("SELECT name FROM console_users ORDER BY name"));
    if (!q.exec())
        return fail(QStringLiteral("cannot list the accounts"), q.lastError()), std::nullopt;
    QStringList names;
    while (q.next())
        names << q.value(0).toString();
    q.finish();
    return names;
}
