#include "StoreCall.h"

#include "store/Store.h"
#include "store/StorePool.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

#include <atomic>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>

namespace {

// Calls not yet answered, by when they are due. Every call has the same deadline, so they come
// due in the order they were made; one timer checks the oldest while there are any. A timer per
// call would cost a search through every live timer (thousands under load) at each start and
// at each firing.
class Deadlines {
public:
    explicit Deadlines(QObject* thread)
    {
        m_clock.start();
        m_check = new QTimer(thread);
        m_check->setInterval(kCheckMs);
        QObject::connect(m_check, &QTimer::timeout, m_check, [this] { check(); });
    }
    // onTime: answers the call if it is still waiting; run on the timer's thread.
    void add(std::weak_ptr<void> call, std::function<void()> onTime)
    {
        m_waiting.push_back(
            {m_clock.elapsed() + StoreCall::kDeadlineMs, std::move(call), std::move(onTime)});
        if (!m_check->isActive())
            m_check->start();
    }

private:
    // The deadline holds to within this.
    static constexpr int kCheckMs = 50;
    struct Waiting {
        qint64 due;
        std::weak_ptr<void> call; // gone once answered and let go
        std::function<void()> onTime;
    };
    void check()
    {
        const qint64 now = m_clock.elapsed();
        while (!m_waiting.empty() &&
               (m_waiting.front().call.expired() || m_waiting.front().due <= now)) {
            const Waiting late = std::move(m_waiting.front());
            m_waiting.pop_front();
            if (!late.call.expired())
                late.onTime();
        }
        if (m_waiting.empty())
            m_check->stop();
    }
    QElapsedTimer m_clock;
    QTimer* m_check;
    std::deque<Waiting> m_waiting;
};

// Why a request was answered 503, on standard error (the journal under systemd): at most once a
// second, with how many more there were since, so that a database down under load does not
// write a line per request. From any thread.
void say503(const QString& why)
{
    static std::mutex lock;
    static QElapsedTimer last;
    static qint64 unsaid = 0;
    const std::lock_guard guard(lock);
    if (last.isValid() && last.elapsed() < 1000) {
        ++unsaid;
        return;
    }
    last.start();
    if (unsaid > 0)
        std::fprintf(stderr,
                     "velmora-service: answered 503: %s (and %lld more since the last "
                     "line)\n",
                     qPrintable(why), static_cast<long long>(unsaid));
    else
        std::fprintf(stderr, "velmora-service: answered 503: %s\n", qPrintable(why));
    unsaid = 0;
}

} // namespace

void StoreCall::run(StorePool& stores, QHttpServerResponder&& responder, Writer write,
                    std::function<std::optional<Answer>(Store&)> work)
{
    // Answered once, on this (the network) thread: by the database's result, or by the
    // deadline, whichever comes first. The responder is used and let go on this thread only,
    // whichever thread drops the last reference to the rest.
    struct Pending {
        Pending(QHttpServerResponder&& r, Writer w) : socket(r.socket()), write(std::move(w))
        {
            responder.emplace(std::move(r));
        }
        std::optional<QHttpServerResponder> responder;
        QPointer<QTcpSocket> socket;
        Writer write;
        std::atomic<bool> answered{false};
        void answer(const Answer& answer)
        {
            if (answered.exchange(true))
                return;
            if (socket)
                write(*responder, answer);
            responder.reset();
        }
    };
    static const Answer kUnavailable{{{QStringLiteral("ok"), false}}, Status::ServiceUnavailable};
    auto pending = std::make_shared<Pending>(std::move(responder), std::move(write));
    // The application object outlives every request: answers are posted to its thread.
    QObject* network = QCoreApplication::instance();
    stores.run([pending, network, work = std::move(work)](Store* store) {
        if (pending->answered) // answered 503 while it waited: the client will come again
            return;
        std::optional<Answer> answer = store ? work(*store) : std::nullopt;
        if (!answer)
            say503(store ? store->lastError() : QStringLiteral("no database connection"));
        QMetaObject::invokeMethod(
            network, [pending, answer] { pending->answer(answer.value_or(kUnavailable)); });
    });
    // Made on the first call, on the network thread; its timer goes with the application.
    static Deadlines deadlines(network);
    deadlines.add(pending, [weak = std::weak_ptr<Pending>(pending)] {
        const auto late = weak.lock();
        if (!late || late->answered)
            return;
        say503(QStringLiteral("the database did not answer within %1 ms").arg(kDeadlineMs));
        late->answer(kUnavailable);
    });
}
