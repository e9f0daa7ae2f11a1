// The maker's service driven over HTTP on loopback, on SQLite and on the PostgreSQL cluster that
// the test script starts; the maker's commands on the same database; and the application's own
// message code talking to it end to end.
#include "messages/MessageCenter.h"
#include "settings/UserDefaults.h"
#include "settings/VovirSettings.h"
#include "support/ServiceProcess.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

namespace {

QByteArray j(const char* text) // JSON written with single quotes, for readable tables
{
    return QByteArray(text).replace('\'', '"');
}

QJsonObject object(const QByteArray& body)
{
    return QJsonDocument::fromJson(body).object();
}

QByteArray syncBody(const QString& device, std::optional<qint64> ack = std::nullopt)
{
    QJsonObject body{{"d", device}, {"v", "1.0.0"}, {"os", "Debian GNU/Linux 12"}};
    if (ack)
        body.insert("m", *ack);
    return QJsonDocument(body).toJson(QJsonDocument::Compact);
}

} // namespace

class TestService : public QObject {
    Q_OBJECT

    void backends()
    {
        QTest::addColumn<QString>("backend");
        QTest::newRow("sqlite") << "sqlite";
        QTest::newRow("postgresql") << "postgresql";
    }
    // The running service of the current row.
    std::unique_ptr<ServiceProcess> started()
    {
        QFETCH(QString, backend);
        auto service = std::make_unique<ServiceProcess>(backend);
        if (!service->start())
            return nullptr;
        return service;
    }

private slots:
    void initTestCase()
    {
        // The script always starts the cluster; a run without it tests half the service.
        QVERIFY2(!ServiceProcess::postgresUrl().isEmpty(),
                 "no PostgreSQL cluster: run the tests through CTest (scripts/test.sh)");
    }

    void syncOffersTheOldestUnacknowledgedMessage_data() { backends(); }
    void syncOffersTheOldestUnacknowledgedMessage()
    {
        auto service = started();
        QVERIFY(service);
        QCOMPARE(object(service->post("/api/sync.php", syncBody("DEV-A")).body),
                 object(j("{'mid': 0, 'msg': ''}")));
        const auto first = service->command({"reply", "DEV-A", "Premier"});
        const auto second = service->command({"reply", "DEV-A", "Second"});
        QCOMPARE(first.first, 0);
        const qint64 a = first.second.trimmed().toLongLong();
        const qint64 b = second.second.trimmed().toLongLong();
        QVERIFY(a > 0 && b > a);
        // Written before the first was shown: both arrive, oldest first.
        auto offered = [&](std::optional<qint64> ack) {
            return object(service->post("/api/sync.php", syncBody("DEV-A", ack)).body);
        };
        QCOMPARE(offered(std::nullopt)["mid"].toInteger(), a);
        QCOMPARE(offered(std::nullopt)["msg"].toString(), QString("Premier"));
        QCOMPARE(offered(a)["mid"].toInteger(), b);
        QCOMPARE(offered(b)["mid"].toInteger(), 0);
        QCOMPARE(offered(a)["mid"].toInteger(), 0); // a replayed old sync brings nothing back
        // Another device never sees them.
        QCOMPARE(object(service->post("/api/sync.php", syncBody("DEV-B")).body)["mid"].toInteger(),
                 0);
        const QJsonArray devices =
            QJsonDocument::fromJson(service->command({"devices", "--json"}).second).array();
        QCOMPARE(devices.size(), 2);
        QCOMPARE(devices[0].toObject()["system"].toString(), QString("Debian GNU/Linux 12"));
    }

