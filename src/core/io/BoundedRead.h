#pragma once

#include <QByteArray>
#include <QString>

// Reads a file that something else may have replaced by a FIFO, a device or a link to
// /dev/zero: opened without blocking, read only when it is a regular file, and never past a
// limit. Nothing here can hang or exhaust memory.
namespace BoundedRead {

enum class Status {
    Ok,         // content holds the whole file
    Missing,    // nothing at the path
    Unreadable, // not a regular file, no permission, or an I/O error
    TooLarge,   // a regular file longer than the limit; content holds its head
};

struct Result {
    Status status = Status::Missing;
    QByteArray content;
};

enum class Links { Follow, Refuse };

Result read(const QString& path, qint64 maxBytes, Links links = Links::Follow);

} // namespace BoundedRead
