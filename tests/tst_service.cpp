// The maker's service driven over HTTP on loopback, on SQLite and on the PostgreSQL cluster that
// the test script starts; the maker's commands on the same database; and the application's own
// message code talking to it end to end.
#include "crash/CrashReporter.h"
#include "http/RequestGuard.h"
#include "messages/MessageCenter.h"
#include "service/ServiceContract.h"

#include "settings/UserDefaults.h"
#include "settings/VovirSettings.h"
#include "support/LoopbackHttpServer.h"
#include "support/ServiceProcess.h"
#include "support/TestKit.h"
#include <QTemporaryFile>

#include <algorithm>
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

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

int crash(const ServiceProcess& service, const QString& device, const QString& stack,
          const QString& version = "1.0.0", const QString& message = "Signal 11")
{
    const QJsonObject body{{"d", device},    {"kind", "crash"}, {"message", message},
                           {"stack", stack}, {"v", version},    {"os", "Debian GNU/Linux 12"}};
    return service.post("/api/crash.php", QJsonDocument(body).toJson()).status;
}

// A report (or, with reply, the user's answer) of a device.
int report(const ServiceProcess& service, const QString& device, const QString& text,
           const QString& email = {}, bool reply = false)
{
    QJsonObject body{{"d", device}, {"v", "1.0.0"}, {"os", "Debian GNU/Linux 12"}, {"text", text}};
    if (!email.isEmpty())
        body.insert("email", email);
    if (reply)
        body.insert("reply", true);
    return service.post("/api/report.php", QJsonDocument(body).toJson()).status;
}

int addMaker(const ServiceProcess& service, const QString& name, const QByteArray& password,
             QByteArray* said = nullptr)
{
    return service.command({"console-user", "add", name}, said, {}, password + "\n").first;
}

// A maker signed in to the console: the header lines its page sends with a change.
struct ConsoleMaker {
    QByteArray cookie; // "Cookie: …\r\n"
    QByteArray csrf;   // "X-Velmora-Csrf: …\r\n"
    QByteArray changes() const { return cookie + csrf + "Content-Type: application/json\r\n"; }
};

// fields: extra header lines (an origin, the address a proxy saw).
std::optional<ConsoleMaker> signIn(const ServiceProcess& service, const QByteArray& name,
                                   const QByteArray& password, const QByteArray& fields = {})
{
    const auto reply = service.console(
        "POST", "/api/login", "{\"name\": \"" + name + "\", \"password\": \"" + password + "\"}",
        "Content-Type: application/json\r\n" + fields);
    const qsizetype at = reply.head.indexOf("Set-Cookie: ");
    if (reply.status != 200 || at < 0)
        return std::nullopt;
    const QByteArray cookie = reply.head.mid(at + 12, reply.head.indexOf(';', at) - at - 12);
    return ConsoleMaker{"Cookie: " + cookie + "\r\n",
                        "X-Velmora-Csrf: " + object(reply.body)["csrf"].toString().toLatin1() +
                            "\r\n"};
}

QStringList inboxOrder(const ServiceProcess& service, const ConsoleMaker& maker,
                       const QByteArray& query = {})
{
    QStringList order;
    const QJsonObject inbox =
        object(service.console("GET", "/api/inbox" + query, {}, maker.cookie).body);
    for (const QJsonValue row : inbox["conversations"].toArray())
        order << row["device"].toString() + (row["new"].toBool() ? "*" : "");
    return order;
}

} // namespace

class TestService : public QObject {
    Q_OBJECT

    // One service shared by the rows of a table that do not disturb each other.
    ServiceProcess& shared(const QString& table)
    {
        std::unique_ptr<ServiceProcess>& service = m_shared[table];
        if (!service) {
            service = std::make_unique<ServiceProcess>("sqlite");
            service->start();
        }
        return *service;
    }
    std::map<QString, std::unique_ptr<ServiceProcess>> m_shared;

