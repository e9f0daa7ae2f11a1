#pragma once

#include <QByteArray>
#include <QString>

// The console's passwords, kept only as Argon2id hashes (libsodium's text form, which carries
// its own salt and cost).
namespace Passwords {

// At least this long: the hash slows guessing, it cannot make a short password strong.
constexpr qsizetype kMinLength = 10;
constexpr qsizetype kMaxLength = 1024;

// The hash, or empty when it cannot be made (libsodium unusable, memory).
QString hash(const QByteArray& password);
// Whether password is the one hashed. An empty hash matches nothing, in as long as a real one
// takes, so that a wrong account name cannot be told from a wrong password by the time taken.
bool matches(const QString& hashed, const QByteArray& password);
// A random token of `bytes` bytes, in base64url.
QByteArray randomToken(int bytes);
// Compares two tokens in a time that does not depend on where they differ.
bool sameToken(const QByteArray& a, const QByteArray& b);

} // namespace Passwords
