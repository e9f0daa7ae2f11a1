#pragma once

#include "MailSettings.h"

#include <QString>

#include <atomic>

// One answer sent through the relay with libcurl: its SMTP, its TLS and its MIME. Blocking, at
// most kTimeoutMs: called from the mailer's own thread only.
class SmtpSender final {
public:
    static constexpr long kTimeoutMs = 60'000;

    struct Mail {
        QString to;
        QString text; // the maker's answer, as written
    };
    struct Outcome {
        bool sent = false;
        bool permanent = false; // the relay refused it for good (5xx): trying again is useless
        QString why;            // in French, for the console
    };

    explicit SmtpSender(MailSettings settings);
    // stop, when given and set meanwhile, ends the transfer at once (the service stopping).
    Outcome send(const Mail& mail, const std::atomic<bool>* stop = nullptr) const;

    // What the user reads: a greeting, the answer, the signature, and where to answer.
    QString bodyOf(const QString& text) const;

private:
    MailSettings m_settings;
};
