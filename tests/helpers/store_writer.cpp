// Writes COUNT integer keys "PREFIX-i" into the store at PATH, one write each: the other half
// of the two-writer test. With --fill-with-file-limit instead of COUNT, it writes one 64 KiB
// value under PREFIX while no file of this process may grow past 4 KiB, as on a full disk,
// prints the file as it then is, and with room again sets PREFIX-after.
#include "settings/UserDefaults.h"

#include <QCoreApplication>
#include <QFile>

#include <csignal>
#include <cstdio>
#include <sys/resource.h>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 4)
        return 2;
    UserDefaults store(QString::fromLocal8Bit(argv[1]));
    const QString prefix = QString::fromLocal8Bit(argv[2]);
    if (QByteArray(argv[3]) == "--fill-with-file-limit") {
        std::signal(SIGXFSZ, SIG_IGN); // the write fails with EFBIG instead of killing us
        rlimit limit{4096, RLIM_INFINITY};
        setrlimit(RLIMIT_FSIZE, &limit);
        store.setString(prefix, QString(64 * 1024, QLatin1Char('x')));
        QFile file(store.filePath());
        if (file.open(QIODevice::ReadOnly))
            std::fwrite(file.readAll().constData(), 1, size_t(file.size()), stdout);
        limit.rlim_cur = RLIM_INFINITY;
        setrlimit(RLIMIT_FSIZE, &limit);
        store.setBool(prefix + QStringLiteral("-after"), true);
        return 0;
    }
    const int count = QByteArray(argv[3]).toInt();
    for (int i = 0; i < count; ++i)
        store.setInteger(prefix + QLatin1Char('-') + QString::number(i), i);
    return 0;
}
