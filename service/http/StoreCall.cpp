#include "StoreCall.h"

#include "store/Store.h"
#include "store/StorePool.h"

#include <QCoreApplication>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

#include <atomic>
#include <cstdio>
#include <memory>

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
            // The journal keeps why (stderr under systemd).
            std::fprintf(stderr, "velmora-service: answered 503: %s\n",
                         store ? qPrintable(store->lastError()) : "no database connection");
        QMetaObject::invokeMethod(
            network, [pending, answer] { pending->answer(answer.value_or(kUnavailable)); });
    });
    QTimer::singleShot(kDeadlineMs, network, [pending] {
        if (pending->answered)
            return;
        std::fprintf(stderr,
                     "velmora-service: answered 503: the database did not answer "
                     "within %d ms\n",
                     kDeadlineMs);
        pending->answer(kUnavailable);
    });
}
