#include "MakerCommands.h"

#include "CommandOutput.h"
#include "TerminalText.h"
#include "mail/MailSettings.h"
#include "store/Store.h"
#include "symbols/Symbolizer.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace MakerCommands {
namespace {

// Frames of a group's first stack shown in the list; `crash GROUP` shows them all.
constexpr int kListedFrames = 5;

// The one device an id, its lower-case spelling or a prefix names; nothing after saying why.
std::optional<QString> resolveDevice(Store& store, const QString& given)
{
    const std::optional<QStringList> found = store.devicesMatching(given);
    if (!found) {
        failure(store.lastError());
        return std::nullopt;
    }
    if (found->isEmpty()) {
        failure(QStringLiteral("no device \"%1\" (give its id, or its first 8 characters or more)")
                    .arg(given));
        return std::nullopt;
    }
    if (found->size() > 1) {
        failure(QStringLiteral("\"%1\" begins several device ids: give more of it").arg(given));
        return std::nullopt;
    }
    return found->first();
}

QString author(const Store::Entry& e)
{
    if (e.kind == QLatin1String("maker"))
        return (e.author.isEmpty() ? QStringLiteral("maker")
                                   : QStringLiteral("maker %1").arg(terminalSafe(e.author))) +
               QStringLiteral(" #%1, %2").arg(e.id).arg(e.state);
    QString who = e.kind == QLatin1String("reply") ? QStringLiteral("user reply")
                                                   : QStringLiteral("user report");
    if (!e.email.isEmpty())
        who += QStringLiteral(" <") + terminalSafe(e.email) + QLatin1Char('>');
    return who;
}

QJsonObject groupJson(const Store::CrashGroup& g)
{
    return {{"signature", g.signature},
            {"kind", g.kind},
            {"message", g.message},
            {"count", g.count},
            {"devices", g.devices},
            {"versions", QJsonArray::fromStringList(g.versions)},
            {"firstSeen", isoOrNull(g.firstSeen)},
            {"lastSeen", isoOrNull(g.lastSeen)},
            {"title", Store::groupTitle(g)},
            {"state", g.state},
            {"stateVersion", g.stateVersion},
            {"stack", g.firstStack}};
}

QString groupText(const Store::CrashGroup& g, int frames)
{
    QStringList stack = g.firstStack.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    if (frames > 0 && stack.size() > frames)
        stack = stack.mid(0, frames) << QStringLiteral("…");
    const QString state = g.state == QLatin1String("resolved")    ? QStringLiteral("resolved in ")
                          : g.state == QLatin1String("regressed") ? QStringLiteral("REGRESSION in ")
                          : g.state == QLatin1String("ignored")   ? QStringLiteral("ignored")
                                                                  : QStringLiteral("new");
    return QStringLiteral("%1  %2 x on %3 device(s)  %4: %5\n    %9, versions %6, first %7, "
                          "last %8\n")
               .arg(g.signature)
               .arg(g.count)
               .arg(g.devices)
               .arg(terminalSafe(g.title.isEmpty() ? g.kind : g.title),
                    terminalSafe(g.message.left(200), QStringLiteral("    ")),
                    terminalSafe(g.versions.join(QStringLiteral(", "))), when(g.firstSeen),
                    when(g.lastSeen), state + terminalSafe(g.stateVersion)) +
           QStringLiteral("      ") +
           terminalSafe(stack.join(QLatin1Char('\n')), QStringLiteral("      ")) +
           QLatin1Char('\n');
}

} // namespace

int devices(Store& store, bool json)
{
    // Printed as read: a million devices need no more memory than one.
    bool any = false;
    const bool read = store.forEachDevice([&](const Store::Device& d) {
        if (json) {
            const QJsonObject o{{"id", d.id},
                                {"firstSeen", isoOrNull(d.firstSeen)},
                                {"lastSeen", isoOrNull(d.lastSeen)},
                                {"version", d.version},
                                {"system", d.system},
                                {"waitingForAnswer", d.waitingForAnswer()},
                                {"lastUserMessage", isoOrNull(d.lastUserMessage)},
                                {"lastAnswer", isoOrNull(d.lastAnswer)},
                                {"answersNotPickedUp", d.answersNotPickedUp}};
            out((any ? QStringLiteral(",\n  ") : QStringLiteral("[\n  ")) +
                terminalSafeJson(
                    QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact))));
            any = true;
            return;
        }
        QString state;
        if (d.waitingForAnswer())
            state += QStringLiteral(", waits for an answer since %1").arg(when(d.lastUserMessage));
        if (d.answersNotPickedUp)
            state += QStringLiteral(", %1 answer(s) not picked up yet").arg(d.answersNotPickedUp);
        out(QStringLiteral("%1  %2  v%3  last seen %4, first %5%6\n")
                .arg(terminalSafe(d.id), terminalSafe(d.system), terminalSafe(d.version),
                     when(d.lastSeen), when(d.firstSeen), state));
        any = true;
    });
    if (json)
        out(any ? QStringLiteral("\n]\n") : QStringLiteral("[]\n"));
    if (!read)
        return failure(store.lastError());
    if (!json && !any)
        out(QStringLiteral("no devices yet\n"));
    return 0;
}

