#include "UserDefaults.h"

#include "io/BoundedRead.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLockFile>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStandardPaths>

#include <cmath>
#include <cstdio>
#include <sys/stat.h>

// File form: a JSON object of key -> value. Booleans, integers, strings and arrays are plain
// JSON; every JSON object below the root is a one-member tag, so a type can never be mistaken
// for another: {"$real": 1.5}, {"$date": "ISO 8601 UTC"}, {"$dict": {...}}. Floating values are
// tagged because JSON would write 2.0 as 2 and read it back as an integer.
namespace {

const QString kReal = QStringLiteral("$real");
const QString kDate = QStringLiteral("$date");
const QString kDict = QStringLiteral("$dict");
// Far more than the store ever holds (its arrays are capped at 50 entries, each bounded by what
// the application takes in); a longer file is not ours (or is /dev/zero). The writer holds to
// the same bound, so that what it writes is always read back.
constexpr qint64 kMaxFileBytes = 16 * 1024 * 1024;

QJsonValue encode(const QVariant& value);

} // namespace

// A value this version does not understand (null, an unknown tag, ...), kept as it was read so
// that writing the file back does not lose it.
struct UnknownStoredValue {
    QJsonValue json;
};
Q_DECLARE_METATYPE(UnknownStoredValue)

namespace {

QJsonValue encodeReal(double d)
{
    if (std::isnan(d))
        return QJsonObject{{kReal, QStringLiteral("nan")}};
    if (std::isinf(d))
        return QJsonObject{{kReal, d > 0 ? QStringLiteral("inf") : QStringLiteral("-inf")}};
    return QJsonObject{{kReal, d}};
}

QJsonValue encode(const QVariant& value)
{
    switch (value.typeId()) {
    case QMetaType::Bool:
        return value.toBool();
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::UInt:
        return value.toLongLong();
    case QMetaType::Double:
    case QMetaType::Float:
        return encodeReal(value.toDouble());
    case QMetaType::QString:
        return value.toString();
    case QMetaType::QDateTime:
        return QJsonObject{{kDate, value.toDateTime().toUTC().toString(Qt::ISODateWithMs)}};
    case QMetaType::QVariantList:
    case QMetaType::QStringList: {
        QJsonArray array;
        for (const QVariant& element : value.toList())
            array.append(encode(element));
        return array;
    }
    case QMetaType::QVariantMap: {
        QJsonObject members;
        const QVariantMap map = value.toMap();
        for (auto it = map.begin(); it != map.end(); ++it)
            members.insert(it.key(), encode(it.value()));
        return QJsonObject{{kDict, members}};
    }
    default:
        if (value.metaType() == QMetaType::fromType<UnknownStoredValue>())
            return value.value<UnknownStoredValue>().json;
        return QJsonValue(QJsonValue::Undefined);
    }
}

QVariant unknown(const QJsonValue& value)
{
    return QVariant::fromValue(UnknownStoredValue{value});
}

QVariant decode(const QJsonValue& value)
{
    switch (value.type()) {
    case QJsonValue::Bool:
        return value.toBool();
    case QJsonValue::Double: {
        // Integers come back as qlonglong; an untagged fraction (hand-edited file) stays double.
        QVariant v = value.toVariant();
        if (v.typeId() == QMetaType::LongLong)
            return v;
        return value.toDouble();
    }
    case QJsonValue::String:
        return value.toString();
    case QJsonValue::Array: {
        QVariantList list;
        for (const QJsonValue& element : value.toArray()) {
            QVariant decoded = decode(element);
            if (decoded.isValid())
                list.append(decoded);
        }
        return list;
    }
    case QJsonValue::Object: {
        const QJsonObject tag = value.toObject();
        if (tag.size() != 1)
            return unknown(value);
        const QString name = tag.begin().key();
        const QJsonValue inner = tag.begin().value();
        if (name == kReal) {
            if (inner.isDouble())
                return inner.toDouble();
            const QString s = inner.toString();
            if (s == QLatin1String("nan"))
                return std::nan("");
            if (s == QLatin1String("inf"))
                return HUGE_VAL;
            if (s == QLatin1String("-inf"))
                return -HUGE_VAL;
            return unknown(value);
        }
        if (name == kDate) {
            QDateTime date = QDateTime::fromString(inner.toString(), Qt::ISODateWithMs);
            return date.isValid() ? QVariant(date) : unknown(value);
        }
        if (name == kDict && inner.isObject()) {
            QVariantMap map;
            const QJsonObject members = inner.toObject();
            for (auto it = members.begin(); it != members.end(); ++it) {
                QVariant decoded = decode(it.value());
                if (decoded.isValid())
                    map.insert(it.key(), decoded);
            }
            return map;
        }
        return unknown(value);
    }
    default:
        return unknown(value);
    }
}

void warn(const QString& line)
{
    std::fprintf(stderr, "VelmoraVovir: %s\n", qPrintable(line));
}

} // namespace

