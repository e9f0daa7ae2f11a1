#include "Store.h"

#include "CrashSignature.h"
#include "StoreValues.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QUrl>

#include <QUrlQuery>
#include <QVariant>
#include <limits>

#include <atomic>

namespace {

// A migration's statements, split at their semicolons, except those inside a trigger's body
// (SQLite's BEGIN … END) or a function's ($$ … $$).
QStringList statementsOf(const QString& sql)
{
    QStringList statements;
    QString pending;
    for (const QString& piece : sql.split(QLatin1Char(';'))) {
        pending = pending.isNull() ? piece : pending + QLatin1Char(';') + piece;
        const bool inFunction = pending.count(QLatin1String("$$")) % 2 == 1;
        static const QRegularExpression begin(QStringLiteral("\\bBEGIN\\b"),
                                              QRegularExpression::CaseInsensitiveOption);
        const bool inTrigger =
            pending.contains(QLatin1String("CREATE TRIGGER"), Qt::CaseInsensitive) &&
            pending.contains(begin) &&
            !piece.trimmed().startsWith(QLatin1String("END"), Qt::CaseInsensitive);
        if (inFunction || inTrigger)
            continue;
        statements << pending;
        pending = QString();
    }
    if (!pending.isNull())
        statements << pending;
    return statements;
}

// How long SQLite waits for another writer (a maker command, a backup) before giving up: within
// the service's answer deadline.
constexpr int kSqliteBusyMs = 1500;
// PostgreSQL ends a statement or a lock wait that takes longer (a stalled or locked table).
constexpr int kPostgresStatementMs = 1500;
constexpr int kPostgresLockMs = 1000;
// Advisory lock taken by the instance that migrates a shared PostgreSQL database.
constexpr qint64 kMigrationLock = 0x56454c4d4f5241; // "VELMORA"

using namespace StoreValues;

// What the inbox shows of a message: its start, without leading blank lines.
QString previewOf(const QString& text)
{
    constexpr qsizetype kPreview = 200;
    qsizetype start = 0;
    while (start < text.size() && text[start].isSpace())
        ++start;
    return text.mid(start, kPreview);
}

} // namespace

Store::Store(QString connectionName) : m_connection(std::move(connectionName)) {}

Store::Store(Store&& other) noexcept
    : m_connection(std::exchange(other.m_connection, QString())), m_url(other.m_url),
      m_password(other.m_password), m_error(other.m_error), m_postgres(other.m_postgres)
{
}

Store::~Store()
{
    if (m_connection.isEmpty())
        return;
    // The kept statements go before their connection: a statement finalised after it would
    // write into the driver that is gone.
    m_prepared.clear();
    QSqlDatabase::database(m_connection, false).close();
    QSqlDatabase::removeDatabase(m_connection);
}

std::optional<Store> Store::open(const QString& url, QString* error, const QString& password)
{
    // Each worker thread opens its own store: the serial is shared by them.
    static std::atomic<int> serial = 0;
    Store store(QStringLiteral("velmora-store-%1").arg(++serial));
    store.m_url = url;
    store.m_password = password;
    if (url.startsWith(QLatin1String("sqlite:"))) {
        const QString path = url.mid(7);
        if (path.isEmpty()) {
            *error = QStringLiteral("the SQLite database needs a path: sqlite:PATH");
            return std::nullopt;
        }
        QDir().mkpath(QFileInfo(path).absolutePath());
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), store.m_connection);
        db.setDatabaseName(path);
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(kSqliteBusyMs));
    } else if (url.startsWith(QLatin1String("postgresql://")) ||
               url.startsWith(QLatin1String("postgres://"))) {
        const QUrl parsed(url);
        if (!parsed.isValid() || parsed.path().size() < 2) {
            *error = QStringLiteral("expected postgresql://user@host:port/dbname");
            return std::nullopt;
        }
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), store.m_connection);
        db.setHostName(parsed.host());
        db.setPort(parsed.port(5432));
        db.setUserName(parsed.userName());
        db.setPassword(password.isEmpty() ? parsed.password() : password);
        db.setDatabaseName(parsed.path().mid(1));
        // libpq's own options (sslmode, sslrootcert, target_session_attrs…) from the query.
        QStringList options{QStringLiteral("connect_timeout=5"),
                            QStringLiteral("application_name=velmora-service"),
                            // Notices ("already exists, skipping") are no news.
                            QStringLiteral("options='-c statement_timeout=%1 -c lock_timeout=%2 "
                                           "-c client_min_messages=warning'")
                                .arg(kPostgresStatementMs)
                                .arg(kPostgresLockMs)};
        static const QRegularExpression keyword(QStringLiteral("^[a-z_]+$"));
        for (const auto& [key, value] : QUrlQuery(parsed).queryItems(QUrl::FullyDecoded)) {
            if (!keyword.match(key).hasMatch() || key == QLatin1String("options") ||
                value.contains(QLatin1Char(';'))) {
                *error = QStringLiteral("unusable PostgreSQL option \"%1\"").arg(key);
                return std::nullopt;
            }
            QString quoted = value;
            quoted.replace(QLatin1Char('\\'), QStringLiteral("\\\\"))
                .replace(QLatin1Char('\''), QStringLiteral("\\'"));
            options << key + QStringLiteral("='") + quoted + QLatin1Char('\'');
        }
        db.setConnectOptions(options.join(QLatin1Char(';')));
        store.m_postgres = true;
    } else {
        *error = QStringLiteral("unknown database \"%1\": use sqlite:PATH or "
                                "postgresql://user@host:port/dbname")
                     .arg(url);
        return std::nullopt;
    }
    if (!QSqlDatabase::database(store.m_connection, false).isValid()) {
        *error = QStringLiteral("the Qt SQL driver for this database is not installed");
        return std::nullopt;
    }
    if (!store.connect() || !store.migrate()) {
        *error = store.m_error;
        return std::nullopt;
    }
    return store;
}

