#pragma once

#include <QHttpServerResponder>
#include <QJsonObject>

#include <functional>
#include <optional>

class Store;
class StorePool;

// A request's database work, run on one of the pool's connections and answered on the network
// thread: with the work's answer, or 503 when the database fails or does not answer within the
// deadline (a stalled server, a lock held elsewhere); not at all when the client has gone.
namespace StoreCall {

using Status = QHttpServerResponder::StatusCode;

struct Answer {
    QJsonObject body;
    Status status = Status::Ok;
};
// Writes an answer: the content type and headers are the caller's.
using Writer = std::function<void(QHttpServerResponder&, const Answer&)>;

constexpr int kDeadlineMs = 2000;

void run(StorePool& stores, QHttpServerResponder&& responder, Writer write,
         std::function<std::optional<Answer>(Store&)> work);

} // namespace StoreCall
