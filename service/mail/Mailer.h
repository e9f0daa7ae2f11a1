#pragma once

#include "SmtpSender.h"

#include <QThread>

#include <memory>
#include <optional>

class Store;

// Sends the answers queued for e-mail, from a thread of its own with a database connection of
// its own: the HTTP threads only write a row. Every instance behind a load balancer runs one;
// a mail is held by one instance while it sends it, so it goes once. A try that fails is made
// again later and later; after kMostTries, or a refusal for good, the mail is marked failed,
// with why, for the console to show.
class Mailer final {
public:
    static constexpr int kPollMs = 5000;
    static constexpr int kMostTries = 8;
    // Longer than one send can take: a mail held by an instance that died goes again.
    static constexpr qint64 kHoldMs = 2 * SmtpSender::kTimeoutMs;

    // The pause before try number tries + 1: a minute, doubled at each try, an hour at most.
    static qint64 retryDelayMs(int tries);

    Mailer(QString databaseUrl, QString password, MailSettings settings);
    ~Mailer();
    Mailer(const Mailer&) = delete;
    Mailer& operator=(const Mailer&) = delete;

    // From any thread: a mail was just queued, send it now rather than at the next poll.
    void wake();

private:
    void sendDue();

    QString m_url;
    QString m_password;
    SmtpSender m_sender;
    std::atomic<bool> m_stopping{false};
    QThread m_thread;
    QObject* m_worker = nullptr; // lives in m_thread
    std::unique_ptr<Store> m_store;
};