bool Store::connect()
{
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    if (db.isOpen())
        return true;
    if (!db.open())
        return fail(kCannotConnect);
    if (!m_postgres) {
        // WAL: readers (the maker's commands) never block the service's writes.
        // NORMAL: in WAL mode a power cut may lose the last commits, never the file's integrity.
        QSqlQuery pragma(db);
        if (!pragma.exec(QStringLiteral("PRAGMA journal_mode=WAL")) ||
            !pragma.exec(QStringLiteral("PRAGMA synchronous=NORMAL")))
            return fail(QStringLiteral("cannot switch to WAL"), pragma.lastError());
    }
    return true;
}

bool Store::fail(const QString& what, const QSqlError& error)
{
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    // A statement's error is the statement's, not the connection's.
    m_error = what + QStringLiteral(": ") +
              (error.type() != QSqlError::NoError ? error.text() : db.lastError().text());
    // Reconnect on the next call: the server may have restarted, the disk may have room again;
    // statements are prepared again on the new connection.
    m_prepared.clear();
    db.close();
    return false;
}

bool Store::migrate()
{
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    QSqlQuery q(db);
    if (m_postgres && !q.exec(QStringLiteral("SELECT pg_advisory_lock(%1)").arg(kMigrationLock)))
        return fail(QStringLiteral("cannot lock the schema"), q.lastError());
    auto unlock = qScopeGuard([&] {
        if (m_postgres)
            QSqlQuery(db).exec(QStringLiteral("SELECT pg_advisory_unlock(%1)").arg(kMigrationLock));
    });
    if (!q.exec(QStringLiteral("CREATE TABLE IF NOT EXISTS schema_migrations "
                               "(version INTEGER PRIMARY KEY, applied BIGINT NOT NULL)")))
        return fail(QStringLiteral("cannot create the migrations table"), q.lastError());
    qint64 current = 0;
    if (!q.exec(QStringLiteral("SELECT COALESCE(MAX(version), 0) FROM schema_migrations")) ||
        !q.next())
        return fail(QStringLiteral("cannot read the schema version"), q.lastError());
    current = q.value(0).toLongLong();
    // An open statement would stop a migration from dropping a table.
    q.finish();
    const QDir folder(m_postgres ? QStringLiteral(":/migrations/postgresql")
                                 : QStringLiteral(":/migrations/sqlite"));
    const QStringList known = folder.entryList({QStringLiteral("*.sql")}, QDir::Files, QDir::Name);
    const qint64 newestKnown =
        known.isEmpty() ? 0 : known.last().section(QLatin1Char('_'), 0, 0).toLongLong();
    if (current > newestKnown) {
        // Written by a newer velmora-service: this one would misread it, or break it.
        m_error = QStringLiteral("the database's schema is version %1, newer than this "
                                 "velmora-service knows (%2): install the newer velmora-service")
                      .arg(current)
                      .arg(newestKnown);
        return false;
    }
    for (const QString& name : known) {
        const qint64 version = name.section(QLatin1Char('_'), 0, 0).toLongLong();
        if (version <= current)
            continue;
        QFile file(folder.filePath(name));
        if (!file.open(QIODevice::ReadOnly))
            return fail(QStringLiteral("cannot read migration ") + name);
        const QString sql = QString::fromUtf8(file.readAll());
        if (!db.transaction())
            return fail(QStringLiteral("cannot start migration ") + name);
        for (QString statement : statementsOf(sql)) {
            QStringList lines = statement.split(QLatin1Char('\n'));
            lines.removeIf(
                [](const QString& l) { return l.trimmed().startsWith(QLatin1String("--")); });
            statement = lines.join(QLatin1Char('\n')).trimmed();
            if (statement.isEmpty())
                continue;
            QSqlQuery step(db);
            if (!step.exec(statement)) {
                m_error =
                    QStringLiteral("migration %1 failed: %2").arg(name, step.lastError().text());
                db.rollback();
                return false;
            }
        }
        QSqlQuery record(db);
        record.prepare(
            QStringLiteral("INSERT INTO schema_migrations (version, applied) VALUES (?, ?)"));
        record.addBindValue(version);
        record.addBindValue(nowMs());
        if (!record.exec() || !db.commit()) {
            db.rollback();
            return fail(QStringLiteral("cannot record migration ") + name, record.lastError());
        }
    }
    return true;
}

