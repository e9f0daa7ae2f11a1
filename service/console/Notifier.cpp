#include "Notifier.h"

#include <QHostAddress>
#include <QJsonDocument>
#include <QNetworkReply>
#include <QTimer>

#include <cstdio>

std::optional<QString> Notifier::problemWith(const QUrl& url)
{
    if (!url.isValid() || url.host().isEmpty())
        return QStringLiteral("takes an address such as https://chat.example/hook");
    const QHostAddress host(url.host());
    const bool local =
        url.host() == QLatin1String("localhost") || (!host.isNull() && host.isLoopback());
    if (url.scheme() == QLatin1String("https") || (url.scheme() == QLatin1String("http") && local))
        return std::nullopt;
    return QStringLiteral("must be HTTPS, or HTTP to this machine (loopback): "
                          "reports must not cross the network in clear");
}

Notifier::Notifier(QUrl url, QObject* parent) : QObject(parent), m_url(std::move(url))
{
    // A receiver's redirection is not followed: the address given is the only one told.
    m_network.setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
}

void Notifier::newReport(const QString& device)
{
    // What users wrote stays out of "text": a chat would render it.
    post({{QStringLiteral("text"),
           QStringLiteral("VelmoraVovir : nouveau signalement, à lire dans la console.")},
          {QStringLiteral("event"), QStringLiteral("report")},
          {QStringLiteral("device"), device}});
}

void Notifier::newCrashGroup(const QString& signature)
{
    post({{QStringLiteral("text"),
           QStringLiteral("VelmoraVovir : nouveau genre de plantage (%1), à lire dans la console.")
               .arg(signature.left(12))},
          {QStringLiteral("event"), QStringLiteral("crash-group")},
          {QStringLiteral("signature"), signature}});
}

void Notifier::crashRegression(const QString& signature, const QString& title,
                               const QString& version)
{
    post({{QStringLiteral("text"),
           QStringLiteral("VelmoraVovir : régression, « %1 » plante de nouveau en %2.")
               .arg(title.left(120), version.left(40))},
          {QStringLiteral("event"), QStringLiteral("crash-regression")},
          {QStringLiteral("signature"), signature},
          {QStringLiteral("version"), version}});
}

void Notifier::post(const QJsonObject& event)
{
    const QByteArray body = QJsonDocument(event).toJson(QJsonDocument::Compact);
    // Called from the database threads: queued to this object's (the network) thread.
    QMetaObject::invokeMethod(this, [this, body] {
        if (m_queue.size() >= kMaxQueued) {
            std::fprintf(stderr, "velmora-service: notification dropped: %lld waiting already\n",
                         static_cast<long long>(m_queue.size()));
            return;
        }
        m_queue.enqueue(body);
        sendNext();
    });
}

void Notifier::sendNext()
{
    if (m_sending || m_queue.isEmpty())
        return;
    m_sending = true;
    QNetworkRequest request(m_url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    request.setTransferTimeout(kTimeoutMs);
    QNetworkReply* reply = m_network.post(request, m_queue.dequeue());
    // The transfer's time-out counts from the last byte: a receiver trickling its answer would
    // hold every later notification. kTimeoutMs is the whole post's.
    QTimer::singleShot(kTimeoutMs, reply, [reply] {
        if (reply->isRunning())
            reply->abort();
    });
    connect(reply, &QNetworkReply::finished, this, [this, reply] {
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (reply->error() != QNetworkReply::NoError || status / 100 != 2)
            std::fprintf(
                stderr, "velmora-service: notification dropped: %s\n",
                reply->error() == QNetworkReply::OperationCanceledError
                    ? qPrintable(
                          QStringLiteral("no whole answer within %1 s").arg(kTimeoutMs / 1000))
                : reply->error() != QNetworkReply::NoError
                    ? qPrintable(reply->errorString())
                    : qPrintable(QStringLiteral("the receiver answered %1").arg(status)));
        reply->deleteLater();
        m_sending = false;
        sendNext();
    });
}
