#include "ConsoleSessions.h"

#include "Passwords.h"

QByteArray ConsoleSessions::open(const QString& user)
{
    forgetExpired();
    if (m_sessions.size() >= kMaxSessions) // the oldest gives way
        m_sessions.erase(
            std::min_element(m_sessions.begin(), m_sessions.end(),
                             [](const Session& a, const Session& b) { return a.began < b.began; }));
    const QByteArray token = Passwords::randomToken(32);
    const qint64 now = m_clock.elapsed();
    m_sessions.insert(token, {user, Passwords::randomToken(32), now, now});
    return token;
}

const ConsoleSessions::Session* ConsoleSessions::find(const QByteArray& token)
{
    const auto found = m_sessions.find(token);
    if (found == m_sessions.end())
        return nullptr;
    const qint64 now = m_clock.elapsed();
    if (now - found->used > kIdleMs || now - found->began > kLifetimeMs) {
        m_sessions.erase(found);
        return nullptr;
    }
    found->used = now;
    return &*found;
}

void ConsoleSessions::close(const QByteArray& token)
{
    m_sessions.remove(token);
}

void ConsoleSessions::forgetExpired()
{
    const qint64 now = m_clock.elapsed();
    m_sessions.removeIf([now](const auto& it) {
        return now - it.value().used > kIdleMs || now - it.value().began > kLifetimeMs;
    });
}