bool Store::backup(const QString& file)
{
    if (m_postgres) {
        m_error = QStringLiteral("only a SQLite database is copied here");
        return false;
    }
    if (!connect())
        return false;
    // One transaction's view, taken while the service goes on writing.
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    q.prepare(QStringLiteral("VACUUM INTO ?"));
    q.addBindValue(QFileInfo(file).absoluteFilePath());
    return q.exec() || fail(QStringLiteral("cannot back up into ") + file, q.lastError());
}

bool Store::checkWritable()
{
    if (!connect())
        return false;
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    // A row written and taken back: a read-only file, a full disk or missing rights show here,
    // not at the first request.
    if (!db.transaction())
        return fail(QStringLiteral("cannot write to the database"));
    QSqlQuery q(db);
    const bool written =
        q.exec(QStringLiteral("INSERT INTO schema_migrations (version, applied) VALUES (-1, 0)"));
    const QSqlError error = q.lastError();
    db.rollback();
    return written || fail(QStringLiteral("cannot write to the database"), error);
}

std::optional<QString> Store::makerTextProblem(const QString& text)
{
    if (text.trimmed().isEmpty())
        return QStringLiteral("the message is blank: the application shows no empty message");
    if (text.size() > kMaxMakerText)
        return QStringLiteral("the message has %1 characters: the application shows at most %2")
            .arg(text.size())
            .arg(kMaxMakerText);
    return std::nullopt;
}

QSqlQuery& Store::prepared(std::string_view key, const QString& sql)
{
    // Prepared once per connection and kept: PostgreSQL then parses and plans a statement once,
    // and each use is one round trip instead of PREPARE, EXECUTE and DEALLOCATE.
    auto found = m_prepared.find(key);
    if (found != m_prepared.end())
        return found->second;
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.setForwardOnly(true);
    if (!query.prepare(sql))
        fail(QStringLiteral("cannot prepare a statement"), query.lastError());
    return m_prepared.insert_or_assign(key, std::move(query)).first->second;
}

namespace {

// The texts of the statements a sync runs, put together once per dialect rather than at every
// sync (a connection prepares each once).
struct SyncStatements {
    QString recordVisit; // the device created or refreshed, its acknowledgement taken
    QString sync;        // PostgreSQL: the whole sync in one statement
    QString offer;       // SQLite: the message to offer, once the visit is recorded
};

const SyncStatements& syncStatements(bool postgres)
{
    auto make = [](bool postgres) {
        // The acknowledgement only moves forward, so a late or replayed sync cannot bring back
        // a message, and only up to what was offered: a device can only have read that (a
        // made-up "m", or a device restored over a newer database, would silence it for good).
        const QString recordVisit =
            QStringLiteral(
                "INSERT INTO devices (id, first_seen, last_seen, version, system, acked) "
                "VALUES (?, ?, ?, ?, ?, %1(?, (SELECT COALESCE(MAX(id), 0) FROM maker_messages "
                "WHERE device = ? AND offered IS NOT NULL))) "
                "ON CONFLICT (id) DO UPDATE SET last_seen = excluded.last_seen, "
                "version = excluded.version, system = excluded.system, "
                "acked = CASE WHEN excluded.acked > devices.acked THEN excluded.acked "
                "ELSE devices.acked END")
                .arg(postgres ? QStringLiteral("LEAST") : QStringLiteral("MIN"));
        // Messages no device can show (taken back, blank, longer than the application reads)
        // are passed over: offered, they would hold back every later answer to that device.
        const QString showable =
            QStringLiteral("m.retracted IS NULL AND length(m.text) <= %1 AND %2 <> ''")
                .arg(Store::kMaxMakerText)
                .arg(postgres
                         ? QStringLiteral("btrim(m.text, E' \\t\\n\\r')")
                         : QStringLiteral("trim(m.text, ' ' || char(9) || char(10) || char(13))"));
        return SyncStatements{
            recordVisit,
            QStringLiteral("WITH visit AS (%1 RETURNING acked), "
                           "offer AS (SELECT m.id, m.text FROM maker_messages m, visit "
                           "WHERE m.device = ? AND m.id > visit.acked AND %2 "
                           "ORDER BY m.id LIMIT 1), "
                           "marked AS (UPDATE maker_messages SET offered = ? "
                           "WHERE id = (SELECT id FROM offer) AND offered IS NULL) "
                           "SELECT id, text FROM offer")
                .arg(recordVisit, showable),
            QStringLiteral("SELECT m.id, m.text FROM maker_messages m JOIN devices d ON "
                           "d.id = m.device WHERE m.device = ? AND m.id > d.acked AND %1 "
                           "ORDER BY m.id LIMIT 1")
                .arg(showable)};
    };
    static const SyncStatements sqlite = make(false), postgresql = make(true);
    return postgres ? postgresql : sqlite;
}

} // namespace

