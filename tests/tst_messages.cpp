// The conversation's memory and its exchanges with the maker's service, against a real HTTP
// server on loopback and a store in a temporary file.
#include "messages/MessageCenter.h"
#include "service/AppInfo.h"
#include "service/ServiceExchange.h"
#include "settings/UserDefaults.h"
#include "settings/VovirSettings.h"
#include "support/LoopbackHttpServer.h"
#include "support/TestKit.h"

namespace {

QVariantMap entry(const QVariant& id, const QVariant& body, bool mine = false)
{
    return {{"id", id}, {"body", body}, {"date", QDateTime::currentDateTime()}, {"mine", mine}};
}

QJsonObject bodyOf(const LoopbackHttpServer::Request& request)
{
    return QJsonDocument::fromJson(request.body).object();
}

} // namespace

class TestMessages : public QObject {
    bool m_tooLarge = false;
    Q_OBJECT
    QTemporaryDir m_dir;
    std::unique_ptr<UserDefaults> m_store;
    std::unique_ptr<LoopbackHttpServer> m_server;
    std::unique_ptr<MessageCenter> m_center;

    UserDefaults& store() { return *m_store; }
    // Another server on another port, which a redirect may point at.
    static LoopbackHttpServer& elsewhere()
    {
        static LoopbackHttpServer server;
        return server;
    }
    // A fresh store file, server and centre for every test function and row.
    void fresh()
    {
        m_center.reset();
        m_store.reset();
        QFile::remove(m_dir.filePath("settings.json"));
        m_store = std::make_unique<UserDefaults>(m_dir.filePath("settings.json"));
        VovirSettings::setStore(m_store.get());
        m_server = std::make_unique<LoopbackHttpServer>();
        qputenv("VELMORA_SERVICE_URL", m_server->baseUrl());
        m_center = std::make_unique<MessageCenter>();
        m_center->setDeadlines(1500, 1500);
    }
    // Runs one sync to its end.
    void sync()
    {
        bool done = false;
        m_center->checkWithServer([&done] { done = true; });
        QTRY_VERIFY_WITH_TIMEOUT(done, 5000);
    }
    // Whether it was sent; m_tooLarge says whether it was refused as too large.
    std::optional<bool> report(const QString& text, const std::optional<QString>& email)
    {
        std::optional<bool> result;
        m_center->reportProblem(text, email, [&](MessageCenter::Upload outcome) {
            result = outcome == MessageCenter::Upload::Sent;
            m_tooLarge = outcome == MessageCenter::Upload::TooLarge;
        });
        // Bounded by the centre's own deadline; an unanswered call is a failure of the test.
        if (!QTest::qWaitFor([&result] { return result.has_value(); }, 5000))
            qWarning("the report never ended");
        return result;
    }
    // What the store file itself holds under a key, read by a second store.
    QVariant onDisk(const QString& key) { return UserDefaults(store().filePath()).object(key); }

private slots:
    void init() { fresh(); }
    void cleanupTestCase() { VovirSettings::setStore(nullptr); }

    // Shown messages are archived newest first, once each, fifty at most; nothing is written
    // before there is something to keep.
    void theArchive()
    {
        m_center->markMessageShown();
        QVERIFY(!QFile::exists(store().filePath()));
        for (int id = 1; id <= 51; ++id) {
            m_center->pendingMessage = PendingMessage{id, QString("m%1").arg(id)};
            m_center->markMessageShown();
        }
        m_center->pendingMessage = PendingMessage{51, "other text"};
        m_center->markMessageShown();
        const QList<ArchivedMessage> history = m_center->messageHistory();
        QCOMPARE(history.size(), 50);
        QCOMPARE(history.first().body, QString("m51"));
        QCOMPARE(history.last().id, 2);
        QVERIFY(!history.first().mine);
        // Shown twice, listed twice: the shown list does not look for an earlier copy.
        const QVariantList shown = onDisk("VSShownMessages").toList();
        QCOMPARE(shown.size(), 50);
        QCOMPARE(shown.first().toLongLong(), 3);
        QCOMPARE(onDisk("VSAckMessage").toLongLong(), 51);
        QVERIFY(!m_center->pendingMessage);
    }

    void ownMessagesOfTheSameSecondAreBothKept()
    {
        const qint64 a = m_center->archiveOwn("un");
        const qint64 b = m_center->archiveOwn("deux");
        QVERIFY(a <= 0 && b <= 0);
        QVERIFY(qAbs(a - b) <= 1);
        const QList<ArchivedMessage> history = m_center->messageHistory();
        QCOMPARE(history.size(), 2);
        QCOMPARE(history[0].body, QString("deux"));
        QVERIFY(history[0].mine && history[0].unsent);
        m_center->markOwnSent(b, "deux");
        QVERIFY(!m_center->messageHistory()[0].unsent);
        QVERIFY(m_center->messageHistory()[1].unsent);
    }

