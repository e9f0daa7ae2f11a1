#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QTcpServer>
#include <QTimer>

#include <functional>
#include <optional>

class QTcpSocket;

// The listening socket in front of the HTTP server. It reads each request's head, however the
// bytes are cut into segments, before the server sees them, and turns away without reading
// further what the server would otherwise buffer whole or wait for: bodies over their path's
// limit (413), bodies without a length or chunked (411), heads too long or with too many fields
// (431), other methods than POST on the service's paths (405), heads not complete within a
// deadline, silent connections, and more connections from one address than a client needs.
class RequestGuard final : public QTcpServer {
    Q_OBJECT
public:
    static constexpr qint64 kMaxHeadBytes = 8 * 1024;
    // The application sends six fields; browsers and proxies a few dozen.
    static constexpr int kMaxHeaderFields = 64;
    // A whole head must arrive within this, however it trickles (slowloris).
    static constexpr int kHeadDeadlineMs = 10000;
    // A connection that sends nothing for this long is closed (slow clients hold sockets).
    static constexpr int kIdleMs = 15000;
    // Beyond this many open connections new ones are refused at once; the kernel's queue of
    // connections not yet accepted is as long.
    static constexpr int kMaxConnections = 1024;
    // One device syncs over one connection; more from one address is an attack on the others'
    // share. A reverse proxy on this machine (127.0.0.1, ::1) limits per client itself.
    static constexpr int kMaxConnectionsPerAddress = 64;
    // How often the time limits are checked: they hold to within this.
    static constexpr int kSweepMs = 500;
    // Bodies sent to paths the service does not answer (404 anyway).
    static constexpr qint64 kMaxUnknownPathBytes = 4 * 1024;

    // limitFor: the body limit of one of the service's paths (POST only), nothing elsewhere;
    // otherPathsLimit: the limit of any other path, whatever its method.
    explicit RequestGuard(std::function<std::optional<qint64>(const QByteArray& path)> limitFor,
                          QObject* parent = nullptr, qint64 otherPathsLimit = kMaxUnknownPathBytes);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    struct Progress {
        QHostAddress peer;
        QByteArray head;         // the current head so far
        qint64 bodyLeft = 0;     // bytes of the current body not yet seen
        qint64 lastActivity = 0; // on m_clock, in ms
        qint64 headDue = 0;      // when the current head must be whole; 0 while a body comes
    };
    void inspect(QTcpSocket* socket);
    // Closes the connections past a limit in time. One timer for all: a timer per connection,
    // started again at every read, costs a search through every live timer each time.
    void sweep();
    // What to answer to a complete head (status 0: let it through, its body length in bodyLeft).
    int judge(const QByteArray& head, Progress& progress, QByteArray* extraHeaders) const;
    void refuse(QTcpSocket* socket, int status, const QByteArray& extraHeaders = {});
    void forget(QTcpSocket* socket);

    std::function<std::optional<qint64>(const QByteArray&)> m_limitFor;
    qint64 m_otherPathsLimit;
    QHash<QTcpSocket*, Progress> m_progress;
    QHash<QHostAddress, int> m_perAddress;
    QElapsedTimer m_clock;
    QTimer m_sweep; // runs while there are connections
};
