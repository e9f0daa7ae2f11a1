// What makes crashes actionable: the debugging files the maker added and the frame names found
// in them (kept in the database, so that every instance names frames alike), the groups'
// states and regressions, and each version's crash-free share.
#include "Store.h"
#include "StoreValues.h"

#include <algorithm>

using namespace StoreValues;

QString Store::groupTitle(const CrashGroup& group)
{
    return !group.title.isEmpty() ? group.title : group.message.section(u'\n', 0, 0).left(120);
}

bool Store::addSymbolFile(const QString& buildId, const QString& module, const QByteArray& content)
{
    if (!connect())
        return false;
    // A file given again replaces the one before: the names found in that one go with it.
    const QString what = QStringLiteral("cannot store the symbols");
    return inTransaction(what, [&] {
        return execute("symbols-forget-names",
                       QStringLiteral("DELETE FROM frame_names WHERE build_id = ?"), {buildId},
                       what) &&
               execute("symbols-forget",
                       QStringLiteral("DELETE FROM symbol_files WHERE "
                                      "build_id = ?"),
                       {buildId}, what) &&
               execute("symbols-add",
                       QStringLiteral("INSERT INTO symbol_files (build_id, module, content, "
                                      "added) VALUES (?, ?, ?, ?)"),
                       {buildId, module, content, nowMs()}, what);
    });
}

std::optional<QList<Store::SymbolFile>> Store::symbolFiles()
{
    if (!connect())
        return std::nullopt;
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    if (!q.exec(QStringLiteral("SELECT build_id, module, LENGTH(content), added FROM "
                               "symbol_files ORDER BY added DESC, build_id")))
        return fail(QStringLiteral("cannot read the symbols"), q.lastError()), std::nullopt;
    QList<SymbolFile> files;
    while (q.next())
        files.append({q.value(0).toString(), q.value(1).toString(), q.value(2).toLongLong(),
                      fromMs(q.value(3))});
    return files;
}

std::optional<QByteArray> Store::symbolContent(const QString& buildId)
{
    if (!connect())
        return std::nullopt;
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    q.prepare(QStringLiteral("SELECT content FROM symbol_files WHERE build_id = ?"));
    q.addBindValue(buildId);
    if (!q.exec())
        return fail(QStringLiteral("cannot read the symbols"), q.lastError()), std::nullopt;
    return q.next() ? q.value(0).toByteArray() : QByteArray();
}

std::optional<QSet<QString>> Store::buildsWithSymbols(const QStringList& buildIds)
{
    QSet<QString> found;
    if (buildIds.isEmpty())
        return found;
    if (!connect())
        return std::nullopt;
    for (const QString& id : buildIds) {
        QSqlQuery& q = prepared("symbols-has",
                                QStringLiteral("SELECT 1 FROM symbol_files WHERE build_id = ?"));
        q.addBindValue(id);
        if (!q.exec())
            return fail(QStringLiteral("cannot read the symbols"), q.lastError()), std::nullopt;
        if (q.next())
            found.insert(id);
        q.finish();
    }
    return found;
}

std::optional<QHash<QString, Store::FrameName>> Store::frameNames(const QString& buildId)
{
    if (!connect())
        return std::nullopt;
    QSqlQuery& q = prepared("frame-names", QStringLiteral("SELECT address, function, file, line "
                                                          "FROM frame_names WHERE build_id = ?"));
    q.addBindValue(buildId);
    if (!q.exec())
        return fail(QStringLiteral("cannot read the frame names"), q.lastError()), std::nullopt;
    QHash<QString, FrameName> names;
    while (q.next())
        names.insert(q.value(0).toString(),
                     {q.value(1).toString(), q.value(2).toString(), q.value(3).toLongLong()});
    q.finish();
    return names;
}

