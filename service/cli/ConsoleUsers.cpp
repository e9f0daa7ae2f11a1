#include "ConsoleUsers.h"

#include "CommandOutput.h"
#include "TerminalText.h"
#include "console/Passwords.h"
#include "store/Store.h"

#include <QRegularExpression>

#include <cstdio>
#include <termios.h>
#include <unistd.h>

namespace {

// One line from stdin, without echo when it is a terminal; nothing at end of input.
std::optional<QByteArray> readSecretLine(const char* prompt)
{
    const bool terminal = ::isatty(STDIN_FILENO);
    termios saved{};
    if (terminal) {
        std::fputs(prompt, stderr);
        std::fflush(stderr);
        ::tcgetattr(STDIN_FILENO, &saved);
        termios quiet = saved;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    QByteArray line;
    int c = 0;
    while ((c = std::getchar()) != EOF && c != '\n' && line.size() <= Passwords::kMaxLength)
        line += char(c);
    if (terminal) {
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::fputc('\n', stderr);
    }
    if (line.endsWith('\r'))
        line.chop(1);
    if (c == EOF && line.isEmpty())
        return std::nullopt;
    return line;
}

int setPassword(Store& store, const QString& name, bool replace)
{
    const auto password = readSecretLine("Password: ");
    if (!password)
        return failure(QStringLiteral("no password given on stdin"));
    if (QString::fromUtf8(*password).size() < Passwords::kMinLength ||
        password->size() > Passwords::kMaxLength)
        return failure(QStringLiteral("the password must have %1 to %2 characters")
                           .arg(Passwords::kMinLength)
                           .arg(Passwords::kMaxLength));
    if (::isatty(STDIN_FILENO) && readSecretLine("Again: ") != password)
        return failure(QStringLiteral("the two passwords differ"));
    const QString hash = Passwords::hash(*password);
    if (hash.isEmpty())
        return failure(QStringLiteral("cannot hash the password (libsodium, memory)"));
    if (!store.addConsoleUser(name, hash, replace))
        return failure(store.lastError());
    out(QStringLiteral("%1 can sign in to the console\n").arg(name));
    return 0;
}

} // namespace

int ConsoleUsers::run(Store& store, const QStringList& words)
{
    const QString action = words.value(1);
    const QString name = words.value(2);
    if (action == QLatin1String("list") && words.size() == 2) {
        const auto names = store.consoleUsers();
        if (!names)
            return failure(store.lastError());
        out(names->isEmpty() ? QStringLiteral("no console accounts yet\n")
                             : terminalSafe(names->join(QLatin1Char('\n'))) + QLatin1Char('\n'));
        return 0;
    }
    static const QRegularExpression valid(QStringLiteral("^[A-Za-z0-9._-]{1,64}$"));
    const QStringList actions{QStringLiteral("add"), QStringLiteral("password"),
                              QStringLiteral("remove")};
    if (words.size() != 3 || !actions.contains(action) || !valid.match(name).hasMatch())
        return failure(QStringLiteral("console-user takes add, password or remove and a NAME of "
                                      "1 to 64 letters, digits, '.', '_' or '-'; or list"));
    const auto account = store.consoleAccount(name);
    if (!account)
        return failure(store.lastError());
    if (action == QLatin1String("add")) {
        if (!account->hash.isEmpty())
            return failure(
                QStringLiteral("%1 exists already: use console-user password %1").arg(name));
        return setPassword(store, name, false);
    }
    if (account->hash.isEmpty())
        return failure(QStringLiteral("no console account %1").arg(name));
    if (action == QLatin1String("password"))
        return setPassword(store, name, true);
    if (!store.removeConsoleUser(name))
        return failure(store.lastError());
    out(QStringLiteral("%1 removed; its sessions have ended\n").arg(name));
    return 0;
}