UserDefaults::UserDefaults(QString filePath, Broken broken)
    : m_path(std::move(filePath)), m_broken(broken)
{
    loadValues();
}

QString UserDefaults::standardPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/VelmoraVovir/settings.json");
}

UserDefaults& UserDefaults::standard()
{
    static UserDefaults store(standardPath());
    return store;
}

void UserDefaults::reload()
{
    loadValues();
}

void UserDefaults::loadValues()
{
    const bool setAside = load(m_values) == LoadResult::SetAside;
    applyUnsaved(m_values);
    // The identifier ties the user to the conversation with the maker: it is saved at once,
    // not at the next change, which a run that only reads may never make.
    const QString deviceId = QStringLiteral("VSDeviceId");
    if (setAside && m_values.contains(deviceId))
        write(deviceId, m_values.value(deviceId));
}

void UserDefaults::applyUnsaved(QVariantMap& map) const
{
    for (auto it = m_unsaved.begin(); it != m_unsaved.end(); ++it) {
        if (!it.value().isValid())
            map.remove(it.key());
        else
            map.insert(it.key(), it.value());
    }
}

UserDefaults::LoadResult UserDefaults::load(QVariantMap& into) const
{
    into.clear();
    const BoundedRead::Result read = BoundedRead::read(m_path, kMaxFileBytes);
    if (read.status == BoundedRead::Status::Missing)
        return LoadResult::Missing;
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(read.content, &error);
    if (read.status == BoundedRead::Status::Ok && error.error == QJsonParseError::NoError &&
        doc.isObject()) {
        const QJsonObject root = doc.object();
        for (auto it = root.begin(); it != root.end(); ++it) {
            QVariant decoded = decode(it.value());
            if (decoded.isValid())
                into.insert(it.key(), decoded);
        }
        return LoadResult::Loaded;
    }
    // Empty, truncated, corrupt, far too long, or not a file at all (a FIFO, a device): never
    // overwrite it in place, keep it for the user to inspect.
    if (m_broken == Broken::LeaveAlone) {
        warn(QStringLiteral("the settings file %1 is unreadable; using the defaults and leaving "
                            "it as it is")
                 .arg(m_path));
        return LoadResult::Unusable;
    }
    const QString aside =
        m_path + QStringLiteral(".corrupt-") +
        QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd-hhmmsszzz"));
    // The device's identifier is carried over when it can still be read: it is what ties the
    // user to the conversation with the maker.
    static const QRegularExpression deviceId(
        QStringLiteral("\"VSDeviceId\"\\s*:\\s*\"([0-9A-Fa-f-]{36})\""));
    const QRegularExpressionMatch found = deviceId.match(QString::fromUtf8(read.content));
    if (found.hasMatch())
        into.insert(QStringLiteral("VSDeviceId"), found.captured(1));
    if (QFile::rename(m_path, aside)) {
        warn(QStringLiteral("the settings file %1 was unreadable; kept it as %2 and using defaults")
                 .arg(m_path, aside));
        return LoadResult::SetAside;
    }
    warn(QStringLiteral("the settings file %1 is unreadable and cannot be moved aside; using "
                        "defaults without saving")
             .arg(m_path));
    return LoadResult::Unusable;
}

QJsonValue UserDefaults::untaggedJson(const QVariant& value)
{
    if (value.metaType() == QMetaType::fromType<UnknownStoredValue>())
        return value.value<UnknownStoredValue>().json;
    return QJsonValue(QJsonValue::Undefined);
}

QVariant UserDefaults::object(const QString& key) const
{
    return m_values.value(key);
}

bool UserDefaults::boolValue(const QString& key) const
{
    const QVariant v = m_values.value(key);
    switch (v.typeId()) {
    case QMetaType::Bool:
        return v.toBool();
    case QMetaType::LongLong:
        return v.toLongLong() != 0;
    case QMetaType::Double:
        return v.toDouble() != 0 && !std::isnan(v.toDouble());
    case QMetaType::QString: {
        const QString s = v.toString().trimmed();
        if (s.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0 ||
            s.compare(QLatin1String("yes"), Qt::CaseInsensitive) == 0)
            return true;
        return integerValue(key) != 0;
    }
    default:
        return false;
    }
}

qint64 UserDefaults::integerValue(const QString& key) const
{
    const QVariant v = m_values.value(key);
    switch (v.typeId()) {
    case QMetaType::Bool:
        return v.toBool() ? 1 : 0;
    case QMetaType::LongLong:
        return v.toLongLong();
    case QMetaType::Double: {
        const double d = v.toDouble();
        // Out of range or not a number reads 0 rather than an undefined conversion.
        if (!(d > -9.2e18 && d < 9.2e18))
            return 0;
        return static_cast<qint64>(d);
    }
    case QMetaType::QString: {
        bool ok = false;
        const qint64 n = v.toString().trimmed().toLongLong(&ok);
        if (ok)
            return n;
        const double d = v.toString().trimmed().toDouble(&ok);
        return ok && d > -9.2e18 && d < 9.2e18 ? static_cast<qint64>(d) : 0;
    }
    default:
        return 0;
    }
}