    void unreadableStoredValues_data()
    {
        QTest::addColumn<QVariant>("history");
        QTest::addColumn<int>("shownCount");
        QTest::newRow("not an array") << QVariant("texte") << 0;
        // One bad entry costs only itself, never the whole conversation.
        QTest::newRow("an integer among the entries")
            << QVariant(QVariantList{entry(qint64(2), "a"), qint64(3)}) << 1;
        QVariantList nine;
        for (qint64 id = 2; id <= 10; ++id)
            nine << entry(id, "ok");
        nine.insert(4, QVariant("pas une entrée"));
        QTest::newRow("a string among nine entries") << QVariant(nine) << 9;
        // More than the archive keeps (a store from elsewhere): the newest 50 are read.
        QVariantList sixty;
        for (qint64 id = 2; id <= 61; ++id)
            sixty << entry(id, "ok");
        QTest::newRow("sixty entries") << QVariant(sixty) << 50;
        QTest::newRow("string id and missing body are skipped")
            << QVariant(QVariantList{entry("1", "a"), QVariantMap{{"id", qint64(2)}},
                                     entry(qint64(3), "ok")})
            << 1;
    }
    void unreadableStoredValues()
    {
        QFETCH(QVariant, history);
        QFETCH(int, shownCount);
        if (history.typeId() == QMetaType::QVariantList)
            store().setArray("VSMessageHistory", history.toList());
        else
            store().setString("VSMessageHistory", history.toString());
        QCOMPARE(m_center->messageHistory().size(), shownCount);
        // A string id never matches the duplicate test; a wrong-typed archive is replaced.
        m_center->pendingMessage = PendingMessage{1, "nouveau"};
        m_center->markMessageShown();
        QCOMPARE(m_center->messageHistory().first().body, QString("nouveau"));
        QCOMPARE(m_center->messageHistory().size(), qMin(shownCount + 1, 50));
    }

    void syncRequestBody_data()
    {
        QTest::addColumn<QVariant>("ack");
        QTest::addColumn<QVariant>("sentM");
        QTest::newRow("first launch") << QVariant() << QVariant();
        QTest::newRow("acknowledged 7") << QVariant(qint64(7)) << QVariant(qint64(7));
        QTest::newRow("zero") << QVariant(qint64(0)) << QVariant();
        QTest::newRow("negative") << QVariant(qint64(-4)) << QVariant();
        QTest::newRow("string") << QVariant("7") << QVariant();
    }
    void syncRequestBody()
    {
        QFETCH(QVariant, ack);
        QFETCH(QVariant, sentM);
        if (ack.typeId() == QMetaType::LongLong)
            store().setInteger("VSAckMessage", ack.toLongLong());
        else if (ack.isValid())
            store().setString("VSAckMessage", ack.toString());
        sync();
        QCOMPARE(m_server->requests().size(), 1);
        const QJsonObject body = bodyOf(m_server->requests().first());
        const QString device = body["d"].toString();
        QVERIFY(
            QRegularExpression("^[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[0-9A-F]{4}-[0-9A-F]{12}$")
                .match(device)
                .hasMatch());
        QCOMPARE(onDisk("VSDeviceId").toString(), device);
        QCOMPARE(body["os"].toString(), MessageCenter::osString());
        QCOMPARE(body["m"].toVariant(), sentM);
        // The identifier is made once, then kept.
        sync();
        QCOMPARE(bodyOf(m_server->requests().last())["d"].toString(), device);
    }

