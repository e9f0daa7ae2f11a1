#include "support/FixtureTree.h"
#include "support/TestKit.h"

#include <csignal>
#include <unistd.h>

// The executable as a user or a status bar runs it.
class TestTerminal : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        m_tree = std::make_unique<FixtureTree>();
        m_tree->writeStat(200, 800);
        m_tree->writeMeminfo(16 * 1024 * 1024, quint64(16 * 1024 * 1024 - 7.9 * 1024 * 1024));
        m_tree->writeNetDev(0, 0);
        m_tree->writeSupply("BAT0",
                            {{"type", "Battery"}, {"capacity", "85"}, {"status", "Charging"}});
        m_config = std::make_unique<QTemporaryDir>();
    }

    // One-shot runs: what they print where, and their exit code.
    void oneShot_data()
    {
        QTest::addColumn<QByteArray>("settings"); // "no battery": the machine has none
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("code");
        QTest::addColumn<QStringList>("stdoutHas"); // {""}: nothing at all
        QTest::addColumn<QString>("stderrHas");
        auto row = [](const char* name, const QByteArray& settings, const QString& arguments,
                      int code, const QString& out, const QString& err = {}) {
            QTest::newRow(name) << settings << arguments.split(' ') << code << out.split('|')
                                << err;
        };
        row("help", {}, "--help", 0, "Utilisation : velmoravovir");
        row("version", {}, "--version", 0, "velmoravovir 1.");
        row("unknown option", {}, "--frobnicate", 2, "",
            "velmoravovir : option inconnue « --frobnicate »");
        row("json alone", {}, "--json", 2, "", "--json va avec");
        row("once and watch", {}, "--once --watch", 2, "", "ne vont pas ensemble");
        row("the panel line", {}, "--once", 0, "0 % · 7,9 Go · ↓0 Ko · ⚡85 %\n");
        row("no metric chosen",
            R"({"VSShowCPU": false, "VSShowMemory": false, "VSShowNetwork": false,
                "VSShowBattery": false})",
            "--once", 0, "");
        row("corrupt settings: one warning, the defaults", "{ not json", "--once", 0,
            "0 % · 7,9 Go", "leaving it as it is");
        row("the raw figures", {}, "--once --json", 0,
            R"("memTotal":17179869184|"percent":85|"isCharging":true|"externalConnected":true|)"
            R"("cycleCount":0|"downBps":0)");
        row("no battery in JSON", "no battery", "--once --json", 0, R"("battery":null)");
        row("a status bar's own line, the temperature it lacks empty", {},
            "--once --format={cpu}·{memory}·{battery}·{temp}·{{x}}", 0, "0 %·7,9 Go·85 %··{x}\n");
        row("an unknown placeholder", {}, "--watch --format {cpux}", 2, "",
            "velmoravovir : --format : champ inconnu « {cpux} » ; les champs : {cpu} {memory}");
        row("a brace left open", {}, "--once --format {cpu", 2, "", "« { » sans « } »");
        row("a template alone", {}, "--format {cpu}", 2, "", "--format va avec --once");
        row("a template and JSON", {}, "--once --json --format {cpu}", 2, "", "ne vont pas");
    }
    void oneShot()
    {
        QFETCH(QByteArray, settings);
        QFETCH(QStringList, arguments);
        QFETCH(int, code);
        QFETCH(QStringList, stdoutHas);
        QFETCH(QString, stderrHas);
        if (settings == "no battery")
            m_tree->remove(QString("sys/class/power_supply/BAT0/type"));
        else if (!settings.isEmpty())
            writeSettings(settings);
        QProcess p;
        start(p, arguments);
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), code);
        const QString out = QString::fromUtf8(p.readAllStandardOutput());
        for (const QString& part : stdoutHas)
            QVERIFY2(part.isEmpty() ? out.isEmpty() : out.contains(part), qPrintable(out));
        QVERIFY(out.count('\n') <= 1 || arguments.contains("--help"));
        const QString err = QString::fromUtf8(p.readAllStandardError());
        QVERIFY2(err.contains(stderrHas), qPrintable(err));
        // The error and where to find help; a warning is one line.
        QCOMPARE(err.count(QLatin1Char('\n')), code == 2 ? 2 : stderrHas.isEmpty() ? 0 : 1);
        // Only read, the settings file stays as it was, broken or not.
        if (!settings.isEmpty() && settings != "no battery")
            QCOMPARE(QDir(m_config->filePath("VelmoraVovir")).entryList(QDir::Files),
                     QStringList{"settings.json"});
    }

    void watchEndsCleanlyOnSignal_data()
    {
        QTest::addColumn<int>("signal");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("withDisplay");
        QTest::newRow("SIGTERM") << int(SIGTERM) << QStringList{"--watch"} << true;
        QTest::newRow("SIGINT json") << int(SIGINT) << QStringList{"--watch", "--json"} << true;
        QTest::newRow("no display falls back") << int(SIGINT) << QStringList{} << false;
        QTest::newRow("a crash is recorded") << int(SIGSEGV) << QStringList{"--watch"} << true;
    }
    void watchEndsCleanlyOnSignal()
    {
        QFETCH(int, signal);
        QFETCH(QStringList, arguments);
        QFETCH(bool, withDisplay);
        QProcess p;
        start(p, arguments, withDisplay);
        QByteArray out;
        QTRY_VERIFY_WITH_TIMEOUT((out += p.readAllStandardOutput()).contains('\n'), 10000);
        ::kill(pid_t(p.processId()), signal);
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.readAllStandardError().contains("aucun écran disponible"), !withDisplay);
        QFile pending(m_config->filePath("data/VelmoraVovir/pending-crash.txt"));
        if (signal != SIGSEGV)
            QVERIFY(p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0 &&
                    !pending.exists());
        else
            QVERIFY(p.exitStatus() == QProcess::CrashExit && pending.open(QIODevice::ReadOnly) &&
                    pending.readAll().startsWith("Signal 11\n---\n"));
    }

    void watchFollowsSettingsChangedMeanwhile()
    {
        writeSettings(R"({"VSShowMemory": false, "VSShowNetwork": false, "VSShowBattery": false,)"
                      R"( "VSInterval": 2})");
        QProcess p;
        start(p, {"--watch"});
        QByteArray out;
        QTRY_VERIFY_WITH_TIMEOUT((out += p.readAllStandardOutput()).contains('\n'), 10000);
        QVERIFY(out.startsWith("0 %"));
        // What the settings window writes: the memory alone, in the full format.
        writeSettings(R"({"VSShowCPU": false, "VSShowNetwork": false, "VSShowBattery": false,)"
                      R"( "VSCompact": false, "VSInterval": 2})");
        out.clear();
        QTRY_VERIFY_WITH_TIMEOUT((out += p.readAllStandardOutput()).contains("RAM 7,9 Go\n"),
                                 10000);
        ::kill(pid_t(p.processId()), SIGTERM);
        QVERIFY(p.waitForFinished(10000));
    }

    void withADisplayTheWindowStartsOnceOnly()
    {
        writeSettings(R"({"VSOnboarded": true, "VSMenuBarMode": true})");
        QProcess first;
        start(first, {});
        // The window program listens for later launches in the user's private runtime folder.
        const QString socket = m_config->filePath("run/velmoravovir-nodisplay.socket");
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(socket), 15000);
        QProcess second;
        start(second, {});
        QVERIFY(second.waitForFinished(15000));
        QCOMPARE(second.exitCode(), 0);
        QVERIFY(second.readAllStandardError().contains("déjà lancé"));
        QCOMPARE(first.state(), QProcess::Running);
        first.terminate();
        QVERIFY(first.waitForFinished(10000));
    }

