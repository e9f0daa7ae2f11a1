#include "Commands.h"

#include <QTimer>

#include "CommandOutput.h"
#include "ConsoleUsers.h"
#include "DatabaseFile.h"
#include "MakerCommands.h"
#include "ServiceConfig.h"
#include "SymbolCommands.h"
#include "TerminalText.h"
#include "console/ConsoleRoutes.h"
#include "console/Notifier.h"
#include "http/RequestGuard.h"
#include "http/ServiceRoutes.h"
#include "http/TrustedProxies.h"
#include "mail/Mailer.h"
#include "store/Store.h"
#include "store/StorePool.h"
#include "symbols/Symbolizer.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QHttpServer>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QThread>
#include <QUrl>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <grp.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* const kUsage =
    "usage: velmora-service serve [--listen ADDRESS:PORT] [--database URL]\n"
    "           [--console-listen ADDRESS:PORT] [--console-behind-tls] [--console-origin URL]\n"
    "           [--trusted-proxies ADDRESSES] [--notify-url URL]\n"
    "       velmora-service backup FILE|- [--database URL]\n"
    "       velmora-service devices [--json] [--database URL]\n"
    "       velmora-service conversation DEVICE [--json] [--database URL]\n"
    "       velmora-service reply DEVICE TEXT [--email] [--database URL]\n"
    "       velmora-service retract MESSAGE-ID [--database URL]\n"
    "       velmora-service export DEVICE [--database URL]\n"
    "       velmora-service forget DEVICE [--database URL]\n"
    "       velmora-service block|unblock DEVICE [--database URL]\n"
    "       velmora-service crashes [--json] [--database URL]\n"
    "       velmora-service versions [--json] [--database URL]\n"
    "       velmora-service crash GROUP [--json] [--database URL]\n"
    "       velmora-service crash GROUP --resolve VERSION | --ignore | --reopen\n"
    "       velmora-service symbols add FILE... [--database URL]\n"
    "       velmora-service symbols list [--json] [--database URL]\n"
    "       velmora-service console-user add|password|remove NAME [--database URL]\n"
    "       velmora-service console-user list [--database URL]\n"
    "DEVICE: an id, or its first 8 characters or more, in any case.\n"
    "TEXT: 1 to 4000 characters, not only blanks (what the application shows).\n"
    "URL: sqlite:PATH (default: a file in the user's data folder) or\n"
    "     postgresql://user@host[:port]/dbname[?sslmode=verify-full&...]\n"
    "Every command also takes --config FILE (default: /etc/velmora-service/velmora-service.conf\n"
    "when it exists, or VELMORA_SERVICE_CONFIG): listen, database, database-password-file,\n"
    "console-listen, console-behind-tls, console-origin, trusted-proxies, notify-url,\n"
    "retention-days, smtp-url, smtp-credentials-file, smtp-ca-file, mail-from, reply-to,\n"
    "mail-signature; options given here win.\n"
    "reply --email: the answer also goes by e-mail to the user's newest address, sent by the\n"
    "running service through smtp-url (STARTTLS or smtps://).\n"
    "The console (default 127.0.0.1:8081) is the maker's web inbox; reach it through an SSH\n"
    "tunnel or a reverse proxy with TLS, never on the public address. --notify-url: an HTTPS\n"
    "address (or HTTP on loopback) told of new reports and crash groups. --trusted-proxies:\n"
    "the reverse proxies (addresses or ADDRESS/BITS) whose X-Forwarded-For names the client.\n";

// How long serve waits for a database that is not up yet.
constexpr qint64 kWaitForDatabaseMs = 60 * 1000;

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

// ADDRESS:PORT, IPv6 addresses in brackets; nothing when malformed.
std::optional<std::pair<QHostAddress, quint16>> parseAddress(const QString& text)
{
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    bool portOk = false;
    const uint port = text.mid(colon + 1).toUInt(&portOk);
    QString host = text.left(colon);
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    const QHostAddress address(host);
    if (colon < 0 || !portOk || port > 65535 || address.isNull())
        return std::nullopt;
    return std::pair(address, quint16(port));
}

