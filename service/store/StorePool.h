#pragma once

#include "Store.h"

#include <QThreadPool>

#include <functional>

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

    // Runs work on a worker thread with that thread's store, or with nothing when the
    // database cannot be opened.
    void run(std::function<void(Store*)> work);

private:
    Store* storeOfThisThread();

    QString m_url;
    QString m_password;
    QThreadPool m_threads;
};
