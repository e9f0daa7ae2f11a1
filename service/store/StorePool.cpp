#include "StorePool.h"

#include <QThreadStorage>

#include <cstdio>

namespace {

// One store per worker thread: a Qt SQL connection is used by the thread that opened it only.
// QThreadStorage closes it before its thread counts as finished, so the pool's end waits for
// every store; a thread_local would close it while the process is already exiting.
QThreadStorage<Store*> t_store;

} // namespace

StorePool::StorePool(QString url, QString password, bool postgres)
    : m_url(std::move(url)), m_password(std::move(password))
{
    m_threads.setMaxThreadCount(postgres ? kPostgresConnections : kSqliteConnections);
    m_threads.setExpiryTimeout(-1); // a thread, and so its connection, is kept
}

StorePool::~StorePool()
{
    // Threads end here and their stores with them, each in its own thread.
    m_threads.clear();
    m_threads.waitForDone();
}

void StorePool::run(std::function<void(Store*)> work)
{
    m_threads.start([this, work = std::move(work)] { work(storeOfThisThread()); });
}

Store* StorePool::storeOfThisThread()
{
    if (!t_store.hasLocalData()) {
        QString error;
        std::optional<Store> opened = Store::open(m_url, &error, m_password);
        if (!opened) {
            std::fprintf(stderr, "velmora-service: cannot open the database: %s\n",
                         qPrintable(error));
            return nullptr;
        }
        t_store.setLocalData(new Store(std::move(*opened)));
    }
    return t_store.localData();
}
