#pragma once

#include <QStringList>

// velmora-service COMMAND ...: serve, or one of the maker's commands on the same database.
// Returns the exit code: 0 done, 1 failed (said on stderr), 2 wrong usage.
int runCommand(const QStringList& arguments);
