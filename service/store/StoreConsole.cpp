// The store's side of the maker's console: the inbox, a device's facts and crashes, the
// "handled" mark and the console's accounts.
#include "Store.h"
#include "StoreValues.h"

#include <QRandomGenerator>
#include <QRegularExpression>

using namespace StoreValues;

namespace {

// A LIKE pattern that finds text as typed: its own wildcards taken literally.
QString escapedLike(const QString& text)
{
    QString escaped = text;
    return escaped.replace(QLatin1Char('!'), QStringLiteral("!!"))
        .replace(QLatin1Char('%'), QStringLiteral("!%"))
        .replace(QLatin1Char('_'), QStringLiteral("!_"));
}

// At most this many words of a search are looked for.
constexpr int kSearchWords = 8;
// The longest beginning of a word that SQLite's search indexes keep.
constexpr int kIndexedPrefix = 8;

} // namespace

std::optional<QList<Store::Conversation>> Store::inbox(const InboxQuery& query, int offset,
                                                       int limit, qint64* found)
{
    if (!connect())
        return std::nullopt;
    // The values of the devices found (in from) come before those of the filters (in where).
    QString from = QStringLiteral("devices");
    QVariantList searchValues;
    QString where = QStringLiteral("WHERE last_activity IS NOT NULL AND blocked = 0");
    QVariantList values;
    if (query.waiting)
        where += QStringLiteral(" AND attention = 1");
    if (query.withEmail)
        where += QStringLiteral(" AND email IS NOT NULL");
    if (!query.version.isEmpty()) {
        where += QStringLiteral(" AND version = ?");
        values << query.version;
    }
    if (!query.search.isEmpty()) {
        static const QRegularExpression word(QStringLiteral("[\\p{L}\\p{N}]+"));
        QStringList words;
        for (const QRegularExpressionMatch& m : word.globalMatch(query.search))
            if (words.size() < kSearchWords)
                words << m.captured();
        // One list of devices: those whose id begins so, and those with a message or an
        // answer holding every word.
        QStringList matches;
        static const QRegularExpression deviceLike(QStringLiteral("^[A-Za-z0-9-]{4,64}$"));
        const bool mayBeDevice = deviceLike.match(query.search).hasMatch();
        if (mayBeDevice && m_postgres) {
            matches << QStringLiteral("SELECT id AS hit FROM devices WHERE UPPER(id) LIKE ? "
                                      "ESCAPE '!'");
            searchValues << escapedLike(query.search.toUpper()) + QLatin1Char('%');
        } else if (mayBeDevice) {
            // Ranges of the key, in upper and lower case, rather than a look at every id.
            matches << QStringLiteral("SELECT id AS hit FROM devices WHERE (id >= ? AND id < ?) "
                                      "OR (id >= ? AND id < ?)");
            for (const QString& start : {query.search.toUpper(), query.search.toLower()})
                searchValues << start << start + QChar(0xFFFF);
        }
        if (!words.isEmpty() && m_postgres) {
            // Each word anywhere in one message or its address.
            const QStringList inReport(
                words.size(),
                QStringLiteral("(text ILIKE ? ESCAPE '!' OR email ILIKE ? ESCAPE '!')"));
            const QStringList inAnswer(words.size(), QStringLiteral("text ILIKE ? ESCAPE '!'"));
            matches << QStringLiteral("SELECT device AS hit FROM reports WHERE %1")
                           .arg(inReport.join(QStringLiteral(" AND ")))
                    << QStringLiteral("SELECT device AS hit FROM maker_messages WHERE %1")
                           .arg(inAnswer.join(QStringLiteral(" AND ")));
            QVariantList patterns;
            for (const QString& w : words)
                patterns << QLatin1Char('%') + escapedLike(w) + QLatin1Char('%');
            for (const QVariant& pattern : patterns)
                searchValues << pattern << pattern;
            searchValues += patterns;
        } else if (!words.isEmpty()) {
            // Each word by its beginning, at most the 8 letters the indexes keep (a longer
            // word is found by its first 8); a single letter as a word. Looked up among the
            // most recent matches, so that a word in every message does not read them all.
            QStringList prefixes;
            for (const QString& w : words)
                prefixes << (w.size() == 1 ? QLatin1Char('"') + w + QLatin1Char('"')
                                           : QLatin1Char('"') + w.left(kIndexedPrefix) +
                                                 QStringLiteral("\"*"));
            const QString match = prefixes.join(QLatin1Char(' '));
            matches << QStringLiteral(
                           "SELECT device AS hit FROM reports WHERE id IN (SELECT rowid FROM "
                           "reports_search WHERE reports_search MATCH ? ORDER BY "
                           "rowid DESC LIMIT %1)")
                           .arg(kSearchedMessages)
                    << QStringLiteral(
                           "SELECT device AS hit FROM maker_messages WHERE id IN (SELECT "
                           "rowid FROM answers_search WHERE answers_search MATCH ? "
                           "ORDER BY rowid DESC LIMIT %1)")
                           .arg(kSearchedMessages);
            searchValues << match << match;
        }
        if (matches.isEmpty()) {
            if (found)
                *found = 0;
            return QList<Conversation>{};
        }
        // Read from the few devices found, not by walking the inbox for them.
        from = QStringLiteral("(%1) AS m CROSS JOIN devices")
                   .arg(matches.join(QStringLiteral(" UNION ")));
        where += QStringLiteral(" AND devices.id = m.hit");
    }
    // Without a search, read in the order of the devices_inbox index: no sort over every
    // device; with one, only the devices found are sorted.
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    q.prepare(QStringLiteral("SELECT id, email, version, system, preview, last_activity, "
                             "attention FROM %1 %2 ORDER BY attention DESC, last_activity "
                             "DESC LIMIT ? OFFSET ?")
                  .arg(from, where));
    values = searchValues + values;
    for (const QVariant& v : values)
        q.addBindValue(v);
    q.addBindValue(limit);
    q.addBindValue(offset);
    if (!q.exec())
        return fail(QStringLiteral("cannot read the inbox"), q.lastError()), std::nullopt;
    QList<Conversation> rows;
    while (q.next())
        rows.append({q.value(0).toString(), q.value(1).toString(), q.value(2).toString(),
                     q.value(3).toString(), q.value(4).toString(), fromMs(q.value(5)),
                     q.value(6).toInt() != 0});
    q.finish();
    if (found) {
        // Counted up to kMostCounted: beyond, the count would cost more than the page.
        QSqlQuery count(QSqlDatabase::database(m_connection, false));
        count.prepare(QStringLiteral("SELECT COUNT(*) FROM (SELECT 1 FROM %1 %2 LIMIT %3) AS c")
                          .arg(from, where)
                          .arg(kMostCounted + 1));
        for (const QVariant& v : values)
            count.addBindValue(v);
        if (!count.exec() || !count.next())
            return fail(QStringLiteral("cannot count the inbox"), count.lastError()), std::nullopt;
        *found = count.value(0).toLongLong();
    }
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
                                           "attention, blocked, email FROM devices WHERE id = ?"));
    q.addBindValue(device);
    if (!q.exec())
        return fail(QStringLiteral("cannot read the device"), q.lastError()), std::nullopt;
    DeviceFacts facts;
    if (q.next())
        facts = {q.value(0).toString(), fromMs(q.value(1)),      fromMs(q.value(2)),
                 q.value(3).toString(), q.value(4).toString(),   {},
                 q.value(7).toString(), q.value(5).toInt() != 0, q.value(6).toInt() != 0};
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