int conversation(Store& store, const QString& given, bool json)
{
    const std::optional<QString> device = resolveDevice(store, given);
    if (!device)
        return 1;
    const auto entries = store.conversation(*device);
    if (!entries)
        return failure(store.lastError());
    QJsonArray array;
    for (const Store::Entry& e : *entries) {
        if (!json) {
            out(QStringLiteral("%1  %2\n    %3\n")
                    .arg(when(e.at), author(e), terminalSafe(e.text, QStringLiteral("    "))));
            continue;
        }
        const bool maker = e.kind == QLatin1String("maker");
        QJsonObject o{{"from", maker ? "maker" : "user"},
                      {"kind", e.kind},
                      {"id", e.id},
                      {"text", e.text},
                      {"at", isoOrNull(e.at)}};
        if (!e.email.isEmpty())
            o.insert("email", e.email);
        if (maker) {
            o.insert("state", e.state);
            o.insert("acknowledged", e.state == QLatin1String("acknowledged"));
            if (!e.author.isEmpty())
                o.insert("author", e.author);
            if (!e.mailState.isEmpty())
                o.insert("mail", QJsonObject{{"state", e.mailState},
                                             {"to", e.mailTo},
                                             {"error", e.mailError},
                                             {"tries", e.mailTries}});
        }
        array.append(o);
    }
    if (json)
        printJson(array);
    return 0;
}

int reply(Store& store, const QString& given, const QString& text, bool byMail)
{
    if (const std::optional<QString> problem = Store::makerTextProblem(text))
        return failure(*problem);
    const std::optional<QString> device = resolveDevice(store, given);
    if (!device)
        return 1;
    QString to;
    if (byMail) {
        const auto facts = store.deviceFacts(*device);
        if (!facts)
            return failure(store.lastError());
        to = facts->email;
        if (to.isEmpty())
            return failure(QStringLiteral("this user gave no e-mail address; nothing was sent"));
        if (addressProblem(to))
            return failure(QStringLiteral("the user's address \"%1\" cannot be used in a mail "
                                          "header; nothing was sent")
                               .arg(terminalSafe(to.left(80))));
    }
    const std::optional<qint64> id = store.addMakerMessage(*device, text, QString(), to);
    if (!id)
        return failure(store.lastError());
    out(QString::number(*id) + QLatin1Char('\n'));
    if (byMail)
        out(QStringLiteral("e-mail to %1 queued: the running service sends it\n")
                .arg(terminalSafe(to)));
    return 0;
}

int retract(Store& store, const QString& messageId)
{
    bool ok = false;
    const qint64 id = messageId.toLongLong(&ok);
    if (!ok || id <= 0)
        return failure(
            QStringLiteral("\"%1\" is not a message id (see `conversation`)").arg(messageId));
    switch (store.retract(id)) {
    case Store::Retraction::Done:
        out(QStringLiteral("message %1 taken back\n").arg(id));
        return 0;
    case Store::Retraction::Unknown:
        return failure(QStringLiteral("no message %1").arg(id));
    case Store::Retraction::AlreadyOffered:
        return failure(QStringLiteral("message %1 was already delivered to its device, or taken "
                                      "back: it can no longer be taken back")
                           .arg(id));
    case Store::Retraction::Failed:
        break;
    }
    return failure(QStringLiteral("cannot take the message back: ") + store.lastError());
}

int crashes(Store& store, bool json)
{
    const auto groups = store.crashGroups();
    if (!groups)
        return failure(store.lastError());
    QJsonArray array;
    for (const Store::CrashGroup& g : *groups) {
        if (json)
            array.append(groupJson(g));
        else
            out(groupText(g, kListedFrames));
    }
    if (json)
        printJson(array);
    else if (groups->isEmpty())
        out(QStringLiteral("no crashes yet\n"));
    return 0;
}

