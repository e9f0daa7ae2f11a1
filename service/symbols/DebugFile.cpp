#include "DebugFile.h"

#include <QFile>
#include <QFileInfo>

#include <cxxabi.h>
#include <elfutils/libdw.h>
#include <elfutils/libdwelf.h>
#include <elfutils/libdwfl.h>
#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>

namespace DebugFile {
namespace {

struct ElfFile {
    int fd = -1;
    Elf* elf = nullptr;
    ~ElfFile()
    {
        if (elf)
            elf_end(elf);
        if (fd >= 0)
            ::close(fd);
    }
};

bool hasSection(Elf* elf, const char* wanted)
{
    size_t names = 0;
    if (elf_getshdrstrndx(elf, &names) != 0)
        return false;
    for (Elf_Scn* section = elf_nextscn(elf, nullptr); section;
         section = elf_nextscn(elf, section)) {
        GElf_Shdr header;
        if (!gelf_getshdr(section, &header))
            continue;
        const char* name = elf_strptr(elf, names, header.sh_name);
        if (name && std::strcmp(name, wanted) == 0)
            return true;
    }
    return false;
}

// "_ZN11VovirEngine6sampleEv" as "VovirEngine::sample": the parameters say nothing a group
// needs, and change with a signature.
QString functionName(const char* symbol)
{
    if (!symbol)
        return QString();
    int status = 0;
    std::unique_ptr<char, decltype(&std::free)> demangled(
        abi::__cxa_demangle(symbol, nullptr, nullptr, &status), &std::free);
    QString name = QString::fromUtf8(status == 0 && demangled ? demangled.get() : symbol);
    name.replace(QLatin1String("(anonymous namespace)"), QLatin1String("{anonymous}"));
    int depth = 0;
    for (qsizetype i = 0; i < name.size(); ++i) {
        const QChar c = name[i];
        depth += c == u'<' ? 1 : c == u'>' ? -1 : 0;
        if (c == u'(' && depth == 0 && i > 0)
            return name.left(i);
    }
    return name;
}

} // namespace

std::optional<Facts> read(const QString& path, QString* error)
{
    elf_version(EV_CURRENT);
    ElfFile file;
    file.fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (file.fd < 0) {
        *error =
            QStringLiteral("cannot read %1: %2").arg(path, QString::fromLocal8Bit(strerror(errno)));
        return std::nullopt;
    }
    file.elf = elf_begin(file.fd, ELF_C_READ_MMAP, nullptr);
    if (!file.elf || elf_kind(file.elf) != ELF_K_ELF) {
        *error = QStringLiteral("%1 is not an ELF file").arg(path);
        return std::nullopt;
    }
    const void* id = nullptr;
    const ssize_t size = dwelf_elf_gnu_build_id(file.elf, &id);
    if (size <= 0 || size > 64) {
        *error = QStringLiteral("%1 has no build id").arg(path);
        return std::nullopt;
    }
    if (!hasSection(file.elf, ".symtab") && !hasSection(file.elf, ".debug_info")) {
        *error = QStringLiteral("%1 has no symbols: give the unstripped binary or its .debug "
                                "file")
                     .arg(path);
        return std::nullopt;
    }
    return Facts{QString::fromLatin1(QByteArray(static_cast<const char*>(id), int(size)).toHex()),
                 QFileInfo(path).fileName()};
}

QList<Name> resolve(const QString& path, const QList<uint64_t>& addresses)
{
    QList<Name> names(addresses.size());
    static const Dwfl_Callbacks callbacks = {dwfl_build_id_find_elf, dwfl_standard_find_debuginfo,
                                             dwfl_offline_section_address, nullptr};
    std::unique_ptr<Dwfl, decltype(&dwfl_end)> dwfl(dwfl_begin(&callbacks), &dwfl_end);
    if (!dwfl)
        return names;
    Dwfl_Module* module =
        dwfl_report_offline(dwfl.get(), "module", QFile::encodeName(path).constData(), -1);
    dwfl_report_end(dwfl.get(), nullptr, nullptr);
    if (!module)
        return names;
    // Offsets are the module's own addresses; the library places it at a bias of its choosing.
    Dwarf_Addr bias = 0;
    if (!dwfl_module_getelf(module, &bias))
        return names;
    for (qsizetype i = 0; i < addresses.size(); ++i) {
        const Dwarf_Addr at = addresses[i] + bias;
        names[i].function = functionName(dwfl_module_addrname(module, at));
        if (Dwfl_Line* line = dwfl_module_getsrc(module, at)) {
            int number = 0;
            if (const char* source =
                    dwfl_lineinfo(line, nullptr, &number, nullptr, nullptr, nullptr)) {
                names[i].file = QString::fromUtf8(source);
                names[i].line = number;
            }
        }
    }
    return names;
}

} // namespace DebugFile
