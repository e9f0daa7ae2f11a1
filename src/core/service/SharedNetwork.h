#pragma once

class QNetworkAccessManager;

// The one network session of the process, living on the main thread.
namespace SharedNetwork {
QNetworkAccessManager& manager();
} // namespace SharedNetwork