    void syncAnswers_data()
    {
        QTest::addColumn<LoopbackHttpServer::Response>("response");
        QTest::addColumn<bool>("pending");
        using R = LoopbackHttpServer::Response;
        const QByteArray good = j("{'mid': 7, 'msg': 'Bonjour <b>toi</b>'}");
        QTest::newRow("a new message") << R{200, good} << true;
        QTest::newRow("an error status with a good body") << R{500, good} << true;
        QTest::newRow("mid 0") << R{200, j("{'mid': 0, 'msg': 'x'}")} << false;
        QTest::newRow("empty msg") << R{200, j("{'mid': 7, 'msg': ''}")} << false;
        QTest::newRow("mid as a string") << R{200, j("{'mid': '7', 'msg': 'x'}")} << false;
        QTest::newRow("mid as a fraction") << R{200, j("{'mid': 7.5, 'msg': 'x'}")} << false;
        QTest::newRow("mid written 7.0, the same number")
            << R{200, j("{'mid': 7.0, 'msg': 'Bonjour <b>toi</b>'}")} << true;
        QTest::newRow("msg missing") << R{200, j("{'mid': 7}")} << false;
        QTest::newRow("an array") << R{200, j("[{'mid': 7, 'msg': 'x'}]")} << false;
        QTest::newRow("html") << R{200, "<html>Bad gateway</html>"} << false;
        QByteArray huge = j("{'mid': 7, 'msg': '") + QByteArray(70 * 1024, 'a') + j("'}");
        QTest::newRow("over 64 KiB") << R{200, huge} << false;
        QTest::newRow("never answers") << R{200, good, "application/json", true} << false;
        QTest::newRow("nothing listens") << R{0, good} << false;
        QTest::newRow("trickles") << R{200, good, "application/json", false, 100} << false;
        QTest::newRow("cut short") << R{200, good, "application/json", false, 0, {}, true} << false;
        // Redirects stay with the service: same scheme, host and port.
        QTest::newRow("redirected within the service")
            << R{307, {}, "text/plain", false, 0, "/api/moved.php"} << true;
        QTest::newRow("redirected to another port")
            << R{307, {}, "text/plain", false, 0, elsewhere().url("/api/sync.php").toEncoded()}
            << false;
        QTest::newRow("moved for good, POST kept (308)")
            << R{308, "x", "text/plain", false, 0, "/api/moved.php"} << true;
        // A POST turned into a GET says nothing of what was sent: no answer.
        QTest::newRow("moved for good (301)")
            << R{301, {}, "text/plain", false, 0, "/api/moved.php"} << false;
        QTest::newRow("see other (303)")
            << R{303, {}, "text/plain", false, 0, "/api/moved.php"} << false;
    }
    void syncAnswers()
    {
        QFETCH(LoopbackHttpServer::Response, response);
        QFETCH(bool, pending);
        m_server->respond("/api/sync.php", response);
        if (response.status == 0)
            qputenv("VELMORA_SERVICE_URL", "http://127.0.0.1:9");
        const LoopbackHttpServer::Response offer{200, j("{'mid': 7, 'msg': 'Bonjour <b>toi</b>'}")};
        m_server->respond("/api/moved.php", offer);
        elsewhere().respond("/api/sync.php", offer);
        QSignalSpy changed(m_center.get(), &MessageCenter::pendingMessageChanged);
        sync();
        QCOMPARE(m_center->pendingMessage.has_value(), pending);
        QCOMPARE(changed.count(), pending ? 1 : 0);
        if (pending)
            QCOMPARE(m_center->pendingMessage->body, QString("Bonjour <b>toi</b>"));
        // Followed, a request is the same POST with the same body.
        for (const LoopbackHttpServer::Request& r : m_server->requests())
            QCOMPARE(r.method + r.body,
                     m_server->requests().first().method + m_server->requests().first().body);
    }

    // An exchange whose asker is gone before it ends calls nothing: a second one, with the same
    // deadline but a living asker, tells when the first has ended.
    void anAskerGoneHearsNothing()
    {
        m_server->respond("/api/sync.php", {200, {}, "application/json", true});
        bool heard = false, ended = false;
        auto asker = std::make_unique<QObject>();
        ServiceExchange::post("/api/sync.php", {}, 300, asker.get(),
                              [&heard](auto) { heard = true; });
        ServiceExchange::post("/api/sync.php", {}, 300, this, [&ended](auto) { ended = true; });
        asker.reset();
        QTRY_VERIFY_WITH_TIMEOUT(ended, 5000);
        QVERIFY(!heard);
    }

    void aShownMessageIsNotOfferedAgainAndALaterOneReplacesThePending()
    {
        m_server->respond("/api/sync.php", {200, j("{'mid': 7, 'msg': 'sept'}")});
        sync();
        m_server->respond("/api/sync.php", {200, j("{'mid': 8, 'msg': 'huit'}")});
        sync();
        QCOMPARE(m_center->pendingMessage->id, 8);
        m_center->markMessageShown();
        sync();
        QVERIFY(!m_center->pendingMessage);
        QCOMPARE(bodyOf(m_server->requests().last())["m"].toInteger(), 8);
        // Offered nothing new: the pending message stays.
        m_center->pendingMessage = PendingMessage{9, "neuf"};
        m_server->respond("/api/sync.php", {200, j("{'mid': 0, 'msg': ''}")});
        sync();
        QCOMPARE(m_center->pendingMessage->id, 9);
    }

