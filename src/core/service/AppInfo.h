#pragma once

#include <QString>
#include <QUrl>

namespace AppInfo {

// The version compiled in from the build, "?" when the build gave none.
QString version();

// The running system as the maker's service expects it: "Debian GNU/Linux 12".
QString systemDescription();
// The same from an os-release text and a kernel release, for systems without os-release too.
QString systemDescriptionFrom(const QByteArray& osRelease, const QString& kernelRelease);

// An address of the maker's service: the compiled-in base, or VELMORA_SERVICE_URL when set.
QUrl serviceUrl(const QString& path);

} // namespace AppInfo