bool Store::keepFrameNames(const QString& buildId, const QHash<QString, FrameName>& names)
{
    if (!connect())
        return false;
    const QString what = QStringLiteral("cannot keep the frame names");
    return inTransaction(what, [&] {
        for (auto it = names.begin(); it != names.end(); ++it)
            if (!execute("frame-names-keep",
                         QStringLiteral("INSERT INTO frame_names (build_id, address, function, "
                                        "file, line) VALUES (?, ?, ?, ?, ?) ON CONFLICT "
                                        "(build_id, address) DO NOTHING"),
                         {buildId, it.key(), it->function, it->file, it->line}, what))
                return false;
        return true;
    });
}

std::optional<QList<Store::StoredCrash>> Store::crashesOfBuild(const QString& buildId)
{
    if (!connect())
        return std::nullopt;
    // The build id is hex digits only (checked as reports come in): no pattern character.
    QSqlQuery& q = prepared("crashes-of-build",
                            QStringLiteral("SELECT id, kind, message, stack, version, frames FROM "
                                           "crashes WHERE frames LIKE ? ORDER BY id"));
    q.addBindValue(QStringLiteral("%\"") + buildId + QStringLiteral("\"%"));
    if (!q.exec())
        return fail(QStringLiteral("cannot read the crashes"), q.lastError()), std::nullopt;
    QList<StoredCrash> crashes;
    while (q.next())
        crashes.append({q.value(0).toLongLong(), q.value(1).toString(), q.value(2).toString(),
                        q.value(3).toString(), q.value(4).toString(), q.value(5).toString()});
    q.finish();
    return crashes;
}

bool Store::regroupCrash(qint64 id, const QString& signature, const QString& title)
{
    if (!connect())
        return false;
    const QString what = QStringLiteral("cannot regroup the crash");
    return inTransaction(what, [&] {
        // The group was first seen with its earliest crash, whichever came first to it.
        const QString earliest = m_postgres ? QStringLiteral("LEAST") : QStringLiteral("MIN");
        return execute(m_postgres ? "regroup-open-pg" : "regroup-open",
                       QStringLiteral("INSERT INTO crash_groups (signature, first_seen, title) "
                                      "SELECT ?, received, ? FROM crashes WHERE id = ? ON "
                                      "CONFLICT (signature) DO UPDATE SET first_seen = %1("
                                      "crash_groups.first_seen, excluded.first_seen), title = "
                                      "excluded.title")
                           .arg(earliest),
                       {signature, title, id}, what) &&
               execute("regroup-move",
                       QStringLiteral("UPDATE crashes SET signature = ? WHERE id = ?"),
                       {signature, id}, what);
    });
}

bool Store::isLaterVersion(const QString& a, const QString& b)
{
    const QStringList x = a.split(u'.'), y = b.split(u'.');
    for (qsizetype i = 0; i < qMax(x.size(), y.size()); ++i) {
        bool xNumber = false, yNumber = false;
        const qlonglong p = x.value(i, QStringLiteral("0")).toLongLong(&xNumber);
        const qlonglong q = y.value(i, QStringLiteral("0")).toLongLong(&yNumber);
        if (xNumber && yNumber && p != q)
            return p > q;
        if ((!xNumber || !yNumber) && x.value(i) != y.value(i))
            return x.value(i) > y.value(i);
    }
    return false;
}

bool Store::noteRegression(const QString& signature, const QString& version, bool* flipped)
{
    QSqlQuery& q = prepared("group-state", QStringLiteral("SELECT state, state_version FROM "
                                                          "crash_groups WHERE signature = ?"));
    q.addBindValue(signature);
    if (!q.exec())
        return fail(QStringLiteral("cannot read the crash group"), q.lastError());
    const bool resolved = q.next() && q.value(0).toString() == QLatin1String("resolved");
    const QString resolvedIn = resolved ? q.value(1).toString() : QString();
    q.finish();
    if (!resolved || !isLaterVersion(version, resolvedIn))
        return true;
    // Only the instance whose update finds it still resolved tells the maker.
    int changed = 0;
    if (!execute("group-regressed",
                 QStringLiteral("UPDATE crash_groups SET state = 'regressed', state_version = ? "
                                "WHERE signature = ? AND state = 'resolved' AND "
                                "state_version = ?"),
                 {version, signature, resolvedIn}, QStringLiteral("cannot mark the regression"),
                 &changed))
        return false;
    *flipped = changed > 0;
    return true;
}

