#include "Commands.h"

#include "CommandOutput.h"
#include "MakerCommands.h"
#include "ServiceConfig.h"
#include "TerminalText.h"
#include "http/RequestGuard.h"
#include "http/ServiceRoutes.h"
#include "store/Store.h"
#include "store/StorePool.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QHttpServer>
#include <QStandardPaths>
#include <QUrl>

#include <csignal>
#include <cstdio>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* const kUsage =
    "usage: velmora-service serve [--listen ADDRESS:PORT] [--database URL]\n"
    "       velmora-service backup FILE [--database URL]\n"
    "       velmora-service devices [--json] [--database URL]\n"
    "       velmora-service conversation DEVICE [--json] [--database URL]\n"
    "       velmora-service reply DEVICE TEXT [--database URL]\n"
    "       velmora-service retract MESSAGE-ID [--database URL]\n"
    "       velmora-service crashes [--json] [--database URL]\n"
    "       velmora-service crash GROUP [--json] [--database URL]\n"
    "DEVICE: an id, or its first 8 characters or more, in any case.\n"
    "TEXT: 1 to 4000 characters, not only blanks (what the application shows).\n"
    "URL: sqlite:PATH (default: a file in the user's data folder) or\n"
    "     postgresql://user@host[:port]/dbname[?sslmode=verify-full&...]\n"
    "Every command also takes --config FILE (default: /etc/velmora-service/velmora-service.conf\n"
    "when it exists, or VELMORA_SERVICE_CONFIG): listen, database, database-password-file,\n"
    "console-listen; options given here win.\n";

int usage(const QString& message)
{
    std::fprintf(stderr, "velmora-service: %s\n%s", message.toUtf8().constData(), kUsage);
    return 2;
}

QString defaultDatabase()
{
    return QStringLiteral("sqlite:") +
           QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/velmora-service/service.sqlite");
}

int serve(Store& store, const QString& listen)
{
    const qsizetype colon = listen.lastIndexOf(QLatin1Char(':'));
    bool portOk = false;
    const uint port = listen.mid(colon + 1).toUInt(&portOk);
    QString host = listen.left(colon);
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    const QHostAddress address(host);
    if (colon < 0 || !portOk || port > 65535 || address.isNull())
        return usage(QStringLiteral("--listen takes ADDRESS:PORT, e.g. 127.0.0.1:8080"));
    QHttpServer server;
    StorePool stores(store.url(), store.password(), store.isPostgres());
    ServiceRoutes routes(server, stores);
    auto* guard = new RequestGuard(&ServiceRoutes::bodyLimit, &server);
    if (!guard->listen(address, quint16(port)))
        return failure(QStringLiteral("cannot listen on %1: %2").arg(listen, guard->errorString()));
    server.bind(guard);
    std::printf("velmora-service: listening on http://%s:%u\n",
                address.protocol() == QAbstractSocket::IPv6Protocol
                    ? ('[' + host + ']').toUtf8().constData()
                    : host.toUtf8().constData(),
                guard->serverPort());
    std::fflush(stdout);
    // SIGTERM and SIGINT end the service cleanly (systemd stop, Ctrl+C).
    for (int signal : {SIGTERM, SIGINT})
        std::signal(signal, [](int) { QCoreApplication::quit(); });
    return QCoreApplication::exec();
}

// Root running a maker's command on the service's SQLite file becomes the file's owner first:
// files SQLite creates beside it (the write-ahead log) must stay the service's to write.
bool actAsTheDatabaseOwner(const QString& url)
{
    if (::geteuid() != 0 || !url.startsWith(QLatin1String("sqlite:")))
        return true;
    struct stat info {};
    if (::stat(QFile::encodeName(url.mid(7)).constData(), &info) != 0 || info.st_uid == 0)
        return true;
    return ::setgroups(0, nullptr) == 0 && ::setgid(info.st_gid) == 0 && ::setuid(info.st_uid) == 0;
}

int backup(Store& store, const QString& file)
{
    if (QFileInfo::exists(file))
        return failure(QStringLiteral("%1 exists already: give a new file").arg(file));
    if (!store.backup(file))
        return failure(store.lastError());
    out(QStringLiteral("backed up into %1\n").arg(file));
    return 0;
}

} // namespace