private:
    void start(QProcess& p, const QStringList& arguments, bool withDisplay = true)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("VELMORA_PROBE_ROOT", m_tree->root());
        env.insert("XDG_CONFIG_HOME", m_config->path());
        env.insert("XDG_DATA_HOME", m_config->filePath("data"));
        QDir().mkpath(m_config->filePath("tmp"));
        QDir().mkpath(m_config->filePath("run"));
        QFile::setPermissions(m_config->filePath("run"),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        env.insert("XDG_RUNTIME_DIR", m_config->filePath("run"));
        env.insert("TMPDIR", m_config->filePath("tmp"));
        // Never the developer's own desktop session: no panel item may appear there.
        env.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + m_config->filePath("no-bus"));
        env.insert("VELMORA_UPDATE_FEED_URL", "http://127.0.0.1:9/appcast.xml");
        env.insert("VELMORA_SERVICE_URL", "http://127.0.0.1:9");
        env.remove("DISPLAY");
        env.remove("WAYLAND_DISPLAY");
        env.remove("QT_QPA_PLATFORM");
        // With a "display", the terminal options still never open a window.
        if (withDisplay)
            env.insert("QT_QPA_PLATFORM", "offscreen");
        p.setProcessEnvironment(env);
        p.start(QCoreApplication::applicationDirPath() + "/../src/velmoravovir", arguments);
        QVERIFY(p.waitForStarted());
    }
    void writeSettings(const QByteArray& content)
    {
        QDir().mkpath(m_config->filePath("VelmoraVovir"));
        QFile f(m_config->filePath("VelmoraVovir/settings.json"));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(content);
    }
    std::unique_ptr<FixtureTree> m_tree;
    std::unique_ptr<QTemporaryDir> m_config;
};

QTEST_GUILESS_MAIN(TestTerminal)
#include "tst_terminal.moc"
