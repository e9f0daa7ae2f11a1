#include "SharedNetwork.h"

#include <QNetworkAccessManager>

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
