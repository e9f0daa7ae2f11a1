#pragma once

#include "StoreCall.h"
#include "TrustedProxies.h"
#include "service/ServiceContract.h"
#include "store/Store.h"

#include <QHttpServer>
#include <QHttpServerResponder>
#include <QJsonObject>
#include <QTimer>

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
    static constexpr qsizetype kMaxReportText = ServiceContract::kMaxReportText;
    static constexpr qsizetype kMaxCrashText = 200000;
    // A person writes a few reports an hour; a crash loop sends one per launch. Per device:
    // 10 reports at once, then one a minute; 20 crashes at once, then one every 30 s. Per
    // address, since a device id is whatever the client says: three times as many at once,
    // refilled three times as fast (several devices behind one address).
    static constexpr Store::Limit kReportsPerDevice{10, 60 * 1000};
    static constexpr Store::Limit kReportsPerAddress{30, 20 * 1000};
    static constexpr Store::Limit kCrashesPerDevice{20, 30 * 1000};
    static constexpr Store::Limit kCrashesPerAddress{60, 10 * 1000};
    // A bucket unused this long is full again and is forgotten.
    static constexpr qint64 kLimitIdleMs = 3600 * 1000;

    // The body limit of one of the three paths, nothing for any other.
    static std::optional<qint64> bodyLimit(const QByteArray& path);

    // notifier: told of new reports and crash groups, when given; proxies: whose
    // X-Forwarded-For names the client.
    ServiceRoutes(QHttpServer& server, StorePool& stores, Notifier* notifier = nullptr,
                  TrustedProxies proxies = {});

private:
    using Responder = QHttpServerResponder;
    void sync(const QHttpServerRequest& request, Responder&& responder);
    void report(const QHttpServerRequest& request, Responder&& responder);
    void crash(const QHttpServerRequest& request, Responder&& responder);
    // Runs work on a database connection and answers it (503: see StoreCall).
    void withStore(Responder&& responder,
                   std::function<std::optional<StoreCall::Answer>(Store&)> work);

    // Which buckets a request takes from, in the database all instances share.
    struct Limits {
        QString what; // "report", "crash"
        Store::Limit perAddress;
        QString device;
        Store::Limit perDevice;
    };
    // Runs work for a request within its client address's limit and its device's; 429 beyond.
    void withinLimits(const QHttpServerRequest& request, Responder&& responder,
                      const Limits& limits,
                      std::function<std::optional<StoreCall::Answer>(Store&)> work);

    StorePool& m_stores;
    Notifier* m_notifier;
    TrustedProxies m_proxies;
    QTimer m_forgetLimits;
};
