#include "SymbolCommands.h"

#include "CommandOutput.h"
#include "TerminalText.h"
#include "store/Store.h"
#include "symbols/DebugFile.h"
#include "symbols/Symbolizer.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace SymbolCommands {
namespace {

// A debugging file larger than this is not one of ours.
constexpr qint64 kMaxSymbolBytes = 512ll * 1024 * 1024;

// The stored crashes of this build, grouped again by the names of their functions.
bool regroup(Store& store, const QString& buildId, int* moved)
{
    const auto crashes = store.crashesOfBuild(buildId);
    if (!crashes)
        return false;
    for (const Store::StoredCrash& crash : *crashes) {
        const auto frames =
            Symbolizer::name(store, QJsonDocument::fromJson(crash.frames.toUtf8()).array());
        if (!frames)
            return false;
        const QString signature = Symbolizer::signature(crash.kind, crash.message, *frames);
        if (signature.isEmpty())
            continue;
        const QString title = Symbolizer::title(*frames);
        if (!store.regroupCrash(crash.id, signature, title.isEmpty() ? QStringLiteral("") : title))
            return false;
        ++*moved;
    }
    return true;
}

int add(Store& store, const QStringList& files)
{
    for (const QString& path : files) {
        QString error;
        const std::optional<DebugFile::Facts> facts = DebugFile::read(path, &error);
        if (!facts)
            return failure(terminalSafe(error));
        QFile file(path);
        if (file.size() > kMaxSymbolBytes)
            return failure(QStringLiteral("%1 is larger than 512 MB").arg(terminalSafe(path)));
        if (!file.open(QIODevice::ReadOnly))
            return failure(
                QStringLiteral("cannot read %1: %2").arg(terminalSafe(path), file.errorString()));
        int moved = 0;
        if (!store.addSymbolFile(facts->buildId, facts->module, file.readAll()) ||
            !regroup(store, facts->buildId, &moved))
            return failure(store.lastError());
        out(QStringLiteral("%1  %2: %3 crash(es) named\n")
                .arg(facts->buildId, terminalSafe(facts->module))
                .arg(moved));
    }
    return 0;
}

int list(Store& store, bool json)
{
    const auto files = store.symbolFiles();
    if (!files)
        return failure(store.lastError());
    QJsonArray array;
    for (const Store::SymbolFile& f : *files) {
        if (json)
            array.append(QJsonObject{{"buildId", f.buildId},
                                     {"module", f.module},
                                     {"bytes", f.bytes},
                                     {"added", isoOrNull(f.added)}});
        else
            out(QStringLiteral("%1  %2  %3 KB  added %4\n")
                    .arg(f.buildId, terminalSafe(f.module))
                    .arg((f.bytes + 1023) / 1024)
                    .arg(when(f.added)));
    }
    if (json)
        printJson(array);
    return 0;
}

} // namespace

int run(Store& store, const QStringList& words, bool json)
{
    if (words.value(1) == QLatin1String("add") && words.size() > 2)
        return add(store, words.mid(2));
    if (words.value(1) == QLatin1String("list") && words.size() == 2)
        return list(store, json);
    std::fputs("velmora-service: usage: symbols add FILE... | symbols list [--json]\n", stderr);
    return 2;
}

} // namespace SymbolCommands
