#include "SharedNetwork.h"

#include <QNetworkAccessManager>
#include <QUrl>

namespace SharedNetwork {

QNetworkAccessManager& manager()
{
    static QNetworkAccessManager* session = [] {
        auto* nam = new QNetworkAccessManager;
        // Plain-text redirects to another scheme are refused; only http(s) is ever used.
        nam->setRedirectPolicy(QNetworkRequest::NoLessSafeRedirectPolicy);
        return nam;
    }();
    return *session;
}

} // namespace SharedNetwork

bool SharedNetwork::sameOrigin(const QUrl& a, const QUrl& b)
{
    auto port = [](const QUrl& url) {
        return url.port(
            url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0 ? 443 : 80);
    };
    return a.scheme().compare(b.scheme(), Qt::CaseInsensitive) == 0 &&
           a.host().compare(b.host(), Qt::CaseInsensitive) == 0 && port(a) == port(b);
}
