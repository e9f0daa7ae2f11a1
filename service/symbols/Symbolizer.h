#pragma once

#include "symbols/DebugFile.h"

#include <QJsonArray>
#include <QList>
#include <QString>

class Store;

// Names a crash's frames from the debugging files in the store. The names are looked up by a
// child process (velmora-service resolve-frames) bounded in memory and time, and kept in the
// store, so that a place is looked up once and a crafted file costs one bounded child.
namespace Symbolizer {

struct Frame {
    QString build;  // the module's build id, "-" when unknown
    QString offset; // "0x…" in the module
    QString module;
    bool pc = false; // where the fault was, not a return address
    DebugFile::Name name;
    bool own = false; // in a module the maker gave symbols for: the program's own
};
// The report's frames with what the store knows of them; nothing when the store fails.
std::optional<QList<Frame>> name(Store& store, const QJsonArray& frames);

// What decides a crash's group once its frames are named: the kind, the message and the first
// three of the program's own functions from the fault on (the capture's own frames before it
// left out); empty when no frame of the program is named.
QString signature(const QString& kind, const QString& message, const QList<Frame>& frames);
// The group's title: its top function of the program, or empty.
QString title(const QList<Frame>& frames);
// The frames from the fault on, as the commands and the console give them: module, offset,
// whether the program's, and the function, file and line when named.
QJsonArray toJson(const QList<Frame>& frames);

// The child's side: the names of the addresses on standard input, one hex address a line.
int resolveCommand(const QString& path);

} // namespace Symbolizer