int crash(Store& store, const QString& signature, bool json)
{
    const auto group = store.crashGroup(signature);
    const auto devices = group ? store.crashDevices(signature) : std::nullopt;
    if (!group || !devices)
        return failure(store.lastError());
    if (group->signature.isEmpty())
        return failure(QStringLiteral("no crash group \"%1\" (see `crashes`)").arg(signature));
    // The first crash's frames, named where the maker gave the symbols of their build.
    const auto named =
        Symbolizer::name(store, QJsonDocument::fromJson(group->firstFrames.toUtf8()).array());
    if (!named)
        return failure(store.lastError());
    const QString title = Symbolizer::title(*named);
    const QJsonObject context = QJsonDocument::fromJson(group->firstContext.toUtf8()).object();
    if (json) {
        QJsonObject o = groupJson(*group);
        o.insert("frames", Symbolizer::toJson(*named));
        o.insert("context", context);
        QJsonArray hit;
        for (const Store::CrashDevice& d : *devices)
            hit.append(QJsonObject{
                {"device", d.device}, {"count", d.count}, {"lastSeen", isoOrNull(d.lastSeen)}});
        o.insert("deviceList", hit);
        printJson(o);
        return 0;
    }
    out(groupText(*group, 0));
    if (!title.isEmpty())
        out(QStringLiteral("    in %1\n").arg(terminalSafe(title)));
    for (const Symbolizer::Frame& f : *named)
        if (f.own && !f.name.function.isEmpty())
            out(QStringLiteral("      %1  %2:%3\n")
                    .arg(terminalSafe(f.name.function), terminalSafe(f.name.file))
                    .arg(f.name.line));
    for (auto it = context.begin(); it != context.end(); ++it)
        out(QStringLiteral("    %1: %2\n").arg(it.key(), terminalSafe(it.value().toString())));
    for (const Store::CrashDevice& d : *devices)
        out(QStringLiteral("  %1  %2 x, last %3\n")
                .arg(terminalSafe(d.device))
                .arg(d.count)
                .arg(when(d.lastSeen)));
    return 0;
}

int exportDevice(Store& store, const QString& given)
{
    const std::optional<QString> device = resolveDevice(store, given);
    if (!device)
        return 1;
    const std::optional<QJsonObject> all = store.exportDevice(*device);
    if (!all)
        return failure(store.lastError());
    printJson(*all);
    return 0;
}

int forgetDevice(Store& store, const QString& given)
{
    const std::optional<QString> device = resolveDevice(store, given);
    if (!device)
        return 1;
    const std::optional<qint64> rows = store.forgetDevice(*device);
    if (!rows)
        return failure(store.lastError());
    out(QStringLiteral("%1 forgotten: %2 row(s) erased\n").arg(*device).arg(*rows));
    return 0;
}

int blockDevice(Store& store, const QString& given, bool blocked)
{
    const std::optional<QString> device = resolveDevice(store, given);
    if (!device)
        return 1;
    if (!store.setBlocked(*device, blocked))
        return failure(store.lastError());
    out(QStringLiteral("%1 %2\n").arg(*device, blocked ? QStringLiteral("blocked")
                                                       : QStringLiteral("unblocked")));
    return 0;
}

int versions(Store& store, bool json)
{
    const auto versions = store.versionHealth();
    if (!versions)
        return failure(store.lastError());
    // The share of active devices that did not crash; none without devices.
    auto share = [](qint64 crashed, qint64 active) -> QJsonValue {
        return active > 0
                   ? QJsonValue(100.0 * double(active - qMin(crashed, active)) / double(active))
                   : QJsonValue();
    };
    auto shown = [&](qint64 crashed, qint64 active) {
        const QJsonValue value = share(crashed, active);
        return value.isNull() ? QStringLiteral("-")
                              : QString::number(value.toDouble(), 'f', 1) + u'%';
    };
    QJsonArray array;
    for (const Store::VersionHealth& v : *versions) {
        if (json)
            array.append(QJsonObject{{"version", v.version},
                                     {"activeToday", v.activeToday},
                                     {"crashedToday", v.crashedToday},
                                     {"crashFreeToday", share(v.crashedToday, v.activeToday)},
                                     {"activeWeek", v.activeWeek},
                                     {"crashedWeek", v.crashedWeek},
                                     {"crashFreeWeek", share(v.crashedWeek, v.activeWeek)}});
        else
            out(QStringLiteral("%1  today: %2 device(s), %3 crash-free  7 days: %4 device(s), "
                               "%5 crash-free\n")
                    .arg(terminalSafe(v.version))
                    .arg(v.activeToday)
                    .arg(shown(v.crashedToday, v.activeToday))
                    .arg(v.activeWeek)
                    .arg(shown(v.crashedWeek, v.activeWeek)));
    }
    if (json)
        printJson(array);
    else if (versions->isEmpty())
        out(QStringLiteral("no device seen in the last 7 days\n"));
    return 0;
}

int decide(Store& store, const QString& signature, const QString& state, const QString& version)
{
    if (state == QLatin1String("resolved") && !Store::isResolvingVersion(version.trimmed()))
        return failure(QStringLiteral("--resolve takes the version that fixes it, e.g. 1.0.2"));
    const std::optional<bool> known = store.setGroupState(signature, state, version.trimmed());
    if (!known)
        return failure(store.lastError());
    if (!*known)
        return failure(
            QStringLiteral("no crash group \"%1\" (see `crashes`)").arg(terminalSafe(signature)));
    out(state == QLatin1String("resolved")
            ? QStringLiteral("%1 resolved in %2\n").arg(signature, terminalSafe(version.trimmed()))
            : QStringLiteral("%1 %2\n").arg(signature, state == QLatin1String("ignored")
                                                           ? QStringLiteral("ignored")
                                                           : QStringLiteral("reopened")));
    return 0;
}

} // namespace MakerCommands
