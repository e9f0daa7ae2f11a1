#include "DatabaseFile.h"

#include "CommandOutput.h"
#include "store/Store.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Owner {
    uid_t uid;
    gid_t gid;
};

// The owner of the SQLite file, or of its folder while there is no file yet; nothing for root
// or PostgreSQL.
std::optional<Owner> ownerOf(const QString& url)
{
    if (!url.startsWith(QLatin1String("sqlite:")))
        return std::nullopt;
    const QString path = url.mid(7);
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0 &&
        ::stat(QFile::encodeName(QFileInfo(path).absolutePath()).constData(), &info) != 0)
        return std::nullopt;
    if (info.st_uid == 0)
        return std::nullopt;
    return Owner{info.st_uid, info.st_gid};
}

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

bool writeAll(int fd, const QByteArray& data)
{
    for (qsizetype at = 0; at < data.size();) {
        const ssize_t written = ::write(fd, data.constData() + at, size_t(data.size() - at));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        at += written;
    }
    return true;
}

} // namespace

bool DatabaseFile::actAsItsOwner(const QString& url)
{
    const std::optional<Owner> owner = ::geteuid() == 0 ? ownerOf(url) : std::nullopt;
    return !owner ||
           (::setgroups(0, nullptr) == 0 && ::setgid(owner->gid) == 0 && ::setuid(owner->uid) == 0);
}

int DatabaseFile::backup(const QString& url, const QString& password, const QString& target)
{
    if (!url.startsWith(QLatin1String("sqlite:")))
        return failure(QStringLiteral("a PostgreSQL database is backed up with its own tool: "
                                      "pg_dump --format=custom --file=FILE DBNAME"));
    if (!QFileInfo::exists(url.mid(7)))
        return failure(QStringLiteral("no database at %1").arg(url.mid(7)));
    const bool toStdout = target == QLatin1String("-");
    int fd = STDOUT_FILENO;
    if (!toStdout) {
        // The caller's file: made before anything else, and never one that exists.
        fd = ::open(QFile::encodeName(target).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                    0640);
        if (fd < 0)
            return failure(errno == EEXIST
                               ? QStringLiteral("%1 exists already: give a new file").arg(target)
                               : QStringLiteral("cannot write %1: %2").arg(target, systemError()));
        ::fchmod(fd, 0640); // users' reports and addresses: not for every user of the machine
    }
    auto abandon = [&](const QString& why) {
        if (!toStdout) {
            ::close(fd);
            ::unlink(QFile::encodeName(target).constData());
        }
        return failure(why);
    };
    // SQLite writes the copy as the database's owner, into a folder of the caller's that it may
    // write; the caller then copies it where it was asked.
    QTemporaryDir scratch;
    if (!scratch.isValid())
        return abandon(QStringLiteral("cannot make a temporary folder: ") + scratch.errorString());
    const std::optional<Owner> owner = ::geteuid() == 0 ? ownerOf(url) : std::nullopt;
    if (owner &&
        (::chown(QFile::encodeName(scratch.path()).constData(), owner->uid, owner->gid) != 0 ||
         ::setegid(owner->gid) != 0 || ::seteuid(owner->uid) != 0))
        return abandon(QStringLiteral("cannot act as the owner of ") + url);
    const QString copy = scratch.filePath(QStringLiteral("copy.sqlite"));
    QString error;
    bool made = false;
    {
        std::optional<Store> store = Store::open(url, &error, password);
        made = store && store->backup(copy);
        if (store && !made)
            error = store->lastError();
    }
    if (owner && (::seteuid(0) != 0 || ::setegid(0) != 0))
        return abandon(QStringLiteral("cannot become root again"));
    if (!made)
        return abandon(error);
    QFile file(copy);
    if (!file.open(QIODevice::ReadOnly))
        return abandon(QStringLiteral("cannot read the copy: ") + file.errorString());
    while (!file.atEnd()) {
        const QByteArray block = file.read(1 << 20);
        if (block.isEmpty() || !writeAll(fd, block))
            return abandon(
                QStringLiteral("cannot write %1: %2")
                    .arg(toStdout ? QStringLiteral("standard output") : target, systemError()));
    }
    if (toStdout)
        return 0;
    if (::fsync(fd) != 0 || ::close(fd) != 0) {
        ::unlink(QFile::encodeName(target).constData());
        return failure(QStringLiteral("cannot write %1: %2").arg(target, systemError()));
    }
    out(QStringLiteral("backed up into %1\n").arg(target));
    return 0;
}
