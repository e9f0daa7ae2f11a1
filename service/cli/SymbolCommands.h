#pragma once

#include <QStringList>

class Store;

// velmora-service symbols add FILE… | symbols list: the debugging files that name the frames of
// the crashes of their builds.
namespace SymbolCommands {

int run(Store& store, const QStringList& words, bool json);

} // namespace SymbolCommands
