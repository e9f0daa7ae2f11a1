#pragma once

#include <QString>
#include <QThreadPool>

#include <atomic>
#include <functional>

// Sign-in checks, each an Argon2id verification (64 MiB, tenths of a second), in threads of
// their own: they never hold up a database worker, and so never the public service. Beyond
// kMaxWaiting checks under way, new sign-ins are turned away at once rather than queued.
class PasswordChecks final {
public:
    static constexpr int kThreads = 2;
    static constexpr int kMaxWaiting = 8;

    PasswordChecks();
    ~PasswordChecks();

    // Checks password against hashed (empty: no such account, checked all the same) and
    // calls done with the result on the application's (network) thread; false, and done is
    // never called, when too many checks are under way.
    bool check(const QString& hashed, const QByteArray& password, std::function<void(bool)> done);

private:
    QThreadPool m_threads;
    std::atomic<int> m_underWay{0};
};
