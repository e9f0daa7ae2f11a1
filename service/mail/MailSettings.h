#pragma once

#include <QString>
#include <QUrl>

#include <optional>

// How the service sends the maker's answers by e-mail: through one SMTP relay, over TLS only.
struct MailSettings {
    // smtps://HOST[:PORT] (TLS from the first byte) or smtp://HOST[:PORT] (STARTTLS, required).
    QUrl relay;
    QString user; // from the credentials file; both empty: the relay needs no sign-in
    QString password;
    QString caFile;  // the relay's certificate authority, when not one of the system's
    QString from;    // the sender's address
    QString replyTo; // where the user's answers go; empty: the sender's
    QString signature = QStringLiteral("L'équipe de VelmoraVovir");

    bool enabled() const { return !relay.isEmpty(); }

    // What is wrong with these settings, in English, for the command line; nothing when they
    // can send. The address problems are the same as addressProblem()'s.
    std::optional<QString> problem() const;
    // Reads the relay's user (first line) and password (second line) from file.
    bool readCredentials(const QString& file, QString* error);
};

// Why an address cannot be written into a mail header, in French for the console; nothing when
// it can. A line break would let a text add headers of its own: refused, never cleaned.
std::optional<QString> addressProblem(const QString& address);
