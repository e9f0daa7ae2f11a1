#pragma once

#include <QHostAddress>
#include <QList>
#include <QString>

#include <optional>

class QHttpServerRequest;

// The reverse proxies in front of the service (trusted-proxies): only their X-Forwarded-For is
// believed. Behind nginx or an SSH tunnel every client comes from 127.0.0.1; limits per client
// address must count the address the proxy saw, and nobody else may name one.
class TrustedProxies final {
public:
    TrustedProxies() = default;
    // Addresses or networks (ADDRESS/BITS) separated by commas or spaces; nothing, with why in
    // *error, when one cannot be read.
    static std::optional<TrustedProxies> parse(const QString& text, QString* error);

    // The client's address: the peer's, or, when the peer is a trusted proxy, the nearest
    // address in X-Forwarded-For that is not one (what a client wrote there itself comes
    // before what its proxies added, and is never reached).
    QHostAddress clientOf(const QHttpServerRequest& request) const;
    bool isEmpty() const { return m_networks.isEmpty(); }

private:
    bool trusts(const QHostAddress& address) const;
    QList<QPair<QHostAddress, int>> m_networks;
};
