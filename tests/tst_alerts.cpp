// Alerts: the stored rules, episodes seen by a real notification daemon (dunst on the test's
// virtual display and private bus), in the window's engine and in the terminal's --watch.
#include "app/alerts/AlertCenter.h"
#include "engine/VovirEngine.h"
#include "platform/linux/notify/DesktopNotifications.h"
#include "platform/linux/probe/LinuxProbe.h"
#include "settings/UserDefaults.h"
#include "settings/VovirSettings.h"
#include "support/FixtureTree.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusContext>
#include <QDBusInterface>
#include <QDBusMessage>
#include <QStandardPaths>

// A notification service that never answers, or refuses.
class FakeNotifications : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    bool refuses = false;
public slots:
    uint Notify(const QString&, uint, const QString&, const QString&, const QString&,
                const QStringList&, const QVariantMap&, int)
    {
        if (refuses)
            sendErrorReply("org.example.DoNotDisturb", "Ne pas déranger");
        else
            setDelayedReply(true);
        return 0;
    }
};

class TestAlerts : public QObject {
    Q_OBJECT
    QTemporaryDir m_home;
    std::unique_ptr<UserDefaults> m_store;
    QProcess m_dunst;

    void storeAlerts(const QByteArray& json)
    {
        QFile f(m_home.filePath("config/VelmoraVovir/settings.json"));
        QDir().mkpath(QFileInfo(f).absolutePath());
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(R"({"VSInterval": 2, "VSAlerts": )" + json + "}");
        f.close();
        m_store->reload();
    }
    // Every notification dunst was given: waiting, on screen or gone to its history.
    int received()
    {
        QDBusInterface dunst("org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                             "org.dunstproject.cmd0");
        int sum = 0;
        for (const char* list : {"waitingLength", "displayedLength", "historyLength"})
            sum += dunst.property(list).toInt();
        return sum;
    }

private slots:
    void initTestCase()
    {
        m_store =
            std::make_unique<UserDefaults>(m_home.filePath("config/VelmoraVovir/settings.json"));
        VovirSettings::setStore(m_store.get());
    }
    void cleanupTestCase()
    {
        m_dunst.kill();
        m_dunst.waitForFinished();
        VovirSettings::setStore(nullptr);
    }

    void storedEntriesAreReadEachAlone_data()
    {
        QTest::addColumn<QByteArray>("stored");
        QTest::addColumn<QStringList>("read"); // "ok", "illisible" or the rule's problem
        QTest::newRow("plain objects, as written by hand")
            << QByteArray(R"([{"metric": "cpu", "above": 90, "seconds": 120, "enabled": true},)"
                          R"( {"metric": "battery", "below": 15.5, "seconds": 30}])")
            << QStringList{"ok", "ok"};
        QTest::newRow("the store's own dictionaries")
            << QByteArray(R"([{"$dict": {"metric": "temperature", "above": {"$real": 85.5},)"
                          R"( "seconds": 60, "enabled": false}}])")
            << QStringList{"ok"};
        QTest::newRow("each broken entry alone")
            << QByteArray(R"([{"metric": "gpu", "above": 90, "seconds": 60}, 42,)"
                          R"( {"metric": "memory", "above": "90", "seconds": 60},)"
                          R"( {"metric": "cpu", "above": 80, "below": 20, "seconds": 60},)"
                          R"( {"metric": "cpu", "above": 80, "seconds": 60, "enabled": 1},)"
                          R"( {"metric": "memory", "above": 95, "seconds": 60}])")
            << QStringList{"illisible", "illisible", "illisible", "illisible", "illisible", "ok"};
        QTest::newRow("levels and times out of range")
            << QByteArray(R"([{"metric": "cpu", "above": 150, "seconds": 60},)"
                          R"( {"metric": "temperature", "above": 0, "seconds": 60},)"
                          R"( {"metric": "battery", "below": 15, "seconds": 0},)"
                          R"( {"metric": "memory", "above": 90, "seconds": 31536000}])")
            << QStringList{"Le niveau de « Processeur » doit être entre 1 et 99 %.",
                           "Le niveau de « Température » doit être entre 30 et 110 °C.",
                           "La durée de « Batterie » doit être entre 10 s et 24 h.",
                           "La durée de « Mémoire » doit être entre 10 s et 24 h."};
        QTest::newRow("not an array") << QByteArray(R"({"$dict": {}})") << QStringList{};
    }
    void storedEntriesAreReadEachAlone()
    {
        QFETCH(QByteArray, stored);
        QFETCH(QStringList, read);
        storeAlerts(stored);
        QStringList got;
        for (const AlertRules::Entry& entry : AlertRules::stored())
            got << (!entry.rule               ? QString("illisible")
                    : entry.problem.isEmpty() ? QString("ok")
                                              : entry.problem);
        QCOMPARE(got, read);
        // Saved back, the entries that could not be read are kept as they were.
        AlertRules::save(AlertRules::stored());
        m_store->reload();
        QCOMPARE(AlertRules::stored().size(), read.size());
    }

    void servicesThatFailAreSaidInFrench_data()
    {
        QTest::addColumn<QString>("service"); // none, missing, silent, refusing
        QTest::addColumn<QString>("said");
        QTest::newRow("no session bus")
            << "none"
            << "Pas de bus de session : les alertes ne peuvent pas s'afficher.";
        QTest::newRow("no notification service")
            << "missing"
            << "Aucun service de notifications ne tourne sur ce bureau.";
        QTest::newRow("a service that never answers")
            << "silent"
            << "Le service de notifications n'a pas répondu.";
        QTest::newRow("a service that refuses")
            << "refusing"
            << "Le service de notifications a refusé l'alerte : Ne pas déranger";
    }
    void servicesThatFailAreSaidInFrench()
    {
        QFETCH(QString, service);
        QFETCH(QString, said);
        FakeNotifications fake;
        fake.refuses = service == "refusing";
        QDBusConnection fakeBus =
            QDBusConnection::connectToBus(QDBusConnection::SessionBus, service);
        if (service == "silent" || service == "refusing") {
            QVERIFY(fakeBus.registerObject("/org/freedesktop/Notifications", &fake,
                                           QDBusConnection::ExportAllSlots));
            QVERIFY(fakeBus.registerService("org.freedesktop.Notifications"));
        }
        DesktopNotifications notifications(
            service == "none" ? QDBusConnection("absent") : QDBusConnection::sessionBus(), 300);
        storeAlerts(R"([{"metric": "cpu", "above": 90, "seconds": 20}])");
        AlertCenter alerts(&notifications);
        const VovirSnapshot busy{100, 0, 0, 0, 0, {}, {}};
        alerts.observe(0, busy);
        alerts.observe(20'000'000'000, busy);
        // Nothing waits for the service: its answer comes later, through the event loop. The
        // alert it did not show stays in what the dialog says.
        QCOMPARE(alerts.lastProblem().isEmpty(), service != "none");
        QTRY_COMPARE_WITH_TIMEOUT(alerts.lastProblem(),
                                  said + "\nAlerte non affichée : Processeur au-dessus de 90 %, "
                                         "100 % depuis 20 s.",
                                  5000);
        fakeBus.unregisterService("org.freedesktop.Notifications");
        QDBusConnection::disconnectFromBus(service);
    }

    void oneEpisodeOneNotification()
    {
        if (QStandardPaths::findExecutable("dunst").isEmpty() ||
            qEnvironmentVariableIsEmpty("DISPLAY"))
            QSKIP("needs dunst and a display");
        // Every notification counted apart, none stacked with the one before.
        QFile config(m_home.filePath("dunstrc"));
        QVERIFY(config.open(QIODevice::WriteOnly));
        config.write("[global]\n    stack_duplicates = false\n    timeout = 0\n");
        config.close();
        m_dunst.start("dunst", {"-config", config.fileName()});
        QTRY_VERIFY_WITH_TIMEOUT(QDBusConnection::sessionBus().interface()->isServiceRegistered(
                                     "org.freedesktop.Notifications"),
                                 10000);
        storeAlerts(R"([{"metric": "cpu", "above": 90, "seconds": 20, "enabled": true}])");

        FixtureTree tree;
        tree.writeMeminfo(16 * 1024 * 1024, 8 * 1024 * 1024);
        tree.writeNetDev(0, 0);
        int64_t now = 0;
        quint64 busy = 0, idle = 0;
        tree.writeStat(busy, idle);
        VovirEngine engine(std::make_unique<LinuxProbe>(tree.root().toStdString()),
                           [&now] { return now; });
        engine.sample();
        AlertCenter alerts;
        QSignalSpy open(&alerts, &AlertCenter::openRequested);
        const struct {
            int seconds, percent, received;
        } steps[] = {
            {10, 100, 0}, {10, 0, 0},   // a spike shorter than the rule's time
            {30, 100, 1},               // held: one notification
            {20, 88, 1},  {30, 100, 1}, // a dip above the margin is the same episode
            {60, 0, 1},   {30, 100, 1}, // so is a return before the cool-down
            {310, 0, 1},  {30, 100, 2}, // after the cool-down (300 s), a new episode
        };
        for (const auto& step : steps) {
            for (int t = 0; t < step.seconds; t += 2) {
                busy += 2 * step.percent;
                idle += 2 * (100 - step.percent);
                tree.writeStat(busy, idle);
                now += 2'000'000'000;
                engine.sample();
                alerts.observe(engine.sampledAtNs(), *engine.snapshot());
            }
            // Read on the connection that sent the notifications, so after them.
            QCOMPARE(received(), step.received);
        }
        QCOMPARE(alerts.lastProblem(), QString());
        // "Ouvrir VelmoraVovir" on the notification shown.
        QDBusInterface("org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                       "org.dunstproject.cmd0")
            .call("NotificationAction", 0u);
        QTRY_COMPARE_WITH_TIMEOUT(open.size(), 1, 5000);
    }

    void theTerminalWatchAlertsToo()
    {
        if (m_dunst.state() != QProcess::Running)
            QSKIP("needs the daemon of oneEpisodeOneNotification");
        storeAlerts(R"([{"metric": "cpu", "above": 50, "seconds": 10, "enabled": true}])");
        const int before = received();
        FixtureTree tree;
        tree.writeMeminfo(16 * 1024 * 1024, 8 * 1024 * 1024);
        tree.writeNetDev(0, 0);
        quint64 busy = 0;
        tree.writeStat(busy, 0);
        QProcess watch;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("VELMORA_PROBE_ROOT", tree.root());
        env.insert("XDG_CONFIG_HOME", m_home.filePath("config"));
        env.insert("XDG_DATA_HOME", m_home.filePath("data"));
        watch.setProcessEnvironment(env);
        watch.start(QCoreApplication::applicationDirPath() + "/../src/velmoravovir", {"--watch"});
        QVERIFY(watch.waitForStarted());
        // The processor at 100 % from one printed line to the next, until the daemon has it.
        QDeadlineTimer bound(30000);
        while (received() == before && !bound.hasExpired()) {
            if (watch.waitForReadyRead(1000) && watch.readAll().contains('\n'))
                tree.writeStat(busy += 200, 0);
        }
        QCOMPARE(received(), before + 1);
        watch.terminate();
        QVERIFY(watch.waitForFinished(10000));
    }
};

QTEST_GUILESS_MAIN(TestAlerts)
#include "tst_alerts.moc"
