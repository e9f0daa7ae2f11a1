// Fire-and-forget uploads of crash and error reports to the maker's service.
#include "CrashReporter.h"

#include "io/BoundedRead.h"
#include "service/AppInfo.h"
#include "service/ServiceContract.h"
#include "service/ServiceExchange.h"
#include "service/SharedNetwork.h"
#include "settings/UserDefaults.h"
#include "settings/VovirSettings.h"

#include <QFile>
#include <QNetworkAccessManager>
#include <QStringDecoder>

#include <cstdlib>
#include <execinfo.h>
#include <unistd.h>

namespace CrashReporter {
namespace {

// A pending report is a message and at most 30 frames; more than this is not ours to send.
constexpr qint64 kMaxPendingBytes = 256 * 1024;
constexpr int kUploadDeadlineMs = 8000;
const QString kSeparator = QStringLiteral("\n---\n");

} // namespace

std::optional<QByteArray> readFileHead(const QString& path, qint64 maxBytes)
{
    const BoundedRead::Result result =
        BoundedRead::read(path, maxBytes, BoundedRead::Links::Refuse);
    if (result.status != BoundedRead::Status::Ok && result.status != BoundedRead::Status::TooLarge)
        return std::nullopt;
    return result.content;
}

void send(const QString& kind, const QString& message, const QString& stack)
{
    // Only read here: the device identifier is created by the message side.
    QString device = VovirSettings::store().stringValue(QStringLiteral("VSDeviceId"));
    if (device.isEmpty())
        device = QStringLiteral("?");
    const ServiceContract::CrashRequest body{
        device, kind, message, stack, AppInfo::version(), AppInfo::systemDescription()};
    // Fire and forget: the answer is not read.
    ServiceExchange::post(ServiceContract::kCrashPath, ServiceContract::toJson(body),
                          kUploadDeadlineMs, &SharedNetwork::manager(), {});
}

PendingReport splitPendingReport(const QString& text)
{
    const QStringList pieces = text.split(kSeparator);
    return {pieces.value(0), pieces.value(1)};
}

void sendPendingCrash(const QString& pendingFile)
{
    const std::optional<QByteArray> bytes = readFileHead(pendingFile, kMaxPendingBytes);
    if (!bytes)
        return;
    QStringDecoder utf8(QStringDecoder::Utf8);
    const QString text = utf8.decode(*bytes);
    if (utf8.hasError())
        return;
    // Deleted before sending: a report is sent at most once, even when the upload fails.
    QFile::remove(pendingFile);
    const PendingReport report = splitPendingReport(text);
    send(QStringLiteral("crash"), report.message, report.stack);
}

void reportError(const QString& message)
{
    void* frames[kMaxErrorFrames];
    const int count = backtrace(frames, kMaxErrorFrames);
    QStringList lines;
    if (char** symbols = backtrace_symbols(frames, count)) {
        for (int i = 0; i < count; ++i)
            lines << QString::fromLocal8Bit(symbols[i]);
        std::free(symbols);
    }
    send(QStringLiteral("error"), message, lines.join(QLatin1Char('\n')));
}

} // namespace CrashReporter