bool Store::recordDevice(const QString& device, const QString& version, const QString& system,
                         qint64 ack)
{
    // One statement: a device's first contact creates it, later ones refresh it.
    const qint64 now = nowMs();
    return execute("record-device", syncStatements(m_postgres).recordVisit,
                   {device, now, now, version, system, ack, device},
                   QStringLiteral("cannot record the device"));
}

bool Store::execute(std::string_view key, const QString& sql, const QVariantList& values,
                    const QString& what, int* affected)
{
    QSqlQuery& q = prepared(key, sql);
    for (const QVariant& v : values)
        q.addBindValue(v);
    const bool done = q.exec();
    if (affected)
        *affected = done ? q.numRowsAffected() : 0;
    const QSqlError error = q.lastError();
    q.finish();
    return done || fail(what, error);
}

bool Store::inTransaction(const QString& what, const std::function<bool()>& steps)
{
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    if (!db.transaction())
        return fail(what);
    if (!steps()) {
        db.rollback();
        return false;
    }
    return db.commit() || fail(what);
}

std::optional<Store::Offer> Store::sync(const QString& device, const QString& version,
                                        const QString& system, std::optional<qint64> ack)
{
    if (!connect())
        return std::nullopt;
    const qint64 now = nowMs();
    const qint64 acknowledged = ack && *ack > 0 ? *ack : 0;
    std::optional<Offer> found;
    if (m_postgres) {
        // One round trip: the visit recorded, the oldest message to show found and marked as
        // offered, in one statement.
        QSqlQuery& q = prepared("sync", syncStatements(true).sync);
        for (const QVariant& v :
             {QVariant(device), QVariant(now), QVariant(now), QVariant(version), QVariant(system),
              QVariant(acknowledged), QVariant(device), QVariant(device), QVariant(now)})
            q.addBindValue(v);
        if (!q.exec())
            return fail(QStringLiteral("cannot sync"), q.lastError()), std::nullopt;
        found = q.next() ? Offer{q.value(0).toLongLong(), q.value(1).toString()} : Offer{};
        q.finish();
        return found;
    }
    // SQLite answers in this process: a statement more costs no round trip.
    if (!recordDevice(device, version, system, acknowledged))
        return std::nullopt;
    QSqlQuery& offer = prepared("offer", syncStatements(false).offer);
    offer.addBindValue(device);
    if (!offer.exec())
        return fail(QStringLiteral("cannot look for messages"), offer.lastError()), std::nullopt;
    found = offer.next() ? Offer{offer.value(0).toLongLong(), offer.value(1).toString()} : Offer{};
    offer.finish();
    if (found->id == 0)
        return found;
    QSqlQuery& offered = prepared(
        "offered",
        QStringLiteral("UPDATE maker_messages SET offered = ? WHERE id = ? AND offered IS NULL"));
    offered.addBindValue(now);
    offered.addBindValue(found->id);
    const bool marked = offered.exec();
    offered.finish();
    if (!marked)
        return fail(QStringLiteral("cannot record the offer"), offered.lastError()), std::nullopt;
    return found;
}

bool Store::addReport(const QString& device, const QString& version, const QString& system,
                      const QString& text, const std::optional<QString>& email, bool reply,
                      const QString& request, bool* stored)
{
    if (!connect())
        return false;
    const qint64 now = nowMs();
    const QString what = QStringLiteral("cannot store the report");
    int added = 0;
    const bool done = inTransaction(what, [&] {
        if (!recordDevice(device, version, system, 0) ||
            !execute("add-report",
                     QStringLiteral("INSERT INTO reports (device, text, email, version, system, "
                                    "received, kind, request) VALUES (?, ?, ?, ?, ?, ?, ?, ?) "
                                    "ON CONFLICT (device, request) WHERE request IS NOT NULL "
                                    "DO NOTHING"),
                     {device, text, nullable(email), version, system, now,
                      reply ? QStringLiteral("reply") : QStringLiteral("report"),
                      nullable(request.isEmpty() ? std::nullopt : std::optional(request))},
                     what, &added))
            return false;
        if (added == 0) // a retry of one already stored
            return true;
        return (m_postgres ||
                execute("index-report",
                        QStringLiteral("INSERT INTO reports_search (rowid, text, email) "
                                       "VALUES (last_insert_rowid(), ?, ?)"),
                        {text, email.value_or(QString())}, what)) &&
               // The conversation needs an answer again, even one marked handled.
               execute("report-conversation",
                       QStringLiteral("UPDATE devices SET last_user_message = ?, "
                                      "last_activity = ?, attention = 1, preview = ?, "
                                      "email = COALESCE(?, email) WHERE id = ?"),
                       {now, now, previewOf(text), nullable(email), device}, what);
    });
    if (stored)
        *stored = done && added > 0;
    return done;
}

