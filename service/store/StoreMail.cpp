// The store's side of the answers sent by e-mail: the mails due, held by one instance while it
// sends them, and their outcome.
#include "Store.h"
#include "StoreValues.h"

using namespace StoreValues;

std::optional<QList<Store::QueuedMail>> Store::dueMail(qint64 nowMs, int most)
{
    if (!connect())
        return std::nullopt;
    QSqlQuery& q = prepared(
        "mail-due",
        QStringLiteral("SELECT o.id, o.recipient, m.text, o.tries FROM mail_outbox o JOIN "
                       "maker_messages m ON m.id = o.message WHERE o.state = 'pending' AND "
                       "o.next_try <= ? AND o.held_until <= ? ORDER BY o.next_try LIMIT ?"));
    for (const QVariant& v : {QVariant(nowMs), QVariant(nowMs), QVariant(most)})
        q.addBindValue(v);
    if (!q.exec())
        return fail(QStringLiteral("cannot read the mails to send"), q.lastError()), std::nullopt;
    QList<QueuedMail> due;
    while (q.next())
        due.append({q.value(0).toLongLong(), q.value(1).toString(), q.value(2).toString(),
                    q.value(3).toInt()});
    q.finish();
    return due;
}

std::optional<bool> Store::holdMail(qint64 id, qint64 untilMs, qint64 nowMs)
{
    // One conditional statement: of the instances reading the same due mail, one holds it.
    int changed = 0;
    if (!connect() ||
        !execute("mail-hold",
                 QStringLiteral("UPDATE mail_outbox SET held_until = ?, tries = tries + 1 WHERE "
                                "id = ? AND state = 'pending' AND held_until <= ?"),
                 {untilMs, id, nowMs}, QStringLiteral("cannot hold the mail"), &changed))
        return std::nullopt;
    return changed == 1;
}

bool Store::mailDone(qint64 id, bool sent, const QString& why, std::optional<qint64> retryAt)
{
    if (!connect())
        return false;
    const QString what = QStringLiteral("cannot record the mail's outcome");
    if (sent)
        return execute("mail-sent",
                       QStringLiteral("UPDATE mail_outbox SET state = 'sent', sent = ?, error = '' "
                                      "WHERE id = ?"),
                       {nowMs(), id}, what);
    if (retryAt)
        return execute("mail-retry",
                       QStringLiteral("UPDATE mail_outbox SET error = ?, next_try = ?, "
                                      "held_until = 0 WHERE id = ?"),
                       {why, *retryAt, id}, what);
    return execute(
        "mail-failed",
        QStringLiteral("UPDATE mail_outbox SET state = 'failed', error = ? WHERE id = ?"),
        {why, id}, what);
}
