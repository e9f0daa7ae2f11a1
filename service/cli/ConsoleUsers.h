#pragma once

#include <QStringList>

class Store;

// `velmora-service console-user add|password|remove|list [NAME]`: the console's accounts.
// Passwords are read from the terminal without echo (twice), or as one line from stdin when it
// is not a terminal; never from the command line, which every user can read.
namespace ConsoleUsers {

int run(Store& store, const QStringList& words);

} // namespace ConsoleUsers
