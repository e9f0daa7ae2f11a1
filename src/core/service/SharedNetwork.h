#pragma once

class QNetworkAccessManager;
class QUrl;

// The one network session of the process, living on the main thread.
namespace SharedNetwork {
QNetworkAccessManager& manager();
// Same scheme, host and port (the scheme's default when none is given): whether a redirection
// stays with whoever answered first.
bool sameOrigin(const QUrl& a, const QUrl& b);
} // namespace SharedNetwork