bool Store::addCrash(const QString& device, const QString& kind, const QString& message,
                     const QString& stack, const QString& version, const QString& system,
                     bool* newGroup, const QString& request, const QString& frames,
                     const QString& context, const QString& namedSignature, const QString& title,
                     bool* regressed)
{
    if (!connect())
        return false;
    const qint64 now = nowMs();
    const QString signature =
        namedSignature.isEmpty() ? crashSignature(kind, message, stack, version) : namedSignature;
    const QString what = QStringLiteral("cannot store the crash");
    int added = 0, opened = 0;
    bool flipped = false;
    const bool done = inTransaction(what, [&] {
        // "?" is a crash from before the device had an identifier: no device to know.
        if (device != QLatin1String("?") && !recordDevice(device, version, system, 0))
            return false;
        if (!execute("add-crash",
                     QStringLiteral("INSERT INTO crashes (device, kind, message, stack, version, "
                                    "system, signature, received, request, frames, context) "
                                    "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?) ON CONFLICT "
                                    "(device, request) WHERE request IS NOT NULL DO NOTHING"),
                     {device, kind, message, stack, version, system, signature, now,
                      nullable(request.isEmpty() ? std::nullopt : std::optional(request)), frames,
                      context},
                     what, &added))
            return false;
        // The group's row is made once: of instances storing its first crashes at once, one
        // inserts it and the others wait for it, then find it there.
        // A crash of a later version in a resolved group makes it a regression.
        return added == 0 ||
               (execute("add-crash-group",
                        QStringLiteral("INSERT INTO crash_groups (signature, first_seen, title) "
                                       "VALUES (?, ?, ?) ON CONFLICT (signature) DO NOTHING"),
                        // Never NULL: an unnamed group's title is the empty text.
                        {signature, now,
                         namedSignature.isEmpty() || title.isEmpty() ? QStringLiteral("") : title},
                        what, &opened) &&
                noteRegression(signature, version, &flipped));
    });
    if (newGroup)
        *newGroup = done && opened > 0;
    if (regressed)
        *regressed = done && flipped;
    return done;
}

bool Store::deviceExists(const QString& device)
{
    if (!connect())
        return false;
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    q.prepare(QStringLiteral("SELECT 1 FROM devices WHERE id = ?"));
    q.addBindValue(device);
    return q.exec() && q.next();
}

std::optional<QStringList> Store::devicesMatching(const QString& given)
{
    if (!connect())
        return std::nullopt;
    if (deviceExists(given))
        return QStringList{given};
    // Ids are upper-case UUIDs: a prefix shorter than 8 characters is too easily another's.
    constexpr qsizetype kMinPrefix = 8;
    if (given.size() < kMinPrefix)
        return QStringList{};
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    q.prepare(QStringLiteral("SELECT id FROM devices WHERE upper(substr(id, 1, ?)) = ? "
                             "ORDER BY id LIMIT 2"));
    q.addBindValue(given.size());
    q.addBindValue(given.toUpper());
    if (!q.exec())
        return fail(QStringLiteral("cannot look for the device"), q.lastError()), std::nullopt;
    QStringList found;
    while (q.next())
        found << q.value(0).toString();
    return found;
}

std::optional<qint64> Store::addMakerMessage(const QString& device, const QString& text,
                                             const QString& author, const QString& mailTo)
{
    if (makerTextProblem(text)) {
        m_error = *makerTextProblem(text);
        return std::nullopt;
    }
    if (!connect() || !deviceExists(device))
        return std::nullopt;
    const qint64 now = nowMs();
    const QString what = QStringLiteral("cannot store the message");
    qint64 id = 0;
    const bool done = inTransaction(what, [&] {
        const QString insert = QStringLiteral(
            "INSERT INTO maker_messages (device, text, written, author) VALUES (?, ?, ?, ?)");
        QSqlQuery& q = prepared("add-maker-message",
                                m_postgres ? insert + QStringLiteral(" RETURNING id") : insert);
        const auto byAccount = author.isEmpty() ? std::nullopt : std::optional(author);
        for (const QVariant& v :
             {QVariant(device), QVariant(text), QVariant(now), nullable(byAccount)})
            q.addBindValue(v);
        if (!q.exec())
            return fail(what, q.lastError());
        id = m_postgres ? (q.next() ? q.value(0).toLongLong() : 0) : q.lastInsertId().toLongLong();
        q.finish();
        // The inbox's preview stays what the user wrote last.
        return id > 0 &&
               execute("answer-conversation",
                       QStringLiteral("UPDATE devices SET last_answer = ?, last_activity = ?, "
                                      "attention = 0 WHERE id = ?"),
                       {now, now, device}, what) &&
               (m_postgres || execute("answer-search",
                                      QStringLiteral("INSERT INTO answers_search (rowid, text) "
                                                     "VALUES (?, ?)"),
                                      {id, text}, what)) &&
               (mailTo.isEmpty() ||
                execute("answer-mail",
                        QStringLiteral("INSERT INTO mail_outbox (message, device, recipient, "
                                       "next_try, queued) VALUES (?, ?, ?, ?, ?)"),
                        {id, device, mailTo, now, now}, what));
    });
    return done ? std::optional<qint64>(id) : std::nullopt;
}

