#pragma once

#include "support/TestKit.h"
#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>

// JSON written with single quotes, for readable tables.
inline QByteArray j(const char* text)
{
    return QByteArray(text).replace('\'', '"');
}

// A small HTTP/1.1 server on 127.0.0.1 for the network tests: records every request and
// answers each path with a canned response.
class LoopbackHttpServer final : public QObject {
    Q_OBJECT
public:
    struct Request {
        QByteArray method;
        QByteArray path;
        QByteArray body;
    };
    struct Response {
        int status = 200;
        QByteArray body;
        QByteArray contentType = "application/octet-stream";
        bool hang = false;     // never answer (for time-outs)
        int trickleMs = 0;     // send the body one byte at a time, this far apart
        QByteArray location{}; // a redirect's target
        bool cutShort = false; // announce twice the body, send it, and close
    };

    LoopbackHttpServer()
    {
        connect(&m_server, &QTcpServer::newConnection, this, &LoopbackHttpServer::accept);
        m_server.listen(QHostAddress::LocalHost, 0);
    }

    QUrl url(const QString& path = {}) const
    {
        return QUrl(QString("http://127.0.0.1:%1%2").arg(m_server.serverPort()).arg(path));
    }
    QByteArray baseUrl() const { return url().toString().toLatin1(); }
    void respond(const QByteArray& path, const Response& response) { m_responses[path] = response; }
    const QList<Request>& requests() const { return m_requests; }

private:
    void accept()
    {
        while (QTcpSocket* socket = m_server.nextPendingConnection()) {
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { read(socket); });
        }
    }

    void read(QTcpSocket* socket)
    {
        QByteArray& buffer = m_buffers[socket];
        buffer += socket->readAll();
        const int headerEnd = buffer.indexOf("\r\n\r\n");
        if (headerEnd < 0)
            return;
        Request request;
        const QList<QByteArray> first = buffer.left(buffer.indexOf("\r\n")).split(' ');
        request.method = first.value(0);
        request.path = first.value(1);
        const QByteArray head = buffer.left(headerEnd).toLower();
        const int at = head.indexOf("\ncontent-length:");
        const int length =
            at < 0 ? 0 : head.mid(at + 16, head.indexOf('\r', at + 1) - at - 16).trimmed().toInt();
        if (buffer.size() < headerEnd + 4 + length)
            return; // the body is still arriving
        request.body = buffer.mid(headerEnd + 4, length);
        m_buffers.remove(socket);
        m_requests << request;
        const Response response = m_responses.value(request.path, Response{404, "not found"});
        if (!response.hang) {
            QByteArray reply = "HTTP/1.1 " + QByteArray::number(response.status) + " X\r\n";
            reply += "Content-Type: " + response.contentType + "\r\n";
            if (!response.location.isEmpty())
                reply += "Location: " + response.location + "\r\n";
            reply += "Content-Length: " +
                     QByteArray::number(response.body.size() * (response.cutShort ? 2 : 1)) +
                     "\r\n";
            reply += "Connection: close\r\n\r\n";
            if (response.trickleMs > 0) {
                socket->write(reply);
                trickle(socket, response.body, response.trickleMs);
            } else {
                socket->write(reply + response.body);
                socket->disconnectFromHost();
            }
        }
    }

    void trickle(QTcpSocket* socket, QByteArray rest, int intervalMs)
    {
        if (rest.isEmpty()) {
            socket->disconnectFromHost();
            return;
        }
        socket->write(rest.left(1));
        QPointer<QTcpSocket> alive(socket);
        QTimer::singleShot(intervalMs, this, [this, alive, rest, intervalMs] {
            if (alive && alive->state() == QAbstractSocket::ConnectedState)
                trickle(alive, rest.mid(1), intervalMs);
        });
    }

    QTcpServer m_server;
    QHash<QByteArray, Response> m_responses;
    QHash<QTcpSocket*, QByteArray> m_buffers;
    QList<Request> m_requests;
};
