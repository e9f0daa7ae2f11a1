#include "BoundedRead.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace BoundedRead {

Result read(const QString& path, qint64 maxBytes, Links links)
{
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer for ever.
    int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK;
    if (links == Links::Refuse)
        flags |= O_NOFOLLOW;
    const int fd = ::open(QFile::encodeName(path).constData(), flags);
    if (fd < 0)
        return {errno == ENOENT ? Status::Missing : Status::Unreadable, {}};
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return {Status::Unreadable, {}};
    }
    // One byte more than allowed tells a file that is too long from one that fits exactly.
    QByteArray data(maxBytes + 1, Qt::Uninitialized);
    qint64 size = 0;
    bool failed = false;
    while (size < data.size()) {
        const ssize_t n = ::read(fd, data.data() + size, size_t(data.size() - size));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            failed = true;
        if (n <= 0)
            break;
        size += n;
    }
    ::close(fd);
    if (failed)
        return {Status::Unreadable, {}};
    if (size > maxBytes) {
        data.truncate(maxBytes);
        return {Status::TooLarge, data};
    }
    data.truncate(size);
    return {Status::Ok, data};
}

} // namespace BoundedRead
