#pragma once

#include "RateLimiter.h"

#include <QHttpServer>
#include <QHttpServerResponder>
#include <QJsonObject>

#include <optional>

class Notifier;
class Store;
class StorePool;

// The three endpoints the application calls, with their limits and status codes.
class ServiceRoutes final {
public:
    // Bodies: a sync or a report is a few hundred bytes; a crash carries up to 30 frames.
    static constexpr qint64 kMaxSyncBytes = 64 * 1024;
    static constexpr qint64 kMaxReportBytes = 64 * 1024;
    static constexpr qint64 kMaxCrashBytes = 256 * 1024;
    // Members: an identifier, a version and a system name are short; a report is a few pages.
    static constexpr qsizetype kMaxShortText = 200;
    static constexpr qsizetype kMaxReportText = 20000;
    static constexpr qsizetype kMaxCrashText = 200000;
    // A person writes a few reports an hour; a crash loop sends one per launch.
    static constexpr int kReportBurst = 10;
    static constexpr qint64 kReportPeriodMs = 60 * 1000;
    static constexpr int kCrashBurst = 20;
    static constexpr qint64 kCrashPeriodMs = 30 * 1000;

    // The body limit of one of the three paths, nothing for any other.
    static std::optional<qint64> bodyLimit(const QByteArray& path);

    // notifier: told of new reports and crash groups, when given.
    ServiceRoutes(QHttpServer& server, StorePool& stores, Notifier* notifier = nullptr);

private:
    using Responder = QHttpServerResponder;
    void sync(const QHttpServerRequest& request, Responder&& responder);
    void report(const QHttpServerRequest& request, Responder&& responder);
    void crash(const QHttpServerRequest& request, Responder&& responder);
    // Runs work on a database connection and answers its body with 200 (503: see StoreCall).
    void withStore(Responder&& responder, std::function<std::optional<QJsonObject>(Store&)> work);

    StorePool& m_stores;
    Notifier* m_notifier;
    RateLimiter m_reports{kReportBurst, kReportPeriodMs};
    RateLimiter m_crashes{kCrashBurst, kCrashPeriodMs};
};
