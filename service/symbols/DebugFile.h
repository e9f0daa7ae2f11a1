#pragma once

#include <QList>
#include <QString>

#include <cstdint>
#include <optional>

// The debugging information of one build of a program or library (an unstripped binary or a
// separate .debug file), read with elfutils. Files come from the maker but may be anything: a
// reading that fails says why, and the names are looked up in a child process (Symbolizer) so
// that a crafted file can neither hang nor crash the service.
namespace DebugFile {

struct Facts {
    QString buildId; // lowercase hex
    QString module;  // the file's name
};
// The build id of a file that holds symbols or DWARF; nothing, and why, otherwise.
std::optional<Facts> read(const QString& path, QString* error);

struct Name {
    QString function; // "VovirEngine::sample", without parameters; empty when unknown
    QString file;     // the source file, as the compiler recorded it
    int line = 0;
};
// The names of addresses (offsets in the module's own addresses), one per address.
QList<Name> resolve(const QString& path, const QList<uint64_t>& addresses);

} // namespace DebugFile