int runCommand(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsOptions);
    const QCommandLineOption listen(QStringLiteral("listen"), QString(), QStringLiteral("address"));
    const QCommandLineOption database(QStringLiteral("database"), QString(), QStringLiteral("url"));
    const QCommandLineOption configFile(QStringLiteral("config"), QString(),
                                        QStringLiteral("file"));
    const QCommandLineOption json(QStringLiteral("json"));
    const QCommandLineOption help(QStringList{QStringLiteral("help"), QStringLiteral("h")});
    parser.addOptions({listen, database, configFile, json, help});
    if (!parser.parse(arguments))
        return usage(parser.errorText());
    if (parser.isSet(help)) {
        out(QString::fromLatin1(kUsage));
        return 0;
    }
    const QStringList words = parser.positionalArguments();
    const QString command = words.value(0);
    // Each command and how many words it takes, itself included.
    static const QHash<QString, qsizetype> known{{"serve", 1}, {"devices", 1}, {"conversation", 2},
                                                 {"reply", 3}, {"retract", 2}, {"crashes", 1},
                                                 {"crash", 2}, {"backup", 2}};
    if (!known.contains(command))
        return usage(command.isEmpty()
                         ? QStringLiteral("no command")
                         : QStringLiteral("unknown command \"%1\"").arg(terminalSafe(command)));
    if (words.size() != known.value(command))
        return usage(QStringLiteral("wrong number of arguments for %1").arg(command));

    const QString fromEnvironment = qEnvironmentVariable("VELMORA_SERVICE_CONFIG");
    const bool configGiven = parser.isSet(configFile) || !fromEnvironment.isEmpty();
    QString error;
    const std::optional<ServiceConfig> config = ServiceConfig::read(
        parser.isSet(configFile)     ? parser.value(configFile)
        : !fromEnvironment.isEmpty() ? fromEnvironment
                                     : QString::fromLatin1(ServiceConfig::kDefaultPath),
        configGiven, &error);
    if (!config)
        return failure(error);
    const QString url = parser.isSet(database)        ? parser.value(database)
                        : !config->database.isEmpty() ? config->database
                                                      : defaultDatabase();
    if (parser.isSet(database) && !QUrl(url).password().isEmpty())
        std::fputs("velmora-service: warning: a password in --database can be read by every user "
                   "in the process list; use database-password-file or PGPASSFILE\n",
                   stderr);
    QString password;
    if (!config->databasePasswordFile.isEmpty()) {
        QFile file(config->databasePasswordFile);
        if (!file.open(QIODevice::ReadOnly))
            return failure(QStringLiteral("cannot read the database password file %1: %2")
                               .arg(config->databasePasswordFile, file.errorString()));
        password = QString::fromUtf8(file.readLine(4096)).trimmed();
    }
    if (!actAsTheDatabaseOwner(url))
        return failure(QStringLiteral("cannot act as the owner of %1").arg(url));

    std::optional<Store> store = Store::open(url, &error, password);
    if (!store)
        return failure(error);

    const bool asJson = parser.isSet(json);
    if (command == QLatin1String("serve")) {
        // Said now and not as a 503 to every request.
        if (!store->checkWritable())
            return failure(store->lastError());
        return serve(*store, parser.isSet(listen)        ? parser.value(listen)
                             : !config->listen.isEmpty() ? config->listen
                                                         : QStringLiteral("127.0.0.1:8080"));
    }
    if (command == QLatin1String("backup"))
        return backup(*store, words[1]);
    if (command == QLatin1String("devices"))
        return MakerCommands::devices(*store, asJson);
    if (command == QLatin1String("conversation"))
        return MakerCommands::conversation(*store, words[1], asJson);
    if (command == QLatin1String("reply"))
        return MakerCommands::reply(*store, words[1], words[2]);
    if (command == QLatin1String("retract"))
        return MakerCommands::retract(*store, words[1]);
    if (command == QLatin1String("crash"))
        return MakerCommands::crash(*store, words[1], asJson);
    return MakerCommands::crashes(*store, asJson);
}