std::optional<bool> Store::setGroupState(const QString& signature, const QString& state,
                                         const QString& version)
{
    if (!connect())
        return std::nullopt;
    int changed = 0;
    if (!execute("group-set-state",
                 QStringLiteral("UPDATE crash_groups SET state = ?, state_version = ? WHERE "
                                "signature = ?"),
                 {state, version.isEmpty() ? QStringLiteral("") : version, signature},
                 QStringLiteral("cannot change the crash group"), &changed))
        return std::nullopt;
    return changed > 0;
}

namespace {

constexpr qint64 kDayMs = 86'400'000;

} // namespace

bool Store::isResolvingVersion(const QString& version)
{
    return !version.isEmpty() && version.size() <= 40 && version[0].isDigit() &&
           std::none_of(version.begin(), version.end(),
                        [](QChar c) { return c.category() == QChar::Other_Control; });
}

std::optional<QList<Store::VersionHealth>> Store::versionHealth()
{
    if (!connect())
        return std::nullopt;
    const qint64 today = nowMs() / kDayMs, weekStart = today - 6;
    const QString crashed =
        QStringLiteral("(SELECT COUNT(DISTINCT c.device) FROM crashes c WHERE c.version = "
                       "a.version AND c.received >= ? AND c.kind = 'crash' AND c.device <> '?')");
    // The week's rows read by day (DISTINCT keeps SQLite from reading the whole table in the
    // order of versions instead).
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    q.prepare(QStringLiteral("SELECT a.version, COUNT(DISTINCT CASE WHEN a.day >= ? THEN a.device "
                             "END), %1, COUNT(DISTINCT a.device), %1 FROM (SELECT DISTINCT "
                             "version, day, device FROM active_devices WHERE day >= ?) AS a "
                             "GROUP BY a.version")
                  .arg(crashed));
    for (const qint64 value : {today, today * kDayMs, weekStart * kDayMs, weekStart})
        q.addBindValue(value);
    if (!q.exec())
        return fail(QStringLiteral("cannot count the versions' devices"), q.lastError()),
               std::nullopt;
    QList<VersionHealth> versions;
    while (q.next())
        versions.append({q.value(0).toString(), q.value(1).toLongLong(), q.value(2).toLongLong(),
                         q.value(3).toLongLong(), q.value(4).toLongLong()});
    std::sort(versions.begin(), versions.end(),
              [](const auto& a, const auto& b) { return isLaterVersion(a.version, b.version); });
    return versions;
}

std::optional<QHash<QString, QList<qint64>>> Store::groupTrends(const QStringList& signatures,
                                                                int days)
{
    if (signatures.isEmpty())
        return QHash<QString, QList<qint64>>{};
    if (!connect())
        return std::nullopt;
    const qint64 first = nowMs() / kDayMs - (days - 1);
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    // The day's length written in the statement: PostgreSQL cannot group by an expression
    // holding a parameter. Only the groups on the page are counted.
    q.prepare(QStringLiteral("SELECT signature, received / %1, COUNT(*) FROM crashes WHERE "
                             "received >= ? AND signature IN (%2) GROUP BY signature, "
                             "received / %1")
                  .arg(kDayMs)
                  .arg(QStringList(signatures.size(), QStringLiteral("?")).join(QLatin1Char(','))));
    q.addBindValue(first * kDayMs);
    for (const QString& signature : signatures)
        q.addBindValue(signature);
    if (!q.exec())
        return fail(QStringLiteral("cannot count the crashes by day"), q.lastError()), std::nullopt;
    QHash<QString, QList<qint64>> trends;
    while (q.next()) {
        QList<qint64>& trend = trends[q.value(0).toString()];
        if (trend.isEmpty())
            trend.resize(days);
        const qint64 day = q.value(1).toLongLong() - first;
        if (day >= 0 && day < days)
            trend[day] += q.value(2).toLongLong();
    }
    return trends;
}
