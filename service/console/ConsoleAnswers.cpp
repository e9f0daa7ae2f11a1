#include "ConsoleAnswers.h"

#include "symbols/Symbolizer.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace ConsoleAnswers {

using Status = StoreCall::Status;

Answer refusal(const QString& message, Status status)
{
    return {{{QStringLiteral("error"), message}}, status};
}

QJsonValue jsonTime(const QDateTime& at)
{
    return at.isValid() ? QJsonValue(at.toMSecsSinceEpoch()) : QJsonValue();
}

namespace {

QJsonObject groupToJson(const Store::CrashGroup& group)
{
    return {{QStringLiteral("signature"), group.signature},
            {QStringLiteral("title"), Store::groupTitle(group)},
            {QStringLiteral("state"), group.state},
            {QStringLiteral("stateVersion"), group.stateVersion},
            {QStringLiteral("kind"), group.kind},
            {QStringLiteral("message"), group.message},
            {QStringLiteral("count"), group.count},
            {QStringLiteral("versions"), QJsonArray::fromStringList(group.versions)},
            {QStringLiteral("firstSeen"), jsonTime(group.firstSeen)},
            {QStringLiteral("lastSeen"), jsonTime(group.lastSeen)},
            {QStringLiteral("devices"), group.devices}};
}

QJsonObject entryToJson(const Store::Entry& entry)
{
    QJsonObject line{
        {QStringLiteral("kind"), entry.kind},       {QStringLiteral("id"), entry.id},
        {QStringLiteral("text"), entry.text},       {QStringLiteral("email"), entry.email},
        {QStringLiteral("at"), jsonTime(entry.at)}, {QStringLiteral("state"), entry.state},
        {QStringLiteral("author"), entry.author}};
    if (!entry.mailState.isEmpty())
        line.insert(QStringLiteral("mail"),
                    QJsonObject{{QStringLiteral("state"), entry.mailState},
                                {QStringLiteral("to"), entry.mailTo},
                                {QStringLiteral("error"), entry.mailError},
                                {QStringLiteral("tries"), entry.mailTries},
                                {QStringLiteral("nextTry"), jsonTime(entry.mailNextTry)}});
    return line;
}

} // namespace

std::optional<Answer> inbox(Store& store, const Store::InboxQuery& query, int offset)
{
    // Counted when searched or filtered: the whole inbox's count says nothing a page does not.
    const bool narrowed =
        !query.search.isEmpty() || query.waiting || query.withEmail || !query.version.isEmpty();
    qint64 found = -1;
    const auto rows = store.inbox(query, offset, kInboxPage + 1, narrowed ? &found : nullptr);
    if (!rows)
        return std::nullopt;
    QJsonArray list;
    for (const Store::Conversation& row : rows->mid(0, kInboxPage))
        list.append(QJsonObject{{QStringLiteral("device"), row.device},
                                {QStringLiteral("email"), row.email},
                                {QStringLiteral("version"), row.version},
                                {QStringLiteral("system"), row.system},
                                {QStringLiteral("preview"), row.preview},
                                {QStringLiteral("at"), jsonTime(row.lastActivity)},
                                {QStringLiteral("new"), row.attention}});
    return Answer{{{QStringLiteral("conversations"), list},
                   {QStringLiteral("found"), found >= 0 ? QJsonValue(found) : QJsonValue()},
                   {QStringLiteral("more"), rows->size() > kInboxPage}}};
}

