#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QString>

// Signed-in makers, in memory (a restart signs everyone out). A session ends when unused for
// kIdleMs, kLifetimeMs after it began, or at logout.
class ConsoleSessions final {
public:
    static constexpr qint64 kIdleMs = 2 * 3600 * 1000;
    static constexpr qint64 kLifetimeMs = 12 * 3600 * 1000;
    // More live sessions than a studio has makers is someone signing in in a loop.
    static constexpr qsizetype kMaxSessions = 1000;

    struct Session {
        QString user;
        QByteArray csrf; // what state-changing requests must repeat in a header
        qint64 began = 0;
        qint64 used = 0;
    };

    ConsoleSessions() { m_clock.start(); }
    // A new session's token, for the cookie.
    QByteArray open(const QString& user);
    // The live session of token, kept alive by this use; nothing when none.
    const Session* find(const QByteArray& token);
    void close(const QByteArray& token);

private:
    void forgetExpired();

    QElapsedTimer m_clock;
    QHash<QByteArray, Session> m_sessions;
};