Store::Retraction Store::retract(qint64 messageId)
{
    if (!connect())
        return Retraction::Failed;
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    QSqlQuery q(db);
    // One statement, so that a sync offering it meanwhile cannot slip in between: an answer
    // offered may already be on the device's screen.
    q.prepare(
        QStringLiteral("UPDATE maker_messages SET retracted = ? WHERE id = ? AND retracted IS NULL "
                       "AND offered IS NULL"));
    q.addBindValue(nowMs());
    q.addBindValue(messageId);
    if (!q.exec())
        return fail(QStringLiteral("cannot take the message back"), q.lastError()),
               Retraction::Failed;
    if (q.numRowsAffected() == 1) {
        // Its mail goes no more, unless an instance is sending it at this moment.
        if (!execute("retract-mail",
                     QStringLiteral("UPDATE mail_outbox SET state = 'cancelled' WHERE message = ? "
                                    "AND state = 'pending' AND held_until <= ?"),
                     {messageId, nowMs()}, QStringLiteral("cannot take the message back")))
            return Retraction::Failed;
        // The answer no longer counts: the user may be waiting again.
        const QString lastAnswer =
            QStringLiteral("(SELECT MAX(written) FROM maker_messages WHERE device = devices.id "
                           "AND retracted IS NULL)");
        return execute("retract-conversation",
                       QStringLiteral("UPDATE devices SET last_answer = %1, attention = CASE WHEN "
                                      "last_user_message > COALESCE(%1, 0) AND "
                                      "last_user_message > COALESCE(handled, 0) THEN 1 ELSE 0 END "
                                      "WHERE id = (SELECT device FROM maker_messages WHERE id = ?)")
                           .arg(lastAnswer),
                       {messageId}, QStringLiteral("cannot take the message back"))
                   ? Retraction::Done
                   : Retraction::Failed;
    }
    QSqlQuery exists(db);
    exists.prepare(QStringLiteral("SELECT 1 FROM maker_messages WHERE id = ?"));
    exists.addBindValue(messageId);
    if (!exists.exec())
        return fail(QStringLiteral("cannot look for the message"), exists.lastError()),
               Retraction::Failed;
    return exists.next() ? Retraction::AlreadyOffered : Retraction::Unknown;
}

bool Store::forEachDevice(const std::function<void(const Device&)>& take)
{
    if (!connect())
        return false;
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    // Grouped once over each table, not counted again for every device.
    const QString select = QStringLiteral(
        "SELECT d.id, d.first_seen, d.last_seen, d.version, d.system, "
        "COALESCE(m.not_picked_up, 0), r.last_user, m.last_answer FROM devices d "
        "LEFT JOIN (SELECT device, MAX(received) AS last_user FROM reports GROUP BY device) r "
        "ON r.device = d.id "
        "LEFT JOIN (SELECT mm.device, SUM(CASE WHEN mm.id > dd.acked THEN 1 ELSE 0 END) "
        "AS not_picked_up, MAX(mm.written) AS last_answer FROM maker_messages mm "
        "JOIN devices dd ON dd.id = mm.device WHERE mm.retracted IS NULL GROUP BY mm.device) m "
        "ON m.device = d.id "
        "ORDER BY CASE WHEN r.last_user IS NOT NULL AND (m.last_answer IS NULL OR "
        "r.last_user > m.last_answer) THEN 0 ELSE 1 END, d.last_seen DESC");
    QSqlQuery q(db);
    q.setForwardOnly(true);
    auto when = [&q](int column) {
        return q.isNull(column) ? QDateTime() : fromMs(q.value(column));
    };
    auto takeRows = [&] {
        int rows = 0;
        for (; q.next(); ++rows)
            take({q.value(0).toString(), fromMs(q.value(1)), fromMs(q.value(2)),
                  q.value(3).toString(), q.value(4).toString(), q.value(5).toLongLong(), when(6),
                  when(7)});
        return rows;
    };
    if (!m_postgres) {
        // SQLite steps through the rows as they are read.
        if (!q.exec(select))
            return fail(QStringLiteral("cannot list the devices"), q.lastError());
        takeRows();
        return true;
    }
    // libpq would hold the whole answer in memory: a cursor hands it over in pages.
    constexpr int kPage = 1000;
    if (!db.transaction() ||
        !q.exec(QStringLiteral("DECLARE device_list NO SCROLL CURSOR FOR ") + select))
        return fail(QStringLiteral("cannot list the devices"), q.lastError());
    for (;;) {
        if (!q.exec(QStringLiteral("FETCH %1 FROM device_list").arg(kPage))) {
            const QSqlError error = q.lastError();
            db.rollback();
            return fail(QStringLiteral("cannot list the devices"), error);
        }
        if (takeRows() == 0)
            break;
    }
    db.commit();
    return true;
}

