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

// Processor time of each of the process's threads, in seconds, by thread id, from the
// scheduler's nanosecond accounting (the tick counters of /proc/PID/stat are too coarse for a
// mostly idle program), with the thread's name.
struct ThreadTime {
    QString name;
    double seconds = 0;
};
QMap<QString, ThreadTime> threadTimes(qint64 pid)
{
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    QMap<QString, ThreadTime> byThread;
    for (const QString& tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile times(tasks.filePath(tid + QStringLiteral("/schedstat")));
        QFile name(tasks.filePath(tid + QStringLiteral("/comm")));
        if (times.open(QIODevice::ReadOnly) && name.open(QIODevice::ReadOnly))
            byThread.insert(tid, {QString::fromUtf8(name.readAll()).trimmed(),
                                  double(times.readAll().split(' ').value(0).toLongLong()) / 1e9});
    }
    return byThread;
}

// The processor time between two readings, by thread name, of the threads alive at the second
// (one that starts counts from zero).
QMap<QString, double> timeBetween(const QMap<QString, ThreadTime>& before,
                                  const QMap<QString, ThreadTime>& after)
{
    QMap<QString, double> byName;
    for (auto it = after.cbegin(); it != after.cend(); ++it)
        byName[it->name] += it->seconds - before.value(it.key()).seconds;
    return byName;
}

// Times each of the process's threads was put to sleep and woken again, by thread: the
// context switches it gave up the processor for (a mostly idle program wakes once per switch).
QMap<QString, long long> wakeups(qint64 pid)
{
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    QMap<QString, long long> byThread;
    for (const QString& tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile f(tasks.filePath(tid + QStringLiteral("/status")));
        if (f.open(QIODevice::ReadOnly))
            for (const QByteArray& line : f.readAll().split('\n'))
                if (line.startsWith("voluntary_ctxt_switches:"))
                    byThread.insert(tid, line.mid(24).trimmed().toLongLong());
    }
    return byThread;
}

// The wakeups between two readings of the threads alive at both (one that ends takes its
// count with it; one that starts counts from zero).
long long wakeupsBetween(const QMap<QString, long long>& before,
                         const QMap<QString, long long>& after)
{
    long long total = 0;
    for (auto it = after.cbegin(); it != after.cend(); ++it)
        total += it.value() - before.value(it.key(), 0);
    return total;
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
    const auto cpu0 = threadTimes(pid);
    const auto wakeups0 = wakeups(pid);
    QElapsedTimer window;
    window.start();
    while (window.elapsed() < seconds * 1000LL && p.state() == QProcess::Running) {
        p.waitForReadyRead(200);
        p.readAllStandardOutput();
    }
    const QMap<QString, double> cpu = timeBetween(cpu0, threadTimes(pid));
    const auto wakeups1 = wakeups(pid);
    const double wall = double(window.elapsed()) / 1000;
    const long hwm = statusKb(pid, "VmHWM:"), rss = statusKb(pid, "VmRSS:");
    ::kill(pid_t(pid), SIGTERM);
    p.waitForFinished(5000);
    if (firstLineMs >= 0)
        std::printf("first line after    : %8.0f ms\n", firstLineMs);
    std::printf("window              : %8.1f s\n", wall);
    double total = 0;
    QStringList threads;
    for (auto it = cpu.cbegin(); it != cpu.cend(); ++it) {
        total += it.value();
        threads << QStringLiteral("%1 %2 s").arg(it.key()).arg(it.value(), 0, 'f', 6);
    }
    std::printf("processor time      : %10.6f s = %.4f %% of one core\n", total,
                total / wall * 100);
    std::printf("by thread           : %s\n", qPrintable(threads.join(QStringLiteral(", "))));
    std::printf("wakeups             : %8.2f /s\n",
                double(wakeupsBetween(wakeups0, wakeups1)) / wall);
    std::printf("resident now / peak : %8.1f / %.1f MB\n", double(rss) / 1024, double(hwm) / 1024);
    return 0;
}