    void reportsAndCrashesAreStored_data() { backends(); }
    void reportsAndCrashesAreStored()
    {
        auto service = started();
        QVERIFY(service);
        const auto reply =
            service->post("/api/report.php",
                          j("{'d': 'DEV-A', 'v': '1.0.0', 'os': 'Ubuntu 24.04', 'text': 'Ça gèle', "
                            "'email': 'moi@exemple.ch'}"));
        QCOMPARE(reply.status, 200);
        QCOMPARE(object(reply.body), object(j("{'ok': true}")));
        QCOMPARE(service->post("/api/sync.php", syncBody("DEV-A")).status, 200);
        service->command({"reply", "DEV-A", "Corrigé"});
        const QJsonArray talk =
            QJsonDocument::fromJson(service->command({"conversation", "DEV-A", "--json"}).second)
                .array();
        QCOMPARE(talk.size(), 2);
        QCOMPARE(talk[0].toObject()["text"].toString(), QString("Ça gèle"));
        QCOMPARE(talk[0].toObject()["email"].toString(), QString("moi@exemple.ch"));
        QCOMPARE(talk[1].toObject()["from"].toString(), QString("maker"));
        QCOMPARE(talk[1].toObject()["acknowledged"].toBool(), false);

        // The same fault at other addresses groups together; another fault stands apart.
        auto crash = [&](const char* message, const char* address, const char* version) {
            return service
                ->post("/api/crash.php",
                       QJsonDocument(
                           QJsonObject{{"d", "DEV-A"},
                                       {"kind", "crash"},
                                       {"message", message},
                                       {"stack", QString("velmoravovir(_ZN4Rates3cpuEv+0x1c) [%1]\n"
                                                         "velmoravovir(main+0x2a) [0x5555]")
                                                     .arg(address)},
                                       {"v", version},
                                       {"os", "Debian GNU/Linux 12"}})
                           .toJson(QJsonDocument::Compact))
                .status;
        };
        QCOMPARE(crash("Signal 11", "0x7f01", "1.0.0"), 200);
        QCOMPARE(crash("Signal 11", "0x7f99", "1.0.1"), 200);
        QCOMPARE(crash("Signal 6", "0x7f01", "1.0.1"), 200);
        const QJsonArray groups =
            QJsonDocument::fromJson(service->command({"crashes", "--json"}).second).array();
        QCOMPARE(groups.size(), 2);
        QCOMPARE(groups[0].toObject()["count"].toInteger(), 2);
        QCOMPARE(groups[0].toObject()["versions"].toArray(), QJsonArray({"1.0.0", "1.0.1"}));
        QCOMPARE(groups[1].toObject()["message"].toString(), QString("Signal 6"));
    }

