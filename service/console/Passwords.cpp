#include "Passwords.h"

#include <sodium.h>

namespace {

bool sodiumReady()
{
    static const bool ready = sodium_init() >= 0;
    return ready;
}

} // namespace

// Interactive cost: 64 MiB and a few tenths of a second at most on a small server.
QString Passwords::hash(const QByteArray& password)
{
    char out[crypto_pwhash_STRBYTES];
    if (!sodiumReady() || crypto_pwhash_str_alg(out, password.constData(), size_t(password.size()),
                                                crypto_pwhash_OPSLIMIT_INTERACTIVE,
                                                crypto_pwhash_MEMLIMIT_INTERACTIVE,
                                                crypto_pwhash_ALG_ARGON2ID13) != 0)
        return {};
    return QString::fromLatin1(out);
}

bool Passwords::matches(const QString& hashed, const QByteArray& password)
{
    // Checked against a hash of the same cost when the account does not exist.
    static const QString stand = hash(randomToken(16));
    const QByteArray text = (hashed.isEmpty() ? stand : hashed).toLatin1();
    const bool same = sodiumReady() && !text.isEmpty() &&
                      crypto_pwhash_str_verify(text.constData(), password.constData(),
                                               size_t(password.size())) == 0;
    return same && !hashed.isEmpty();
}

QByteArray Passwords::randomToken(int bytes)
{
    QByteArray raw(bytes, Qt::Uninitialized);
    if (!sodiumReady())
        qFatal("libsodium cannot start: no random tokens");
    randombytes_buf(raw.data(), size_t(raw.size()));
    return raw.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
}

bool Passwords::sameToken(const QByteArray& a, const QByteArray& b)
{
    return a.size() == b.size() && !a.isEmpty() &&
           sodium_memcmp(a.constData(), b.constData(), size_t(a.size())) == 0;
}
