#include "Store.h"

#include "CrashSignature.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QUrl>
#include <QVariant>

namespace {

// How long SQLite waits for another writer (a maker command) before giving up.
constexpr int kSqliteBusyMs = 5000;
// Advisory lock taken by the instance that migrates a shared PostgreSQL database.
constexpr qint64 kMigrationLock = 0x56454c4d4f5241; // "VELMORA"

qint64 nowMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

QDateTime fromMs(const QVariant& ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms.toLongLong(), Qt::UTC);
}

QVariant nullable(const std::optional<QString>& text)
{
    return text ? QVariant(*text) : QVariant(QMetaType::fromType<QString>());
}

} // namespace

Store::Store(QString connectionName) : m_connection(std::move(connectionName)) {}

Store::Store(Store&& other) noexcept
    : m_connection(std::exchange(other.m_connection, QString())), m_error(other.m_error),
      m_postgres(other.m_postgres)
{
}

Store::~Store()
{
    if (m_connection.isEmpty())
        return;
    QSqlDatabase::database(m_connection, false).close();
    QSqlDatabase::removeDatabase(m_connection);
}

std::optional<Store> Store::open(const QString& url, QString* error)
{
    static int serial = 0;
    Store store(QStringLiteral("velmora-store-%1").arg(++serial));
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
        db.setPassword(parsed.password());
        db.setDatabaseName(parsed.path().mid(1));
        db.setConnectOptions(QStringLiteral("connect_timeout=5"));
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
        return fail(QStringLiteral("cannot open the database"));
    if (!m_postgres) {
        // WAL: readers (the maker's commands) never block the service's writes.
        // NORMAL: in WAL mode a power cut may lose the last commits, never the file's integrity.
        QSqlQuery pragma(db);
        if (!pragma.exec(QStringLiteral("PRAGMA journal_mode=WAL")) ||
            !pragma.exec(QStringLiteral("PRAGMA synchronous=NORMAL")))
            return fail(QStringLiteral("cannot switch to WAL"));
    }
    return true;
}

bool Store::fail(const QString& what)
{
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    m_error = what + QStringLiteral(": ") + db.lastError().text();
    // Reconnect on the next call: the server may have restarted, the disk may have room again.
    db.close();
    return false;
}

bool Store::migrate()
{
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    QSqlQuery q(db);
    if (m_postgres && !q.exec(QStringLiteral("SELECT pg_advisory_lock(%1)").arg(kMigrationLock)))
        return fail(QStringLiteral("cannot lock the schema"));
    auto unlock = qScopeGuard([&] {
        if (m_postgres)
            QSqlQuery(db).exec(QStringLiteral("SELECT pg_advisory_unlock(%1)").arg(kMigrationLock));
    });
    if (!q.exec(QStringLiteral("CREATE TABLE IF NOT EXISTS schema_migrations "
                               "(version INTEGER PRIMARY KEY, applied BIGINT NOT NULL)")))
        return fail(QStringLiteral("cannot create the migrations table"));
    qint64 current = 0;
    if (!q.exec(QStringLiteral("SELECT COALESCE(MAX(version), 0) FROM schema_migrations")) ||
        !q.next())
        return fail(QStringLiteral("cannot read the schema version"));
    current = q.value(0).toLongLong();
    const QDir folder(m_postgres ? QStringLiteral(":/migrations/postgresql")
                                 : QStringLiteral(":/migrations/sqlite"));
    for (const QString& name :
         folder.entryList({QStringLiteral("*.sql")}, QDir::Files, QDir::Name)) {
        const qint64 version = name.section(QLatin1Char('_'), 0, 0).toLongLong();
        if (version <= current)
            continue;
        QFile file(folder.filePath(name));
        if (!file.open(QIODevice::ReadOnly))
            return fail(QStringLiteral("cannot read migration ") + name);
        const QString sql = QString::fromUtf8(file.readAll());
        if (!db.transaction())
            return fail(QStringLiteral("cannot start migration ") + name);
        for (QString statement : sql.split(QLatin1Char(';'))) {
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
            return fail(QStringLiteral("cannot record migration ") + name);
        }
    }
    return true;
}

std::optional<Store::Offer> Store::sync(const QString& device, const QString& version,
                                        const QString& system, std::optional<qint64> ack)
{
    if (!connect())
        return std::nullopt;
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    QSqlQuery q(db);
    // One statement: a device's first sync creates it, later ones refresh it. The
    // acknowledgement only moves forward, so a late or replayed sync cannot bring back a message.
    q.prepare(QStringLiteral(
        "INSERT INTO devices (id, first_seen, last_seen, version, system, acked) "
        "VALUES (?, ?, ?, ?, ?, ?) ON CONFLICT (id) DO UPDATE SET last_seen = excluded.last_seen, "
        "version = excluded.version, system = excluded.system, "
        "acked = CASE WHEN excluded.acked > devices.acked THEN excluded.acked ELSE devices.acked "
        "END"));
    const qint64 now = nowMs();
    q.addBindValue(device);
    q.addBindValue(now);
    q.addBindValue(now);
    q.addBindValue(version);
    q.addBindValue(system);
    q.addBindValue(ack && *ack > 0 ? *ack : 0);
    if (!q.exec())
        return fail(QStringLiteral("cannot record the device")), std::nullopt;
    QSqlQuery offer(db);
    offer.prepare(QStringLiteral(
        "SELECT m.id, m.text FROM maker_messages m JOIN devices d ON d.id = m.device "
        "WHERE m.device = ? AND m.id > d.acked ORDER BY m.id LIMIT 1"));
    offer.addBindValue(device);
    if (!offer.exec())
        return fail(QStringLiteral("cannot look for messages")), std::nullopt;
    if (!offer.next())
        return Offer{};
    return Offer{offer.value(0).toLongLong(), offer.value(1).toString()};
}

