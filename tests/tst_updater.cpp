#include "support/DelegateRig.h"
#include "support/LoopbackHttpServer.h"
#include "support/TestKit.h"

namespace {

QByteArray appcast(const QByteArray& items)
{
    return "<rss xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\"><channel>" +
           items + "</channel></rss>";
}

// An item whose build number (42) must not be taken for its version.
QByteArray item(const QByteArray& version)
{
    return "<item><sparkle:version>42</sparkle:version><sparkle:shortVersionString>" + version +
           "</sparkle:shortVersionString><link>https://velmoralabs.example/dl</link></item>";
}

} // namespace

using Outcome = UpdateCheckResult::Outcome;
Q_DECLARE_METATYPE(Outcome)

class TestUpdater : public QObject {
    Q_OBJECT
private slots:
    // What a check concludes from the feed, and from a server that fails it.
    void feeds_data()
    {
        QTest::addColumn<LoopbackHttpServer::Response>("response"); // status 0: nothing listens
        QTest::addColumn<Outcome>("outcome");
        QTest::addColumn<QString>("version");
        using R = LoopbackHttpServer::Response;
        auto feed = [](const QByteArray& items) { return R{200, appcast(items), "text/xml"}; };
        auto row = [](const char* name, const R& response, const QString& version = {}) {
            const Outcome outcome = version.isEmpty()         ? Outcome::Failed
                                    : version.startsWith('+') ? Outcome::NewerAvailable
                                                              : Outcome::UpToDate;
            QTest::newRow(name) << response << outcome << QString(version).remove('+');
        };
        // "+": a newer version, offered; otherwise the version found, not newer; none: a failure.
        row("newer, by number not text", feed(item("1.0.0") + item("1.10.0") + item("1.9.3")),
            "+1.10.0");
        row("equal, missing parts are zero", feed(item("1.0")), "1.0");
        row("equal, trailing zeros", feed(item("1.0.0.0")), "1.0.0.0");
        row("older", feed(item("0.9.1")), "0.9.1");
        row("many parts", feed(item("1.0.0.0.0.0.0.0.1")), "+1.0.0.0.0.0.0.0.1");
        row("enclosure attributes only",
            feed("<item><enclosure url=\"https://e.example/x\" "
                 "sparkle:shortVersionString=\"2.0\"/></item>"),
            "+2.0");
        row("betas and letters skipped",
            feed(item("1.0.0-beta") + item("9.0") + item("10.0rc1") + item("11.0b")), "+9.0");
        row("not xml", R{200, "{\"version\": \"9\"}"});
        row("truncated", R{200, appcast(item("2.0")).left(120)});
        row("no items", feed(""));
        row("unparsable version", feed(item("two")));
        row("unsafe links only",
            feed("<item><sparkle:shortVersionString>3.0</sparkle:shortVersionString>"
                 "<link>javascript:alert(1)</link></item><item><sparkle:shortVersionString>3.1"
                 "</sparkle:shortVersionString><link>file://velmoralabs.example/x</link></item>"));
        row("entity expansion",
            R{200, "<?xml version=\"1.0\"?><!DOCTYPE rss [<!ENTITY a \"aaaaaaaaaa\">"
                   "<!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">]>" +
                       appcast("&b;" + item("9.0"))});
        row("deeply nested", R{200, QByteArray(10000, '<').replace('<', "<a>")});
        row("unreachable", R{0, {}});
        row("server error", R{500, appcast(item("9.0"))});
        row("too slow", R{200, {}, "text/xml", true});
        row("huge", feed(QByteArray(3 * 1024 * 1024, ' ') + item("9.0")));
        row("one byte at a time", R{200, appcast(item("9.0")), "text/xml", false, 100});
        // Moved: followed within the feed's origin only ($P: the server's port).
        row("moved within its origin", R{302, {}, "text/xml", false, 0, "/moved.xml"}, "+2.0");
        row("moved to another origin",
            R{302, {}, "text/xml", false, 0, "http://localhost:$P/moved.xml"});
        row("a plain-HTTP page elsewhere",
            feed("<item><sparkle:shortVersionString>3.0</sparkle:shortVersionString>"
                 "<link>http://velmoralabs.example/dl</link></item>"));
    }
    void feeds()
    {
        QFETCH(LoopbackHttpServer::Response, response);
        QFETCH(Outcome, outcome);
        QFETCH(QString, version);
        LoopbackHttpServer server;
        response.location.replace("$P", QByteArray::number(server.url().port()));
        server.respond("/appcast.xml", response);
        server.respond("/moved.xml", {200, appcast(item("2.0")), "text/xml"});
        // The discard port: nothing listens there.
        Updater updater(response.status ? server.url("/appcast.xml")
                                        : QUrl("http://127.0.0.1:9/appcast.xml"),
                        "1.0.0");
        updater.setTimeoutMs(1500);
        QSignalSpy finished(&updater, &Updater::checkFinished);
        updater.checkForUpdates(true);
        QVERIFY(finished.wait(20000));
        const auto result = finished.first().first().value<UpdateCheckResult>();
        QCOMPARE(result.outcome, outcome);
        QCOMPARE(result.version, version);
        if (outcome == Outcome::NewerAvailable)
            QCOMPARE(result.downloadPage.scheme(), QString("https"));
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
            << appcast(item("1.0.0")) << true << QString("VelmoraVovir est à jour");
        QTest::newRow("up to date, automatic") << appcast(item("1.0.0")) << false << "";
        QTest::newRow("broken, asked")
            << QByteArray("<rss") << true << QString("La recherche de mises à jour a échoué");
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
};

QTEST_MAIN(TestUpdater)
#include "tst_updater.moc"
