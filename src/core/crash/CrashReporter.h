#pragma once

#include <QByteArray>
#include <QString>

#include <functional>
#include <optional>

// Records why the application died and reports it to the maker on the next launch, together
// with the system's own crash reports for this application.
namespace CrashReporter {

struct Paths {
    QString pendingFile;         // our own report, replaced by each capture
    QString systemReportsFolder; // where the system's crash handler writes (apport: /var/crash)
};
Paths defaultPaths();

// Uploads what earlier runs left (the pending file, then new system reports), then installs the
// handlers for uncaught exceptions and fatal signals.
void install();
void install(const Paths& paths);

// Uploads a non-fatal error with the current call stack.
void reportError(const QString& message);

// What the run was, written with a crash: session type, desktop, Qt version and display mode
// ("panel", "window" or "terminal"), nothing personal; set again when the mode changes.
void setRunContext(const QString& context);
QString runContext(const QString& mode);

// The pending file's text split into the message, the stack, the frames' builds and offsets
// ("BUILD-ID 0xOFFSET MODULE[ pc]" lines) and the run's context ("key=value" lines).
struct PendingReport {
    QString message;
    QString stack;
    QString frames;
    QString context;
};
PendingReport splitPendingReport(const QString& text);

inline constexpr int kMaxCapturedFrames = 30;
inline constexpr int kMaxErrorFrames = 15;
inline constexpr int kMaxSystemReportChars = 18000;

// Internal steps, in the order install() runs them.
// Keeps the pending file until the service has answered 2xx, for at most
// kMaxPendingAttempts launches; done (optional) learns whether it went through.
void sendPendingCrash(const QString& pendingFile, std::function<void(bool)> done = {});
void sendSystemCrashReports(const QString& folder);
void installHandlers(const QString& pendingFile);
// done (optional) learns whether the service answered 2xx; without it, sent and forgotten.
void send(const QString& kind, const QString& message, const QString& stack,
          std::function<void(bool)> done = {}, const PendingReport* extra = nullptr);
// At most maxBytes of a regular file, never read through a symbolic link.
std::optional<QByteArray> readFileHead(const QString& path, qint64 maxBytes);

} // namespace CrashReporter
