// Forwards the crash reports that the system's crash handler wrote for this application, each
// once: a watermark date in the store remembers the newest report sent.
#include "CrashReporter.h"

#include "settings/UserDefaults.h"
#include "settings/VovirSettings.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStringDecoder>

#include <unistd.h>

namespace CrashReporter {

namespace {

const QString kWatermarkKey = QStringLiteral("VSLastCrashScan");
// Enough for the cause line of any report; an apport report's core dump comes much later.
constexpr qint64 kMaxScannedBytes = 256 * 1024;

QDateTime distantPast()
{
    return QDateTime(QDate(1, 1, 1), QTime(0, 0), Qt::UTC);
}

// apport names a report after the executable's path with "/" as "_", the user id and ".crash":
// /usr/bin/velmoravovir -> _usr_bin_velmoravovir.1000.crash. The window runs as the program
// velmoravovir-desktop, whose reports are ours too. The names other systems give
// ("VelmoraVovir...ips") are kept for reports copied from them.
bool isOurReport(const QString& name, bool& isApport)
{
    const QString uid = QString::number(::getuid());
    isApport = name.startsWith(QLatin1Char('_')) &&
               (name.endsWith(QStringLiteral("_velmoravovir.%1.crash").arg(uid)) ||
                name.endsWith(QStringLiteral("_velmoravovir-desktop.%1.crash").arg(uid)));
    if (isApport)
        return true;
    return (name.startsWith(QLatin1String("VelmoraVovir")) ||
            name.startsWith(QLatin1String("Velmora Vovir"))) &&
           (name.endsWith(QLatin1String(".ips")) || name.endsWith(QLatin1String(".crash")));
}

QString causeLine(const QString& text, bool isApport)
{
    for (const QStringView line : QStringView(text).split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        if (line.contains(QLatin1String("Exception")) ||
            line.contains(QLatin1String("Termination")))
            return line.toString();
        if (isApport && line.startsWith(QLatin1String("Signal:")))
            return line.toString();
    }
    return isApport ? QStringLiteral("Rapport système Linux")
                    : QStringLiteral("Rapport système macOS");
}

} // namespace

void sendSystemCrashReports(const QString& folder)
{
    const QDir dir(folder);
    if (folder.isEmpty() || !dir.exists() || !dir.isReadable())
        return; // watermark untouched
    UserDefaults& store = VovirSettings::store();
    const QDateTime stored = store.dateValue(kWatermarkKey);
    const QDateTime last = stored.isValid() ? stored : distantPast();
    QDateTime newest = last;
    // A report dated in the future would carry the watermark there and hide every later one.
    const QDateTime now = QDateTime::currentDateTimeUtc();
    // Links are listed as what they are and never followed.
    const QFileInfoList entries =
        dir.entryInfoList(QDir::Files | QDir::System | QDir::Hidden | QDir::NoSymLinks);
    for (const QFileInfo& entry : entries) {
        bool isApport = false;
        if (entry.isSymLink() || !isOurReport(entry.fileName(), isApport))
            continue;
        QDateTime modified = entry.lastModified().toUTC();
        if (!modified.isValid())
            modified = distantPast();
        if (modified <= last || modified > now)
            continue;
        const std::optional<QByteArray> head = readFileHead(entry.filePath(), kMaxScannedBytes);
        if (!head)
            continue;
        QStringDecoder utf8(QStringDecoder::Utf8);
        QString text = utf8.decode(*head);
        // A cut in the middle of a character at the end of what was read is not an error.
        if (utf8.hasError() && head->size() < kMaxScannedBytes)
            continue;
        send(QStringLiteral("crash"), causeLine(text, isApport), text.left(kMaxSystemReportChars));
        if (modified > newest)
            newest = modified;
    }
    store.setDate(kWatermarkKey, newest);
}

} // namespace CrashReporter
