#include "TrustedProxies.h"

#include <QHttpServerRequest>
#include <QRegularExpression>

std::optional<TrustedProxies> TrustedProxies::parse(const QString& text, QString* error)
{
    TrustedProxies proxies;
    static const QRegularExpression separators(QStringLiteral("[,\\s]+"));
    for (const QString& item : text.split(separators, Qt::SkipEmptyParts)) {
        QPair<QHostAddress, int> network = QHostAddress::parseSubnet(item);
        if (!item.contains(QLatin1Char('/'))) { // one address
            const QHostAddress address(item);
            network = {address, address.protocol() == QAbstractSocket::IPv6Protocol ? 128 : 32};
        }
        if (network.first.isNull()) {
            *error = QStringLiteral("trusted-proxies: \"%1\" is not an address or ADDRESS/BITS")
                         .arg(item);
            return std::nullopt;
        }
        proxies.m_networks << network;
    }
    return proxies;
}

bool TrustedProxies::trusts(const QHostAddress& address) const
{
    // An IPv4 peer of a dual-stack socket comes as ::ffff:a.b.c.d.
    bool v4 = false;
    const quint32 ipv4 = address.toIPv4Address(&v4);
    const QHostAddress plain = v4 ? QHostAddress(ipv4) : address;
    for (const auto& network : m_networks)
        if (plain.isInSubnet(network))
            return true;
    return false;
}

QHostAddress TrustedProxies::clientOf(const QHttpServerRequest& request) const
{
    QHostAddress client = request.remoteAddress();
    if (m_networks.isEmpty() || !trusts(client))
        return client;
    // Every X-Forwarded-For field, in order, as one list.
    QList<QByteArray> hops;
    for (const auto& [name, value] : request.headers())
        if (name.compare("X-Forwarded-For", Qt::CaseInsensitive) == 0)
            hops += value.split(',');
    while (!hops.isEmpty()) {
        const QHostAddress hop(QString::fromLatin1(hops.takeLast().trimmed()));
        if (hop.isNull())
            break; // nothing past a hop that cannot be read is believed
        client = hop;
        if (!trusts(hop))
            break;
    }
    return client;
}
