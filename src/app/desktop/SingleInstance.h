#pragma once

#include <QObject>

class QLocalServer;

// One running copy per user: a second launch asks the first to show its window, then exits.
class SingleInstance final : public QObject {
    Q_OBJECT
public:
    // The name is per user; tests pass their own.
    explicit SingleInstance(QString name = defaultName(), QObject* parent = nullptr);
    ~SingleInstance() override;

    static QString defaultName();

    // True when another copy runs and took the request to show itself.
    bool handOverToRunningInstance(int timeoutMs = 1000);
    // Starts answering later launches; false when the name cannot be taken.
    bool listen();

signals:
    void activationRequested();

private:
    QString m_name;
    QLocalServer* m_server = nullptr;
};
