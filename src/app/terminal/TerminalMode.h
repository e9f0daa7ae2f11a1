#pragma once

#include "format/StatusTemplate.h"
#include "model/VovirDetails.h"
#include "model/VovirSnapshot.h"

#include <QByteArray>
#include <QObject>

#include <cstdio>

class AlertCenter;
class VovirEngine;
class QSocketNotifier;

// Prints the panel line (or the raw figures as JSON) for terminals and status bars.
class TerminalMode final : public QObject {
    Q_OBJECT
public:
    enum class Repeat { Once, Watch };
    TerminalMode(VovirEngine& engine, Repeat repeat, bool json, FILE* out = stdout);
    ~TerminalMode() override;

    // A line of the user's own instead of the panel line.
    void setTemplate(const StatusTemplate& format) { m_template = format; }

    // The user's alerts, followed while --watch runs.
    AlertCenter* alerts() const { return m_alerts; }

    // Runs until one line is printed (Once) or SIGINT/SIGTERM arrives (Watch); the exit code.
    int run();

    // One output line, without its line feed; empty when no metric is selected. The JSON line
    // holds the details too when they were read.
    static QByteArray lineFor(const VovirSnapshot& snapshot, bool json,
                              const VovirDetails* details = nullptr);

private:
    void print(const VovirSnapshot& snapshot);
    // True when the settings file was replaced or changed since the last look.
    bool settingsFileChanged();
    void installSignalHandlers();

    VovirEngine& m_engine;
    Repeat m_repeat;
    bool m_json;
    std::optional<StatusTemplate> m_template;
    FILE* m_out;
    QSocketNotifier* m_signalNotifier = nullptr;
    AlertCenter* m_alerts = nullptr;
    int m_exitCode = 0;
    struct FileStamp {
        quint64 inode = 0;
        qint64 size = -1; // no file
        qint64 seconds = 0;
        qint64 nanoseconds = 0;
        bool operator==(const FileStamp&) const = default;
    };
    QByteArray m_settingsPath;
    FileStamp m_settingsStamp;
};