bool Store::addReport(const QString& device, const QString& version, const QString& system,
                      const QString& text, const std::optional<QString>& email)
{
    if (!connect())
        return false;
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    q.prepare(QStringLiteral("INSERT INTO reports (device, text, email, version, system, received) "
                             "VALUES (?, ?, ?, ?, ?, ?)"));
    for (const QVariant& v : {QVariant(device), QVariant(text), nullable(email), QVariant(version),
                              QVariant(system), QVariant(nowMs())})
        q.addBindValue(v);
    return q.exec() || fail(QStringLiteral("cannot store the report"));
}

bool Store::addCrash(const QString& device, const QString& kind, const QString& message,
                     const QString& stack, const QString& version, const QString& system)
{
    if (!connect())
        return false;
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    q.prepare(QStringLiteral(
        "INSERT INTO crashes (device, kind, message, stack, version, system, signature, received) "
        "VALUES (?, ?, ?, ?, ?, ?, ?, ?)"));
    for (const QVariant& v :
         {QVariant(device), QVariant(kind), QVariant(message), QVariant(stack), QVariant(version),
          QVariant(system), QVariant(crashSignature(kind, message, stack)), QVariant(nowMs())})
        q.addBindValue(v);
    return q.exec() || fail(QStringLiteral("cannot store the crash"));
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

std::optional<qint64> Store::addMakerMessage(const QString& device, const QString& text)
{
    if (!connect() || !deviceExists(device))
        return std::nullopt;
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    const QString insert =
        QStringLiteral("INSERT INTO maker_messages (device, text, written) VALUES (?, ?, ?)");
    q.prepare(m_postgres ? insert + QStringLiteral(" RETURNING id") : insert);
    q.addBindValue(device);
    q.addBindValue(text);
    q.addBindValue(nowMs());
    if (!q.exec())
        return fail(QStringLiteral("cannot store the message")), std::nullopt;
    if (m_postgres)
        return q.next() ? std::optional<qint64>(q.value(0).toLongLong()) : std::nullopt;
    return q.lastInsertId().toLongLong();
}

std::optional<QList<Store::Device>> Store::devices()
{
    if (!connect())
        return std::nullopt;
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    if (!q.exec(QStringLiteral(
            "SELECT d.id, d.first_seen, d.last_seen, d.version, d.system, "
            "(SELECT COUNT(*) FROM maker_messages m WHERE m.device = d.id AND m.id > d.acked) "
            "FROM devices d ORDER BY d.last_seen DESC")))
        return fail(QStringLiteral("cannot list the devices")), std::nullopt;
    QList<Device> list;
    while (q.next())
        list.append({q.value(0).toString(), fromMs(q.value(1)), fromMs(q.value(2)),
                     q.value(3).toString(), q.value(4).toString(), q.value(5).toLongLong()});
    return list;
}

std::optional<QList<Store::Entry>> Store::conversation(const QString& device)
{
    if (!connect())
        return std::nullopt;
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    q.prepare(QStringLiteral(
        "SELECT 'report', r.id, r.text, r.email, r.received, 0 FROM reports r WHERE r.device = ? "
        "UNION ALL SELECT 'maker', m.id, m.text, NULL, m.written, "
        "CASE WHEN m.id <= d.acked THEN 1 ELSE 0 END "
        "FROM maker_messages m JOIN devices d ON d.id = m.device WHERE m.device = ? "
        "ORDER BY 5, 2"));
    q.addBindValue(device);
    q.addBindValue(device);
    if (!q.exec())
        return fail(QStringLiteral("cannot read the conversation")), std::nullopt;
    QList<Entry> list;
    while (q.next())
        list.append({q.value(0).toString(), q.value(1).toLongLong(), q.value(2).toString(),
                     q.value(3).toString(), fromMs(q.value(4)), q.value(5).toInt() == 1});
    return list;
}

std::optional<QList<Store::CrashGroup>> Store::crashGroups()
{
    if (!connect())
        return std::nullopt;
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    if (!q.exec(QStringLiteral(
            "SELECT c.signature, MIN(c.kind), MIN(c.message), COUNT(*), MAX(c.received) "
            "FROM crashes c GROUP BY c.signature ORDER BY COUNT(*) DESC, MAX(c.received) DESC")))
        return fail(QStringLiteral("cannot list the crashes")), std::nullopt;
    QList<CrashGroup> groups;
    while (q.next())
        groups.append({q.value(0).toString(),
                       q.value(1).toString(),
                       q.value(2).toString(),
                       q.value(3).toLongLong(),
                       {},
                       fromMs(q.value(4))});
    for (CrashGroup& group : groups) {
        QSqlQuery v(QSqlDatabase::database(m_connection, false));
        v.prepare(QStringLiteral(
            "SELECT DISTINCT version FROM crashes WHERE signature = ? ORDER BY version"));
        v.addBindValue(group.signature);
        if (!v.exec())
            return fail(QStringLiteral("cannot list the versions")), std::nullopt;
        while (v.next())
            group.versions << v.value(0).toString();
    }
    return groups;
}
