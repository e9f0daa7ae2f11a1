#include "support/DelegateRig.h"
#include "support/LoopbackHttpServer.h"

#include <QSignalSpy>
#include <QTest>

namespace {

QByteArray appcast(const QByteArray& items)
{
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
           "<rss version=\"2.0\" "
           "xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\">"
           "<channel><title>VelmoraVovir</title>" +
           items + "</channel></rss>";
}

QByteArray item(const QByteArray& version,
                const QByteArray& link = "https://velmoralabs.example/dl")
{
    return "<item><title>VelmoraVovir " + version +
           "</title><sparkle:version>42</sparkle:version>"
           "<sparkle:shortVersionString>" +
           version +
           "</sparkle:shortVersionString>"
           "<link>" +
           link +
           "</link>"
           "<enclosure url=\"https://velmoralabs.example/v.tar.gz\" length=\"1\" "
           "type=\"application/octet-stream\"/>"
           "</item>";
}

} // namespace

using Outcome = UpdateCheckResult::Outcome;
Q_DECLARE_METATYPE(Outcome)

class TestUpdater : public QObject {
    Q_OBJECT
private slots:
    void versions_data()
    {
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::addColumn<int>("order"); // 2: cannot compare
        QTest::newRow("equal") << "1.0.0"
                               << "1.0.0" << 0;
        QTest::newRow("missing parts are zero") << "1.0"
                                                << "1.0.0" << 0;
        QTest::newRow("numeric, not textual") << "1.10.0"
                                              << "1.9.3" << 1;
        QTest::newRow("older") << "0.9"
                               << "1.0.0" << -1;
        QTest::newRow("letters") << "1.0b"
                                 << "1.0.0" << 2;
        QTest::newRow("pre-release suffix") << "1.0.0-beta"
                                            << "1.0.0" << 2;
        QTest::newRow("empty") << ""
                               << "1.0.0" << 2;
        QTest::newRow("many parts") << "1.2.3.4.5.6.7.8.9.10"
                                    << "1.2.3.4.5.6.7.8.9.9" << 1;
    }
    void versions()
    {
        QFETCH(QString, a);
        QFETCH(QString, b);
        QFETCH(int, order);
        const std::optional<int> result = Updater::compareVersions(a, b);
        if (order == 2)
            QVERIFY(!result);
        else
            QCOMPARE(result.value_or(99), order);
    }

    void feeds_data()
    {
        QTest::addColumn<QByteArray>("feed");
        QTest::addColumn<Outcome>("outcome");
        QTest::addColumn<QString>("version");
        QTest::newRow("newer") << appcast(item("1.0.0") + item("1.2.0") + item("1.1.5"))
                               << Outcome::NewerAvailable << "1.2.0";
        QTest::newRow("equal") << appcast(item("1.0.0")) << Outcome::UpToDate << "1.0.0";
        QTest::newRow("older") << appcast(item("0.9.1")) << Outcome::UpToDate << "0.9.1";
        QTest::newRow("enclosure attributes only")
            << appcast("<item><enclosure url=\"https://e.example/x\" "
                       "sparkle:shortVersionString=\"2.0\"/></item>")
            << Outcome::NewerAvailable << "2.0";
        QTest::newRow("not xml") << QByteArray("{\"version\": \"9\"}") << Outcome::Failed << "";
        QTest::newRow("truncated") << appcast(item("2.0")).left(120) << Outcome::Failed << "";
        QTest::newRow("no items") << appcast("") << Outcome::Failed << "";
        QTest::newRow("unparsable version") << appcast(item("two")) << Outcome::Failed << "";
        QTest::newRow("a beta before a real newer one")
            << appcast(item("1.0.0-beta") + item("9.0") + item("10.0rc1"))
            << Outcome::NewerAvailable << "9.0";
        QTest::newRow("unsafe link only")
            << appcast("<item><sparkle:shortVersionString>3.0</sparkle:shortVersionString>"
                       "<link>javascript:alert(1)</link></item>")
            << Outcome::Failed << "";
        QTest::newRow("entity expansion")
            << QByteArray("<?xml version=\"1.0\"?><!DOCTYPE rss [<!ENTITY a \"aaaaaaaaaa\">"
                          "<!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">]><rss>&b;</rss>")
            << Outcome::Failed << "";
        QTest::newRow("deeply nested")
            << QByteArray(10000, '<').replace('<', "<a>") << Outcome::Failed << "";
    }
    void feeds()
    {
        QFETCH(QByteArray, feed);
        QFETCH(Outcome, outcome);
        QFETCH(QString, version);
        LoopbackHttpServer server;
        server.respond("/appcast.xml", {200, feed, "application/xml"});
        Updater updater(server.url("/appcast.xml"), QStringLiteral("1.0.0"));
        QSignalSpy finished(&updater, &Updater::checkFinished);
        updater.checkForUpdates(true);
        QVERIFY(finished.wait(10000));
        const auto result = finished.first().first().value<UpdateCheckResult>();
        QCOMPARE(result.outcome, outcome);
        QCOMPARE(result.version, version);
        if (outcome == Outcome::NewerAvailable)
            QCOMPARE(result.downloadPage.scheme(), QStringLiteral("https"));
    }

