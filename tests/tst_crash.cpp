#include "crash/CrashReporter.h"
#include "service/AppInfo.h"
#include "service/SharedNetwork.h"
#include "settings/UserDefaults.h"
#include "settings/VovirSettings.h"
#include "support/LoopbackHttpServer.h"
#include "support/TestKit.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

void writeFile(const QString& path, const QByteArray& content, const QDateTime& modified = {})
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(content);
    f.flush(); // or closing the file would stamp it again
    if (modified.isValid())
        QVERIFY(f.setFileTime(modified, QFileDevice::FileModificationTime));
}

QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Uploads started and not yet finished: each is a reply owned by the shared session.
int uploadsInFlight()
{
    return int(SharedNetwork::manager().findChildren<QNetworkReply*>().size());
}

} // namespace

class TestCrash : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        m_store = std::make_unique<UserDefaults>(m_dir->filePath("settings.json"));
        VovirSettings::setStore(m_store.get());
        m_server = std::make_unique<LoopbackHttpServer>();
        m_server->respond("/api/crash.php", {200, "{}", "application/json"});
        qputenv("VELMORA_SERVICE_URL", m_server->baseUrl());
    }
    void cleanup()
    {
        QTRY_COMPARE_WITH_TIMEOUT(uploadsInFlight(), 0, 15000);
        VovirSettings::setStore(nullptr);
        qputenv("VELMORA_SERVICE_URL", "http://127.0.0.1:9");
    }

    void capture_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<int>("signal");
        QTest::addColumn<QString>("message");
        QTest::newRow("null dereference") << "segv" << int(SIGSEGV) << "Signal 11";
        QTest::newRow("abort") << "abort" << int(SIGABRT) << "Signal 6";
        QTest::newRow("stack overflow") << "overflow" << int(SIGSEGV) << "Signal 11";
        QTest::newRow("exception")
            << "exception" << int(SIGABRT) << "Exception: std::runtime_error : boom";
        QTest::newRow("exception without message")
            << "exception-without-message" << int(SIGABRT)
            << "Exception: (anonymous namespace)::NoMessage : ";
        QTest::newRow("division by zero") << "fpe" << int(SIGFPE) << "Signal 8";
    }
    void capture()
    {
        QFETCH(QString, mode);
        QFETCH(int, signal);
        QFETCH(QString, message);
        const QString pending = m_dir->filePath("data/VelmoraVovir/pending-crash.txt");
        const int status = runChild(mode, pending);
        QVERIFY2(WIFSIGNALED(status) && WTERMSIG(status) == signal, "must end by its signal");
        const auto report = CrashReporter::splitPendingReport(QString::fromUtf8(readFile(pending)));
        QCOMPARE(report.message, message);
        QVERIFY(!report.stack.isEmpty() && !report.stack.endsWith('\n'));
        QVERIFY(report.stack.count('\n') < CrashReporter::kMaxCapturedFrames);
        QVERIFY(!QFile::exists(pending + ".tmp"));
    }

    // A deep stack keeps thirty named frames; a second crash replaces the first, unless the
    // disk is too full for the whole of it.
    void successiveCrashes()
    {
        const QString pending = m_dir->filePath("p/pending-crash.txt");
        runChild("segv", pending);
        const auto report = CrashReporter::splitPendingReport(QString::fromUtf8(readFile(pending)));
        QCOMPARE(report.stack.split('\n').size(), CrashReporter::kMaxCapturedFrames);
        QVERIFY(report.stack.contains("crashChildRecurse")); // symbolised
        runChild("fpe", pending);
        const QByteArray earlier = readFile(pending);
        QVERIFY(earlier.startsWith("Signal 8\n---\n"));
        const int status = runChild("segv", pending, 600); // thirty frames need far more
        QVERIFY(WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV);
        QCOMPARE(readFile(pending), earlier);
        QVERIFY(!QFile::exists(pending + ".tmp"));
    }

    void splitting_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("stack");
        QTest::addColumn<QString>("device");   // empty: none made yet, the report says "?"
        QTest::addColumn<QByteArray>("extra"); // the frames and the run, as sent
        auto row = [](const char* name, const QByteArray& file, const QString& message,
                      const QString& stack, const QString& device = "0C9F5B1E-7A4D-4E8B",
                      const QByteArray& extra = "{}") {
            QTest::newRow(name) << file << message << stack << device << extra;
        };
        row("two frames", "Signal 11\n---\nframe a\nframe b", "Signal 11", "frame a\nframe b");
        row("no separator", "just text\nmore", "just text\nmore", "");
        row("extra pieces dropped", "message\n---\nstack\n---\nmore text", "message", "stack");
        row("empty file", "", "", "");
        row("no device id yet", "Signal 6\n---\nf", "Signal 6", "f", QString());
        // What names the frames and tells the run; lines that do not read as such are left out.
        row("frames and the run",
            "Signal 11\n---\nf\n---\n97c0 0x37d2 crash_child pc\nzz 0x1 bad\n- 0x9 libc.so.6\n"
            "---\nsession=x11\ndesktop=XFCE\nqt=6.4.2\nmode=panel\nhome=/home/x\n",
            "Signal 11", "f", "0C9F5B1E-7A4D-4E8B",
            R"({"ctx": {"desktop": "XFCE", "mode": "panel", "qt": "6.4.2", "session": "x11"},)"
            R"( "frames": [{"build": "97c0", "module": "crash_child", "offset": "0x37d2",)"
            R"( "pc": true}, {"build": "-", "module": "libc.so.6", "offset": "0x9",)"
            R"( "pc": false}]})");
        row("4 MiB, read in part", "Signal 11\n---\n" + QByteArray(4 * 1024 * 1024, 'x'),
            "Signal 11", QString(300 * 1024, 'x'));
    }
    void splitting()
    {
        QFETCH(QByteArray, file);
        QFETCH(QString, message);
        QFETCH(QString, stack);
        QFETCH(QString, device);
        QFETCH(QByteArray, extra);
        if (!device.isEmpty())
            m_store->setString("VSDeviceId", device);
        const QString pending = m_dir->filePath("pending-crash.txt");
        writeFile(pending, file);
        CrashReporter::install({pending, m_dir->filePath("no-reports")});
        QTRY_COMPARE_WITH_TIMEOUT(m_server->requests().size(), 1, 10000);
        QTRY_VERIFY(!QFile::exists(pending)); // gone once the service has it
        const QJsonObject body = QJsonDocument::fromJson(m_server->requests()[0].body).object();
        QCOMPARE(body.value("d").toString(), device.isEmpty() ? "?" : device);
        QVERIFY(device.isEmpty() != m_store->contains("VSDeviceId")); // never made here
        QCOMPARE(body.value("kind").toString(), QString("crash"));
        QCOMPARE(body.value("message").toString(), message);
        QCOMPARE(body.value("stack").toString().left(1000), stack.left(1000));
        QVERIFY(body.value("stack").toString().size() <= qMax(1000, stack.size() - 1));
        QCOMPARE(body.value("os").toString(), AppInfo::systemDescription());
        QJsonObject sent;
        for (const char* member : {"frames", "ctx"})
            if (body.contains(member))
                sent.insert(member, body.value(member));
        QCOMPARE(sent, QJsonDocument::fromJson(extra).object());
    }

    // Launch after launch with the same pending report: the service's answer at each one, and
    // whether the file is still there after the last.
    void pendingReportIsKeptUntilTheServiceHasIt_data()
    {
        // 0: the service cannot be reached; negative: the run crashes again, at the same place,
        // before the service answers.
        QTest::addColumn<QList<int>>("answers");
        QTest::addColumn<int>("sends");
        QTest::addColumn<bool>("kept");
        QTest::newRow("offline") << QList<int>{0} << 0 << true;
        QTest::newRow("offline, then back") << QList<int>{0, 0, 200} << 1 << false;
        QTest::newRow("server error, then accepted") << QList<int>{500, 202} << 2 << false;
        QTest::newRow("refused at five launches")
            << QList<int>{400, 400, 400, 400, 400, 400} << 5 << false;
        QTest::newRow("four refusals") << QList<int>{400, 400, 400, 400} << 4 << true;
        QTest::newRow("a crash during the upload") << QList<int>{-200} << 1 << true;
        QTest::newRow("a crash during the upload, then sent")
            << QList<int>{-200, 200} << 2 << false;
    }
    void pendingReportIsKeptUntilTheServiceHasIt()
    {
        QFETCH(QList<int>, answers);
        QFETCH(int, sends);
        QFETCH(bool, kept);
        const QString pending = m_dir->filePath("pending-crash.txt");
        writeFile(pending, "Signal 11\n---\nf");
        for (int status : answers) {
            const bool crashesAgain = status < 0;
            status = std::abs(status);
            qputenv("VELMORA_SERVICE_URL",
                    status ? m_server->baseUrl() : QByteArray("http://127.0.0.1:9"));
            m_server->respond("/api/crash.php", {status, "{}", "application/json"});
            std::optional<bool> sent;
            CrashReporter::sendPendingCrash(pending, [&sent](bool ok) { sent = ok; });
            if (crashesAgain)
                writeFile(pending, "Signal 11\n---\nf", QDateTime::currentDateTime().addSecs(5));
            QTRY_VERIFY_WITH_TIMEOUT(sent.has_value(), 10000);
            QCOMPARE(*sent, status >= 200 && status < 300);
        }
        QCOMPARE(int(m_server->requests().size()), sends);
        QCOMPARE(QFile::exists(pending), kept);
    }

    // Nothing is sent: switched off (by the user, or by the administrator for every user; the
    // crash is still recorded), nothing pending, a link (never followed), a FIFO (it would
    // block the launch).
    void nothingSent_data()
    {
        QTest::addColumn<QString>("pending");
        QTest::newRow("VSSendDiagnostics false") << "off";
        QTest::newRow("VELMORA_SEND_DIAGNOSTICS=0") << "off for all";
        QTest::newRow("nothing pending") << "none";
        QTest::newRow("a link") << "link";
        QTest::newRow("a FIFO") << "fifo";
    }
    void nothingSent()
    {
        QFETCH(QString, pending);
        const QString file = m_dir->filePath("pending-crash.txt");
        const QString folder = m_dir->filePath("crash");
        writeFile(folder + "/_usr_bin_velmoravovir." + QString::number(::getuid()) + ".crash",
                  "Signal: 11\n", QDateTime::currentDateTime().addSecs(-5));
        if (pending.startsWith("off"))
            writeFile(file, "Signal 11\n---\nf");
        if (pending == "off")
            m_store->setBool("VSSendDiagnostics", false);
        else if (pending == "off for all")
            qputenv("VELMORA_SEND_DIAGNOSTICS", "0");
        else
            QDir(folder).removeRecursively();
        writeFile(m_dir->filePath("secret.txt"), "not a crash report");
        if (pending == "link")
            QVERIFY(QFile::link(m_dir->filePath("secret.txt"), file));
        if (pending == "fifo")
            QCOMPARE(mkfifo(QFile::encodeName(file).constData(), 0600), 0);
        CrashReporter::install({file, folder});
        qunsetenv("VELMORA_SEND_DIAGNOSTICS");
        QCOMPARE(uploadsInFlight(), 0);
        QCOMPARE(QFile::exists(file), pending != "none");
        QCOMPARE(readFile(m_dir->filePath("secret.txt")), QByteArray("not a crash report"));
    }

    void reportErrorSendsFifteenFrames()
    {
        CrashReporter::reportError(QString("disque plein"));
        QTRY_COMPARE_WITH_TIMEOUT(m_server->requests().size(), 1, 10000);
        const QJsonObject body =
            QJsonDocument::fromJson(m_server->requests().first().body).object();
        QCOMPARE(body.value("kind").toString(), QString("error"));
        QCOMPARE(body.value("message").toString(), QString("disque plein"));
        QVERIFY(body.value("stack").toString().split('\n').size() <=
                CrashReporter::kMaxErrorFrames);
    }

    // Reports the system left of this program's crashes, either of its two programs, go once;
    // other programs' and other users' reports, links, FIFOs and a date from a wrong clock do not.
    void systemReports()
    {
        const QString folder = m_dir->filePath("crash");
        const QString uid = QString::number(::getuid());
        const QDateTime t0 = QDateTime::currentDateTimeUtc().addDays(-3);
        // Longer than what is scanned, which ends in the middle of a character, and with a byte
        // that is no UTF-8 (a log it quotes): still a report.
        writeFile(folder + "/_usr_bin_velmoravovir." + uid + ".crash",
                  "ProblemType: Crash\nSignal: 11\nCoreDump: base64\n \xff" +
                      QString("é").repeated(150000).toUtf8(),
                  t0);
        writeFile(folder + "/_usr_libexec_velmoravovir-desktop." + uid + ".crash",
                  "ProblemType: Crash\nSignal: 6\n", t0.addSecs(30));
        writeFile(folder + "/VelmoraVovir-2024-05-01-101010.ips",
                  "Process: VelmoraVovir\n\n  Termination Reason: Namespace SIGNAL\n",
                  t0.addSecs(60));
        writeFile(folder + "/Velmora Vovir-plain.crash", "nothing telling here\n", t0.addSecs(120));
        writeFile(folder + "/VelmoraVovir-future.crash", "Signal: 4\n",
                  QDateTime(QDate(2099, 1, 1), QTime(0, 0), Qt::UTC));
        writeFile(folder + "/_usr_bin_other." + uid + ".crash", "Exception: other",
                  t0.addSecs(500));
        writeFile(folder + "/_usr_bin_velmoravovir." + QString::number(::getuid() + 1) + ".crash",
                  "Exception: another user's", t0.addSecs(500));
        writeFile(folder + "/VelmoraVovir-2024.diag", "Exception: diag", t0.addSecs(500));
        QVERIFY(QFile::link(folder + "/_usr_bin_other." + uid + ".crash",
                            folder + "/VelmoraVovir-link.ips"));
        QCOMPARE(mkfifo(QFile::encodeName(folder + "/VelmoraVovir-fifo.crash").constData(), 0600),
                 0);

        for (int launch = 0; launch < 2; ++launch) { // the next launch sends nothing again
            CrashReporter::install({m_dir->filePath("none.txt"), folder});
            QTRY_COMPARE_WITH_TIMEOUT(uploadsInFlight(), 0, 15000);
            QCOMPARE(m_store->dateValue("VSLastCrashScan").toSecsSinceEpoch(),
                     t0.addSecs(120).toSecsSinceEpoch());
        }
        QCOMPARE(m_server->requests().size(), 4);
        QMap<QString, QString> stackByMessage;
        for (const auto& r : m_server->requests())
            stackByMessage.insert(QJsonDocument::fromJson(r.body)["message"].toString(),
                                  QJsonDocument::fromJson(r.body)["stack"].toString());
        QCOMPARE(stackByMessage.keys(),
                 (QStringList{"  Termination Reason: Namespace SIGNAL", "Rapport système macOS",
                              "Signal: 11", "Signal: 6"}));
        QCOMPARE(stackByMessage["Signal: 11"].size(), CrashReporter::kMaxSystemReportChars);
        QVERIFY(stackByMessage["Signal: 11"].startsWith("ProblemType: Crash\n"));
    }

    // A folder that is not there leaves the watermark alone; an empty one puts it far back.
    void reportFolderMissingOrEmpty()
    {
        CrashReporter::install({m_dir->filePath("none.txt"), m_dir->filePath("no-such-folder")});
        QVERIFY(!m_store->contains("VSLastCrashScan"));
        QDir().mkpath(m_dir->filePath("empty"));
        CrashReporter::install({m_dir->filePath("none.txt"), m_dir->filePath("empty")});
        QCOMPARE(m_store->dateValue("VSLastCrashScan").date().year(), 1);
    }

