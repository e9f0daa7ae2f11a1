#pragma once

#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QObject>
#include <QQueue>
#include <QUrl>

#include <optional>

// Tells the maker about new reports, new crash groups and regressions by posting a small JSON (its
// "text" member is what chat webhooks show) to one address. The service never waits for it: posts
// go out one at a time, a queue over kMaxQueued drops the newest, a receiver that does not answer
// within kTimeoutMs is given up; every loss is said on stderr.
class Notifier final : public QObject {
    Q_OBJECT
public:
    static constexpr qsizetype kMaxQueued = 100;
    static constexpr int kTimeoutMs = 5000;

    // Why the address cannot be used (anything but HTTPS, or HTTP to this machine), or nothing.
    static std::optional<QString> problemWith(const QUrl& url);

    explicit Notifier(QUrl url, QObject* parent = nullptr);

    // From any thread.
    void newReport(const QString& device);
    void newCrashGroup(const QString& signature);
    // A group the maker resolved crashed again in a later version.
    void crashRegression(const QString& signature, const QString& title, const QString& version);

private:
    void post(const QJsonObject& event);
    void sendNext();

    QUrl m_url;
    QNetworkAccessManager m_network;
    QQueue<QByteArray> m_queue;
    bool m_sending = false;
};