    // The "os" member of every request, from os-release and the kernel's release.
    void systemDescription_data()
    {
        QTest::addColumn<QByteArray>("osRelease");
        QTest::addColumn<QString>("kernel");
        QTest::addColumn<QString>("description");
        QTest::newRow("debian") << QByteArray("PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n"
                                              "NAME=\"Debian GNU/Linux\"\nVERSION_ID=\"12\"\n")
                                << "6.1.0-18-amd64"
                                << "Debian GNU/Linux 12";
        QTest::newRow("ubuntu single quotes")
            << QByteArray("NAME='Ubuntu'\nVERSION_ID='24.04'\n") << "6.8.0"
            << "Ubuntu 24.04";
        QTest::newRow("rolling, no version")
            << QByteArray("NAME=Arch Linux\nID=arch\n") << "6.9.1-arch1"
            << "Arch Linux";
        QTest::newRow("no os-release") << QByteArray() << "6.1.0-18-amd64"
                                       << "Linux 6.1";
        QTest::newRow("odd kernel") << QByteArray("garbage") << "5"
                                    << "Linux 5";
    }
    void systemDescription()
    {
        QFETCH(QByteArray, osRelease);
        QFETCH(QString, kernel);
        QFETCH(QString, description);
        QCOMPARE(AppInfo::systemDescriptionFrom(osRelease, kernel), description);
    }

    // A report's body, and what counts as accepted: 2xx with "ok": true, within the deadline.
    void reports_data()
    {
        QTest::addColumn<LoopbackHttpServer::Response>("response");
        QTest::addColumn<std::optional<QString>>("email");
        QTest::addColumn<QJsonValue>("sent"); // the e-mail member sent
        QTest::addColumn<bool>("ok");
        using R = LoopbackHttpServer::Response;
        using E = std::optional<QString>;
        const QJsonValue none(QJsonValue::Undefined);
        const R accepted{200, j("{'ok': true}")};
        QTest::newRow("no e-mail") << accepted << E() << none << true;
        QTest::newRow("empty e-mail") << accepted << E("") << none << true;
        QTest::newRow("spaces only") << accepted << E("  ") << QJsonValue("  ") << true;
        QTest::newRow("an address") << accepted << E("a@b.ch") << QJsonValue("a@b.ch") << true;
        QTest::newRow("200 ok false") << R{200, j("{'ok': false}")} << E() << none << false;
        QTest::newRow("500 ok true") << R{500, j("{'ok': true}")} << E() << none << false;
        QTest::newRow("200 not JSON") << R{200, "merci"} << E() << none << false;
        QTest::newRow("200 ok as a string") << R{200, j("{'ok': 'true'}")} << E() << none << false;
        QTest::newRow("never answers")
            << R{200, {}, "application/json", true} << E() << none << false;
        QTest::newRow("redirected within the service (307)")
            << R{307, {}, "text/plain", false, 0, "/api/moved.php"} << E() << none << true;
        QTest::newRow("moved for good (301)")
            << R{301, {}, "text/plain", false, 0, "/api/moved.php"} << E() << none << false;
        QTest::newRow("too large (413)") << R{413, j("{'ok': false}")} << E() << none << false;
    }
    void reports()
    {
        QFETCH(LoopbackHttpServer::Response, response);
        QFETCH(std::optional<QString>, email);
        QFETCH(QJsonValue, sent);
        QFETCH(bool, ok);
        m_server->respond("/api/report.php", response);
        m_server->respond("/api/moved.php", {200, j("{'ok': true}")});
        QCOMPARE(report("Ligne 1\nLigne 2", email), ok);
        QCOMPARE(m_tooLarge, response.status == 413); // sending it again will not help
        const QJsonObject body = bodyOf(m_server->requests().first());
        QCOMPARE(body["text"].toString(), QString("Ligne 1\nLigne 2"));
        QCOMPARE(body["d"].toString(), store().stringValue("VSDeviceId"));
        QCOMPARE(body.value("email"), sent);
        // Sent again, it keeps its request id until it is known to have arrived (the service
        // stores a retry once); after that, the same text is a new report.
        m_server->respond("/api/report.php", {200, j("{'ok': true}")});
        QCOMPARE(report("Ligne 1\nLigne 2", email), true);
        QVERIFY(!body["r"].toString().isEmpty());
        QCOMPARE(bodyOf(m_server->requests().last())["r"] == body["r"], !ok);
    }
};

QTEST_GUILESS_MAIN(TestMessages)
#include "tst_messages.moc"
