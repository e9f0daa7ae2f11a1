#pragma once

#include "support/TestKit.h"
#include <QByteArray>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTcpSocket>
#include <QUrl>

#include <functional>

// The maker's service as the tests meet it: the real velmora-service program on a loopback
// port, over a fresh SQLite file or a fresh database on the test PostgreSQL cluster.
class ServiceProcess {
public:
    struct Reply {
        int status = 0; // 0: no whole answer within the bound
        QByteArray body;
        QByteArray head;
    };

    // backend: "sqlite" or "postgresql"; the cluster's URL comes from the test script.
    explicit ServiceProcess(const QString& backend)
    {
        if (backend == QLatin1String("sqlite")) {
            m_database = QString("sqlite:") + m_dir.filePath("service.sqlite");
        } else {
            static int serial = 0;
            QUrl url(postgresUrl());
            url.setPath(
                QString("/velmora_%1_%2").arg(QCoreApplication::applicationPid()).arg(++serial));
            m_database = url.toString();
            sql("CREATE DATABASE " + url.path().mid(1), true);
        }
    }
    ~ServiceProcess() { stop(); }

    static QString postgresUrl()
    {
        QFile file(qEnvironmentVariable("VELMORA_TEST_POSTGRES_URL_FILE"));
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()).trimmed()
                                              : QString();
    }

    QString database() const { return m_database; }

    // Starts `serve` (with extra options) and waits for the lines giving its ports.
    // keepErrors: what the service writes on standard error is kept for errors().
    bool start(const QStringList& extra = {}, bool keepErrors = false)
    {
        m_server.setProgram(QStringLiteral(VELMORA_SERVICE_BIN));
        m_server.setArguments(QStringList{"serve", "--listen", "127.0.0.1:0", "--console-listen",
                                          "127.0.0.1:0", "--database", m_database} +
                              extra);
        m_server.setProcessChannelMode(keepErrors ? QProcess::SeparateChannels
                                                  : QProcess::ForwardedErrorChannel);
        m_server.start();
        QByteArray said;
        if (!QTest::qWaitFor(
                [&] {
                    said += m_server.readAllStandardOutput();
                    return said.count('\n') >= 2 || m_server.state() == QProcess::NotRunning;
                },
                20000))
            return false;
        const QList<QByteArray> lines = said.split('\n');
        auto portOf = [](const QByteArray& line) {
            return quint16(line.mid(line.lastIndexOf(':') + 1).toUInt());
        };
        m_port = portOf(lines.value(0));
        m_consolePort = portOf(lines.value(1));
        return m_port != 0 && m_consolePort != 0;
    }
    void stop()
    {
        if (m_server.state() == QProcess::NotRunning)
            return;
        m_server.terminate();
        if (!m_server.waitForFinished(5000))
            m_server.kill();
        // Asked to stop, the service ends cleanly: a crash while closing counts against it.
        if (m_server.exitStatus() != QProcess::NormalExit || m_server.exitCode() != 0)
            ++uncleanStops();
    }
    static int& uncleanStops()
    {
        static int count = 0;
        return count;
    }
    QUrl url() const { return QUrl(QString("http://127.0.0.1:%1").arg(m_port)); }
    QByteArray errors() { return m_server.readAllStandardError(); }

    // One request on its own connection; head is sent as given, then body. byteByByte sends
    // one byte a segment, as a slow or hostile client cuts a request.
    Reply send(const QByteArray& head, const QByteArray& body = {}, bool byteByByte = false,
               int timeoutMs = 10000, quint16 port = 0) const
    {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, port ? port : m_port);
        if (!socket.waitForConnected(5000))
            return {};
        socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
        const QByteArray request = head + body;
        for (qsizetype at = 0; at < request.size();) {
            const qsizetype piece = byteByByte ? 1 : request.size();
            socket.write(request.mid(at, piece));
            socket.waitForBytesWritten(1000);
            at += piece;
            if (socket.state() != QAbstractSocket::ConnectedState)
                break; // refused before the end
        }
        QByteArray answer;
        const bool whole = QTest::qWaitFor(
            [&] {
                socket.waitForReadyRead(20);
                answer += socket.readAll();
                const qsizetype end = answer.indexOf("\r\n\r\n");
                if (end < 0)
                    return socket.state() != QAbstractSocket::ConnectedState;
                const QByteArray headers = answer.left(end).toLower();
                const qsizetype at = headers.indexOf("content-length:");
                const qsizetype length =
                    at < 0 ? 0
                           : headers.mid(at + 15, headers.indexOf('\r', at) - at - 15)
                                 .trimmed()
                                 .toLongLong();
                return answer.size() >= end + 4 + length;
            },
            timeoutMs);
        const qsizetype end = answer.indexOf("\r\n\r\n");
        if (!whole || end < 0)
            return {};
        return {answer.mid(9, 3).toInt(), answer.mid(end + 4), answer.left(end)};
    }
    // fields: extra header lines ("X-Forwarded-For: …\r\n").
    Reply post(const QByteArray& path, const QByteArray& body, int timeoutMs = 10000,
               const QByteArray& fields = {}) const
    {
        return send("POST " + path +
                        " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
                        "Content-Type: application/json\r\nContent-Length: " +
                        QByteArray::number(body.size()) + "\r\n" + fields + "\r\n",
                    body, false, timeoutMs);
    }

    // A request to the maker's console, as its page sends them; fields: extra header lines.
    Reply console(const QByteArray& method, const QByteArray& path, const QByteArray& body = {},
                  const QByteArray& fields = {}) const
    {
        return send(method + ' ' + path +
                        " HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(m_consolePort) +
                        "\r\nConnection: close\r\nContent-Length: " +
                        QByteArray::number(body.size()) + "\r\n" + fields + "\r\n",
                    body, false, 10000, m_consolePort);
    }
    quint16 consolePort() const { return m_consolePort; }

    // One SQL statement on the service's database, or on the cluster's "postgres" database
    // (for what a database cannot do to itself): what an older version or an administrator
    // left there.
    bool sql(const QString& statement, bool onCluster = false) const
    {
        return sqlValue(statement, onCluster).has_value();
    }
    // The first column of the first row (an empty value for a statement without rows), or
    // nothing when the statement failed.
    std::optional<QVariant> sqlValue(const QString& statement, bool onCluster = false) const
    {
        std::optional<QVariant> done;
        {
            QSqlDatabase db;
            if (m_database.startsWith("sqlite:")) {
                db = QSqlDatabase::addDatabase("QSQLITE", "direct");
                db.setDatabaseName(m_database.mid(7));
            } else {
                const QUrl url(m_database);
                db = QSqlDatabase::addDatabase("QPSQL", "direct");
                db.setHostName(url.host());
                db.setPort(url.port());
                db.setUserName(url.userName());
                db.setDatabaseName(onCluster ? QString("postgres") : url.path().mid(1));
            }
            QSqlQuery query(db);
            if (db.open() && query.exec(statement))
                done = query.next() ? query.value(0) : QVariant();
            query.finish();
            db.close();
        }
        QSqlDatabase::removeDatabase("direct");
        return done;
    }

    // A maker's command on the same database (or the one its arguments give): its exit code
    // and standard output; errors gets its standard error, inChild runs in the child before the
    // program (limits, user), input is its standard input, program another copy of the service.
    QPair<int, QByteArray> command(const QStringList& arguments, QByteArray* errors = nullptr,
                                   const std::function<void()>& inChild = {},
                                   const QByteArray& input = {},
                                   const QString& program = VELMORA_SERVICE_BIN) const
    {
        QProcess process;
        if (!errors)
            process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        if (inChild)
            process.setChildProcessModifier(inChild);
        // The service's database, unless the arguments name where to look themselves.
        const bool ownDatabase = arguments.contains("--database") || arguments.contains("--config");
        process.start(program,
                      ownDatabase ? arguments : arguments + QStringList{"--database", m_database});
        process.write(input);
        process.closeWriteChannel();
        process.waitForFinished(20000);
        if (errors)
            *errors = process.readAllStandardError();
        return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
                process.readAllStandardOutput()};
    }

    // A command's output read as JSON.
    QJsonDocument json(const QStringList& arguments) const
    {
        return QJsonDocument::fromJson(command(arguments).second);
    }

private:
    QTemporaryDir m_dir;
    QString m_database;
    QProcess m_server;
    quint16 m_port = 0;
    quint16 m_consolePort = 0;
};
