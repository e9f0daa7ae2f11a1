#pragma once

#include <QString>

// The service's SQLite file as root's commands meet it: they act as the file's owner (the
// service's user), so that what SQLite creates beside it stays the service's to write.
namespace DatabaseFile {

// Becomes, for good, the owner of the SQLite file of url (or of the folder it will be made in);
// does nothing for PostgreSQL, for a caller other than root, or for a root-owned file. False
// when the switch fails.
bool actAsItsOwner(const QString& url);

// `backup TARGET`: a consistent copy of the live database, written by the caller (root may
// write where the service's user may not) with mode 0640, into TARGET, a new file, or to
// standard output for "-". Returns the exit code.
int backup(const QString& url, const QString& password, const QString& target);

} // namespace DatabaseFile
