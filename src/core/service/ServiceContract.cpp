#include "ServiceContract.h"

#include <QRegularExpression>

#include <QJsonDocument>
#include <QJsonValue>
#include <QVariant>

namespace ServiceContract {
namespace {

std::optional<QJsonObject> objectFrom(const QByteArray& body)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    return document.object();
}

std::optional<QString> stringMember(const QJsonObject& object, const QString& key)
{
    const QJsonValue value = object.value(key);
    if (!value.isString())
        return std::nullopt;
    return value.toString();
}

// Every named member must be a string; each is read into its place.
bool readStrings(const QJsonObject& object,
                 std::initializer_list<std::pair<const char*, QString*>> members)
{
    for (const auto& [key, into] : members) {
        const std::optional<QString> value = stringMember(object, QString::fromLatin1(key));
        if (!value)
            return false;
        *into = *value;
    }
    return true;
}

} // namespace

std::optional<qint64> integerMember(const QJsonObject& object, const QString& key)
{
    const QJsonValue value = object.value(key);
    if (!value.isDouble())
        return std::nullopt;
    // Qt keeps a number written without fraction or exponent as an integer.
    const QVariant variant = value.toVariant();
    if (variant.typeId() != QMetaType::LongLong)
        return std::nullopt;
    return variant.toLongLong();
}

QJsonObject toJson(const SyncRequest& request)
{
    QJsonObject object{{QStringLiteral("d"), request.device},
                       {QStringLiteral("v"), request.version},
                       {QStringLiteral("os"), request.os}};
    if (request.ack && *request.ack > 0)
        object.insert(QStringLiteral("m"), *request.ack);
    return object;
}

QJsonObject toJson(const SyncAnswer& answer)
{
    return {{QStringLiteral("mid"), answer.mid}, {QStringLiteral("msg"), answer.msg}};
}

QJsonObject toJson(const ReportRequest& request)
{
    QJsonObject object{{QStringLiteral("d"), request.device},
                       {QStringLiteral("v"), request.version},
                       {QStringLiteral("os"), request.os},
                       {QStringLiteral("text"), request.text}};
    if (request.email && !request.email->isEmpty())
        object.insert(QStringLiteral("email"), *request.email);
    if (request.reply)
        object.insert(QStringLiteral("reply"), true);
    if (!request.request.isEmpty())
        object.insert(QStringLiteral("r"), request.request);
    return object;
}

QJsonObject toJson(const CrashRequest& request)
{
    QJsonObject object{
        {QStringLiteral("d"), request.device},        {QStringLiteral("kind"), request.kind},
        {QStringLiteral("message"), request.message}, {QStringLiteral("stack"), request.stack},
        {QStringLiteral("v"), request.version},       {QStringLiteral("os"), request.os}};
    if (!request.request.isEmpty())
        object.insert(QStringLiteral("r"), request.request);
    if (!request.frames.isEmpty())
        object.insert(QStringLiteral("frames"), request.frames);
    if (!request.context.isEmpty())
        object.insert(QStringLiteral("ctx"), request.context);
    return object;
}

namespace {

bool isHex(const QString& text, qsizetype from = 0)
{
    static const QRegularExpression hex(QStringLiteral("^[0-9a-f]+$"));
    return text.size() > from && hex.match(text.mid(from)).hasMatch();
}

// A frame as the service accepts it: a build id of hex digits (or "-"), a hex offset, a short
// module name; anything else is dropped, never stored.
std::optional<QJsonObject> frameFrom(const QString& build, const QString& offset,
                                     const QString& module, bool pc)
{
    if ((build != QLatin1String("-") && !isHex(build)) || build.size() > kMaxCrashFieldChars ||
        !offset.startsWith(QLatin1String("0x")) || !isHex(offset, 2) || offset.size() > 18 ||
        module.isEmpty() || module.size() > kMaxCrashFieldChars)
        return std::nullopt;
    for (QChar c : module)
        if (!c.isPrint())
            return std::nullopt;
    return QJsonObject{{QStringLiteral("build"), build},
                       {QStringLiteral("offset"), offset},
                       {QStringLiteral("module"), module},
                       {QStringLiteral("pc"), pc}};
}

const char* const kContextKeys[] = {"session", "desktop", "qt", "mode"};

} // namespace

QJsonArray framesFrom(const QString& lines)
{
    QJsonArray frames;
    for (const QString& line : lines.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const QStringList fields = line.split(QLatin1Char(' '));
        if (frames.size() == kMaxCrashFrames)
            break;
        if (fields.size() < 3 || fields.size() > 4 ||
            (fields.size() == 4 && fields[3] != QLatin1String("pc")))
            continue;
        if (const auto frame = frameFrom(fields[0], fields[1], fields[2], fields.size() == 4))
            frames.append(*frame);
    }
    return frames;
}

