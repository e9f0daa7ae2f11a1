#include "TerminalMode.h"

#include "DetailsJson.h"
#include "app/alerts/AlertCenter.h"
#include "engine/VovirEngine.h"
#include "format/VovirFormat.h"
#include "settings/UserDefaults.h"
#include "settings/VovirSettings.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int g_signalPipe[2] = {-1, -1};

void onTerminationSignal(int)
{
    // Only an async-signal-safe write; the event loop does the rest.
    const char byte = 1;
    [[maybe_unused]] ssize_t n = ::write(g_signalPipe[1], &byte, 1);
}

} // namespace

TerminalMode::TerminalMode(VovirEngine& engine, Repeat repeat, bool json, FILE* out)
    : m_engine(engine), m_repeat(repeat), m_json(json), m_out(out)
{
    if (repeat == Repeat::Watch)
        m_alerts = new AlertCenter(nullptr, this);
}

TerminalMode::~TerminalMode()
{
    m_engine.onUpdate = nullptr;
}

QByteArray TerminalMode::lineFor(const VovirSnapshot& snapshot, bool json,
                                 const VovirDetails* details)
{
    if (!json)
        return VovirFormat::menuBarText(snapshot).value_or(QString()).toUtf8();
    QJsonObject object{
        {QStringLiteral("cpuPercent"), snapshot.cpuPercent},
        {QStringLiteral("memUsed"), qint64(snapshot.memUsed)},
        {QStringLiteral("memTotal"), qint64(snapshot.memTotal)},
        {QStringLiteral("downBps"), snapshot.downBps},
        {QStringLiteral("upBps"), snapshot.upBps},
        {QStringLiteral("battery"), QJsonValue::Null},
    };
    if (const auto& b = snapshot.battery) {
        object.insert(QStringLiteral("battery"),
                      QJsonObject{{QStringLiteral("percent"), qint64(b->percent)},
                                  {QStringLiteral("isCharging"), b->isCharging},
                                  {QStringLiteral("externalConnected"), b->externalConnected},
                                  {QStringLiteral("cycleCount"), qint64(b->cycleCount)}});
    }
    if (details)
        addDetailsJson(object, *details);
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

bool TerminalMode::settingsFileChanged()
{
    // One stat a tick, nothing allocated: the settings window replaces the file atomically, so
    // its inode, size or time changes with every save.
    struct stat info {};
    FileStamp stamp;
    if (::stat(m_settingsPath.constData(), &info) == 0)
        stamp = {info.st_ino, info.st_size, info.st_mtim.tv_sec, info.st_mtim.tv_nsec};
    if (stamp == m_settingsStamp)
        return false;
    m_settingsStamp = stamp;
    return true;
}

void TerminalMode::print(const VovirSnapshot& snapshot)
{
    // Settings changed while --watch runs (metrics, format, interval) apply from this tick.
    if (m_repeat == Repeat::Watch && settingsFileChanged()) {
        const qint64 interval = VovirSettings::intervalSeconds();
        VovirSettings::store().reload();
        if (VovirSettings::intervalSeconds() != interval)
            m_engine.start();
        m_alerts->reload();
        m_engine.setTemperatureWanted(m_alerts->watchesTemperature());
    }
    if (m_alerts)
        m_alerts->observe(m_engine.sampledAtNs(), snapshot);
    const VovirDetails* details = m_engine.details() ? &*m_engine.details() : nullptr;
    const QByteArray line = m_template ? m_template->render(snapshot, details).toUtf8()
                                       : lineFor(snapshot, m_json, details);
    const bool once = m_repeat == Repeat::Once;
    // --once prints nothing when no metric is chosen; --watch prints the empty line, which
    // clears a status bar.
    if (!once || !line.isEmpty()) {
        std::fwrite(line.constData(), 1, size_t(line.size()), m_out);
        std::fputc('\n', m_out);
    }
    const bool readerGone = std::fflush(m_out) != 0 || std::ferror(m_out);
    if (once || readerGone)
        QCoreApplication::exit(0);
}

void TerminalMode::installSignalHandlers()
{
    if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    m_signalNotifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, this);
    connect(m_signalNotifier, &QSocketNotifier::activated, this, [] {
        char buffer[16];
        while (::read(g_signalPipe[0], buffer, sizeof buffer) > 0) {
        }
        QCoreApplication::exit(0);
    });
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A closed reader shows as a write error instead of killing the process.
    std::signal(SIGPIPE, SIG_IGN);
}

int TerminalMode::run()
{
    if (m_repeat == Repeat::Watch)
        installSignalHandlers();
    m_settingsPath = QFile::encodeName(VovirSettings::store().filePath());
    settingsFileChanged(); // the state the settings were read in
    m_engine.onUpdate = [this](const VovirSnapshot& snapshot) { print(snapshot); };
    // Nothing is read that nothing shows: every reading for JSON, what a template names.
    m_engine.setDetailsWanted(m_json || (m_template && m_template->needsDetails()),
                              m_json || (m_template && m_template->needsPrograms()));
    m_engine.setTemperatureWanted(m_alerts && m_alerts->watchesTemperature());

    m_engine.start();
    const int code = QCoreApplication::exec();
    m_engine.stop();
    return code;
}