private:
    // fileSizeLimit: no file of the child may grow past it, as on a nearly full disk.
    int runChild(const QString& mode, const QString& pending, rlim_t fileSizeLimit = RLIM_INFINITY)
    {
        QDir().mkpath(QFileInfo(pending).absolutePath());
        const QByteArray program =
            QFile::encodeName(QCoreApplication::applicationDirPath() + "/crash_child");
        const QByteArray m = mode.toLocal8Bit(), p = QFile::encodeName(pending);
        const pid_t pid = fork();
        if (pid == 0) {
            // No core files from these planned crashes.
            const rlimit noCore{0, 0};
            setrlimit(RLIMIT_CORE, &noCore);
            if (fileSizeLimit != RLIM_INFINITY) {
                std::signal(SIGXFSZ, SIG_IGN); // kept across exec: writes fail with EFBIG
                const rlimit size{fileSizeLimit, fileSizeLimit};
                setrlimit(RLIMIT_FSIZE, &size);
            }
            execl(program.constData(), program.constData(), m.constData(), p.constData(), nullptr);
            _exit(127);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        return status;
    }

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<UserDefaults> m_store;
    std::unique_ptr<LoopbackHttpServer> m_server;
};

QTEST_GUILESS_MAIN(TestCrash)
#include "tst_crash.moc"
