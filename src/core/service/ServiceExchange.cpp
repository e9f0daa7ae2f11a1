#include "ServiceExchange.h"

#include "AppInfo.h"
#include "SharedNetwork.h"

#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QTimer>

namespace ServiceExchange {

void post(const QString& path, const QJsonObject& body, int deadlineMs, QObject* context,
          std::function<void(std::optional<Answer>)> done)
{
    QNetworkRequest request(AppInfo::serviceUrl(path));
    // Without it Qt would label the JSON body as a web form.
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    // A redirect elsewhere (another host, port or scheme) is not followed: only the service
    // speaks for the service.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::SameOriginRedirectPolicy);
    QNetworkReply* reply =
        SharedNetwork::manager().post(request, QJsonDocument(body).toJson(QJsonDocument::Compact));

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
    deadline->start(deadlineMs);
    QObject::connect(reply, &QNetworkReply::readyRead, reply, [reply, state] {
        if (state->dropped)
            return;
        state->received += reply->read(kMaxAnswerBytes + 1 - state->received.size());
        if (state->received.size() > kMaxAnswerBytes) {
            state->dropped = true;
            reply->abort();
        }
    });
    QPointer<QObject> guard(context);
    QObject::connect(reply, &QNetworkReply::finished, reply, [reply, state, guard, done] {
        reply->deleteLater();
        if (!guard || !done)
            return;
        if (!state->dropped)
            state->received += reply->read(kMaxAnswerBytes + 1 - state->received.size());
        const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        // An HTTP error status is still an answer; a connection or proxy error is not.
        const bool transportError = reply->error() != QNetworkReply::NoError &&
                                    reply->error() < QNetworkReply::ContentAccessDenied;
        if (state->dropped || transportError || state->received.size() > kMaxAnswerBytes ||
            !status.isValid()) {
            done(std::nullopt);
            return;
        }
        done(Answer{status.toInt(), state->received});
    });
}

} // namespace ServiceExchange
