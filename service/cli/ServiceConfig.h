#pragma once

#include "mail/MailSettings.h"

#include <QHash>
#include <QString>

#include <optional>

// The administrator's settings, /etc/velmora-service/velmora-service.conf: one "key = value" a
// line, "#" comments. Options on the command line win over the file.
struct ServiceConfig {
    static constexpr const char* kDefaultPath = "/etc/velmora-service/velmora-service.conf";

    QString listen;                // serve: ADDRESS:PORT
    QString database;              // sqlite:PATH or postgresql://…
    QString databasePasswordFile;  // PostgreSQL's password, kept out of the process list
    QString consoleListen;         // the maker's console: ADDRESS:PORT
    bool consoleBehindTls = false; // the console is reached over HTTPS only
    QString consoleOrigin;         // the console's public address, behind a reverse proxy
    QString trustedProxies;        // addresses whose X-Forwarded-For is believed
    QString notifyUrl;             // where new reports and crash groups are told
    int retentionDays = 0;         // reports and crashes older than this are erased; 0: kept
    // Answers by e-mail: the relay, its sign-in and certificate authority, the sender, where
    // answers go, and the signature.
    QString smtpUrl;
    QString smtpCredentialsFile;
    QString smtpCaFile;
    QString mailFrom;
    QString replyTo;
    QString mailSignature;

    // The e-mail settings, their credentials read; not enabled without smtp-url; nothing (and
    // *error) when they cannot send.
    std::optional<MailSettings> mail(QString* error) const;

    // Where a key's value was read ("FILE, line N: key"), for errors about that value.
    QString where(const QString& key) const;

    // The file at path; an absent default file is an empty configuration, anything else
    // unreadable or malformed is an error (said in *error).
    static std::optional<ServiceConfig> read(const QString& path, bool explicitlyGiven,
                                             QString* error);

private:
    QString m_path;
    QHash<QString, int> m_lines;
};
