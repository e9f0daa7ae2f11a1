#include "RequestGuard.h"

#include <QTcpSocket>

namespace {

QByteArray reasonOf(int status)
{
    switch (status) {
    case 400:
        return "Bad Request";
    case 405:
        return "Method Not Allowed";
    case 411:
        return "Length Required";
    case 413:
        return "Payload Too Large";
    default:
        return "Request Header Fields Too Large";
    }
}

// Where a head ends, "\r\n\r\n" or, from clients that end lines with a bare LF, "\n\n":
// the end's offset and the terminator's length, or -1.
std::pair<qsizetype, qsizetype> headEnd(const QByteArray& head)
{
    const qsizetype crlf = head.indexOf("\r\n\r\n");
    const qsizetype lf = head.indexOf("\n\n");
    if (lf >= 0 && (crlf < 0 || lf < crlf))
        return {lf, 2};
    return {crlf, crlf < 0 ? 0 : 4};
}

} // namespace

RequestGuard::RequestGuard(std::function<std::optional<qint64>(const QByteArray&)> limitFor,
                           QObject* parent, qint64 otherPathsLimit)
    : QTcpServer(parent), m_limitFor(std::move(limitFor)), m_otherPathsLimit(otherPathsLimit)
{
    setListenBacklogSize(kMaxConnections);
    m_clock.start();
    m_sweep.setInterval(kSweepMs);
    connect(&m_sweep, &QTimer::timeout, this, &RequestGuard::sweep);
}

void RequestGuard::sweep()
{
    const qint64 now = m_clock.elapsed();
    QList<QTcpSocket*> late;
    for (auto it = m_progress.cbegin(); it != m_progress.cend(); ++it)
        if (now - it->lastActivity > kIdleMs || (it->headDue > 0 && now > it->headDue))
            late << it.key();
    for (QTcpSocket* socket : late)
        socket->abort(); // forgets it
    if (m_progress.isEmpty())
        m_sweep.stop();
}

void RequestGuard::incomingConnection(qintptr descriptor)
{
    auto* socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    // An answer written in several pieces goes out at once, not after the client's delayed
    // acknowledgement of the first (40 ms on Linux per answer on a kept-alive connection).
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    const QHostAddress peer = socket->peerAddress();
    // A reverse proxy on this machine brings every client from one address; it limits them
    // per real address itself.
    const bool proxy = peer.isEqual(QHostAddress::LocalHost, QHostAddress::ConvertV4MappedToIPv4) ||
                       peer.isEqual(QHostAddress::LocalHostIPv6);
    if (m_progress.size() >= kMaxConnections ||
        (!proxy && m_perAddress.value(peer) >= kMaxConnectionsPerAddress)) {
        socket->abort();
        socket->deleteLater();
        return;
    }
    ++m_perAddress[peer];
    const qint64 now = m_clock.elapsed();
    m_progress.insert(socket, {peer, {}, 0, now, now + kHeadDeadlineMs}); // a head is due at once
    if (!m_sweep.isActive())
        m_sweep.start();
    // Connected before the HTTP server's own handler, so it sees the bytes first.
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] { inspect(socket); });
    connect(socket, &QTcpSocket::disconnected, this, [this, socket] { forget(socket); });
    connect(socket, &QObject::destroyed, this,
            [this, socket] { forget(static_cast<QTcpSocket*>(socket)); });
    addPendingConnection(socket);
}

void RequestGuard::forget(QTcpSocket* socket)
{
    const auto it = m_progress.constFind(socket);
    if (it == m_progress.constEnd())
        return;
    auto count = m_perAddress.find(it->peer);
    if (count != m_perAddress.end() && --*count <= 0)
        m_perAddress.erase(count);
    m_progress.erase(it);
}

void RequestGuard::inspect(QTcpSocket* socket)
{
    auto it = m_progress.find(socket);
    if (it == m_progress.end())
        return;
    const qint64 now = m_clock.elapsed();
    it->lastActivity = now;
    // The server reads everything available after us, so each call sees only new bytes; a head
    // cut into several segments is put together here.
    const QByteArray data = socket->peek(socket->bytesAvailable());
    qsizetype at = 0;
    while (at < data.size()) {
        if (it->bodyLeft > 0) {
            const qint64 seen = qMin<qint64>(it->bodyLeft, data.size() - at);
            it->bodyLeft -= seen;
            at += seen;
            if (it->bodyLeft == 0)
                it->headDue = now + kHeadDeadlineMs; // the next request's head
            continue;
        }
        const qsizetype before = it->head.size();
        it->head += data.mid(at, kMaxHeadBytes + 4 - before);
        const auto [end, terminator] = headEnd(it->head);
        if (end < 0 || end > kMaxHeadBytes) {
            if (it->head.size() > kMaxHeadBytes)
                refuse(socket, 431);
            return; // the rest of the head is still to come
        }
        QByteArray extra;
        if (const int status = judge(it->head.left(end), *it, &extra)) {
            refuse(socket, status, extra);
            return;
        }
        at += end + terminator - before;
        it->head.clear();
        // The next head is due now; a body is watched by the idle limit.
        it->headDue = it->bodyLeft == 0 ? now + kHeadDeadlineMs : 0;
    }
}

int RequestGuard::judge(const QByteArray& head, Progress& progress, QByteArray* extra) const
{
    QList<QByteArray> lines = head.split('\n');
    for (QByteArray& line : lines)
        if (line.endsWith('\r'))
            line.chop(1);
    if (lines.size() - 1 > kMaxHeaderFields)
        return 431;
    const QList<QByteArray> request = lines.value(0).split(' ');
    const QByteArray method = request.value(0);
    const QByteArray path = request.value(1).split('?').value(0);
    const std::optional<qint64> routeLimit = m_limitFor(path);
    if (routeLimit && method != "POST") {
        *extra = "Allow: POST\r\n";
        return 405;
    }
    qint64 length = 0;
    bool hasLength = false;
    for (const QByteArray& line : lines.mid(1)) {
        const qsizetype colon = line.indexOf(':');
        if (colon < 0)
            continue;
        const QByteArray name = line.left(colon).trimmed().toLower();
        const QByteArray value = line.mid(colon + 1).trimmed();
        if (name == "content-length") {
            bool ok = false;
            const qint64 given = value.toLongLong(&ok);
            if (!ok || given < 0 || (hasLength && given != length))
                return 400;
            hasLength = true;
            length = given;
        } else if (name == "transfer-encoding") {
            return 411; // chunked bodies have no length to judge them by
        }
    }
    if (length > routeLimit.value_or(m_otherPathsLimit))
        return 413;
    progress.bodyLeft = length;
    return 0;
}

void RequestGuard::refuse(QTcpSocket* socket, int status, const QByteArray& extraHeaders)
{
    forget(socket);
    // Drop what came, so the HTTP server never parses it, and stop reading any more.
    socket->read(socket->bytesAvailable());
    disconnect(socket, &QTcpSocket::readyRead, nullptr, nullptr);
    const QByteArray body = R"({"ok":false})";
    socket->write("HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonOf(status) + "\r\n" +
                  extraHeaders + "Content-Type: application/json\r\nContent-Length: " +
                  QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
    socket->disconnectFromHost();
}
