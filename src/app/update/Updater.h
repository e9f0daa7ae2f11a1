#pragma once

#include "app/desktop/AlertPresenter.h"

#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QUrl>
#include <QVersionNumber>

#include <optional>

struct UpdateCheckResult {
    enum class Outcome { NewerAvailable, UpToDate, Failed };
    Outcome outcome = Outcome::Failed;
    QString version;   // the newest version offered
    QUrl downloadPage; // where the user gets it (HTTPS, or HTTP on the feed's origin)
    QString error;     // why the check failed, in English, for logs
};
Q_DECLARE_METATYPE(UpdateCheckResult)

// Checks the maker's update feed (an appcast) and tells the user when a newer version exists.
// It never downloads or installs anything itself.
class Updater final : public QObject {
    Q_OBJECT
public:
    // The feed: the compiled-in address, or VELMORA_UPDATE_FEED_URL when set.
    explicit Updater(QUrl feed = defaultFeed(), QString currentVersion = {},
                     QObject* parent = nullptr);

    static QUrl defaultFeed();

    bool automaticallyChecksForUpdates() const;
    void setAutomaticallyChecksForUpdates(bool on);
    bool automaticallyDownloadsUpdates() const;
    void setAutomaticallyDownloadsUpdates(bool on);

    // Schedules automatic checks every interval while they are switched on.
    void setUpdateCheckInterval(int seconds);
    int updateCheckInterval() const { return m_intervalSeconds; }

    void checkForUpdates(bool userInitiated);
    void setTimeoutMs(int ms) { m_timeoutMs = ms; }

    // feed: where it was read, whose origin a plain-HTTP page must share.
    static UpdateCheckResult parseFeed(const QByteArray& xml, const QString& currentVersion,
                                       const QUrl& feed);
    // Numeric, component by component: negative, zero or positive; nullopt when unparsable.
    static std::optional<int> compareVersions(const QString& a, const QString& b);
    static std::optional<QVersionNumber> parseVersion(const QString& text);
    // What to tell the user; nothing for an automatic check that found nothing new.
    static std::optional<Alert> alertFor(const UpdateCheckResult& result, bool userInitiated);

    static constexpr qint64 kMaxFeedBytes = 1024 * 1024;
    static constexpr int kTimeoutMs = 15000;

signals:
    void checkStarted();
    void checkFinished(const UpdateCheckResult& result, bool userInitiated);

private:
    void scheduleNextCheck();
    void finish(const UpdateCheckResult& result);

    QUrl m_feed;
    QString m_currentVersion;
    int m_intervalSeconds = 0;
    QTimer m_schedule;
    QPointer<QNetworkReply> m_reply;
    bool m_userInitiated = false;
    int m_timeoutMs = kTimeoutMs;
};
