// Runs a command, lets it start, then measures its steady state: processor time over a window
// (in all and by thread) and peak resident memory. Start-up ends at the first line the command
// prints on stdout, or after --settle seconds when it prints nothing (a window); the window opens
// --warmup seconds later, once first-use costs (symbol binding, caches) are paid. Wakeups are the
// times its threads slept and were woken.
//   bench_process [--seconds 60] [--settle 3] [--warmup 5] -- command args...
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QThread>

#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {

// What each of the process's threads has used so far, by thread id, with its name: processor
// time in seconds, from the scheduler's nanosecond accounting (the tick counters of
// /proc/PID/stat are too coarse for a mostly idle program), and wakeups, the context switches
// it gave up the processor for (a mostly idle program wakes once per switch).
struct ThreadUse {
    QString name;
    double seconds = 0;
    long long wakeups = 0;
};
QMap<QString, ThreadUse> threadUse(qint64 pid)
{
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    QMap<QString, ThreadUse> byThread;
    for (const QString& tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile times(tasks.filePath(tid + QStringLiteral("/schedstat")));
        QFile name(tasks.filePath(tid + QStringLiteral("/comm")));
        QFile status(tasks.filePath(tid + QStringLiteral("/status")));
        if (!times.open(QIODevice::ReadOnly) || !name.open(QIODevice::ReadOnly) ||
            !status.open(QIODevice::ReadOnly))
            continue;
        ThreadUse use{QString::fromUtf8(name.readAll()).trimmed(),
                      double(times.readAll().split(' ').value(0).toLongLong()) / 1e9};
        for (const QByteArray& line : status.readAll().split('\n'))
            if (line.startsWith("voluntary_ctxt_switches:"))
                use.wakeups = line.mid(24).trimmed().toLongLong();
        byThread.insert(tid, use);
    }
    return byThread;
}

// The use between two readings, by thread name, of the threads alive at the second (one that
// ends takes its use with it; one that starts counts from zero).
QMap<QString, ThreadUse> useBetween(const QMap<QString, ThreadUse>& before,
                                    const QMap<QString, ThreadUse>& after)
{
    QMap<QString, ThreadUse> byName;
    for (auto it = after.cbegin(); it != after.cend(); ++it) {
        ThreadUse& use = byName[it->name];
        use.seconds += it->seconds - before.value(it.key()).seconds;
        use.wakeups += it->wakeups - before.value(it.key()).wakeups;
    }
    return byName;
}

long statusKb(qint64 pid, const char* key)
{
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith(key))
            return line.mid(int(qstrlen(key))).trimmed().split(' ').value(0).toLong();
    return -1;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    int seconds = 60;
    double settle = 3;
    double warmup = 5;
    while (!args.isEmpty() && args.first() != QLatin1String("--")) {
        const QString opt = args.takeFirst();
        if (opt == QLatin1String("--seconds") && !args.isEmpty())
            seconds = args.takeFirst().toInt();
        else if (opt == QLatin1String("--settle") && !args.isEmpty())
            settle = args.takeFirst().toDouble();
        else if (opt == QLatin1String("--warmup") && !args.isEmpty())
            warmup = args.takeFirst().toDouble();
    }
    if (args.size() < 2) {
        std::fprintf(stderr,
                     "usage: bench_process [--seconds N] [--settle S] -- command args...\n");
        return 2;
    }
    args.removeFirst();
    QProcess p;
    p.setProcessChannelMode(QProcess::SeparateChannels);
    QElapsedTimer clock;
    clock.start();
    p.start(args.takeFirst(), args);
    if (!p.waitForStarted()) {
        std::fprintf(stderr, "bench_process: cannot start the command\n");
        return 1;
    }
    const qint64 pid = p.processId();
    double firstLineMs = -1;
    while (clock.elapsed() < settle * 1000) {
        if (firstLineMs < 0 && p.waitForReadyRead(50) && p.canReadLine()) {
            firstLineMs = double(clock.elapsed());
            break;
        }
        if (firstLineMs < 0)
            QThread::msleep(10);
    }
    QElapsedTimer warm;
    warm.start();
    while (warm.elapsed() < warmup * 1000 && p.state() == QProcess::Running) {
        p.waitForReadyRead(100);
        p.readAllStandardOutput();
    }
    const QMap<QString, ThreadUse> before = threadUse(pid);
    QElapsedTimer window;
    window.start();
    while (window.elapsed() < seconds * 1000LL && p.state() == QProcess::Running) {
        p.waitForReadyRead(200);
        p.readAllStandardOutput();
    }
    const QMap<QString, ThreadUse> used = useBetween(before, threadUse(pid));
    const double wall = double(window.elapsed()) / 1000;
    const long hwm = statusKb(pid, "VmHWM:"), rss = statusKb(pid, "VmRSS:");
    ::kill(pid_t(pid), SIGTERM);
    p.waitForFinished(5000);
    if (firstLineMs >= 0)
        std::printf("first line after    : %8.0f ms\n", firstLineMs);
    std::printf("window              : %8.1f s\n", wall);
    double busy = 0;
    long long wakeups = 0;
    QStringList threads;
    for (auto it = used.cbegin(); it != used.cend(); ++it) {
        busy += it->seconds;
        wakeups += it->wakeups;
        threads << QStringLiteral("%1 %2 s").arg(it.key()).arg(it->seconds, 0, 'f', 6);
    }
    std::printf("processor time      : %10.6f s = %.4f %% of one core\n", busy, busy / wall * 100);
    std::printf("by thread           : %s\n", qPrintable(threads.join(QStringLiteral(", "))));
    std::printf("wakeups             : %8.2f /s\n", double(wakeups) / wall);
    std::printf("resident now / peak : %8.1f / %.1f MB\n", double(rss) / 1024, double(hwm) / 1024);
    return 0;
}