    void backends()
    {
        QTest::addColumn<QString>("backend");
        QTest::newRow("sqlite") << "sqlite";
        QTest::newRow("postgresql") << "postgresql";
    }
    // The running service of the current row.
    std::unique_ptr<ServiceProcess> started(const QStringList& extra = {})
    {
        QFETCH(QString, backend);
        auto service = std::make_unique<ServiceProcess>(backend);
        if (!service->start(extra))
            return nullptr;
        return service;
    }

private slots:
    void cleanupTestCase()
    {
        m_shared.clear();
        QCOMPARE(ServiceProcess::uncleanStops(), 0);
    }
    void cleanup() { QCOMPARE(ServiceProcess::uncleanStops(), 0); }
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
        // What a sync of DEV-A, acknowledging ack, is offered.
        auto offered = [&](std::optional<qint64> ack) {
            const QJsonObject offer =
                object(service->post("/api/sync.php", syncBody("DEV-A", ack)).body);
            return QString::number(offer["mid"].toInteger()) + ' ' + offer["msg"].toString();
        };
        auto states = [&] {
            QStringList list;
            for (const QJsonValue e : service->json({"conversation", "DEV-A", "--json"}).array())
                list << e["state"].toString();
            return list;
        };
        auto reply = [&](const QString& text) {
            return service->command({"reply", "DEV-A", text}).second.trimmed().toLongLong();
        };
        QCOMPARE(offered(std::nullopt), QString("0 "));
        // An acknowledgement of what was never offered silences nothing.
        QCOMPARE(offered(9000000000), QString("0 "));
        const qint64 a = reply("Premier"), b = reply("Second");
        QVERIFY(a > 0 && b > a);
        // Written before the first was shown: both arrive, oldest first.
        QCOMPARE(states(), QStringList({"queued", "queued"}));
        QCOMPARE(offered(std::nullopt), QString::number(a) + " Premier");
        QCOMPARE(states(), QStringList({"offered", "queued"}));
        QCOMPARE(offered(a), QString::number(b) + " Second");
        QCOMPARE(states(), QStringList({"acknowledged", "offered"}));
        // Offered, it may be on the device's screen: it stays. Taken back while queued: never
        // offered, and the next one comes.
        QCOMPARE(service->command({"retract", QString::number(b)}).first, 1);
        const qint64 c = reply("Troisième"), d = reply("Quatrième");
        QCOMPARE(service->command({"retract", QString::number(c)}).first, 0);
        QCOMPARE(offered(b), QString::number(d) + " Quatrième");
        QCOMPARE(states(), QStringList({"acknowledged", "acknowledged", "retracted", "offered"}));
        QCOMPARE(service->command({"retract", QString::number(a)}).first, 1); // already read
        QCOMPARE(service->command({"retract", "999999"}).first, 1);
        QCOMPARE(offered(d), QString("0 "));
        QCOMPARE(offered(a), QString("0 ")); // a replayed old sync brings nothing back
        // What the application could never show is refused; its longest message is not.
        for (const QString& text : {QString(), QString(" \n\t "), QString(4001, QChar(u'é'))})
            QCOMPARE(service->command({"reply", "DEV-A", text}).first, 1);
        QCOMPARE(service->command({"reply", "DEV-A", QString(4000, QChar(u'é'))}).first, 0);
        QCOMPARE(states().size(), 5);
        // Another device never sees them.
        QCOMPARE(object(service->post("/api/sync.php", syncBody("DEV-B")).body)["mid"].toInteger(),
                 0);
    }

    void reportsAndCrashesAreStored_data() { backends(); }
    void reportsAndCrashesAreStored()
    {
        auto service = started();
        QVERIFY(service);
        auto device = [&] { return service->json({"devices", "--json"})[0]; };
        // A report before any sync went through (a login start without network).
        QCOMPARE(report(*service, "DEV-A", "Ça gèle", "moi@exemple.ch"), 200);
        QCOMPARE(device()["system"].toString(), QString("Debian GNU/Linux 12"));
        QCOMPARE(device()["waitingForAnswer"].toBool(), true);
        QCOMPARE(service->command({"reply", "DEV-A", "Corrigé"}).first, 0);
        QCOMPARE(device()["waitingForAnswer"].toBool(), false);
        QCOMPARE(device()["answersNotPickedUp"].toInteger(), 1);
        QCOMPARE(report(*service, "DEV-A", "Merci", {}, true), 200);
        QCOMPARE(device()["waitingForAnswer"].toBool(), true);
        // Sent again after its answer was lost: stored once. A NUL, which PostgreSQL cannot
        // keep, is dropped from texts wherever it is.
        for (int i = 0; i < 2; ++i)
            QCOMPARE(service
                         ->post("/api/report.php",
                                j("{'d': 'DEV-A', 'v': '1.0.0', 'os': 'L\\u0000', 'text': "
                                  "'Encore\\u0000 ?', 'r': 'R-1'}"))
                         .status,
                     200);
        QCOMPARE(
            service->post("/api/sync.php", j("{'d': 'DEV-A', 'v': '1\\u0000', 'os': 'L'}")).status,
            200);
        const QJsonArray talk = service->json({"conversation", "DEV-A", "--json"}).array();
        QCOMPARE(talk.size(), 4);
        QCOMPARE(talk[3]["text"].toString(), QString("Encore ?"));
        QCOMPARE(talk[0]["email"].toString() + talk[0]["text"].toString(),
                 QString("moi@exemple.chÇa gèle"));
        QCOMPARE(talk[1]["from"].toString() + talk[2]["kind"].toString(), QString("makerreply"));

        // A crash makes its device known too; one from before the device had an id does not.
        QCOMPARE(crash(*service, "DEV-C", "velmoravovir(+0x1c) [0x7f01]"), 200);
        QCOMPARE(crash(*service, "DEV-A", "velmoravovir(+0x1c) [0x7f99]"), 200);
        QCOMPARE(crash(*service, "?", "velmoravovir(+0x1c) [0x7f01]"), 200);
        const QByteArray retried = j("{'d': 'DEV-A', 'kind': 'crash', 'message': 'Signal 11', "
                                     "'stack': 'velmoravovir(+0x1c) [0x7f42]', 'v': '1.0.0', "
                                     "'os': 'L', 'r': 'C-1'}");
        for (int i = 0; i < 2; ++i)
            QCOMPARE(service->post("/api/crash.php", retried).status, 200);
        QByteArray said;
        QCOMPARE(service->json({"devices", "--json"}).array().size(), 2);
        QCOMPARE(service->command({"devices"}, &said).first, 0);
        QCOMPARE(said, QByteArray()); // no notice from the database at each command
        const QJsonArray groups = service->json({"crashes", "--json"}).array();
        QCOMPARE(groups.size(), 1);
        QCOMPARE(groups[0]["count"].toInteger(), 4);
        QCOMPARE(groups[0]["devices"].toInteger(), 3);
        const QString signature = groups[0]["signature"].toString();
        QCOMPARE(service->json({"crash", signature, "--json"})["deviceList"].toArray().size(), 3);
        QCOMPARE(service->command({"crash", "0000000000000000"}).first, 1);
    }

    // Two crashes of one device: whether they fall into one group.
    void crashGroups_data()
    {
        QTest::addColumn<QString>("first");
        QTest::addColumn<QString>("second");
        QTest::addColumn<QString>("secondVersion");
        QTest::addColumn<bool>("together");
        const QString top = "velmoravovir(_ZN4Rates3cpuEv+0x1c) [0x7f01]\n"
                            "velmoravovir(+0x4a10) [0x7f02]\n"
                            "libc.so.6(+0x271ca) [0x7f03]\n";
        QTest::newRow("loaded elsewhere")
            << top << QString(top).replace("[0x7f", "[0x55") << "1.0.0" << true;
        QTest::newRow("another place in one function")
            << top << QString(top).replace("+0x1c", "+0x2c") << "1.0.0" << false;
        QTest::newRow("another place in the program")
            << top << QString(top).replace("+0x4a10", "+0x4b80") << "1.0.0" << false;
        QTest::newRow("another version") << top << top << "1.0.1" << false;
        QTest::newRow("callers differ below the top frames") << top + "a\nb\nc" << top + "a\nb\nx"
                                                             << "1.0.0" << true;
        QTest::newRow("lines ending in CR LF")
            << top << QString(top).replace("\n", "\r\n") << "1.0.0" << true;
        QTest::newRow("gdb's addresses") << "#0  0x00007f01 in raise () from /lib/libc.so.6"
                                         << "#0  0x00007f99 in raise () from /lib/libc.so.6"
                                         << "1.0.0" << true;
    }
    void crashGroups()
    {
        QFETCH(QString, first);
        QFETCH(QString, second);
        QFETCH(QString, secondVersion);
        QFETCH(bool, together);
        // One service for the table, each row's crashes told apart by their message.
        ServiceProcess& service = shared("crash groups");
        const QString message = QTest::currentDataTag();
        QCOMPARE(crash(service, "DEV-A", first, "1.0.0", message), 200);
        QCOMPARE(crash(service, "DEV-A", second, secondVersion, message), 200);
        const QJsonArray groups = service.json({"crashes", "--json"}).array();
        QCOMPARE(std::count_if(groups.begin(), groups.end(),
                               [&](const QJsonValue& g) { return g["message"] == message; }),
                 together ? 1 : 2);
    }

    // Crashes of the application really crashing, named from the debugging information of
    // their build once the maker gives it: two builds of one fault (two versions, two build
    // ids) become one group titled by its function, with the fault's file and line; later
    // crashes of those builds join it; a file that is not one is refused, and a crafted one
    // leaves the service answering.
    void crashesAreNamedFromTheirBuild_data() { backends(); }
    void crashesAreNamedFromTheirBuild()
    {
        LoopbackHttpServer receiver;
        receiver.respond("/hook", {204, {}});
        const std::unique_ptr<ServiceProcess> service =
            started({"--notify-url", receiver.url("/hook").toString()});
        QVERIFY(service);
        QTemporaryDir dir;
        const QString builds[] = {VELMORA_CRASH_CHILD, VELMORA_CRASH_CHILD_AGAIN};
        QList<QByteArray> bodies;
        for (int i = 0; i < 2; ++i) {
            const QString pending = dir.filePath(QString("pending-%1.txt").arg(i));
            QCOMPARE(QProcess::execute(builds[i], {"segv", pending}) == 0, false);
            QFile file(pending);
            QVERIFY(file.open(QIODevice::ReadOnly));
            const CrashReporter::PendingReport report =
                CrashReporter::splitPendingReport(QString::fromUtf8(file.readAll()));
            bodies << QJsonDocument(ServiceContract::toJson(ServiceContract::CrashRequest{
                                        "DEV-S",
                                        "crash",
                                        report.message,
                                        report.stack,
                                        QString("1.0.%1").arg(i),
                                        "Debian GNU/Linux 12",
                                        {},
                                        ServiceContract::framesFrom(report.frames),
                                        ServiceContract::contextFrom(report.context)}))
                          .toJson();
            QCOMPARE(service->post("/api/crash.php", bodies.last()).status, 200);
        }
        auto groups = [&] { return service->json({"crashes", "--json"}).array(); };
        QCOMPARE(groups().size(), 2); // by version and stack, as long as nothing names them

        QByteArray errors;
        QCOMPARE(service->command({"symbols", "add", builds[0], builds[1]}, &errors).first, 0);
        QCOMPARE(groups().size(), 1);
        QCOMPARE(service->post("/api/crash.php", bodies[0]).status, 200);
        const QJsonArray named = groups();
        QCOMPARE(named.size(), 1);
        QCOMPARE(named[0]["count"].toInt(), 3);
        const QJsonObject group =
            service->json({"crash", named[0]["signature"].toString(), "--json"}).object();
        QCOMPARE(group["title"].toString(), QString("crashChildRecurse"));
        // The fault's own frame: the line that reads through the null pointer.
        QFile source(VELMORA_CRASH_CHILD_SOURCE);
        QVERIFY(source.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = source.readAll().split('\n');
        const int faultLine = int(std::find_if(lines.begin(), lines.end(),
                                               [](const QByteArray& l) {
                                                   return l.contains("volatile int*>(nullptr)");
                                               }) -
                                  lines.begin()) +
                              1;
        const QJsonArray frames = group["frames"].toArray();
        const auto fault = std::find_if(frames.begin(), frames.end(), [](const QJsonValue& f) {
            return f["function"] == "crashChildRecurse";
        });
        QVERIFY(fault != frames.end());
        const QJsonObject faultFrame = (*fault).toObject();
        QVERIFY(faultFrame["file"].toString().endsWith("crash_child.cpp"));
        QCOMPARE(faultFrame["line"].toInt(), faultLine);

        // Resolved in 1.0.1: a crash of 1.0.1 leaves it so; two of 1.0.2 make it a regression,
        // told once.
        const QString signature = named[0]["signature"].toString();
        // As in the console, only a version: not a word.
        QCOMPARE(service->command({"crash", signature, "--resolve", "demain"}).first, 1);
        QCOMPARE(service->command({"crash", signature, "--resolve", "1.0.1"}).first, 0);
        QCOMPARE(service->post("/api/crash.php", bodies[1]).status, 200);
        auto group0 = [&](const char* member) { return groups()[0].toObject()[member].toString(); };
        QCOMPARE(group0("state"), QString("resolved"));
        QByteArray later = bodies[1];
        later.replace("\"1.0.1\"", "\"1.0.2\"");
        for (int i = 0; i < 2; ++i)
            QCOMPARE(service->post("/api/crash.php", later).status, 200);
        QCOMPARE(group0("state"), QString("regressed"));
        QCOMPARE(group0("stateVersion"), QString("1.0.2"));
        auto regressions = [&] {
            const QList<LoopbackHttpServer::Request> got = receiver.requests();
            return std::count_if(got.begin(), got.end(), [](const auto& r) {
                return object(r.body)["event"] == "crash-regression";
            });
        };
        QTRY_COMPARE_WITH_TIMEOUT(regressions(), 1, 10000);

        // Not a debugging file; a crafted one (a build's first pages): refused or unnamed, and
        // the service goes on.
        QCOMPARE(service->command({"symbols", "add", VELMORA_CRASH_CHILD_SOURCE}, &errors).first,
                 1);
        QVERIFY(errors.contains("is not an ELF file"));
        QFile whole(builds[0]);
        QVERIFY(whole.open(QIODevice::ReadOnly));
        QFile cut(dir.filePath("crafted.debug"));
        QVERIFY(cut.open(QIODevice::WriteOnly));
        cut.write(whole.read(whole.size() / 3));
        cut.close();
        service->command({"symbols", "add", cut.fileName()}, &errors);
        QCOMPARE(service->post("/api/crash.php", bodies[1]).status, 200);
        // A report naming 2,000 frames: the first 64 are kept, the rest never read.
        QJsonObject many = QJsonDocument::fromJson(bodies[0]).object();
        QJsonArray framesMany;
        for (int i = 0; i < 2000; ++i)
            framesMany.append(many["frames"].toArray()[i % 20]);
        many["frames"] = framesMany;
        many["message"] = "Signal 7";
        QCOMPARE(service->post("/api/crash.php", QJsonDocument(many).toJson(QJsonDocument::Compact))
                     .status,
                 200);
        const QJsonArray bus = groups();
        const auto seven = std::find_if(
            bus.begin(), bus.end(), [](const QJsonValue& g) { return g["message"] == "Signal 7"; });
        QVERIFY(seven != bus.end());
        QVERIFY(service->json({"crash", (*seven).toObject()["signature"].toString(), "--json"})
                    .object()["frames"]
                    .toArray()
                    .size() <= ServiceContract::kMaxCrashFrames);
        QCOMPARE(service->post("/api/sync.php", syncBody("DEV-S")).status, 200);
    }

    // Everything kept about a device, given back whole; then erased, its words gone from the
    // console's search too; another device's data untouched.
    void aDevicesDataExportedThenForgotten_data() { backends(); }
    void aDevicesDataExportedThenForgotten()
    {
        const std::unique_ptr<ServiceProcess> service = started();
        QVERIFY(service);
        QCOMPARE(report(*service, "DEV-E", "Le réseau tombe", "ana@exemple.fr"), 200);
        QCOMPARE(report(*service, "DEV-K", "Le réseau aussi"), 200);
        QCOMPARE(service->command({"reply", "DEV-E", "Bonjour Ana"}).first, 0);
        QCOMPARE(crash(*service, "DEV-E", "a"), 200);
        QCOMPARE(addMaker(*service, "bob", "0123456789"), 0);
        const std::optional<ConsoleMaker> maker = signIn(*service, "bob", "0123456789");
        QVERIFY(maker);
        QCOMPARE(inboxOrder(*service, *maker, "?q=r%C3%A9seau").size(), 2);

        const QJsonObject all = service->json({"export", "DEV-E"}).object();
        const auto first = [&](const char* table) { return all[table].toArray()[0].toObject(); };
        QCOMPARE(first("devices")["id"].toString(), QString("DEV-E"));
        QCOMPARE(first("reports")["text"].toString(), QString("Le réseau tombe"));
        QCOMPARE(first("reports")["email"].toString(), QString("ana@exemple.fr"));
        QCOMPARE(first("maker_messages")["text"].toString(), QString("Bonjour Ana"));
        QCOMPARE(first("crashes")["stack"].toString(), QString("a"));
        QCOMPARE(all["active_devices"].toArray().size(), 1);
        QVERIFY(all.contains("mail_outbox"));

        QCOMPARE(service->command({"forget", "DEV-E"}).first, 0);
        QCOMPARE(service->command({"export", "DEV-E"}).first, 1);
        QCOMPARE(inboxOrder(*service, *maker, "?q=r%C3%A9seau"), QStringList{"DEV-K*"});
        QCOMPARE(inboxOrder(*service, *maker, "?q=ana"), QStringList{});
        QVERIFY(service->json({"crashes", "--json"}).array().isEmpty());
        if (!service->database().startsWith("sqlite:"))
            return;
        // SQLite's search index itself keeps no trace of the words.
        {
            QSqlDatabase index = QSqlDatabase::addDatabase("QSQLITE", "index");
            index.setDatabaseName(service->database().mid(7));
            QVERIFY(index.open());
            QSqlQuery q(index);
            QVERIFY(q.exec("SELECT (SELECT COUNT(*) FROM reports_search WHERE reports_search "
                           "MATCH 'ana OR tombe') + (SELECT COUNT(*) FROM answers_search WHERE "
                           "answers_search MATCH 'bonjour')") &&
                    q.next());
            QCOMPARE(q.value(0).toInt(), 0);
        }
        QSqlDatabase::removeDatabase("index");
    }

    // retention-days: reports and crashes older than that are erased as the service starts
    // (and once a day), their words with them; newer ones stay.
    void retentionErasesWhatIsOlder()
    {
        ServiceProcess service("sqlite");
        QVERIFY(service.start());
        QCOMPARE(report(service, "DEV-R", "ancien message"), 200);
        QCOMPARE(crash(service, "DEV-R", "old"), 200);
        QCOMPARE(report(service, "DEV-R", "récent"), 200);
        service.stop();
        {
            QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "aged");
            db.setDatabaseName(service.database().mid(7));
            QVERIFY(db.open());
            QSqlQuery q(db);
            QVERIFY(q.exec("UPDATE reports SET received = 1000 WHERE text = 'ancien message'"));
            QVERIFY(q.exec("UPDATE crashes SET received = 1000"));
        }
        QSqlDatabase::removeDatabase("aged");
        QTemporaryFile config;
        QVERIFY(config.open());
        config.write("retention-days = 30\n");
        config.close();
        QVERIFY(service.start({"--config", config.fileName()}));
        QTRY_VERIFY_WITH_TIMEOUT(service.json({"crashes", "--json"}).array().isEmpty(), 10000);
        const QJsonArray left = service.json({"conversation", "DEV-R", "--json"}).array();
        QCOMPARE(left.size(), 1);
        QCOMPARE(left[0].toObject()["text"].toString(), QString("récent"));
        QByteArray said;
        config.open();
        config.resize(0);
        config.write("retention-days = forever\n");
        config.close();
        QCOMPARE(service.command({"devices", "--config", config.fileName()}, &said).first, 1);
        QVERIFY2(said.contains("retention-days takes a number of days"), said.constData());
    }

    // Each version's share of active devices that did not crash: devices counted by their
    // syncs (once a day however often), crashes by device, a crash making its device active.
    void crashFreeShareByVersion()
    {
        ServiceProcess& service = shared("versions");
        for (int i = 0; i < 4; ++i)
            for (int again = 0; again < 2; ++again)
                QCOMPARE(service
                             .post("/api/sync.php", j(QString("{'d': 'DEV-V%1', 'v': '2.0.0',"
                                                              " 'os': 'L'}")
                                                          .arg(i)
                                                          .toUtf8()))
                             .status,
                         200);
        QCOMPARE(crash(service, "DEV-V0", "a", "2.0.0"), 200);
        QCOMPARE(crash(service, "DEV-V0", "b", "2.0.0"), 200);
        QCOMPARE(crash(service, "DEV-W", "a", "2.0.1"), 200);
        QCOMPARE(
            service.json({"versions", "--json"}).array(),
            QJsonDocument::fromJson(j("[{'version': '2.0.1', 'activeToday': 1, 'crashedToday': 1,"
                                      " 'crashFreeToday': 0, 'activeWeek': 1, 'crashedWeek': 1,"
                                      " 'crashFreeWeek': 0},"
                                      " {'version': '2.0.0', 'activeToday': 4, 'crashedToday': 1,"
                                      " 'crashFreeToday': 75, 'activeWeek': 4, 'crashedWeek': 1,"
                                      " 'crashFreeWeek': 75}]"))
                .array());
    }

    // What the service and its console refuse, on one service: malformed or hostile requests
    // to the public paths, and to the console what its page would never send (no session, no
    // CSRF token, a form's body, another site's origin) or what `reply` refuses too.
    void refusals_data()
    {
        QTest::addColumn<QByteArray>("request"); // $S: the console session's cookie, $C: its token
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("byteByByte");
        QTest::addColumn<bool>("console");
        // A whole request as written, or one to TARGET ("METHOD PATH") with its body; the rows
        // named "console: …" go to the console's port.
        auto raw = [](const char* name, const QByteArray& request, int status, bool slow = false) {
            QTest::newRow(name) << request << status << slow
                                << QByteArray(name).startsWith("console");
        };
        auto row = [&raw](const char* name, const QByteArray& target, const QByteArray& body,
                          int status, const QByteArray& fields = {}) {
            raw(name,
                target + " HTTP/1.1\r\nHost: $H\r\nConnection: close\r\nContent-Length: " +
                    QByteArray::number(body.size()) + "\r\n" + fields + "\r\n" + body,
                status);
        };
        const QByteArray sync = "POST /api/sync.php", report = "POST /api/report.php";
        row("not JSON", sync, "<html>", 400);
        row("an array", sync, "[]", 400);
        row("missing os", sync, j("{'d': 'X', 'v': '1'}"), 400);
        row("m as a string", sync, j("{'d': 'X', 'v': '1', 'os': 'L', 'm': '3'}"), 400);
        row("device as a number", sync, j("{'d': 7, 'v': '1', 'os': 'L'}"), 400);
        row("empty report", report, j("{'d': 'X', 'v': '1', 'os': 'L', 'text': '  '}"), 400);
        row("email as a number", report,
            j("{'d': 'X', 'v': '1', 'os': 'L', 'text': 'a', 'email': 1}"), 400);
        row("crash without stack", "POST /api/crash.php",
            j("{'d': 'X', 'kind': 'c', 'message': 'm', 'v': '1', 'os': 'L'}"), 400);
        // Ids the maker could not tell apart or type back.
        for (const QByteArray& id : QByteArrayList{"A\\u0000B", "\\ud800", "AB\\u202eC",
                                                   "A\\u0085B", QByteArray(1000, 'A')})
            row(qPrintable("device id " + id.left(12)), sync,
                "{\"d\": \"" + id + "\", \"v\": \"1\", \"os\": \"L\"}", 400);
        row("unknown path", "POST /api/other.php", "{}", 404);
        row("GET on the sync path", "GET /api/sync.php", {}, 405);
        // Announced sizes are refused before a byte of the body is sent, however the head is cut
        // and whatever ends its lines.
        const QByteArray head = "HTTP/1.1\r\nHost: x\r\nContent-Length: ";
        raw("sync over 64 KiB", sync + ' ' + head + "65537\r\n\r\n", 413);
        raw("crash over 256 KiB", "POST /api/crash.php " + head + "262145\r\n\r\n", 413);
        raw("a gigabyte", report + ' ' + head + "1073741824\r\n\r\n", 413);
        // Two lengths, the way to smuggle a request past a proxy: refused, even when the first is
        // right.
        const QByteArray valid = syncBody("DEV-A");
        raw("two different lengths",
            sync + ' ' + head + QByteArray::number(valid.size()) +
                "\r\nContent-Length: " + QByteArray::number(valid.size() + 5) + "\r\n\r\n" + valid,
            400);
        raw("a head cut byte by byte", sync + ' ' + head + "200000\r\n\r\n", 413, true);
        raw("lines ending in a bare LF",
            QByteArray(sync + ' ' + head + "200000\r\n\r\n").replace("\r\n", "\n"), 413);
        const QByteArray chunked = " HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n";
        raw("chunked, no length", sync + chunked, 411);
        raw("chunked, cut byte by byte", report + chunked, 411, true);
        raw("a head that never ends", sync + " HTTP/1.1\r\nX: " + QByteArray(9000, 'a'), 431);
        QByteArray fields;
        for (int i = 0; i < 65; ++i)
            fields += "X-" + QByteArray::number(i) + ": a\r\n";
        raw("65 header fields", sync + " HTTP/1.1\r\n" + fields + "\r\n", 431);

        const QByteArray json = "Content-Type: application/json\r\n", signedIn = "$S$C" + json;
        const QByteArray answer = j("{'device': 'DEV-A', 'text': 'Bonjour'}");
        const QByteArray elsewhere = "Origin: http://127.0.0.1:9\r\n", reply = "POST /api/reply";
        row("console: no session", "GET /api/inbox", {}, 401);
        row("console: a made-up session", "GET /api/inbox", {}, 401,
            "Cookie: velmora_console=x\r\n");
        row("console: no CSRF token", reply, answer, 403, "$S" + json);
        row("console: another site", reply, answer, 403, signedIn + elsewhere);
        row("console: a form's body", reply, answer, 403, "$S$CContent-Type: text/plain\r\n");
        row("console: a blank answer", reply, j("{'device': 'DEV-A', 'text': ' \\n '}"), 400,
            signedIn);
        row("console: 4001 characters", reply,
            "{\"device\": \"DEV-A\", \"text\": \"" + QByteArray(4001, 'a') + "\"}", 400, signedIn);
        row("console: an unknown device", reply, j("{'device': 'NOBODY', 'text': 'Bonjour'}"), 404,
            signedIn);
        row("console: an answer", reply, answer, 200, signedIn);
        row("console: a body too large", reply, QByteArray(70 * 1024, ' '), 413, signedIn);
        row("console: retracting nothing", "POST /api/retract", j("{'id': 999}"), 404, signedIn);
        row("console: handled, unknown", "POST /api/handled", j("{'device': 'NOBODY'}"), 404,
            signedIn);
        row("console: conversation, unknown", "GET /api/conversation?device=NOBODY", {}, 404, "$S");
        row("console: crash group, unknown", "GET /api/crash?signature=x", {}, 404, "$S");
        row("console: signed in from another site", "POST /api/login",
            j("{'name': 'alice', 'password': 'un mot de passe sûr'}"), 403, json + elsewhere);
        // U+0000 in a name, an id or an answer: refused at the door, not by the database.
        row("console: a NUL in an answer", reply, j("{'device': 'DEV-A', 'text': 'a\\u0000'}"), 400,
            signedIn);
        row("console: a NUL in a search", "GET /api/inbox?q=a%00", {}, 400, "$S");
        row("console: a NUL in a name", "POST /api/login",
            j("{'name': 'a\\u0000', 'password': 'x'}"), 400, json);
    }
    void refusals()
    {
        QFETCH(QByteArray, request);
        QFETCH(int, status);
        QFETCH(bool, byteByByte);
        QFETCH(bool, console);
        ServiceProcess& service = shared("refusals");
        static std::optional<ConsoleMaker> maker;
        if (!maker) {
            QCOMPARE(addMaker(service, "alice", "un mot de passe sûr"), 0);
            QCOMPARE(service.post("/api/sync.php", syncBody("DEV-A")).status, 200);
            maker = signIn(service, "alice", "un mot de passe sûr");
            QVERIFY(maker);
        }
        request.replace("$S", maker->cookie)
            .replace("$C", maker->csrf)
            .replace("$H", "127.0.0.1:" + QByteArray::number(service.consolePort()));
        const ServiceProcess::Reply reply =
            service.send(request, {}, byteByByte, 10000, console ? service.consolePort() : 0);
        QCOMPARE(reply.status, status);
        if (status == 400 && !console)
            QCOMPARE(object(reply.body), object(j("{'ok': false}")));
        if (status == 405)
            QVERIFY(reply.head.contains("\r\nAllow: POST"));
        if (console && status != 413)
            QVERIFY(reply.head.contains("Content-Security-Policy: default-src 'self'"));
        // The service is still there for the next one.
        QCOMPARE(service.post("/api/sync.php", syncBody("DEV-A")).status, 200);
    }

    // A device that floods is slowed down alone, and so is an address that makes up device ids:
    // the address a trusted proxy names (not what the client wrote before it), nobody else's.
    void floodsAreSlowedDown()
    {
        ServiceProcess proxied("sqlite"), direct("sqlite");
        QVERIFY(proxied.start({"--trusted-proxies", "127.0.0.1"}) &&
                direct.start({"--trusted-proxies", "192.0.2.99"}));
        auto statuses = [](const ServiceProcess& service, int count, const QByteArray& address,
                           const QString& device) {
            QList<int> list;
            for (int i = 0; i < count; ++i)
                list << service
                            .post(
                                "/api/report.php",
                                QJsonDocument(QJsonObject{{"d", device.contains('%') ? device.arg(i)
                                                                                     : device},
                                                          {"v", "1"},
                                                          {"os", "L"},
                                                          {"text", "x"}})
                                    .toJson(),
                                10000, "X-Forwarded-For: 10.9.9.9, " + address + "\r\n")
                            .status;
            return list;
        };
        QCOMPARE(statuses(proxied, 12, "192.0.2.1", "FLOOD").count(200), 10);
        QCOMPARE(statuses(proxied, 1, "192.0.2.1", "CALM"), QList<int>{200});
        const QList<int> madeUp = statuses(proxied, 31, "192.0.2.2", "MADE-UP-%1");
        QCOMPARE(madeUp.count(200), 30);
        QCOMPARE(madeUp.last(), 429);
        QCOMPARE(statuses(proxied, 1, "192.0.2.3", "MADE-UP-X"), QList<int>{200});
        // From a client that is not a trusted proxy, the header names nothing: one address, one
        // limit.
        QList<int> named;
        for (int i = 0; i < 31; ++i)
            named +=
                statuses(direct, 1, "192.0.2." + QByteArray::number(i), QString("OTHER-%1").arg(i));
        QCOMPARE(named.count(200), 30);
    }

    // 1,100 connections from one address that send a byte and wait (slowloris), more than
    // the service's file descriptors: a device elsewhere still syncs at once.
    void aCrowdFromOneAddressLeavesRoomForOthers()
    {
        rlimit files{};
        getrlimit(RLIMIT_NOFILE, &files);
        files.rlim_cur = files.rlim_max;
        QVERIFY(setrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur > 1200);
        ServiceProcess service("sqlite");
        QVERIFY(service.start());
        std::vector<std::unique_ptr<QTcpSocket>> crowd;
        for (int i = 0; i < 1100; ++i) {
            auto socket = std::make_unique<QTcpSocket>();
            socket->bind(QHostAddress("127.0.0.2"));
            socket->connectToHost(QHostAddress::LocalHost, service.url().port());
            crowd.push_back(std::move(socket));
        }
        QVERIFY(QTest::qWaitFor(
            [&] {
                return std::all_of(crowd.begin(), crowd.end(), [](const auto& s) {
                    return s->state() != QAbstractSocket::ConnectingState &&
                           s->state() != QAbstractSocket::HostLookupState;
                });
            },
            20000));
        for (auto& socket : crowd)
            if (socket->state() == QAbstractSocket::ConnectedState)
                socket->write("P");
        QCOMPARE(service.post("/api/sync.php", syncBody("DEV-A"), 1000).status, 200);
        // Beyond its share, the crowd was turned away.
        QTRY_VERIFY_WITH_TIMEOUT(std::count_if(crowd.begin(), crowd.end(),
                                               [](const auto& s) {
                                                   return s->state() ==
                                                          QAbstractSocket::ConnectedState;
                                               }) <= RequestGuard::kMaxConnectionsPerAddress,
                                 10000);
    }

    void makerCommands()
    {
        ServiceProcess& service = shared("maker commands");
        QCOMPARE(report(service, "DEV-A", "rouge \x1b[31m ici\u202e\u0085\tfin"), 200);
        QCOMPARE(service.post("/api/sync.php", syncBody("DEV-A")).status, 200);
        const auto talk = service.command({"conversation", "DEV-A"});
        QCOMPARE(talk.first, 0);
        QVERIFY(!talk.second.contains('\x1b'));
        QVERIFY(talk.second.contains("rouge \\x1b[31m ici\\u202e\\x85\tfin")); // a tab is harmless
        // As JSON too: nothing raw that the terminal would act on, the same text read back.
        const QByteArray json = service.command({"conversation", "DEV-A", "--json"}).second;
        QVERIFY(!json.contains("\xe2\x80\xae") && !json.contains("\xc2\x85"));
        QCOMPARE(QJsonDocument::fromJson(json)[0]["text"].toString(),
                 "rouge \x1b[31m ici\u202e\u0085\tfin");
        QVERIFY(talk.second.contains("  user report\n"));
        // Ids as makers copy them: lower case, or the first 8 characters or more.
        for (const char* id :
             {"0C9F5B1E-7A4D-4E8B-9D2C-3F6A1B0E5D47", "0C9F5B1E-0000-4E8B-9D2C-3F6A1B0E5D47",
              "1D9F5B1E-7A4D-4E8B-9D2C-3F6A1B0E5D47"})
            QCOMPARE(service.post("/api/sync.php", syncBody(id)).status, 200);
        const QList<QPair<QString, int>> named{{"0c9f5b1e-7a4d-4e8b-9d2c-3f6a1b0e5d47", 0},
                                               {"1d9f5b1e", 0},
                                               {"1D9F5B1", 1},  // too short to trust
                                               {"0C9F5B1E", 1}, // two devices begin so
                                               {"0c9f5b1e-7", 0}};
        for (const auto& [id, code] : named)
            QVERIFY2(service.command({"reply", id, "Bonjour"}).first == code, qPrintable(id));
        // A device that waits for an answer comes first, however long ago it was seen.
        const QByteArray listed = service.command({"devices"}).second;
        QVERIFY2(listed.startsWith("DEV-A  Debian GNU/Linux 12  v1.0.0  last seen "), listed);
        QVERIFY(listed.split('\n')[0].contains(", waits for an answer since "));
        QVERIFY(listed.contains("1D9F5B1E-7A4D-4E8B-9D2C-3F6A1B0E5D47  Debian GNU/Linux 12  v1.0.0 "
                                " last seen "));
        QVERIFY(listed.contains(", 1 answer(s) not picked up yet"));
        QCOMPARE(service.command({"reply", "NOBODY", "x"}).first, 1);
        QCOMPARE(service.command({"conversation", "NOBODY"}).first, 1);
        QCOMPARE(service.command({"launch"}).first, 2);
        QCOMPARE(service.command({"reply", "DEV-A"}).first, 2);
        QCOMPARE(service.command({"crashes"}).second, QByteArray("no crashes yet\n"));
    }

    // What an administrator does: a configuration file instead of options, a backup of the
    // live database, and a database from a newer version left alone.
    void administration()
    {
        ServiceProcess service("sqlite");
        QVERIFY(service.start());
        QCOMPARE(service.post("/api/sync.php", syncBody("DEV-A")).status, 200);
        QTemporaryDir dir;
        auto config = [&dir](const QByteArray& text) {
            QFile file(dir.filePath("velmora-service.conf"));
            file.open(QIODevice::WriteOnly | QIODevice::Truncate);
            file.write(text);
            return file.fileName();
        };
        const QString conf =
            config("# the service's database\ndatabase = " + service.database().toUtf8() +
                   "\nlisten = 127.0.0.1:0\n");
        QCOMPARE(service.json({"devices", "--json", "--config", conf})[0]["id"].toString(),
                 QString("DEV-A"));
        QByteArray said;
        QCOMPARE(
            service.command({"devices", "--config", config("databse = sqlite:/x\n")}, &said).first,
            1);
        QVERIFY2(said.contains("line 1: expected one of"), said.constData());
        // Yes and no as people write them; a value that is neither, or unusable, is named by
        // the file's key and line.
        QCOMPARE(
            service
                .command({"serve", "--config", config("console-behind-tls = peut-être\n")}, &said)
                .first,
            1);
        QVERIFY2(said.contains("line 1: console-behind-tls takes yes or no"), said.constData());
        QCOMPARE(service
                     .command({"serve", "--config",
                               config("database = " + service.database().toUtf8() +
                                      "\nconsole-behind-tls = oui\nlisten = nowhere\n")},
                              &said)
                     .first,
                 2);
        QVERIFY2(said.contains("line 3: listen takes ADDRESS:PORT"), said.constData());
        // PostgreSQL not up yet (at boot): serve waits for it, and says so.
        QProcess waiting;
        waiting.start(VELMORA_SERVICE_BIN, {"serve", "--database", "postgresql://x@127.0.0.1:9/x"});
        QVERIFY(QTest::qWaitFor(
            [&] { return waiting.readAllStandardError().contains("trying again in"); }, 10000));
        QCOMPARE(waiting.state(), QProcess::Running);
        waiting.kill();
        waiting.waitForFinished();

        // A copy of the live database, by root where the service's user may not write (a
        // folder of root's), mode 0640, or to standard output; never over a file. Put back in
        // place, it is the database as it was.
        const QString file = service.database().mid(7);
        if (::getuid() == 0)
            QVERIFY(::chown(qPrintable(file), 65534, 65534) == 0 &&
                    ::chown(qPrintable(QFileInfo(file).absolutePath()), 65534, 65534) == 0);
        QVERIFY(QFile::setPermissions(dir.path(),
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        const QString copy = dir.filePath("copy.sqlite");
        QCOMPARE(service.command({"backup", copy}).first, 0);
        struct stat copied {};
        QVERIFY(::stat(qPrintable(copy), &copied) == 0 && (copied.st_mode & 0777) == 0640);
        QVERIFY(service.command({"backup", "-"}).second.startsWith("SQLite format 3"));
        QCOMPARE(service.command({"backup", copy}).first, 1);
        QCOMPARE(service.post("/api/sync.php", syncBody("DEV-B")).status, 200);
        service.stop();
        QVERIFY(QFile::remove(file) && QFile::copy(copy, file));
        QFile::remove(file + "-wal");
        QFile::remove(file + "-shm");
        QVERIFY(service.start());
        QCOMPARE(service.json({"devices", "--json"}).array().size(), 1);

        // Written by a later version: this one refuses it, and says why.
        QVERIFY(service.sql("INSERT INTO schema_migrations (version, applied) VALUES (999, 0)"));
        QCOMPARE(service.command({"devices"}, &said).first, 1);
        QVERIFY2(said.contains("newer than this velmora-service knows"), said.constData());
    }

    // What the service cannot write is said at once, with its reason: a database it may not
    // write refuses `serve`, a full disk fails `reply`.
    void writeFailuresAreSaid()
    {
        ServiceProcess service("sqlite");
        QVERIFY(service.start());
        QCOMPARE(service.post("/api/sync.php", syncBody("DEV-A")).status, 200);
        service.stop();
        QByteArray said;
        // A file system full past its first pages: writes fail with EFBIG, not a signal.
        std::signal(SIGXFSZ, SIG_IGN);
        const auto full = service.command({"reply", "DEV-A", "Bonjour"}, &said, [] {
            const rlimit small{4096, 4096};
            setrlimit(RLIMIT_FSIZE, &small);
        });
        std::signal(SIGXFSZ, SIG_DFL);
        QCOMPARE(full.first, 1);
        QVERIFY2(QRegularExpression("^velmora-service: cannot [^:]+: \\S").match(said).hasMatch(),
                 said.constData());
        // Another user's file (as root, the service runs as nobody; else the file is read-only).
        const QString file = service.database().mid(7);
        QFile::setPermissions(QFileInfo(file).absolutePath(),
                              QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                  QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                  QFileDevice::ExeOther);
        QFile::setPermissions(file, QFileDevice::ReadOwner | QFileDevice::ReadOther);
        const bool root = ::getuid() == 0;
        // The program where nobody may run it (a packager's build folder is often private).
        QTemporaryDir bin;
        QFile::setPermissions(bin.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                              QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                              QFileDevice::ExeOther);
        QVERIFY(QFile::copy(VELMORA_SERVICE_BIN, bin.filePath("velmora-service")));
        const auto serve = service.command(
            {"serve", "--listen", "127.0.0.1:0"}, &said,
            [root] {
                if (root && setgid(65534) == 0)
                    (void)setuid(65534);
            },
            {}, bin.filePath("velmora-service"));
        QCOMPARE(serve.first, 1);
        QVERIFY2(said.contains("cannot "), said.constData());
        QVERIFY(!serve.second.contains("listening"));
    }

    // A database that does not answer (a SQLite lock held by another program, PostgreSQL
    // stopped) gets the client a 503 within the service's deadline, one that went away (its
    // sessions cut, as when the server restarts) a 503 at once; the service recovers by itself.
    void databaseTrouble_data()
    {
        QTest::addColumn<QString>("backend");
        QTest::newRow("SQLite locked") << "sqlite";
        QTest::newRow("PostgreSQL stalled") << "postgresql";
        QTest::newRow("PostgreSQL sessions cut") << "postgresql";
    }
    void databaseTrouble()
    {
        QFETCH(QString, backend);
        auto service = std::make_unique<ServiceProcess>(backend);
        QVERIFY(service->start({}, true));
        QCOMPARE(service->post("/api/sync.php", syncBody("DEV-A")).status, 200);
        const QString sessions = "FROM pg_stat_activity WHERE application_name = "
                                 "'velmora-service' AND datname = '" +
                                 QUrl(service->database()).path().mid(1) + "'";
        if (QTest::currentDataTag() == QLatin1String("PostgreSQL sessions cut")) {
            QVERIFY(service->sql("SELECT pg_terminate_backend(pid) " + sessions, true));
            QCOMPARE(service->post("/api/sync.php", syncBody("DEV-A")).status, 503);
            QCOMPARE(service->post("/api/sync.php", syncBody("DEV-A")).status, 200);
            return;
        }
        QSqlDatabase holder;
        QList<pid_t> stopped;
        if (backend == "sqlite") {
            holder = QSqlDatabase::addDatabase("QSQLITE", "holder");
            holder.setDatabaseName(service->database().mid(7));
            QVERIFY(holder.open() && QSqlQuery(holder).exec("BEGIN EXCLUSIVE"));
        } else {
            const auto pids =
                service->sqlValue("SELECT string_agg(pid::text, ' ') " + sessions, true);
            QVERIFY(pids && !pids->toString().isEmpty());
            for (const QString& pid : pids->toString().split(' '))
                if (::kill(pid.toInt(), SIGSTOP) == 0)
                    stopped << pid.toInt();
            if (stopped.isEmpty())
                QSKIP("the PostgreSQL sessions cannot be stopped by this user");
        }
        // Five at once (SQLite: on its one connection): their 503s are said in one line, with a
        // count, not one line each.
        std::vector<std::unique_ptr<QTcpSocket>> others;
        for (int i = 0; backend == "sqlite" && i < 4; ++i) {
            others.push_back(std::make_unique<QTcpSocket>());
            others.back()->connectToHost(QHostAddress::LocalHost, service->url().port());
            QVERIFY(others.back()->waitForConnected(5000));
            const QByteArray body = syncBody("DEV-A");
            others.back()->write("POST /api/sync.php HTTP/1.1\r\nHost: x\r\nContent-Length: " +
                                 QByteArray::number(body.size()) + "\r\n\r\n" + body);
            QVERIFY(others.back()->waitForBytesWritten(5000));
        }
        const int stalled = service->post("/api/sync.php", syncBody("DEV-A"), 4000).status;
        for (const auto& other : others)
            QVERIFY(other->bytesAvailable() > 0 || other->waitForReadyRead(5000));
        if (holder.isOpen())
            QVERIFY(QSqlQuery(holder).exec("COMMIT"));
        holder = QSqlDatabase();
        QSqlDatabase::removeDatabase("holder");
        for (pid_t pid : stopped)
            ::kill(pid, SIGCONT);
        QCOMPARE(stalled, 503);
        QTRY_COMPARE_WITH_TIMEOUT(service->post("/api/sync.php", syncBody("DEV-A")).status, 200,
                                  10000);
        if (backend == "sqlite") { // all it said, once it has ended: one line, two if slow
            service->stop();
            const QByteArray said = service->errors();
            QVERIFY2(said.count("answered 503") <= 2, said.constData());
        }
    }

    // The inbox as the maker works through it: what needs an answer first, "handled" until
    // the user writes again, an answer taken back counts no more; accounts signed in, limited,
    // signed out and removed.
    void consoleInbox_data() { backends(); }
    void consoleInbox()
    {
        auto service = started({"--trusted-proxies", "127.0.0.1"});
        QVERIFY(service);
        QByteArray said;
        QCOMPARE(addMaker(*service, "alice", "court", &said), 1);
        QVERIFY2(said.contains("10 to 1024 characters"), said.constData());
        QCOMPARE(addMaker(*service, "alice", "un mot de passe sûr"), 0);
        // Guesses from one address lock the account there only, never for the maker elsewhere.
        const QByteArray guesser = "X-Forwarded-For: 198.51.100.1\r\n";
        for (int attempt = 0; attempt < 5; ++attempt)
            QVERIFY(!signIn(*service, "alice", "pas le bon", guesser));
        QVERIFY(!signIn(*service, "alice", "un mot de passe sûr", guesser)); // limited now
        QVERIFY(
            signIn(*service, "alice", "un mot de passe sûr", "X-Forwarded-For: 198.51.100.2\r\n"));
        // Twenty sign-ins at once, within the limits, hold up no sync: passwords are checked
        // beside the database, not in its place.
        std::vector<std::unique_ptr<QTcpSocket>> tries;
        for (int i = 0; i < 20; ++i) {
            const QByteArray body =
                "{\"name\": \"x" + QByteArray::number(i % 4) + "\", \"password\": \"pas le bon\"}";
            tries.push_back(std::make_unique<QTcpSocket>());
            tries.back()->connectToHost(QHostAddress::LocalHost, service->consolePort());
            QVERIFY(tries.back()->waitForConnected(5000));
            tries.back()->write("POST /api/login HTTP/1.1\r\nHost: x\r\nContent-Type: "
                                "application/json\r\nX-Forwarded-For: 192.0.2." +
                                QByteArray::number(i % 2) + "\r\nContent-Length: " +
                                QByteArray::number(body.size()) + "\r\n\r\n" + body);
            QVERIFY(tries.back()->waitForBytesWritten(5000));
        }
        QCOMPARE(service->post("/api/sync.php", syncBody("DEV-S")).status, 200); // not 503
        for (const auto& tried : tries) // all answered before the next sign-in
            QVERIFY(tried->bytesAvailable() > 0 || tried->waitForReadyRead(20000));
        QCOMPARE(addMaker(*service, "bob", "un autre mot de passe"), 0);
        const auto bob = signIn(*service, "bob", "un autre mot de passe");
        QVERIFY(bob);

        auto post = [&](const QByteArray& path, const QByteArray& body) {
            return service->console("POST", path, body, bob->changes());
        };
        QCOMPARE(report(*service, "DEV-A", "La batterie affiche 0 %", "ana@exemple.fr"), 200);
        QCOMPARE(report(*service, "DEV-B", "Le panneau reste vide"), 200);
        QCOMPARE(report(*service, "DEV-C", "Fenêtre trop petite"), 200);
        QCOMPARE(service->post("/api/sync.php", syncBody("DEV-D")).status, 200); // no talk
        QCOMPARE(inboxOrder(*service, *bob), QStringList({"DEV-C*", "DEV-B*", "DEV-A*"}));
        const auto answered = post("/api/reply", j("{'device': 'DEV-B', 'text': 'Merci'}"));
        QCOMPARE(answered.status, 200);
        QCOMPARE(object(answered.body)["waiting"].toInt(), 2);
        QCOMPARE(post("/api/handled", j("{'device': 'DEV-A'}")).status, 200);
        QCOMPARE(inboxOrder(*service, *bob), QStringList({"DEV-C*", "DEV-B", "DEV-A"}));
        QCOMPARE(report(*service, "DEV-A", "Toujours 0 %"), 200); // back on top
        QCOMPARE(inboxOrder(*service, *bob), QStringList({"DEV-A*", "DEV-C*", "DEV-B"}));
        QCOMPARE(inboxOrder(*service, *bob, "?q=ANA@exemple"), QStringList({"DEV-A*"}));
        QCOMPARE(inboxOrder(*service, *bob, "?q=panneau"), QStringList({"DEV-B"}));
        QCOMPARE(inboxOrder(*service, *bob, "?q=0%20%25"), QStringList({"DEV-A*"}));
        QCOMPARE(inboxOrder(*service, *bob, "?q=_"), QStringList());
        // Words in any order and by their beginnings, the maker's answers, a device id's
        // beginning; and the filters.
        QCOMPARE(inboxOrder(*service, *bob, "?q=vide%20pann"), QStringList({"DEV-B"}));
        QCOMPARE(inboxOrder(*service, *bob, "?q=merci"), QStringList({"DEV-B"}));
        QCOMPARE(inboxOrder(*service, *bob, "?q=dev-c"), QStringList({"DEV-C*"}));
        QCOMPARE(inboxOrder(*service, *bob, "?waiting=1&email=1"), QStringList({"DEV-A*"}));
        QCOMPARE(inboxOrder(*service, *bob, "?version=2.0"), QStringList());
        QCOMPARE(inboxOrder(*service, *bob, "?q=pann&version=1.0.0"), QStringList({"DEV-B"}));
        const auto found = [&](const QByteArray& query) {
            return object(
                       service->console("GET", "/api/inbox" + query, {}, bob->cookie).body)["found"]
                .toInt();
        };
        QCOMPARE(found("?q=vide"), 1);
        QCOMPARE(found("?email=1"), 1);
        // Answered by e-mail without a relay: refused whole, nothing queued.
        const auto noRelay =
            post("/api/reply", j("{'device': 'DEV-A', 'text': 'Merci', 'email': true}"));
        QCOMPARE(noRelay.status, 400);
        QVERIFY(object(noRelay.body)["error"].toString().contains("smtp-url"));
        QCOMPARE(inboxOrder(*service, *bob), QStringList({"DEV-A*", "DEV-C*", "DEV-B"}));
        // Saved replies: kept for every account, refused without a name, removed.
        QCOMPARE(post("/api/saved-reply", j("{'title': ' ', 'text': 'x'}")).status, 400);
        const auto saved =
            post("/api/saved-reply", j("{'title': 'Merci', 'text': 'Merci {email}'}"));
        QCOMPARE(saved.status, 200);
        const auto replies = [&] {
            return object(service->console("GET", "/api/saved-replies", {}, bob->cookie)
                              .body)["replies"]
                .toArray();
        };
        QCOMPARE(replies().first()["text"].toString(), QString("Merci {email}"));
        QCOMPARE(post("/api/saved-reply-remove",
                      "{\"id\": " + QByteArray::number(object(saved.body)["id"].toInteger()) + "}")
                     .status,
                 200);
        QVERIFY(replies().isEmpty());
        // Several handled at once; none, or an unknown one alone, is refused.
        QCOMPARE(post("/api/handled", j("{'devices': []}")).status, 400);
        QCOMPARE(post("/api/handled", j("{'devices': ['DEV-X']}")).status, 404);
        QCOMPARE(post("/api/handled", j("{'devices': ['DEV-A', 'DEV-C']}")).status, 200);
        QCOMPARE(inboxOrder(*service, *bob), QStringList({"DEV-A", "DEV-B", "DEV-C"}));
        QCOMPARE(report(*service, "DEV-A", "Toujours 0 %"), 200);
        QCOMPARE(report(*service, "DEV-C", "Fenêtre trop petite"), 200);
        // Taken back, the answer no longer counts: DEV-B waits again.
        const qint64 id = object(answered.body)["id"].toInteger();
        QCOMPARE(post("/api/retract", "{\"id\": " + QByteArray::number(id) + "}").status, 200);
        QCOMPARE(inboxOrder(*service, *bob), QStringList({"DEV-C*", "DEV-A*", "DEV-B*"}));
        const QJsonObject talk =
            object(service->console("GET", "/api/conversation?device=DEV-B", {}, bob->cookie).body);
        QCOMPARE(talk["entries"][1]["author"].toString(), QString("bob"));
        QCOMPARE(talk["entries"][1]["state"].toString(), QString("retracted"));
        QCOMPARE(talk["waiting"].toInt(), 3);
        QVERIFY(service->command({"conversation", "DEV-B"}).second.contains("maker bob #"));
        // Offered to its device, an answer may be on the user's screen: it stays.
        const auto offered = post("/api/reply", j("{'device': 'DEV-C', 'text': 'Vu'}"));
        QCOMPARE(service->post("/api/sync.php", syncBody("DEV-C")).status, 200);
        const auto kept =
            post("/api/retract",
                 "{\"id\": " + QByteArray::number(object(offered.body)["id"].toInteger()) + "}");
        QCOMPARE(kept.status, 409);
        QVERIFY(object(kept.body)["error"].toString().contains("déjà transmise à l'appareil"));

        // Signed out: by logging out, or by the account's removal.
        QCOMPARE(service->console("GET", "/api/inbox", {}, bob->cookie).status, 200);
        QCOMPARE(post("/api/logout", "{}").status, 200);
        QCOMPARE(service->console("GET", "/api/inbox", {}, bob->cookie).status, 401);
        const auto again = signIn(*service, "bob", "un autre mot de passe");
        QVERIFY(again);
        QCOMPARE(
            service
                ->command({"console-user", "password", "bob"}, nullptr, {}, "encore un autre mot\n")
                .first,
            0);
        QCOMPARE(service->console("GET", "/api/inbox", {}, again->cookie).status, 401);
        const auto third = signIn(*service, "bob", "encore un autre mot");
        QVERIFY(third);
        QCOMPARE(service->command({"console-user", "remove", "bob"}).first, 0);
        QCOMPARE(addMaker(*service, "bob", "encore un autre mot"), 0); // the name, made again
        QCOMPARE(service->console("GET", "/api/inbox", {}, third->cookie).status, 401);
    }

    // A conversation a page at a time, newest first, every entry once, even where a page ends
    // among entries of the same millisecond; crash groups 50 at a time.
    void consolePagesAreBounded_data() { backends(); }
    void consolePagesAreBounded()
    {
        QFETCH(QString, backend);
        ServiceProcess service(backend);
        QVERIFY(service.start());
        QCOMPARE(service.post("/api/sync.php", syncBody("DEV-P")).status, 200);
        QStringList reports, answers, crashes;
        for (int i = 0; i < 120; ++i)
            reports
                << QString("('DEV-P', 'r%1', '1', 'L', %2, 'report')").arg(i).arg(1000 + i / 50);
        for (int i = 0; i < 100; ++i)
            answers << QString("('DEV-P', 'm%1', %2)").arg(i).arg(1000 + i / 50);
        for (int i = 0; i < 60; ++i)
            crashes << QString("('DEV-P', 'crash', 'm', 's', '1', 'L', 'sig%1', %2)").arg(i).arg(i);
        QVERIFY(service.sql("INSERT INTO reports (device, text, version, system, received, kind) "
                            "VALUES " +
                            reports.join(',')));
        QVERIFY(service.sql("INSERT INTO maker_messages (device, text, written) VALUES " +
                            answers.join(',')));
        QVERIFY(service.sql("INSERT INTO crashes (device, kind, message, stack, version, system, "
                            "signature, received) VALUES " +
                            crashes.join(',')));
        QCOMPARE(addMaker(service, "bob", "0123456789"), 0);
        const auto bob = signIn(service, "bob", "0123456789");
        QVERIFY(bob);
        const auto read = [&](const QByteArray& path) {
            return object(service.console("GET", path, {}, bob->cookie).body);
        };
        QStringList seen;
        QByteArray before;
        for (int page = 0; page < 4; ++page) {
            const QJsonObject talk = read("/api/conversation?device=DEV-P" + before);
            const QJsonArray entries = talk["entries"].toArray();
            QStringList texts;
            for (const QJsonValue e : entries)
                texts << e["text"].toString();
            seen = texts + seen;
            if (!talk["older"].toBool())
                break;
            QCOMPARE(entries.size(), 100);
            before = "&before=" + entries[0]["kind"].toString().toLatin1() + "%3A" +
                     QByteArray::number(entries[0]["id"].toInteger());
        }
        QStringList expected; // by time, reports before answers at the same time
        for (int t = 0; t < 3; ++t) {
            for (int i = t * 50; i < qMin(120, t * 50 + 50); ++i)
                expected << QString("r%1").arg(i);
            for (int i = t * 50; i < qMin(100, t * 50 + 50); ++i)
                expected << QString("m%1").arg(i);
        }
        QCOMPARE(seen, expected);
        QCOMPARE(crash(service, "DEV-P", "today"), 200); // the newest group, its crash today
        const QJsonObject first = read("/api/crashes");
        QCOMPARE(first["groups"].toArray().size(), 50);
        QVERIFY(first["more"].toBool());
        QCOMPARE(first["groups"][0]["trend"].toArray().last().toInt(), 1);
        const QJsonObject last = read("/api/crashes?offset=50");
        QCOMPARE(last["groups"].toArray().size(), 11);
        QVERIFY(!last["more"].toBool());
        QCOMPARE(last["groups"][10]["signature"].toString(), QString("sig0"));
    }

    // A database written before the console: its conversations are in the inbox as they
    // stood, the one waiting for an answer first.
    void consoleReadsAnOlderDatabase_data() { backends(); }
    void consoleReadsAnOlderDatabase()
    {
        QFETCH(QString, backend);
        ServiceProcess service(backend);
        // The first two versions' schemas, as their migrations made them, and what they held.
        QString script = "CREATE TABLE schema_migrations (version INTEGER PRIMARY KEY, "
                         "applied BIGINT NOT NULL);";
        for (const char* name : {"001_initial.sql", "002_conversation_states.sql"}) {
            QFile file(QString(VELMORA_MIGRATIONS_DIR "/%1/%2").arg(backend, name));
            QVERIFY(file.open(QIODevice::ReadOnly));
            script += QString::fromUtf8(file.readAll()).remove(QRegularExpression("--[^\n]*"));
        }
        script +=
            "INSERT INTO schema_migrations VALUES (1, 0), (2, 0);"
            "INSERT INTO devices (id, first_seen, last_seen, version, system, acked) VALUES "
            "('DEV-A', 1, 50, '1', 'L', 0), ('DEV-B', 1, 50, '1', 'L', 0);"
            "INSERT INTO reports (device, text, email, version, system, received, kind) "
            "VALUES ('DEV-A', 'Bonjour', 'ana@exemple.fr', '1', 'L', 10, 'report'), "
            "('DEV-B', 'Salut', NULL, '1', 'L', 30, 'report');"
            "INSERT INTO maker_messages (device, text, written) VALUES ('DEV-B', 'Merci', 40)";
        for (const QString& statement : script.split(';'))
            QVERIFY2(statement.trimmed().isEmpty() || service.sql(statement),
                     qPrintable(statement));
        QVERIFY(service.start());
        QCOMPARE(addMaker(service, "alice", "un mot de passe sûr"), 0);
        const auto alice = signIn(service, "alice", "un mot de passe sûr");
        QVERIFY(alice);
        const QJsonObject inbox =
            object(service.console("GET", "/api/inbox", {}, alice->cookie).body);
        QCOMPARE(inboxOrder(service, *alice), QStringList({"DEV-A*", "DEV-B"}));
        QCOMPARE(inbox["conversations"][0]["email"].toString(), QString("ana@exemple.fr"));
        // What the user wrote last, not the maker's answer; which the search finds, by its
        // beginning.
        QCOMPARE(inbox["conversations"][1]["preview"].toString(), QString("Salut"));
        QCOMPARE(inbox["waiting"].toInt(), 1);
        QCOMPARE(inboxOrder(service, *alice, "?q=merc"), QStringList({"DEV-B"}));
    }

    // New reports and crash groups are told to --notify-url; a receiver that never answers
    // holds up nothing. A console behind TLS marks its cookie Secure.
    void consoleNotifications()
    {
        LoopbackHttpServer receiver;
        receiver.respond("/hook", {204, {}});
        ServiceProcess service("sqlite");
        QVERIFY(
            service.start({"--notify-url", receiver.url("/hook").toString(), "--console-behind-tls",
                           "--console-origin", "https://console.example.org"}));
        // Behind TLS, the session's cookie travels over HTTPS only; behind a proxy that
        // rewrites Host, the origin is the console's public one.
        QCOMPARE(addMaker(service, "bob", "0123456789"), 0);
        auto login = [&](const QByteArray& origin) {
            return service.console("POST", "/api/login",
                                   j("{'name': 'bob', 'password': '0123456789'}"),
                                   "Content-Type: application/json\r\nOrigin: " + origin + "\r\n");
        };
        QVERIFY(login("https://console.example.org")
                    .head.contains("HttpOnly; SameSite=Strict; Secure"));
        QCOMPARE(login("http://127.0.0.1:" + QByteArray::number(service.consolePort())).status,
                 403);
        QCOMPARE(report(service, "DEV-A", "x"), 200);
        QTRY_COMPARE_WITH_TIMEOUT(receiver.requests().size(), 1, 10000);
        QCOMPARE(object(receiver.requests()[0].body)["event"].toString(), QString("report"));
        QVERIFY(object(receiver.requests()[0].body)["text"].toString().contains("signalement"));
        QCOMPARE(report(service, "DEV-A", "x", {}, true), 200);
        // A blocked device: its report is kept, out of the inbox, the count and the
        // notifications; unblocked, it is back.
        QCOMPARE(service.command({"block", "DEV-A"}).first, 0);
        QCOMPARE(report(service, "DEV-A", "encore"), 200);
        QCOMPARE(crash(service, "DEV-A", "a\nb"), 200);
        QCOMPARE(crash(service, "DEV-A", "a\nb"), 200); // the same group
        QTRY_COMPARE_WITH_TIMEOUT(receiver.requests().size(), 2, 10000);
        QCOMPARE(object(receiver.requests()[1].body)["event"].toString(), QString("crash-group"));
        const std::optional<ConsoleMaker> maker =
            signIn(service, "bob", "0123456789", "Origin: https://console.example.org\r\n");
        QVERIFY(maker);
        QCOMPARE(inboxOrder(service, *maker), QStringList{});
        QCOMPARE(service.command({"unblock", "DEV-A"}).first, 0);
        QCOMPARE(inboxOrder(service, *maker), QStringList{"DEV-A*"});

        // A receiver that trickles its answer, a byte every 2 s, is given up after 5 s all the
        // same: the next notification goes out.
        LoopbackHttpServer slow;
        slow.respond("/hook", {200, QByteArray(100, 'x'), "application/json", false, 2000});
        ServiceProcess stuck("sqlite");
        QVERIFY(stuck.start({"--notify-url", slow.url("/hook").toString()}));
        const QByteArray body = j("{'d': 'D', 'v': '1', 'os': 'L', 'text': 'x'}");
        for (int i = 0; i < 3; ++i)
            QCOMPARE(stuck.post("/api/report.php", body, 1500).status, 200);
        QTRY_COMPARE_WITH_TIMEOUT(slow.requests().size(), 2, 15000);
        QByteArray said;
        QCOMPARE(service.command({"serve", "--notify-url", "http://192.0.2.1/hook"}, &said).first,
                 2);
        QVERIFY2(said.contains("HTTPS, or HTTP to this machine"), said.constData());
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
        // Answers an older service let through and no application can show (blank, larger
        // than the application reads) wait first in the queue.
        QFETCH(QString, backend);
        const QString huge =
            backend == "sqlite" ? "replace(hex(zeroblob(40000)), '00', 'é')" : "repeat('é', 40000)";
        QVERIFY(service->sql("INSERT INTO maker_messages (device, text, written) VALUES ('" +
                             device + "', '', 1), ('" + device + "', '   ', 2), ('" + device +
                             "', " + huge + ", 3)"));
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
        QCOMPARE(service->json({"conversation", device, "--json"}).array().last()["acknowledged"],
                 true);

        // A crash left by the last run reaches the service in a form it takes.
        const QString pending = home.filePath("pending-crash.txt");
        QFile file(pending);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("Signal 11\n---\nf [0x7f01]") > 0);
        file.close();
        std::optional<bool> sent;
        CrashReporter::sendPendingCrash(pending, [&sent](bool ok) { sent = ok; });
        QTRY_VERIFY_WITH_TIMEOUT(sent.has_value() && *sent, 10000);
        QVERIFY(service->command({"crashes"})
                    .second.contains("  1 x on 1 device(s)  crash: Signal 11"));
        VovirSettings::setStore(nullptr);
    }
};

QTEST_GUILESS_MAIN(TestService)
#include "tst_service.moc"
