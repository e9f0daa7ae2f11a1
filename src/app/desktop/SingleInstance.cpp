#include "SingleInstance.h"

#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>

#include <algorithm>

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// "show", then the launch's activation token when it has one (older copies read "show" alone).
const QByteArray kShowRequest = "show";
// Activation tokens are short printable words (xdg-activation, startup notification).
constexpr qsizetype kMaxTokenBytes = 256;

bool isToken(const QByteArray& token)
{
    return !token.isEmpty() && token.size() <= kMaxTokenBytes &&
           std::all_of(token.cbegin(), token.cend(), [](char c) { return c > ' ' && c < 0x7f; });
}

// The user id of the process at the other end of a local socket, or -1.
long peerUid(qintptr descriptor)
{
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (descriptor < 0 ||
        getsockopt(int(descriptor), SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0)
        return -1;
    return long(credentials.uid);
}

// A folder only this user can enter, as the runtime folder must be (XDG base directories).
bool isPrivateFolder(const QByteArray& path, uint uid)
{
    struct stat info {};
    return !path.isEmpty() && path.startsWith('/') && ::stat(path.constData(), &info) == 0 &&
           S_ISDIR(info.st_mode) && info.st_uid == uid && (info.st_mode & 077) == 0;
}

} // namespace

SingleInstance::SingleInstance(QString name, QObject* parent)
    : QObject(parent), m_name(std::move(name))
{
}

SingleInstance::~SingleInstance() = default;

QString SingleInstance::nameFor(const QByteArray& runtimeDir, const QByteArray& display, uint uid)
{
    // One copy per display session: ":0" and "wayland-0" each get their own.
    QString session;
    for (const char c : display)
        session += QChar::fromLatin1(std::isalnum(static_cast<unsigned char>(c)) ? c : '_');
    if (session.isEmpty())
        session = QStringLiteral("nodisplay");
    if (isPrivateFolder(runtimeDir, uid))
        return QFile::decodeName(runtimeDir) + QStringLiteral("/velmoravovir-") + session +
               QStringLiteral(".socket");
    return QStringLiteral("velmoravovir-%1-%2").arg(uid).arg(session);
}

QString SingleInstance::defaultName()
{
    const QByteArray wayland = qgetenv("WAYLAND_DISPLAY");
    return nameFor(qgetenv("XDG_RUNTIME_DIR"), wayland.isEmpty() ? qgetenv("DISPLAY") : wayland,
                   ::getuid());
}

SingleInstance::HandOver SingleInstance::handOverToRunningInstance(int timeoutMs)
{
    QLocalSocket socket;
    socket.connectToServer(m_name);
    if (!socket.waitForConnected(timeoutMs))
        return HandOver::NoneRunning;
    if (peerUid(socket.socketDescriptor()) != long(::getuid()))
        return HandOver::Foreign;
    // The compositor lets the window that brings this token come forward (Wayland's
    // xdg-activation): it belongs to this launch, so the running copy needs it.
    const QByteArray token = qgetenv("XDG_ACTIVATION_TOKEN");
    socket.write(kShowRequest + (isToken(token) ? ' ' + token : QByteArray()) + '\n');
    // The answer tells that the running copy really read the request.
    if (!socket.waitForBytesWritten(timeoutMs) || !socket.waitForReadyRead(timeoutMs))
        return HandOver::Unresponsive;
    return socket.readAll().startsWith("ok") ? HandOver::Done : HandOver::Unresponsive;
}

bool SingleInstance::listen()
{
    // Replace only a socket that nobody listens on any more (left by a crash): a copy that
    // holds it but is paused must keep it, or two copies would run. Asked first, because Qt
    // puts a new socket in place by renaming it over whatever is there.
    {
        QLocalSocket probe;
        probe.connectToServer(m_name);
        if (probe.waitForConnected(500))
            return false;
    }
    QLocalServer::removeServer(m_name);
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(m_name))
        return false;
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* client = m_server->nextPendingConnection()) {
            connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
            // Another user may reach a socket in /tmp; it is not obeyed.
            if (peerUid(client->socketDescriptor()) != long(::getuid())) {
                client->abort();
                continue;
            }
            connect(client, &QLocalSocket::readyRead, this, [this, client] {
                const QByteArray request = client->readAll().trimmed();
                if (!request.startsWith(kShowRequest))
                    return;
                const QByteArray token = request.mid(kShowRequest.size() + 1);
                client->write("ok\n");
                client->flush();
                emit activationRequested(isToken(token) ? QString::fromLatin1(token) : QString());
            });
        }
    });
    return true;
}