std::optional<QList<Store::Entry>> Store::conversation(const QString& device, int most,
                                                       const std::optional<EntryKey>& before)
{
    if (!connect())
        return std::nullopt;
    // Ordered by time, then reports before answers, then id; a page is the newest `most`
    // entries before the one given, each side read from its own index.
    const qint64 beforeAt = [&]() -> qint64 {
        if (!before)
            return std::numeric_limits<qint64>::max();
        QSqlQuery at(QSqlDatabase::database(m_connection, false));
        at.prepare(before->kind == QLatin1String("maker")
                       ? QStringLiteral("SELECT written FROM maker_messages WHERE id = ?")
                       : QStringLiteral("SELECT received FROM reports WHERE id = ?"));
        at.addBindValue(before->id);
        return at.exec() && at.next() ? at.value(0).toLongLong() : 0;
    }();
    const int side = before && before->kind == QLatin1String("maker") ? 1 : 0;
    const qint64 limit = most > 0 ? most : std::numeric_limits<int>::max();
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    q.prepare(QStringLiteral(
        "SELECT * FROM (SELECT * FROM (SELECT r.kind, r.id, r.text, r.email, r.received AS at, "
        "0 AS side, '', NULL, NULL, NULL, NULL, CAST(NULL AS BIGINT), 0 FROM reports r WHERE "
        "r.device = ? AND "
        "(r.received < ? OR (r.received = ? AND (0 < ? OR r.id < ?))) ORDER BY r.received DESC, "
        "r.id DESC LIMIT ?) AS r UNION ALL SELECT * FROM (SELECT 'maker', m.id, m.text, NULL, "
        "m.written AS at, 1 AS side, CASE WHEN m.retracted IS NOT NULL THEN 'retracted' WHEN "
        "m.id <= d.acked THEN 'acknowledged' WHEN m.offered IS NOT NULL THEN 'offered' ELSE "
        "'queued' END, m.author, o.state, o.recipient, o.error, o.next_try, o.tries FROM "
        "maker_messages m JOIN devices d ON d.id = m.device LEFT JOIN mail_outbox o ON "
        "o.message = m.id WHERE m.device = ? AND (m.written < ? OR (m.written = ? AND (1 < ? OR "
        "(1 = ? AND m.id < ?)))) ORDER BY m.written DESC, m.id DESC LIMIT ?) AS m ORDER BY at "
        "DESC, side DESC, id DESC LIMIT ?) AS page ORDER BY at, side, id"));
    for (const QVariant& v :
         {QVariant(device), QVariant(beforeAt), QVariant(beforeAt), QVariant(side),
          QVariant(before ? before->id : std::numeric_limits<qint64>::max()), QVariant(limit),
          QVariant(device), QVariant(beforeAt), QVariant(beforeAt), QVariant(side), QVariant(side),
          QVariant(before ? before->id : std::numeric_limits<qint64>::max()), QVariant(limit),
          QVariant(limit)})
        q.addBindValue(v);
    if (!q.exec())
        return fail(QStringLiteral("cannot read the conversation"), q.lastError()), std::nullopt;
    QList<Entry> list;
    while (q.next())
        list.append({q.value(0).toString(), q.value(1).toLongLong(), q.value(2).toString(),
                     q.value(3).toString(), fromMs(q.value(4)), q.value(6).toString(),
                     q.value(7).toString(), q.value(8).toString(), q.value(9).toString(),
                     q.value(10).toString(),
                     q.value(11).isNull() ? QDateTime() : fromMs(q.value(11)),
                     q.value(12).toInt()});
    return list;
}

QList<Store::CrashGroup> Store::readGroups(QSqlQuery& q)
{
    QList<CrashGroup> groups;
    while (q.next())
        groups.append({q.value(0).toString(),
                       q.value(1).toString(),
                       q.value(2).toString(),
                       q.value(3).toLongLong(),
                       {},
                       fromMs(q.value(4)),
                       fromMs(q.value(5)),
                       q.value(6).toLongLong(),
                       q.value(7).toString(),
                       q.value(8).toString(),
                       q.value(9).toString(),
                       q.value(10).toString(),
                       q.value(11).toString(),
                       q.value(12).toString()});
    return groups;
}