    void badRequests_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("status");
        auto post = [](const QByteArray& path, const QByteArray& body) {
            return "POST " + path +
                   " HTTP/1.1\r\nHost: x\r\nConnection: close\r\nContent-Length: " +
                   QByteArray::number(body.size()) + "\r\n\r\n" + body;
        };
        QTest::newRow("not JSON") << post("/api/sync.php", "<html>") << 400;
        QTest::newRow("an array") << post("/api/sync.php", "[]") << 400;
        QTest::newRow("missing os") << post("/api/sync.php", j("{'d': 'X', 'v': '1'}")) << 400;
        QTest::newRow("m as a string")
            << post("/api/sync.php", j("{'d': 'X', 'v': '1', 'os': 'L', 'm': '3'}")) << 400;
        QTest::newRow("device as a number")
            << post("/api/sync.php", j("{'d': 7, 'v': '1', 'os': 'L'}")) << 400;
        QTest::newRow("empty report")
            << post("/api/report.php", j("{'d': 'X', 'v': '1', 'os': 'L', 'text': '  '}")) << 400;
        QTest::newRow("email as a number")
            << post("/api/report.php",
                    j("{'d': 'X', 'v': '1', 'os': 'L', 'text': 'a', 'email': 1}"))
            << 400;
        QTest::newRow("crash without stack")
            << post("/api/crash.php",
                    j("{'d': 'X', 'kind': 'crash', 'message': 'm', 'v': '1', 'os': 'L'}"))
            << 400;
        QTest::newRow("device id of 1000 characters")
            << post("/api/sync.php",
                    "{\"d\": \"" + QByteArray(1000, 'A') + "\", \"v\": \"1\", \"os\": \"L\"}")
            << 400;
        // Announced sizes are refused before a byte of the body is sent.
        QTest::newRow("sync over 64 KiB")
            << QByteArray("POST /api/sync.php HTTP/1.1\r\nHost: x\r\nContent-Length: 65537\r\n\r\n")
            << 413;
        QTest::newRow("crash over 256 KiB")
            << QByteArray(
                   "POST /api/crash.php HTTP/1.1\r\nHost: x\r\nContent-Length: 262145\r\n\r\n")
            << 413;
        QTest::newRow("a gigabyte")
            << QByteArray(
                   "POST /api/report.php HTTP/1.1\r\nHost: x\r\nContent-Length: 1073741824\r\n\r\n")
            << 413;
        QTest::newRow("chunked, no length")
            << QByteArray(
                   "POST /api/sync.php HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n")
            << 411;
        QTest::newRow("a head that never ends")
            << QByteArray("POST /api/sync.php HTTP/1.1\r\nX: " + QByteArray(9000, 'a')) << 431;
        QTest::newRow("unknown path") << post("/api/other.php", "{}") << 404;
    }
    void badRequests()
    {
        QFETCH(QByteArray, request);
        QFETCH(int, status);
        ServiceProcess service("sqlite");
        QVERIFY(service.start());
        const ServiceProcess::Reply reply = service.send(request);
        QCOMPARE(reply.status, status);
        if (status == 400)
            QCOMPARE(object(reply.body), object(j("{'ok': false}")));
        // The service is still there for the next one.
        QCOMPARE(service.post("/api/sync.php", syncBody("DEV-A")).status, 200);
    }

    void aFloodingDeviceIsSlowedDownAlone()
    {
        ServiceProcess service("sqlite");
        QVERIFY(service.start());
        auto report = [&](const char* device) {
            return service
                .post("/api/report.php",
                      QJsonDocument(
                          QJsonObject{{"d", device}, {"v", "1"}, {"os", "L"}, {"text", "x"}})
                          .toJson(QJsonDocument::Compact))
                .status;
        };
        QList<int> statuses;
        for (int i = 0; i < 12; ++i)
            statuses << report("FLOOD");
        QCOMPARE(statuses.count(200), 10);
        QCOMPARE(statuses.last(), 429);
        QCOMPARE(report("CALM"), 200);
    }

    void makerCommands()
    {
        ServiceProcess service("sqlite");
        QVERIFY(service.start());
        service.post(
            "/api/report.php",
            j("{'d': 'DEV-A', 'v': '1', 'os': 'L', 'text': 'rouge \\u001b[31m ici\\u202e'}"));
        QCOMPARE(service.post("/api/sync.php", syncBody("DEV-A")).status, 200);
        const auto talk = service.command({"conversation", "DEV-A"});
        QCOMPARE(talk.first, 0);
        QVERIFY(!talk.second.contains('\x1b'));
        QVERIFY(talk.second.contains("rouge \\x1b[31m ici\\u202e"));
        QCOMPARE(service.command({"reply", "NOBODY", "x"}).first, 1);
        QCOMPARE(service.command({"conversation", "NOBODY"}).first, 1);
        QCOMPARE(service.command({"launch"}).first, 2);
        QCOMPARE(service.command({"reply", "DEV-A"}).first, 2);
        QCOMPARE(service.command({"crashes"}).second, QByteArray("no crashes yet\n"));
        QVERIFY(service.command({"devices"})
                    .second.startsWith("DEV-A  Debian GNU/Linux 12  v1.0.0  last seen "));
    }

    void aDatabaseThatGoesAwayGives503AndComesBack()
    {
        ServiceProcess service("postgresql");
        QVERIFY(service.start());
        QCOMPARE(service.post("/api/sync.php", syncBody("DEV-A")).status, 200);
        // Every session of the service's database is cut, as when the server restarts.
        {
            const QUrl url(service.database());
            QSqlDatabase db = QSqlDatabase::addDatabase("QPSQL", "killer");
            db.setHostName(url.host());
            db.setPort(url.port());
            db.setUserName(url.userName());
            db.setDatabaseName("postgres");
            QVERIFY(db.open());
            QSqlQuery(db).exec(
                "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname = '" +
                url.path().mid(1) + "'");
            db.close();
        }
        QSqlDatabase::removeDatabase("killer");
        QCOMPARE(service.post("/api/sync.php", syncBody("DEV-A")).status, 503);
        QCOMPARE(service.post("/api/sync.php", syncBody("DEV-A")).status, 200);
    }

    void theApplicationTalksToTheService_data() { backends(); }
    void theApplicationTalksToTheService()
    {
        auto service = started();
        QVERIFY(service);
        QTemporaryDir home;
        UserDefaults store(home.filePath("settings.json"));
        VovirSettings::setStore(&store);
        qputenv("VELMORA_SERVICE_URL", service->url().toString().toLatin1());
        MessageCenter center;
        auto sync = [&center] {
            bool done = false;
            center.checkWithServer([&done] { done = true; });
            QTRY_VERIFY_WITH_TIMEOUT(done, 10000);
        };
        sync(); // the application's first sync makes it known to the maker
        const QString device = center.deviceId();
        const auto reply = service->command({"reply", device, "Bonjour de Velmora Labs"});
        QCOMPARE(reply.first, 0);
        sync();
        QVERIFY(center.pendingMessage);
        QCOMPARE(center.pendingMessage->id, reply.second.trimmed().toLongLong());
        QCOMPARE(center.pendingMessage->body, QString("Bonjour de Velmora Labs"));
        center.markMessageShown();
        sync(); // acknowledges it
        sync();
        QVERIFY(!center.pendingMessage);
        const QJsonArray talk =
            QJsonDocument::fromJson(service->command({"conversation", device, "--json"}).second)
                .array();
        QCOMPARE(talk.last().toObject()["acknowledged"].toBool(), true);

        std::optional<bool> sent;
        center.reportProblem("Merci !", std::nullopt, [&sent](bool ok) { sent = ok; });
        QTRY_VERIFY_WITH_TIMEOUT(sent.has_value(), 10000);
        QVERIFY(*sent);
        VovirSettings::setStore(nullptr);
    }
};

QTEST_GUILESS_MAIN(TestService)
#include "tst_service.moc"
