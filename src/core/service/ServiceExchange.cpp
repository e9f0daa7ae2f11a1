#include "ServiceExchange.h"

#include "AppInfo.h"
#include "SharedNetwork.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QTimer>

namespace ServiceExchange {
namespace {

// A POST moved with its method and body kept (307, 308) is followed this many times at most.
constexpr int kMaxRedirects = 3;

// One post to its end, over the redirections it follows.
struct Exchange {
    QByteArray payload;
    QElapsedTimer clock; // the deadline covers every try
    int deadlineMs = 0;
    int redirects = 0;
    QPointer<QObject> guard;
    std::function<void(std::optional<Answer>)> done;
    void finish(const std::optional<Answer>& answer) const
    {
        if (guard && done)
            done(answer);
    }
};

void send(const QUrl& url, const std::shared_ptr<Exchange>& exchange)
{
    QNetworkRequest request(url);
    // Without it Qt would label the JSON body as a web form.
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    // Followed here, not by Qt: a 301, 302 or 303 would turn the POST into a GET without its
    // body, whose answer says nothing about what was sent; and a redirection elsewhere (another
    // host, port or scheme) is not followed: only the service speaks for the service.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    QNetworkReply* reply = SharedNetwork::manager().post(request, exchange->payload);

    struct State {
        QByteArray received;
        bool dropped = false;
    };
    auto state = std::make_shared<State>();
    // An overall deadline, not a per-transfer one: a server trickling one byte a second is cut.
    auto* deadline = new QTimer(reply);
    deadline->setSingleShot(true);
    QObject::connect(deadline, &QTimer::timeout, reply, [reply, state] {
        state->dropped = true;
        reply->abort();
    });
    deadline->start(qMax<qint64>(0, exchange->deadlineMs - exchange->clock.elapsed()));
    QObject::connect(reply, &QNetworkReply::readyRead, reply, [reply, state] {
        if (state->dropped)
            return;
        state->received += reply->read(kMaxAnswerBytes + 1 - state->received.size());
        if (state->received.size() > kMaxAnswerBytes) {
            state->dropped = true;
            reply->abort();
        }
    });
    QObject::connect(reply, &QNetworkReply::finished, reply, [url, reply, state, exchange] {
        reply->deleteLater();
        if (!exchange->guard || !exchange->done)
            return;
        if (!state->dropped)
            state->received += reply->read(kMaxAnswerBytes + 1 - state->received.size());
        const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        // An HTTP error status is still an answer; a connection or proxy error is not.
        const bool transportError = reply->error() != QNetworkReply::NoError &&
                                    reply->error() < QNetworkReply::ContentAccessDenied;
        if (state->dropped || transportError || state->received.size() > kMaxAnswerBytes ||
            !status.isValid())
            return exchange->finish(std::nullopt);
        if (status.toInt() == 307 || status.toInt() == 308) {
            const QUrl target =
                url.resolved(reply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl());
            if (!SharedNetwork::sameOrigin(target, url) || ++exchange->redirects > kMaxRedirects)
                return exchange->finish(std::nullopt);
            return send(target, exchange);
        }
        exchange->finish(Answer{status.toInt(), state->received});
    });
}

} // namespace

void post(const QString& path, const QJsonObject& body, int deadlineMs, QObject* context,
          std::function<void(std::optional<Answer>)> done)
{
    auto exchange = std::make_shared<Exchange>();
    exchange->payload = QJsonDocument(body).toJson(QJsonDocument::Compact);
    exchange->clock.start();
    exchange->deadlineMs = deadlineMs;
    exchange->guard = context;
    exchange->done = std::move(done);
    send(AppInfo::serviceUrl(path), exchange);
}

} // namespace ServiceExchange
