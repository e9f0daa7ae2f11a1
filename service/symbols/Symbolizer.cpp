#include "Symbolizer.h"

#include "store/Store.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryFile>
#include <QTextStream>

#include <cstdio>
#include <sys/resource.h>

namespace Symbolizer {
namespace {

// A lookup gets this long and this much memory; then it is given up, and the frames stay
// unnamed until asked again.
constexpr int kLookupMs = 20'000;
constexpr rlim_t kLookupBytes = rlim_t(1) << 30;
constexpr rlim_t kLookupSeconds = 15;
constexpr int kNameChars = 300;

// What the child printed: "FUNCTION\tFILE\tLINE" a line, in the order asked.
QList<DebugFile::Name> lookUp(const QByteArray& content, const QList<uint64_t>& addresses)
{
    QTemporaryFile file;
    if (!file.open() || file.write(content) != content.size() || !file.flush())
        return {};
    QProcess child;
    child.setChildProcessModifier([] {
        const rlimit memory{kLookupBytes, kLookupBytes}, cpu{kLookupSeconds, kLookupSeconds},
            core{0, 0};
        setrlimit(RLIMIT_AS, &memory);
        setrlimit(RLIMIT_CPU, &cpu);
        setrlimit(RLIMIT_CORE, &core);
    });
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("resolve-frames"), file.fileName()});
    QByteArray asked;
    for (uint64_t address : addresses)
        asked += QByteArray::number(qulonglong(address), 16) + '\n';
    child.write(asked);
    child.closeWriteChannel();
    if (!child.waitForFinished(kLookupMs) || child.exitStatus() != QProcess::NormalExit ||
        child.exitCode() != 0) {
        child.kill();
        child.waitForFinished(1000);
        return {};
    }
    QList<DebugFile::Name> names;
    const QList<QByteArray> lines = child.readAllStandardOutput().split('\n');
    for (qsizetype i = 0; i < addresses.size(); ++i) {
        const QList<QByteArray> fields = lines.value(i).split('\t');
        names.append({QString::fromUtf8(fields.value(0)).left(kNameChars),
                      QString::fromUtf8(fields.value(1)).left(kNameChars),
                      fields.value(2).toInt()});
    }
    return names;
}

// Return addresses point past their call: the call itself is one byte before.
uint64_t placeOf(const Frame& frame)
{
    const uint64_t offset = frame.offset.mid(2).toULongLong(nullptr, 16);
    return frame.pc || offset == 0 ? offset : offset - 1;
}

// A place as the kept names are keyed: "0x37d2".
QString placeKey(uint64_t place)
{
    return QStringLiteral("0x%1").arg(place, 0, 16);
}

// From the fault on: the capture's own frames come before it. Without a marked fault (an
// uncaught exception), past the crash reporter's and the C++ runtime's frames.
qsizetype firstFrameOfTheFault(const QList<Frame>& frames)
{
    for (qsizetype i = 0; i < frames.size(); ++i)
        if (frames[i].pc)
            return i;
    for (qsizetype i = 0; i < frames.size(); ++i)
        if (frames[i].own && !frames[i].name.function.startsWith(QLatin1String("CrashReporter::")))
            return i;
    return 0;
}

} // namespace

std::optional<QList<Frame>> name(Store& store, const QJsonArray& report)
{
    QList<Frame> frames;
    QStringList builds;
    for (const QJsonValue& value : report) {
        const QJsonObject o = value.toObject();
        frames.append({o.value(QStringLiteral("build")).toString(),
                       o.value(QStringLiteral("offset")).toString(),
                       o.value(QStringLiteral("module")).toString(),
                       o.value(QStringLiteral("pc")).toBool(),
                       {},
                       false});
        if (!builds.contains(frames.last().build))
            builds.append(frames.last().build);
    }
    const std::optional<QSet<QString>> known = store.buildsWithSymbols(builds);
    if (!known)
        return std::nullopt;
    for (const QString& build : *known) {
        std::optional<QHash<QString, Store::FrameName>> names = store.frameNames(build);
        if (!names)
            return std::nullopt;
        // The places not named yet, looked up together.
        QList<uint64_t> missing;
        for (const Frame& frame : frames)
            if (frame.build == build && !names->contains(placeKey(placeOf(frame))) &&
                !missing.contains(placeOf(frame)))
                missing.append(placeOf(frame));
        if (!missing.isEmpty()) {
            const std::optional<QByteArray> content = store.symbolContent(build);
            if (!content)
                return std::nullopt;
            const QList<DebugFile::Name> found = lookUp(*content, missing);
            QHash<QString, Store::FrameName> fresh;
            for (qsizetype i = 0; i < found.size(); ++i)
                fresh.insert(placeKey(missing[i]),
                             {found[i].function, found[i].file, found[i].line});
            if (!fresh.isEmpty() && !store.keepFrameNames(build, fresh))
                return std::nullopt;
            names->insert(fresh);
        }
        for (Frame& frame : frames)
            if (frame.build == build) {
                frame.own = true;
                const Store::FrameName n = names->value(placeKey(placeOf(frame)));
                frame.name = {n.function, n.file, int(n.line)};
            }
    }
    return frames;
}

QString signature(const QString& kind, const QString& message, const QList<Frame>& frames)
{
    QStringList parts{kind, message.simplified()};
    for (qsizetype i = firstFrameOfTheFault(frames); i < frames.size() && parts.size() < 5; ++i)
        if (frames[i].own && !frames[i].name.function.isEmpty())
            parts << frames[i].name.function;
    if (parts.size() == 2)
        return QString();
    const QByteArray digest =
        QCryptographicHash::hash(parts.join(u'\n').toUtf8(), QCryptographicHash::Sha1);
    return QString::fromLatin1(digest.toHex().left(16));
}

QString title(const QList<Frame>& frames)
{
    for (qsizetype i = firstFrameOfTheFault(frames); i < frames.size(); ++i)
        if (frames[i].own && !frames[i].name.function.isEmpty())
            return frames[i].name.function;
    return QString();
}

QJsonArray toJson(const QList<Frame>& frames)
{
    // From the fault on: the capture's own frames before it are the same in every crash.
    QJsonArray array;
    for (const Frame& f : frames.mid(firstFrameOfTheFault(frames)))
        array.append(QJsonObject{{QStringLiteral("module"), f.module},
                                 {QStringLiteral("offset"), f.offset},
                                 {QStringLiteral("own"), f.own},
                                 {QStringLiteral("function"), f.name.function},
                                 {QStringLiteral("file"), f.name.file},
                                 {QStringLiteral("line"), f.name.line}});
    return array;
}

int resolveCommand(const QString& path)
{
    QList<uint64_t> addresses;
    QTextStream in(stdin);
    for (QString line; in.readLineInto(&line) && addresses.size() < 1024;)
        addresses.append(line.toULongLong(nullptr, 16));
    for (const DebugFile::Name& name : DebugFile::resolve(path, addresses)) {
        const QByteArray text = (name.function.simplified() + u'\t' + name.file.simplified() +
                                 u'\t' + QString::number(name.line))
                                    .toUtf8();
        std::printf("%s\n", text.constData());
    }
    return 0;
}

} // namespace Symbolizer