bool Store::readVersions(CrashGroup& group)
{
    QSqlQuery v(QSqlDatabase::database(m_connection, false));
    v.prepare(QStringLiteral(
        "SELECT DISTINCT version FROM crashes WHERE signature = ? ORDER BY version"));
    v.addBindValue(group.signature);
    if (!v.exec())
        return fail(QStringLiteral("cannot list the versions"), v.lastError());
    while (v.next())
        group.versions << v.value(0).toString();
    return true;
}

namespace {

// One crash group per row, counted over the crashes_group_devices index alone; its kind,
// message and first stack are those of its oldest crash (one signature, one kind and message).
// Groups counted from the crashes; page: the order and bounds of a list, empty for one group;
// without their stacks, a page of groups reads no stack at all.
QString groupQuery(const QString& where, const QString& page, bool stacks = true)
{
    const bool listing = !page.isEmpty();
    return QStringLiteral("SELECT g.signature, f.kind, f.message, g.n, g.first_seen, g.last_seen, "
                          "g.devices, %3, COALESCE(c.title, ''), "
                          "COALESCE(c.state, 'new'), COALESCE(c.state_version, '') "
                          "FROM (SELECT signature, COUNT(*) AS n, "
                          "MIN(received) AS first_seen, MAX(received) AS last_seen, "
                          "COUNT(DISTINCT device) AS devices, MIN(id) AS first_id FROM crashes "
                          "%1 GROUP BY signature %2) g JOIN crashes f ON f.id = g.first_id "
                          "LEFT JOIN crash_groups c ON c.signature = g.signature %4")
        .arg(where, page,
             stacks ? QStringLiteral("f.stack, f.frames, f.context")
                    : QStringLiteral("'', '[]', '{}'"),
             listing ? QStringLiteral("ORDER BY g.n DESC, g.last_seen DESC, g.signature")
                     : QString());
}

} // namespace

std::optional<QList<Store::CrashGroup>> Store::crashGroups(int offset, int limit, bool stacks)
{
    if (!connect())
        return std::nullopt;
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    q.prepare(groupQuery(QString(),
                         QStringLiteral("ORDER BY COUNT(*) DESC, MAX(received) DESC, "
                                        "signature LIMIT ? OFFSET ?"),
                         stacks));
    q.addBindValue(limit > 0 ? limit : std::numeric_limits<int>::max());
    q.addBindValue(offset);
    if (!q.exec())
        return fail(QStringLiteral("cannot list the crashes"), q.lastError()), std::nullopt;
    QList<CrashGroup> groups = readGroups(q);
    if (groups.isEmpty())
        return groups;
    // The page's versions in one query, not one a group.
    QHash<QString, CrashGroup*> bySignature;
    for (CrashGroup& group : groups)
        bySignature.insert(group.signature, &group);
    QStringList marks(groups.size(), QStringLiteral("?"));
    q.prepare(QStringLiteral("SELECT DISTINCT signature, version FROM crashes WHERE signature IN "
                             "(%1) ORDER BY signature, version")
                  .arg(marks.join(QLatin1Char(','))));
    for (const CrashGroup& group : groups)
        q.addBindValue(group.signature);
    if (!q.exec())
        return fail(QStringLiteral("cannot list the versions"), q.lastError()), std::nullopt;
    while (q.next())
        if (CrashGroup* group = bySignature.value(q.value(0).toString()))
            group->versions << q.value(1).toString();
    return groups;
}

std::optional<Store::CrashGroup> Store::crashGroup(const QString& signature)
{
    if (!connect())
        return std::nullopt;
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    q.prepare(groupQuery(QStringLiteral("WHERE signature = ?"), QString()));
    q.addBindValue(signature);
    if (!q.exec())
        return fail(QStringLiteral("cannot read the crash group"), q.lastError()), std::nullopt;
    const QList<CrashGroup> found = readGroups(q);
    if (found.isEmpty())
        return CrashGroup{};
    CrashGroup group = found.first();
    if (!readVersions(group))
        return std::nullopt;
    return group;
}

std::optional<QList<Store::CrashDevice>> Store::crashDevices(const QString& signature)
{
    if (!connect())
        return std::nullopt;
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    q.prepare(QStringLiteral("SELECT device, COUNT(*), MAX(received) FROM crashes "
                             "WHERE signature = ? GROUP BY device ORDER BY MAX(received) DESC"));
    q.addBindValue(signature);
    if (!q.exec())
        return fail(QStringLiteral("cannot list the crashed devices"), q.lastError()), std::nullopt;
    QList<CrashDevice> list;
    while (q.next())
        list.append({q.value(0).toString(), q.value(1).toLongLong(), fromMs(q.value(2))});
    return list;
}
