// What the service keeps about one device, given back whole or erased: the user's right to see
// and to have forgotten what they sent.
#include "Store.h"

#include <QJsonArray>
#include <QSqlRecord>

namespace {

// The tables that hold a device's data, with the column naming it.
const struct {
    const char* table;
    const char* column;
} kDeviceTables[] = {
    {"devices", "id"},     {"reports", "device"},        {"maker_messages", "device"},
    {"crashes", "device"}, {"active_devices", "device"}, {"mail_outbox", "device"}};

} // namespace

std::optional<QJsonObject> Store::exportDevice(const QString& device)
{
    if (!connect())
        return std::nullopt;
    // Every column of every row: nothing kept is left out of what the user gets.
    QJsonObject all;
    for (const auto& where : kDeviceTables) {
        QSqlQuery q(QSqlDatabase::database(m_connection, false));
        q.prepare(QStringLiteral("SELECT * FROM %1 WHERE %2 = ?")
                      .arg(QLatin1String(where.table), QLatin1String(where.column)));
        q.addBindValue(device);
        if (!q.exec())
            return fail(QStringLiteral("cannot read the device's data"), q.lastError()),
                   std::nullopt;
        QJsonArray rows;
        while (q.next()) {
            QJsonObject row;
            const QSqlRecord record = q.record();
            for (int i = 0; i < record.count(); ++i)
                row.insert(record.fieldName(i), QJsonValue::fromVariant(record.value(i)));
            rows.append(row);
        }
        all.insert(QLatin1String(where.table), rows);
    }
    return all;
}

std::optional<qint64> Store::forgetDevice(const QString& device)
{
    if (!connect())
        return std::nullopt;
    const QString what = QStringLiteral("cannot erase the device");
    qint64 rows = 0;
    const bool done = inTransaction(what, [&] {
        // SQLite's search index keeps no text of its own: each entry is taken out with the
        // words it was made from, before the reports go.
        if (!m_postgres &&
            !execute("forget-search",
                     QStringLiteral("INSERT INTO reports_search (reports_search, rowid, text, "
                                    "email) SELECT 'delete', id, text, COALESCE(email, '') FROM "
                                    "reports WHERE device = ?"),
                     {device}, what))
            return false;
        if (!m_postgres &&
            !execute("forget-answers-search",
                     QStringLiteral("INSERT INTO answers_search (answers_search, rowid, text) "
                                    "SELECT 'delete', id, text FROM maker_messages WHERE "
                                    "device = ?"),
                     {device}, what))
            return false;
        for (const auto& where : kDeviceTables) {
            QSqlQuery q(QSqlDatabase::database(m_connection, false));
            q.prepare(QStringLiteral("DELETE FROM %1 WHERE %2 = ?")
                          .arg(QLatin1String(where.table), QLatin1String(where.column)));
            q.addBindValue(device);
            if (!q.exec())
                return fail(what, q.lastError());
            rows += q.numRowsAffected();
        }
        return true;
    });
    return done ? std::optional(rows) : std::nullopt;
}

std::optional<bool> Store::setBlocked(const QString& device, bool blocked)
{
    if (!connect())
        return std::nullopt;
    int changed = 0;
    if (!execute("device-block", QStringLiteral("UPDATE devices SET blocked = ? WHERE id = ?"),
                 {blocked ? 1 : 0, device}, QStringLiteral("cannot block the device"), &changed))
        return std::nullopt;
    return changed > 0;
}

bool Store::isBlocked(const QString& device)
{
    if (!connect())
        return false;
    QSqlQuery& q =
        prepared("device-blocked", QStringLiteral("SELECT blocked FROM devices WHERE id = ?"));
    q.addBindValue(device);
    const bool blocked = q.exec() && q.next() && q.value(0).toInt() != 0;
    q.finish();
    return blocked;
}

std::optional<qint64> Store::eraseOlderThan(qint64 beforeMs)
{
    if (!connect())
        return std::nullopt;
    const QString what = QStringLiteral("cannot erase old reports and crashes");
    int reports = 0, crashes = 0;
    const bool done = inTransaction(what, [&] {
        return (m_postgres ||
                execute("retention-search",
                        QStringLiteral("INSERT INTO reports_search (reports_search, rowid, text, "
                                       "email) SELECT 'delete', id, text, COALESCE(email, '') "
                                       "FROM reports WHERE received < ?"),
                        {beforeMs}, what)) &&
               execute("retention-reports",
                       QStringLiteral("DELETE FROM reports WHERE received < ?"), {beforeMs}, what,
                       &reports) &&
               execute("retention-crashes",
                       QStringLiteral("DELETE FROM crashes WHERE received < ?"), {beforeMs}, what,
                       &crashes);
    });
    return done ? std::optional(qint64(reports) + crashes) : std::nullopt;
}