QString urlOf(const QTcpServer& server)
{
    const QHostAddress address = server.serverAddress();
    const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
                             ? QLatin1Char('[') + address.toString() + QLatin1Char(']')
                             : address.toString();
    return QStringLiteral("http://%1:%2").arg(host).arg(server.serverPort());
}

// A setting's value and what to call it in an error: the option, or the file's key and line.
struct Setting {
    QString value;
    QString name;
};

struct ServeOptions {
    Setting listen;
    Setting consoleListen;
    bool consoleBehindTls = false;
    Setting consoleOrigin;
    Setting trustedProxies;
    Setting notifyUrl;
    int retentionDays = 0;
    MailSettings mail;
};

int serve(Store& store, const ServeOptions& options)
{
    const auto address = parseAddress(options.listen.value);
    if (!address)
        return usage(options.listen.name +
                     QStringLiteral(" takes ADDRESS:PORT, e.g. 127.0.0.1:8080"));
    const auto consoleAddress = parseAddress(options.consoleListen.value);
    if (!consoleAddress)
        return usage(options.consoleListen.name +
                     QStringLiteral(" takes ADDRESS:PORT, e.g. 127.0.0.1:8081"));
    QString error;
    const std::optional<TrustedProxies> proxies =
        TrustedProxies::parse(options.trustedProxies.value, &error);
    if (!proxies)
        return usage(options.trustedProxies.name + QStringLiteral(": ") + error);
    const QUrl origin = QUrl(options.consoleOrigin.value).adjusted(QUrl::StripTrailingSlash);
    if (!options.consoleOrigin.value.isEmpty() &&
        (!origin.isValid() || origin.host().isEmpty() || !origin.path().isEmpty() ||
         (origin.scheme() != QLatin1String("https") && origin.scheme() != QLatin1String("http"))))
        return usage(options.consoleOrigin.name +
                     QStringLiteral(" takes the console's address as a browser shows it, "
                                    "e.g. https://console.example.org"));
    if (consoleAddress->second != 0 && consoleAddress->second == address->second)
        return usage(QStringLiteral("the console needs a port of its own, not the public one"));
    if (!consoleAddress->first.isLoopback())
        std::fputs("velmora-service: warning: the console listens beyond this machine; keep it "
                   "behind a firewall and a reverse proxy with TLS\n",
                   stderr);
    std::unique_ptr<Notifier> notifier;
    if (!options.notifyUrl.value.isEmpty()) {
        const QUrl url(options.notifyUrl.value);
        if (const auto problem = Notifier::problemWith(url))
            return usage(options.notifyUrl.name + QStringLiteral(": ") + *problem);
        notifier = std::make_unique<Notifier>(url);
    }
    StorePool stores(store.url(), store.password(), store.isPostgres());
    std::unique_ptr<Mailer> mailer;
    if (options.mail.enabled())
        mailer = std::make_unique<Mailer>(store.url(), store.password(), options.mail);
    QHttpServer server;
    ServiceRoutes routes(server, stores, notifier.get(), *proxies);
    auto* guard = new RequestGuard(&ServiceRoutes::bodyLimit, &server);
    if (!guard->listen(address->first, address->second))
        return failure(QStringLiteral("cannot listen on %1: %2")
                           .arg(options.listen.value, guard->errorString()));
    server.bind(guard);
    // The console's own server: its requests never share a socket or a limit with the
    // public ones.
    QHttpServer consoleServer;
    ConsoleRoutes console(consoleServer, stores,
                          {options.consoleBehindTls,
                           origin.isEmpty() ? QString() : origin.toString(QUrl::FullyEncoded),
                           *proxies, mailer.get()});
    auto* consoleGuard = new RequestGuard([](const QByteArray&) { return std::nullopt; },
                                          &consoleServer, ConsoleRoutes::kMaxBodyBytes);
    if (!consoleGuard->listen(consoleAddress->first, consoleAddress->second))
        return failure(QStringLiteral("cannot listen on %1 for the console: %2")
                           .arg(options.consoleListen.value, consoleGuard->errorString()));
    consoleServer.bind(consoleGuard);
    // What the administrator keeps no longer than asked: erased at start, then once a day.
    QTimer retention;
    if (options.retentionDays > 0) {
        const auto erase = [&stores, days = options.retentionDays] {
            stores.run([days](Store* store) {
                if (store && !store->eraseOlderThan(QDateTime::currentMSecsSinceEpoch() -
                                                    qint64(days) * 86'400'000))
                    std::fprintf(stderr, "velmora-service: %s\n", qPrintable(store->lastError()));
            });
        };
        retention.setInterval(24 * 3600 * 1000);
        retention.callOnTimeout(erase);
        retention.start();
        erase();
    }
    out(QStringLiteral("velmora-service: listening on %1\nvelmora-service: console on %2\n")
            .arg(urlOf(*guard), urlOf(*consoleGuard)));
    std::fflush(stdout);
    // SIGTERM and SIGINT end the service cleanly (systemd stop, Ctrl+C). The handler only
    // writes a byte: quitting from inside it could interrupt an allocation and corrupt the heap.
    static int quitPipe[2] = {-1, -1};
    if (::pipe2(quitPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return failure(QStringLiteral("cannot watch for signals"));
    QSocketNotifier quitRequested(quitPipe[0], QSocketNotifier::Read);
    QObject::connect(&quitRequested, &QSocketNotifier::activated, &QCoreApplication::quit);
    for (int signal : {SIGTERM, SIGINT})
        std::signal(signal, [](int) {
            const char byte = 1;
            [[maybe_unused]] const auto written = ::write(quitPipe[1], &byte, 1);
        });
    return QCoreApplication::exec();
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
    const QCommandLineOption consoleListen(QStringLiteral("console-listen"), QString(),
                                           QStringLiteral("address"));
    const QCommandLineOption consoleBehindTls(QStringLiteral("console-behind-tls"));
    const QCommandLineOption notifyUrl(QStringLiteral("notify-url"), QString(),
                                       QStringLiteral("url"));
    const QCommandLineOption consoleOrigin(QStringLiteral("console-origin"), QString(),
                                           QStringLiteral("url"));
    const QCommandLineOption trustedProxies(QStringLiteral("trusted-proxies"), QString(),
                                            QStringLiteral("addresses"));
    const QCommandLineOption help(QStringList{QStringLiteral("help"), QStringLiteral("h")});
    const QCommandLineOption resolve(QStringLiteral("resolve"), QString(),
                                     QStringLiteral("version"));
    const QCommandLineOption ignore(QStringLiteral("ignore"));
    const QCommandLineOption reopen(QStringLiteral("reopen"));
    const QCommandLineOption email(QStringLiteral("email"));
    parser.addOptions({listen, database, configFile, json, consoleListen, consoleBehindTls,
                       consoleOrigin, trustedProxies, notifyUrl, help, resolve, ignore, reopen,
                       email});
    if (!parser.parse(arguments))
        return usage(parser.errorText());
    if (parser.isSet(help)) {
        out(QString::fromLatin1(kUsage));
        return 0;
    }
    const QStringList words = parser.positionalArguments();
    const QString command = words.value(0);
    // Each command and how many words it takes, itself included.
    static const QHash<QString, qsizetype> known{
        {"serve", 1},         {"devices", 1},  {"conversation", 2},   {"reply", 3},
        {"retract", 2},       {"crashes", 1},  {"crash", 2},          {"backup", 2},
        {"console-user", -1}, {"symbols", -1}, {"resolve-frames", 2}, {"versions", 1},
        {"export", 2},        {"forget", 2},   {"block", 2},          {"unblock", 2}};
    if (!known.contains(command))
        return usage(command.isEmpty()
                         ? QStringLiteral("no command")
                         : QStringLiteral("unknown command \"%1\"").arg(terminalSafe(command)));
    if (known.value(command) > 0 && words.size() != known.value(command))
        return usage(QStringLiteral("wrong number of arguments for %1").arg(command));
    // The service's own child, which names frames away from it: no database.
    if (command == QLatin1String("resolve-frames"))
        return Symbolizer::resolveCommand(words[1]);

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
    if (command == QLatin1String("backup"))
        return DatabaseFile::backup(url, password, words[1]);
    const std::optional<MailSettings> mail = config->mail(&error);
    if (!mail)
        return failure(error);
    if (parser.isSet(email) && !mail->enabled())
        return usage(QStringLiteral("reply --email needs smtp-url (and mail-from) in the "
                                    "configuration: the running service sends the mail"));
    if (!DatabaseFile::actAsItsOwner(url))
        return failure(QStringLiteral("cannot act as the owner of %1").arg(url));

    std::optional<Store> store = Store::open(url, &error, password);
    // At boot PostgreSQL may come up after the service: serve waits for it a while, trying
    // again less and less often, rather than fail at once and be given up by systemd.
    QElapsedTimer waited;
    waited.start();
    for (int pause = 500;
         !store && command == QLatin1String("serve") && !url.startsWith(QLatin1String("sqlite:")) &&
         error.startsWith(Store::kCannotConnect) && waited.elapsed() + pause <= kWaitForDatabaseMs;
         pause = qMin(pause * 2, 10000)) {
        std::fprintf(stderr, "velmora-service: %s; trying again in %.1f s\n",
                     qPrintable(terminalSafe(error)), pause / 1000.0);
        QThread::msleep(pause);
        store.reset(); // a store is moved, never assigned
        if (auto again = Store::open(url, &error, password))
            store.emplace(std::move(*again));
    }
    if (!store)
        return failure(error);

    const bool asJson = parser.isSet(json);
    if (command == QLatin1String("serve")) {
        // Said now and not as a 503 to every request.
        if (!store->checkWritable())
            return failure(store->lastError());
        auto pick = [&](const QCommandLineOption& option, const QString& configured,
                        const QString& fallback) {
            const QString name = option.names().constFirst();
            if (parser.isSet(option))
                return Setting{parser.value(option), QStringLiteral("--") + name};
            if (!configured.isEmpty())
                return Setting{configured, config->where(name)};
            return Setting{fallback, QStringLiteral("--") + name};
        };
        return serve(*store,
                     {pick(listen, config->listen, QStringLiteral("127.0.0.1:8080")),
                      pick(consoleListen, config->consoleListen, QStringLiteral("127.0.0.1:8081")),
                      parser.isSet(consoleBehindTls) || config->consoleBehindTls,
                      pick(consoleOrigin, config->consoleOrigin, QString()),
                      pick(trustedProxies, config->trustedProxies, QString()),
                      pick(notifyUrl, config->notifyUrl, QString()), config->retentionDays, *mail});
    }
    if (command == QLatin1String("console-user"))
        return ConsoleUsers::run(*store, words);
    if (command == QLatin1String("export"))
        return MakerCommands::exportDevice(*store, words[1]);
    if (command == QLatin1String("forget"))
        return MakerCommands::forgetDevice(*store, words[1]);
    if (command == QLatin1String("block") || command == QLatin1String("unblock"))
        return MakerCommands::blockDevice(*store, words[1], command == QLatin1String("block"));
    if (command == QLatin1String("versions"))
        return MakerCommands::versions(*store, asJson);
    if (command == QLatin1String("symbols"))
        return SymbolCommands::run(*store, words, asJson);
    if (command == QLatin1String("devices"))
        return MakerCommands::devices(*store, asJson);
    if (command == QLatin1String("conversation"))
        return MakerCommands::conversation(*store, words[1], asJson);
    if (command == QLatin1String("reply"))
        return MakerCommands::reply(*store, words[1], words[2], parser.isSet(email));
    if (command == QLatin1String("retract"))
        return MakerCommands::retract(*store, words[1]);
    if (command == QLatin1String("crash")) {
        const int decisions =
            int(parser.isSet(resolve)) + parser.isSet(ignore) + parser.isSet(reopen);
        if (decisions > 1)
            return usage(QStringLiteral("give one of --resolve, --ignore and --reopen"));
        if (decisions == 1)
            return MakerCommands::decide(*store, words[1],
                                         parser.isSet(resolve)  ? QStringLiteral("resolved")
                                         : parser.isSet(ignore) ? QStringLiteral("ignored")
                                                                : QStringLiteral("new"),
                                         parser.value(resolve));
        return MakerCommands::crash(*store, words[1], asJson);
    }
    return MakerCommands::crashes(*store, asJson);
}
