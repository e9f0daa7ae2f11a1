#include "RequestGuard.h"

#include <QTcpSocket>
#include <QTimer>

RequestGuard::RequestGuard(std::function<qint64(const QByteArray&)> limitFor, QObject* parent)
    : QTcpServer(parent), m_limitFor(std::move(limitFor))
{
}

void RequestGuard::incomingConnection(qintptr descriptor)
{
    auto* socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    if (m_progress.size() >= kMaxConnections) {
        socket->abort();
        socket->deleteLater();
        return;
    }
    m_progress.insert(socket, {});
    auto* idle = new QTimer(socket);
    idle->setSingleShot(true);
    idle->setInterval(kIdleMs);
    connect(idle, &QTimer::timeout, socket, &QTcpSocket::abort);
    idle->start();
    // Connected before the HTTP server's own handler, so it sees the bytes first.
    connect(socket, &QTcpSocket::readyRead, this, [this, socket, idle] {
        idle->start();
        inspect(socket);
    });
    connect(socket, &QTcpSocket::disconnected, this, [this, socket] { m_progress.remove(socket); });
    connect(socket, &QObject::destroyed, this,
            [this, socket] { m_progress.remove(static_cast<QTcpSocket*>(socket)); });
    addPendingConnection(socket);
}

void RequestGuard::inspect(QTcpSocket* socket)
{
    auto it = m_progress.find(socket);
    if (it == m_progress.end())
        return;
    // The server reads everything available after us, so each call starts where it stopped.
    const QByteArray data = socket->peek(socket->bytesAvailable());
    qint64 at = 0;
    while (at < data.size()) {
        if (it->bodyLeft > 0) {
            const qint64 seen = qMin<qint64>(it->bodyLeft, data.size() - at);
            it->bodyLeft -= seen;
            at += seen;
            continue;
        }
        const qsizetype headEnd = data.indexOf("\r\n\r\n", at);
        if (headEnd < 0) {
            if (data.size() - at > kMaxHeadBytes)
                refuse(socket, 431, "Request Header Fields Too Large");
            return;
        }
        if (headEnd - at > kMaxHeadBytes) {
            refuse(socket, 431, "Request Header Fields Too Large");
            return;
        }
        const QList<QByteArray> lines = data.mid(at, headEnd - at).split('\n');
        const QByteArray path = lines.value(0).split(' ').value(1).split('?').value(0);
        qint64 length = 0;
        bool hasLength = false, chunked = false;
        for (const QByteArray& line : lines.mid(1)) {
            const qsizetype colon = line.indexOf(':');
            if (colon < 0)
                continue;
            const QByteArray name = line.left(colon).trimmed().toLower();
            const QByteArray value = line.mid(colon + 1).trimmed();
            if (name == "content-length") {
                bool ok = false;
                length = value.toLongLong(&ok);
                if (!ok || length < 0 || (hasLength && length != it->bodyLeft)) {
                    refuse(socket, 400, "Bad Request");
                    return;
                }
                hasLength = true;
                it->bodyLeft = length;
            } else if (name == "transfer-encoding") {
                chunked = true;
            }
        }
        if (chunked) {
            refuse(socket, 411, "Length Required");
            return;
        }
        if (length > m_limitFor(path)) {
            refuse(socket, 413, "Payload Too Large");
            return;
        }
        it->bodyLeft = length;
        at = headEnd + 4;
    }
}

void RequestGuard::refuse(QTcpSocket* socket, int status, const QByteArray& reason)
{
    m_progress.remove(socket);
    // Drop what came, so the HTTP server never parses it, and stop reading any more.
    socket->read(socket->bytesAvailable());
    disconnect(socket, &QTcpSocket::readyRead, nullptr, nullptr);
    const QByteArray body = R"({"ok":false})";
    socket->write("HTTP/1.1 " + QByteArray::number(status) + ' ' + reason +
                  "\r\nContent-Type: application/json\r\nContent-Length: " +
                  QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
    socket->disconnectFromHost();
}
