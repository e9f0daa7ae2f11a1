#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <functional>
#include <optional>

class QObject;

// One POST of a compact JSON body to the maker's service, on the shared network session.
namespace ServiceExchange {

// An answer is read up to this size; a larger one is dropped like a transport error.
inline constexpr qint64 kMaxAnswerBytes = 64 * 1024;

struct Answer {
    int status = 0;
    QByteArray body;
};

// Calls done exactly once on the calling (main) thread: with the answer, or with nothing on a
// transport error, after deadlineMs in all (however slowly the bytes come), or when the answer
// outgrows kMaxAnswerBytes. done is dropped unrun when context is destroyed first; an empty
// done sends and forgets.
void post(const QString& path, const QJsonObject& body, int deadlineMs, QObject* context,
          std::function<void(std::optional<Answer>)> done);

} // namespace ServiceExchange