std::optional<qint64> Store::markHandled(const QStringList& devices)
{
    if (!connect())
        return std::nullopt;
    const QString what = QStringLiteral("cannot mark it handled");
    qint64 known = 0;
    const qint64 now = nowMs();
    const bool done = inTransaction(what, [&] {
        for (const QString& device : devices) {
            int changed = 0;
            if (!execute(
                    "mark-handled",
                    QStringLiteral("UPDATE devices SET handled = ?, attention = 0 WHERE id = ?"),
                    {now, device}, what, &changed))
                return false;
            known += changed;
        }
        return true;
    });
    return done ? std::optional(known) : std::nullopt;
}

std::optional<QList<Store::SavedReply>> Store::savedReplies()
{
    if (!connect())
        return std::nullopt;
    QSqlQuery& q = prepared("saved-replies", QStringLiteral("SELECT id, title, text FROM "
                                                            "saved_replies ORDER BY title, id"));
    if (!q.exec())
        return fail(QStringLiteral("cannot read the saved replies"), q.lastError()), std::nullopt;
    QList<SavedReply> list;
    while (q.next())
        list.append({q.value(0).toLongLong(), q.value(1).toString(), q.value(2).toString()});
    q.finish();
    return list;
}

std::optional<qint64> Store::addSavedReply(const QString& title, const QString& text,
                                           const QString& author)
{
    if (!connect())
        return std::nullopt;
    const QString insert = QStringLiteral(
        "INSERT INTO saved_replies (title, text, author, created) VALUES (?, ?, ?, ?)");
    QSqlQuery& q =
        prepared("saved-reply-add", m_postgres ? insert + QStringLiteral(" RETURNING id") : insert);
    for (const QVariant& v : {QVariant(title), QVariant(text), QVariant(author), QVariant(nowMs())})
        q.addBindValue(v);
    if (!q.exec())
        return fail(QStringLiteral("cannot save the reply"), q.lastError()), std::nullopt;
    const qint64 id =
        m_postgres ? (q.next() ? q.value(0).toLongLong() : 0) : q.lastInsertId().toLongLong();
    q.finish();
    return id;
}

std::optional<bool> Store::removeSavedReply(qint64 id)
{
    int changed = 0;
    if (!connect() ||
        !execute("saved-reply-remove", QStringLiteral("DELETE FROM saved_replies WHERE id = ?"),
                 {id}, QStringLiteral("cannot remove the saved reply"), &changed))
        return std::nullopt;
    return changed > 0;
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