std::optional<Answer> conversation(Store& store, const QString& device, const QString& before,
                                   bool mail)
{
    const auto facts = store.deviceFacts(device);
    if (!facts)
        return std::nullopt;
    if (facts->id.isEmpty())
        return refusal(QStringLiteral("Appareil inconnu."), Status::NotFound);
    std::optional<Store::EntryKey> key;
    if (!before.isEmpty())
        key = Store::EntryKey{before.section(QLatin1Char(':'), 0, 0),
                              before.section(QLatin1Char(':'), 1).toLongLong()};
    // One more than shown tells whether there are older ones.
    const auto entries = store.conversation(device, kConversationPage + 1, key);
    const auto crashes = store.crashesOfDevice(device);
    if (!entries || !crashes)
        return std::nullopt;
    QJsonArray lines;
    for (const Store::Entry& entry :
         entries->mid(qMax<qsizetype>(0, entries->size() - kConversationPage)))
        lines.append(entryToJson(entry));
    QJsonArray crashList;
    for (const Store::DeviceCrash& crash : *crashes)
        crashList.append(QJsonObject{{QStringLiteral("signature"), crash.signature},
                                     {QStringLiteral("title"), crash.title},
                                     {QStringLiteral("kind"), crash.kind},
                                     {QStringLiteral("message"), crash.message},
                                     {QStringLiteral("count"), crash.count},
                                     {QStringLiteral("lastSeen"), jsonTime(crash.lastSeen)}});
    const QJsonObject about{{QStringLiteral("id"), facts->id},
                            {QStringLiteral("firstSeen"), jsonTime(facts->firstSeen)},
                            {QStringLiteral("lastSeen"), jsonTime(facts->lastSeen)},
                            {QStringLiteral("version"), facts->version},
                            {QStringLiteral("system"), facts->system},
                            {QStringLiteral("emails"), QJsonArray::fromStringList(facts->emails)},
                            {QStringLiteral("email"), facts->email},
                            {QStringLiteral("new"), facts->attention},
                            {QStringLiteral("blocked"), facts->blocked}};
    return Answer{{{QStringLiteral("device"), about},
                   {QStringLiteral("entries"), lines},
                   {QStringLiteral("older"), entries->size() > kConversationPage},
                   {QStringLiteral("mail"), mail},
                   {QStringLiteral("crashes"), crashList}}};
}

std::optional<Answer> crashes(Store& store, int offset)
{
    const auto groups = store.crashGroups(offset, kGroupsPage + 1, false);
    if (!groups)
        return std::nullopt;
    const QList<Store::CrashGroup> page = groups->mid(0, kGroupsPage);
    QStringList shown;
    for (const Store::CrashGroup& group : page)
        shown << group.signature;
    const auto trends = store.groupTrends(shown, kTrendDays);
    const auto versions = trends ? store.versionHealth() : std::nullopt;
    if (!versions)
        return std::nullopt;
    QJsonArray list;
    for (const Store::CrashGroup& group : page) {
        QJsonObject about = groupToJson(group);
        QJsonArray trend;
        for (qint64 count : trends->value(group.signature, QList<qint64>(kTrendDays)))
            trend.append(count);
        about.insert(QStringLiteral("trend"), trend);
        list.append(about);
    }
    QJsonArray health;
    for (const Store::VersionHealth& v : *versions)
        health.append(QJsonObject{{QStringLiteral("version"), v.version},
                                  {QStringLiteral("activeToday"), v.activeToday},
                                  {QStringLiteral("crashedToday"), v.crashedToday},
                                  {QStringLiteral("activeWeek"), v.activeWeek},
                                  {QStringLiteral("crashedWeek"), v.crashedWeek}});
    return Answer{{{QStringLiteral("groups"), list},
                   {QStringLiteral("more"), groups->size() > kGroupsPage},
                   {QStringLiteral("versions"), health}}};
}

std::optional<Answer> crashGroup(Store& store, const QString& signature)
{
    const auto group = store.crashGroup(signature);
    if (!group)
        return std::nullopt;
    if (group->signature.isEmpty())
        return refusal(QStringLiteral("Groupe de plantages inconnu."), Status::NotFound);
    const auto devices = store.crashDevices(signature);
    if (!devices)
        return std::nullopt;
    // Its first crash's frames, named where the maker gave the symbols of their build.
    const auto named =
        Symbolizer::name(store, QJsonDocument::fromJson(group->firstFrames.toUtf8()).array());
    if (!named)
        return std::nullopt;
    QJsonObject about = groupToJson(*group);
    about.insert(QStringLiteral("stack"), group->firstStack);
    about.insert(QStringLiteral("frames"), Symbolizer::toJson(*named));
    about.insert(QStringLiteral("context"),
                 QJsonDocument::fromJson(group->firstContext.toUtf8()).object());
    QJsonArray hit;
    for (const Store::CrashDevice& device : *devices)
        hit.append(QJsonObject{{QStringLiteral("device"), device.device},
                               {QStringLiteral("count"), device.count},
                               {QStringLiteral("lastSeen"), jsonTime(device.lastSeen)}});
    return Answer{{{QStringLiteral("group"), about}, {QStringLiteral("devices"), hit}}};
}

} // namespace ConsoleAnswers
