#include "support/FixtureTree.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

#include <csignal>
#include <unistd.h>

// The executable as a user or a status bar runs it.
class TestTerminal : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        m_tree = std::make_unique<FixtureTree>();
        m_tree->writeStat(100, 100, 800);
        m_tree->writeMeminfo(16 * 1024 * 1024, quint64(16 * 1024 * 1024 - 7.9 * 1024 * 1024));
        m_tree->writeNetDev(0, 0);
        m_tree->writeSupply(QStringLiteral("BAT0"),
                            {{"type", "Battery"}, {"capacity", "85"}, {"status", "Charging"}});
        m_config = std::make_unique<QTemporaryDir>();
    }

    void exitCodes_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("stdoutHas");
        QTest::addColumn<QString>("stderrHas");
        QTest::newRow("help") << QStringList{"--help"} << 0 << "Utilisation : velmoravovir"
                              << "";
        QTest::newRow("version") << QStringList{"--version"} << 0 << "velmoravovir 1."
                                 << "";
        QTest::newRow("unknown option") << QStringList{"--frobnicate"} << 2 << ""
                                        << "velmoravovir : option inconnue « --frobnicate »";
        QTest::newRow("stray argument") << QStringList{"now"} << 2 << ""
                                        << "argument inattendu";
        QTest::newRow("json alone") << QStringList{"--json"} << 2 << ""
                                    << "--json va avec";
        QTest::newRow("once and watch") << QStringList{"--once", "--watch"} << 2 << ""
                                        << "ne vont pas ensemble";
    }
    void exitCodes()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, code);
        QFETCH(QString, stdoutHas);
        QFETCH(QString, stderrHas);
        QProcess p;
        start(p, arguments);
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), code);
        QVERIFY(QString::fromUtf8(p.readAllStandardOutput()).contains(stdoutHas));
        const QString err = QString::fromUtf8(p.readAllStandardError());
        QVERIFY2(err.contains(stderrHas), qPrintable(err));
        if (code == 2)
            QCOMPARE(err.count(QLatin1Char('\n')), 2); // the error and where to find help
    }

    void oncePrintsThePanelLine()
    {
        QProcess p;
        start(p, {"--once"});
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitCode(), 0);
        QCOMPARE(QString::fromUtf8(p.readAllStandardOutput()),
                 QString::fromUtf8("0 % · 7,9 Go · ↓0 Ko · ⚡85 %\n"));
    }

    void oncePrintsNothingWhenNoMetricIsChosen()
    {
        writeSettings(R"({"VSShowCPU": false, "VSShowMemory": false, "VSShowNetwork": false,
                          "VSShowBattery": false})");
        QProcess p;
        start(p, {"--once"});
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitCode(), 0);
        QCOMPARE(p.readAllStandardOutput(), QByteArray());
    }

    void corruptSettingsWarnOnceAndUseDefaults()
    {
        writeSettings("{ not json");
        QProcess p;
        start(p, {"--once"});
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitCode(), 0);
        QVERIFY(p.readAllStandardOutput().startsWith("0 % · 7,9 Go"));
        const QByteArray err = p.readAllStandardError();
        QCOMPARE(err.count('\n'), 1);
        QVERIFY(err.contains("kept it as"));
    }

    void onceJsonHasTheRawFigures()
    {
        QProcess p;
        start(p, {"--once", "--json"});
        QVERIFY(p.waitForFinished(10000));
        const QByteArray out = p.readAllStandardOutput();
        QCOMPARE(out.count('\n'), 1);
        const QJsonObject o = QJsonDocument::fromJson(out).object();
        QCOMPARE(o.value("memTotal").toInteger(), 16ll << 30);
        QCOMPARE(o.value("cpuPercent").toDouble(), 0.0);
        QVERIFY(o.contains("downBps") && o.contains("upBps") && o.contains("memUsed"));
        const QJsonObject battery = o.value("battery").toObject();
        QCOMPARE(battery.value("percent").toInt(), 85);
        QCOMPARE(battery.value("isCharging").toBool(), true);
        QCOMPARE(battery.value("externalConnected").toBool(), true);
        QCOMPARE(battery.value("cycleCount").toInt(), 0);
    }

    void jsonBatteryIsNullWithoutOne()
    {
        m_tree->remove(QStringLiteral("sys/class/power_supply/BAT0/type"));
        QProcess p;
        start(p, {"--once", "--json"});
        QVERIFY(p.waitForFinished(10000));
        QVERIFY(
            QJsonDocument::fromJson(p.readAllStandardOutput()).object().value("battery").isNull());
    }

    void watchEndsCleanlyOnSignal_data()
    {
        QTest::addColumn<int>("signal");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("withDisplay");
        QTest::newRow("SIGTERM") << int(SIGTERM) << QStringList{"--watch"} << true;
        QTest::newRow("SIGINT json") << int(SIGINT) << QStringList{"--watch", "--json"} << true;
        QTest::newRow("no display falls back") << int(SIGINT) << QStringList{} << false;
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
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), 0);
        const QByteArray err = p.readAllStandardError();
        QCOMPARE(err.contains("aucun écran disponible"), !withDisplay);
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

    void watchRecordsItsCrashes()
    {
        QProcess p;
        start(p, {"--watch"});
        QByteArray out;
        QTRY_VERIFY_WITH_TIMEOUT((out += p.readAllStandardOutput()).contains('\n'), 10000);
        ::kill(pid_t(p.processId()), SIGSEGV);
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitStatus(), QProcess::CrashExit);
        QFile pending(m_config->filePath("data/VelmoraVovir/pending-crash.txt"));
        QVERIFY(pending.open(QIODevice::ReadOnly));
        QVERIFY(pending.readAll().startsWith("Signal 11\n---\n"));
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