double UserDefaults::doubleValue(const QString& key) const
{
    const QVariant v = m_values.value(key);
    switch (v.typeId()) {
    case QMetaType::Bool:
    case QMetaType::LongLong:
    case QMetaType::Double:
        return v.toDouble();
    case QMetaType::QString: {
        bool ok = false;
        const double d = v.toString().trimmed().toDouble(&ok);
        return ok ? d : 0;
    }
    default:
        return 0;
    }
}

QString UserDefaults::stringValue(const QString& key) const
{
    const QVariant v = m_values.value(key);
    switch (v.typeId()) {
    case QMetaType::QString:
        return v.toString();
    case QMetaType::LongLong:
        return QString::number(v.toLongLong());
    case QMetaType::Double:
        return QString::number(v.toDouble());
    default:
        return {};
    }
}

QDateTime UserDefaults::dateValue(const QString& key) const
{
    const QVariant v = m_values.value(key);
    return v.typeId() == QMetaType::QDateTime ? v.toDateTime() : QDateTime();
}

void UserDefaults::setBool(const QString& key, bool value)
{
    write(key, value);
}
void UserDefaults::setInteger(const QString& key, qint64 value)
{
    write(key, QVariant::fromValue(value));
}
void UserDefaults::setDouble(const QString& key, double value)
{
    write(key, value);
}
void UserDefaults::setString(const QString& key, const QString& value)
{
    write(key, value);
}
void UserDefaults::setDate(const QString& key, const QDateTime& value)
{
    write(key, value);
}
void UserDefaults::setArray(const QString& key, const QVariantList& value)
{
    write(key, value);
}
void UserDefaults::setDictionary(const QString& key, const QVariantMap& value)
{
    write(key, value);
}
void UserDefaults::remove(const QString& key)
{
    write(key, QVariant());
}

void UserDefaults::write(const QString& key, const QVariant& value)
{
    // Round-trip through the encoder so memory holds exactly what a later read would give.
    const QVariant stored = value.isValid() ? decode(encode(value)) : QVariant();
    if (value.isValid() && !stored.isValid())
        return; // a value the file cannot hold
    m_unsaved.insert(key, stored);
    applyUnsaved(m_values);

    const QFileInfo info(m_path);
    if (!QDir().mkpath(info.absolutePath())) {
        warn(QStringLiteral("cannot create the settings folder %1; the change is not saved")
                 .arg(info.absolutePath()));
        return;
    }
    const QString lockPath = m_path + QStringLiteral(".lock");
    // Only a regular file can be our lock: anything else (a FIFO) would block the locking.
    struct stat lockInfo {};
    if (::lstat(QFile::encodeName(lockPath).constData(), &lockInfo) == 0 &&
        !S_ISREG(lockInfo.st_mode))
        QFile::remove(lockPath);
    QLockFile lock(lockPath);
    if (!lock.tryLock(5000)) {
        warn(QStringLiteral("cannot lock the settings file %1; the change is not saved")
                 .arg(m_path));
        return;
    }
    // Merge with what other processes wrote since this one last read the file. A file gone or
    // broken meanwhile is rebuilt from what this process holds, so no other key is lost.
    QVariantMap onDisk;
    switch (load(onDisk)) {
    case LoadResult::Loaded:
        applyUnsaved(onDisk);
        break;
    case LoadResult::Missing:
    case LoadResult::SetAside:
        onDisk = m_values;
        break;
    case LoadResult::Unusable:
        return;
    }

    QJsonObject root;
    for (auto it = onDisk.begin(); it != onDisk.end(); ++it)
        root.insert(it.key(), encode(it.value()));
    QByteArray text = QJsonDocument(root).toJson(QJsonDocument::Indented);
    if (text.size() > kMaxFileBytes)
        text = QJsonDocument(root).toJson(QJsonDocument::Compact);
    if (text.size() > kMaxFileBytes) {
        // Never a file the next start would set aside: the one on disk stays.
        warn(QStringLiteral("the settings would outgrow %1 MB; the file %2 is left as it was")
                 .arg(kMaxFileBytes >> 20)
                 .arg(m_path));
        return;
    }
    QSaveFile file(m_path);
    // Every byte written and flushed before the new file replaces the old one: on a full disk
    // the old file stays as it was.
    const bool written =
        file.open(QIODevice::WriteOnly) && file.write(text) == text.size() && file.flush();
    if (!written)
        file.cancelWriting();
    if (!written || !file.commit()) {
        warn(QStringLiteral("cannot save the settings file %1 (%2)")
                 .arg(m_path, file.errorString()));
        return;
    }
    m_values = onDisk;
    m_unsaved.clear();
}