    void failures_data()
    {
        QTest::addColumn<int>("kind"); // 0 unreachable, 1 error, 2 silent, 3 huge, 4 trickling
        QTest::newRow("unreachable") << 0;
        QTest::newRow("server error") << 1;
        QTest::newRow("too slow") << 2;
        QTest::newRow("huge") << 3;
        QTest::newRow("one byte at a time") << 4;
    }
    void failures()
    {
        QFETCH(int, kind);
        LoopbackHttpServer server;
        QUrl feed = server.url("/appcast.xml");
        if (kind == 0)
            feed = QUrl("http://127.0.0.1:9/appcast.xml"); // the discard port: nothing listens
        if (kind == 1)
            server.respond("/appcast.xml", {500, "oops"});
        if (kind == 2)
            server.respond("/appcast.xml", {200, {}, "text/xml", true});
        if (kind == 3)
            server.respond("/appcast.xml",
                           {200, appcast(QByteArray(3 * 1024 * 1024, ' ') + item("9.0"))});
        if (kind == 4)
            server.respond("/appcast.xml", {200, appcast(item("9.0")), "text/xml", false, 100});
        Updater updater(feed, QStringLiteral("1.0.0"));
        updater.setTimeoutMs(1500);
        QSignalSpy finished(&updater, &Updater::checkFinished);
        updater.checkForUpdates(true);
        QVERIFY(finished.wait(20000));
        QCOMPARE(finished.first().first().value<UpdateCheckResult>().outcome, Outcome::Failed);
    }

    void userIsToldInFrench_data()
    {
        QTest::addColumn<QByteArray>("feed");
        QTest::addColumn<bool>("userInitiated");
        QTest::addColumn<QString>("message"); // empty: no alert
        QTest::newRow("newer, asked") << appcast(item("1.1")) << true
                                      << "Une nouvelle version de VelmoraVovir est disponible";
        QTest::newRow("newer, automatic") << appcast(item("1.1")) << false
                                          << "Une nouvelle version de VelmoraVovir est disponible";
        QTest::newRow("up to date, asked")
            << appcast(item("1.0.0")) << true << QString::fromUtf8("VelmoraVovir est à jour");
        QTest::newRow("up to date, automatic") << appcast(item("1.0.0")) << false << "";
        QTest::newRow("broken, asked")
            << QByteArray("<rss") << true
            << QString::fromUtf8("La recherche de mises à jour a échoué");
        QTest::newRow("broken, automatic") << QByteArray("<rss") << false << "";
    }
    void userIsToldInFrench()
    {
        QFETCH(QByteArray, feed);
        QFETCH(bool, userInitiated);
        QFETCH(QString, message);
        LoopbackHttpServer server;
        server.respond("/appcast.xml", {200, feed, "application/xml"});
        DelegateRig rig({}, server.url("/appcast.xml"));
        rig.alerts.answers << 1; // "Plus tard": nothing is opened
        QSignalSpy finished(rig.updater.get(), &Updater::checkFinished);
        if (userInitiated)
            rig.delegate->checkForUpdates();
        else
            rig.updater->checkForUpdates(false);
        QVERIFY(finished.wait(10000));
        if (message.isEmpty()) {
            QVERIFY(rig.alerts.shown.isEmpty());
        } else {
            QCOMPARE(rig.alerts.shown.size(), 1);
            QCOMPARE(rig.alerts.shown.first().message, message);
        }
    }

    void clicksWhileAnAnswerIsShownDoNotStackAlerts()
    {
        LoopbackHttpServer server;
        server.respond("/appcast.xml", {200, appcast(item("1.0.0")), "application/xml"});
        DelegateRig rig({}, server.url("/appcast.xml"));
        QSignalSpy started(rig.updater.get(), &Updater::checkStarted);
        rig.alerts.whileShown = [&rig] {
            for (int i = 0; i < 3; ++i)
                rig.delegate->checkForUpdates();
        };
        rig.delegate->checkForUpdates();
        rig.delegate->checkForUpdates(); // while the first check runs: the same check
        QTRY_COMPARE_WITH_TIMEOUT(rig.alerts.shown.size(), 1, 10000);
        QCOMPARE(started.count(), 1);
        rig.delegate->checkForUpdates(); // once the alert is closed, a new check
        QCOMPARE(started.count(), 2);
    }

    void automaticChecksFollowTheFlag()
    {
        DelegateRig rig;
        rig.updater->setUpdateCheckInterval(3600);
        QCOMPARE(rig.updater->updateCheckInterval(), 3600);
        rig.updater->setAutomaticallyChecksForUpdates(true);
        QVERIFY(rig.store->boolValue("VSAutomaticallyChecksForUpdates"));
        UserDefaults reread(rig.store->filePath());
        QVERIFY(reread.boolValue("VSAutomaticallyChecksForUpdates"));
    }
};

QTEST_MAIN(TestUpdater)
#include "tst_updater.moc"
