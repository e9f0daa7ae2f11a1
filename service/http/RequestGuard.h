#pragma once

#include <QHash>
#include <QTcpServer>

#include <functional>

class QTcpSocket;

// The listening socket in front of the HTTP server. It looks at each request's head before
// the server reads it and turns away, without reading further, what the server would otherwise
// buffer whole: bodies over their path's limit (413), bodies without a length (411), heads that
// never end (431), and connections that stay silent.
class RequestGuard final : public QTcpServer {
    Q_OBJECT
public:
    static constexpr qint64 kMaxHeadBytes = 8 * 1024;
    // A connection that sends nothing for this long is closed (slow clients hold sockets).
    static constexpr int kIdleMs = 15000;
    // Beyond this many open connections new ones are refused at once.
    static constexpr int kMaxConnections = 1024;

    // The body limit of a path; requests elsewhere get the smallest one.
    explicit RequestGuard(std::function<qint64(const QByteArray& path)> limitFor,
                          QObject* parent = nullptr);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    struct Progress {
        qint64 bodyLeft = 0; // bytes of the current body not yet seen
    };
    void inspect(QTcpSocket* socket);
    void refuse(QTcpSocket* socket, int status, const QByteArray& reason);

    std::function<qint64(const QByteArray&)> m_limitFor;
    QHash<QTcpSocket*, Progress> m_progress;
};
