// Fire-and-forget uploads of crash and error reports to the maker's service.
#include "CrashReporter.h"

#include "io/BoundedRead.h"
#include "service/AppInfo.h"
#include "service/ServiceContract.h"
#include "service/ServiceExchange.h"
#include "service/SharedNetwork.h"
#include "settings/UserDefaults.h"
#include "settings/VovirSettings.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
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
// Which pending report was tried how often ("report": digest, "tries", "sent").
const QString kAttemptKey = QStringLiteral("VSCrashUpload");
// Launches that try one report before it is given up: a report the service always refuses
// must not be sent forever.
constexpr qint64 kMaxPendingAttempts = 5;

// One pending report: two crashes at one place write the same text, the file's time tells them
// apart.
QString pendingIdentity(const QString& path, const QByteArray& bytes)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(bytes);
    hash.addData(QByteArray::number(QFileInfo(path).lastModified().toMSecsSinceEpoch()));
    return QString::fromLatin1(hash.result().toHex().left(32));
}

} // namespace

std::optional<QByteArray> readFileHead(const QString& path, qint64 maxBytes)
{
    const BoundedRead::Result result =
        BoundedRead::read(path, maxBytes, BoundedRead::Links::Refuse);
    if (result.status != BoundedRead::Status::Ok && result.status != BoundedRead::Status::TooLarge)
        return std::nullopt;
    return result.content;
}

QString runContext(const QString& mode)
{
    const QString session = qEnvironmentVariable("XDG_SESSION_TYPE");
    return QStringLiteral("session=%1\ndesktop=%2\nqt=%3\nmode=%4\n")
        .arg(!session.isEmpty()                             ? session
             : qEnvironmentVariableIsSet("WAYLAND_DISPLAY") ? QStringLiteral("wayland")
             : qEnvironmentVariableIsSet("DISPLAY")         ? QStringLiteral("x11")
                                                            : QStringLiteral("tty"),
             qEnvironmentVariable("XDG_CURRENT_DESKTOP"), QString::fromLatin1(qVersion()), mode);
}

void send(const QString& kind, const QString& message, const QString& stack,
          std::function<void(bool)> done, const PendingReport* extra)
{
    // Only read here: the device identifier is created by the message side.
    QString device = VovirSettings::store().stringValue(QStringLiteral("VSDeviceId"));
    if (device.isEmpty())
        device = QStringLiteral("?");
    ServiceContract::CrashRequest body{
        device, kind, message, stack, AppInfo::version(), AppInfo::systemDescription(), {}, {}, {}};
    if (extra) {
        body.frames = ServiceContract::framesFrom(extra->frames);
        body.context = ServiceContract::contextFrom(extra->context);
    }
    std::function<void(std::optional<ServiceExchange::Answer>)> answered;
    if (done)
        answered = [done](std::optional<ServiceExchange::Answer> answer) {
            done(answer && answer->status >= 200 && answer->status < 300);
        };
    ServiceExchange::post(ServiceContract::kCrashPath, ServiceContract::toJson(body),
                          kUploadDeadlineMs, &SharedNetwork::manager(), std::move(answered));
}

PendingReport splitPendingReport(const QString& text)
{
    // After the stack, the frames' lines and a line "---" before the context.
    const QStringList pieces = text.split(kSeparator);
    const QString rest = pieces.mid(2).join(kSeparator);
    const qsizetype line = rest.startsWith(QLatin1String("---\n")) ? -1 : rest.indexOf(kSeparator);
    const qsizetype end = rest.startsWith(QLatin1String("---\n")) ? 0 : line < 0 ? -1 : line + 1;
    return {pieces.value(0), pieces.value(1), end < 0 ? rest : rest.left(end),
            end < 0 ? QString() : rest.mid(end + 4)};
}

void sendPendingCrash(const QString& pendingFile, std::function<void(bool)> done)
{
    auto finish = [&done](bool sent) {
        if (done)
            done(sent);
    };
    const std::optional<QByteArray> bytes = readFileHead(pendingFile, kMaxPendingBytes);
    if (!bytes)
        return finish(false);
    QStringDecoder utf8(QStringDecoder::Utf8);
    const QString text = utf8.decode(*bytes);
    if (utf8.hasError())
        return finish(false);
    // The file stays until the service has it: a launch without network must not lose it. The
    // store remembers which report was tried how often, and which one went through.
    UserDefaults& store = VovirSettings::store();
    const QString digest = pendingIdentity(pendingFile, *bytes);
    QVariantMap attempt = store.object(kAttemptKey).toMap();
    if (attempt.value(QStringLiteral("report")).toString() != digest)
        attempt = {{QStringLiteral("report"), digest}, {QStringLiteral("tries"), 0}};
    const qint64 tries = attempt.value(QStringLiteral("tries")).toLongLong();
    if (attempt.value(QStringLiteral("sent")).toBool() || tries >= kMaxPendingAttempts) {
        // Sent already (the file could not be removed then), or refused for good.
        QFile::remove(pendingFile);
        return finish(false);
    }
    attempt.insert(QStringLiteral("tries"), tries + 1);
    store.setDictionary(kAttemptKey, attempt);
    const PendingReport report = splitPendingReport(text);
    send(
        QStringLiteral("crash"), report.message, report.stack,
        [pendingFile, attempt, digest, done](bool sent) mutable {
            if (sent) {
                attempt.insert(QStringLiteral("sent"), true);
                VovirSettings::store().setDictionary(kAttemptKey, attempt);
                // A crash of this very run may have replaced the file meanwhile: keep that one.
                const std::optional<QByteArray> now = readFileHead(pendingFile, kMaxPendingBytes);
                if (now && pendingIdentity(pendingFile, *now) == digest)
                    QFile::remove(pendingFile);
            }
            if (done)
                done(sent);
        },
        &report);
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
