#include "PasswordChecks.h"

#include "Passwords.h"

#include <QCoreApplication>

PasswordChecks::PasswordChecks()
{
    m_threads.setMaxThreadCount(kThreads);
}

PasswordChecks::~PasswordChecks()
{
    m_threads.clear();
    m_threads.waitForDone();
}

bool PasswordChecks::check(const QString& hashed, const QByteArray& password,
                           std::function<void(bool)> done)
{
    if (m_underWay.fetch_add(1) >= kMaxWaiting) {
        --m_underWay;
        return false;
    }
    m_threads.start([this, hashed, password, done = std::move(done)] {
        const bool matches = Passwords::matches(hashed, password);
        --m_underWay;
        QMetaObject::invokeMethod(QCoreApplication::instance(), [done, matches] { done(matches); });
    });
    return true;
}
