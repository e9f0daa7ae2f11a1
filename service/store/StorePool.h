#pragma once

#include "Store.h"

#include <QFuture>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include <functional>
#include <memory>

// The service's database connections, each in a worker thread of its own: database work never
// holds up the network thread, and several PostgreSQL connections answer at once. A connection
// lives as long as its thread and is opened again after a failure.
class StorePool final {
public:
    // SQLite takes one writer at a time: more connections would only wait on its lock.
    static constexpr int kSqliteConnections = 1;
    static constexpr int kPostgresConnections = 4;

    StorePool(QString url, QString password, bool postgres);
    ~StorePool();
    StorePool(const StorePool&) = delete;
    StorePool& operator=(const StorePool&) = delete;

    // Runs work with this thread's store, or with nothing when the database cannot be opened.
    template <typename Result> QFuture<Result> run(std::function<Result(Store*)> work)
    {
        return QtConcurrent::run(
            &m_threads, [this, work = std::move(work)] { return work(storeOfThisThread()); });
    }

private:
    Store* storeOfThisThread();

    QString m_url;
    QString m_password;
    QThreadPool m_threads;
};