QJsonObject contextFrom(const QString& lines)
{
    QJsonObject context;
    for (const QString& line : lines.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const QString key = line.section(QLatin1Char('='), 0, 0);
        const QString value = line.section(QLatin1Char('='), 1).simplified().left(64);
        for (const char* known : kContextKeys)
            if (key == QLatin1String(known))
                context.insert(key, value);
    }
    return context;
}

// "r", optional: a string when present (older applications send none).
static bool readRequestId(const QJsonObject& object, QString* id)
{
    if (!object.contains(QStringLiteral("r")))
        return true;
    const std::optional<QString> value = stringMember(object, QStringLiteral("r"));
    *id = value.value_or(QString());
    return value.has_value();
}

std::optional<SyncRequest> syncRequestFrom(const QByteArray& body)
{
    const std::optional<QJsonObject> object = objectFrom(body);
    SyncRequest request;
    if (!object ||
        !readStrings(*object,
                     {{"d", &request.device}, {"v", &request.version}, {"os", &request.os}}))
        return std::nullopt;
    // Present, "m" must be an integer; absent, nothing is acknowledged.
    if (object->contains(QStringLiteral("m")) &&
        !(request.ack = integerMember(*object, QStringLiteral("m"))))
        return std::nullopt;
    return request;
}

std::optional<SyncAnswer> syncAnswerFrom(const QByteArray& body)
{
    const std::optional<QJsonObject> object = objectFrom(body);
    if (!object)
        return std::nullopt;
    const auto mid = integerMember(*object, QStringLiteral("mid"));
    const auto msg = stringMember(*object, QStringLiteral("msg"));
    if (!mid || !msg)
        return std::nullopt;
    return SyncAnswer{*mid, *msg};
}

std::optional<ReportRequest> reportRequestFrom(const QByteArray& body)
{
    const std::optional<QJsonObject> object = objectFrom(body);
    ReportRequest request;
    if (!object || !readStrings(*object, {{"d", &request.device},
                                          {"v", &request.version},
                                          {"os", &request.os},
                                          {"text", &request.text}}))
        return std::nullopt;
    if (object->contains(QStringLiteral("email")) &&
        !(request.email = stringMember(*object, QStringLiteral("email"))))
        return std::nullopt;
    if (object->contains(QStringLiteral("reply"))) {
        const QJsonValue reply = object->value(QStringLiteral("reply"));
        if (!reply.isBool())
            return std::nullopt;
        request.reply = reply.toBool();
    }
    if (!readRequestId(*object, &request.request))
        return std::nullopt;
    return request;
}

std::optional<CrashRequest> crashRequestFrom(const QByteArray& body)
{
    const std::optional<QJsonObject> object = objectFrom(body);
    CrashRequest request;
    if (!object ||
        !readStrings(*object, {{"d", &request.device},
                               {"kind", &request.kind},
                               {"message", &request.message},
                               {"stack", &request.stack},
                               {"v", &request.version},
                               {"os", &request.os}}) ||
        !readRequestId(*object, &request.request))
        return std::nullopt;
    // The optional members, read as far as they are sound; the rest of the report stands.
    for (const QJsonValue& value : object->value(QStringLiteral("frames")).toArray()) {
        if (request.frames.size() == kMaxCrashFrames)
            break;
        const QJsonObject frame = value.toObject();
        if (const auto sound = frameFrom(frame.value(QStringLiteral("build")).toString(),
                                         frame.value(QStringLiteral("offset")).toString(),
                                         frame.value(QStringLiteral("module")).toString(),
                                         frame.value(QStringLiteral("pc")).toBool()))
            request.frames.append(*sound);
    }
    const QJsonObject context = object->value(QStringLiteral("ctx")).toObject();
    for (const char* key : kContextKeys) {
        const QString value = context.value(QLatin1String(key)).toString().simplified().left(64);
        if (!value.isEmpty())
            request.context.insert(QLatin1String(key), value);
    }
    return request;
}

std::optional<bool> reportAnswerFrom(const QByteArray& body)
{
    const std::optional<QJsonObject> object = objectFrom(body);
    if (!object)
        return std::nullopt;
    const QJsonValue ok = object->value(QStringLiteral("ok"));
    if (!ok.isBool())
        return std::nullopt;
    return ok.toBool();
}

} // namespace ServiceContract
