#pragma once

#include <QObject>

class QLocalServer;

// One running copy per user and display session: a second launch asks the first to show its
// window, then exits. The socket lives in the user's private runtime folder; only a peer of the
// same user is ever believed or obeyed.
class SingleInstance final : public QObject {
    Q_OBJECT
public:
    enum class HandOver {
        Done,         // another copy runs and will show itself
        NoneRunning,  // nobody listens (or only a socket left by a crash)
        Unresponsive, // a copy holds the socket but does not answer (paused, busy)
        Foreign,      // the socket belongs to another user: neither believed nor taken over
    };

    // The socket's path (or name); tests pass their own.
    explicit SingleInstance(QString name = defaultName(), QObject* parent = nullptr);
    ~SingleInstance() override;

    // $XDG_RUNTIME_DIR/velmoravovir-<display>.socket, or a per-user name in /tmp when there is
    // no private runtime folder.
    static QString defaultName();
    static QString nameFor(const QByteArray& runtimeDir, const QByteArray& display, uint uid);

    HandOver handOverToRunningInstance(int timeoutMs = 1000);
    // Starts answering later launches; false when the name is held by a live copy or cannot be
    // taken. A socket nobody listens on (left by a crash) is replaced.
    bool listen();

signals:
    // token: the later launch's activation token (XDG_ACTIVATION_TOKEN), or empty.
    void activationRequested(const QString& token);

private:
    QString m_name;
    QLocalServer* m_server = nullptr;
};
