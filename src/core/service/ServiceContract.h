#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>

#include <optional>

// The JSON exchanged between the application and its maker's service, in one place that both
// sides include: paths, members, and the strict reading of each body.
namespace ServiceContract {

inline const QString kSyncPath = QStringLiteral("/api/sync.php");
inline const QString kReportPath = QStringLiteral("/api/report.php");
inline const QString kCrashPath = QStringLiteral("/api/crash.php");
// The longest report or reply text the service takes, in UTF-16 units (QString::size()).
inline constexpr qsizetype kMaxReportText = 20000;

struct SyncRequest {
    QString device;
    QString version;
    QString os;
    std::optional<qint64> ack; // "m": the maker message shown last, only when above 0
};

struct SyncAnswer {
    qint64 mid = 0; // 0 or less: nothing offered
    QString msg;
};

struct ReportRequest {
    QString device;
    QString version;
    QString os;
    QString text;
    std::optional<QString> email; // only when given and not empty
    bool reply = false;           // "reply": true for an answer typed in the messages window
    QString request; // "r": the same for every try of one report, so a retry is stored once
};

struct CrashRequest {
    QString device;
    QString kind;
    QString message;
    QString stack;
    QString version;
    QString os;
    QString request; // "r", as in a report
    // Optional, ignored by services that do not know them: each frame's module build id and
    // offset ("frames": [{"build", "offset", "module", "pc"}]) and what the run was ("ctx":
    // {"session", "desktop", "qt", "mode"}).
    QJsonArray frames;
    QJsonObject context;
};
// At most this many frames and this long a field are read from a report.
inline constexpr int kMaxCrashFrames = 64;
inline constexpr int kMaxCrashFieldChars = 128;
// The pending file's frame lines ("BUILD-ID 0xOFFSET MODULE[ pc]") and context ("key=value"
// lines) as the request's members; what does not read as such is left out.
QJsonArray framesFrom(const QString& lines);
QJsonObject contextFrom(const QString& lines);

QJsonObject toJson(const SyncRequest& request);
QJsonObject toJson(const SyncAnswer& answer);
QJsonObject toJson(const ReportRequest& request);
QJsonObject toJson(const CrashRequest& request);

// The readings give nothing when a required member is missing or of another type. Integers
// must be whole JSON numbers: 7.5 or "7" are not message identifiers.
std::optional<SyncRequest> syncRequestFrom(const QByteArray& body);
std::optional<SyncAnswer> syncAnswerFrom(const QByteArray& body);
std::optional<ReportRequest> reportRequestFrom(const QByteArray& body);
std::optional<CrashRequest> crashRequestFrom(const QByteArray& body);
// The report answer's "ok" when the body is an object with a Boolean "ok".
std::optional<bool> reportAnswerFrom(const QByteArray& body);

// A JSON object's member read strictly as an integer.
std::optional<qint64> integerMember(const QJsonObject& object, const QString& key);

} // namespace ServiceContract
