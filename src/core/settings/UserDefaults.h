#pragma once

#include <QDateTime>
#include <QJsonValue>
#include <QString>
#include <QVariant>
#include <QVariantList>
#include <QVariantMap>

// A typed key-value store kept in one JSON file. Booleans, integers, floating values, strings,
// dates, arrays and dictionaries keep their type through a write and a read. Every write
// re-reads the file under a lock and replaces it atomically, so two processes writing at once
// merge their keys instead of tearing the file.
class UserDefaults final {
public:
    // What becomes of a file that cannot be read: set aside (renamed, kept for the user) and
    // replaced by a sound one at once, with the device's identifier when it can still be read;
    // or, for the terminal modes, which only read, left as it is while the defaults serve and
    // nothing is saved.
    enum class Broken { SetAside, LeaveAlone };
    explicit UserDefaults(QString filePath, Broken broken = Broken::SetAside);
    UserDefaults(const UserDefaults&) = delete;
    UserDefaults& operator=(const UserDefaults&) = delete;

    // The process-wide store in the user's configuration folder, and its file.
    static UserDefaults& standard();
    static QString standardPath();

    QString filePath() const { return m_path; }
    // Reads the file again, for a process that follows changes another one made; changes not
    // saved yet stay.
    void reload();

    // Absent keys give an invalid QVariant. Present values are one of: bool, qlonglong, double,
    // QString, QDateTime, QVariantList, QVariantMap, or a value of a form this version does not
    // know (kept as read, so that a write does not lose it; the typed readings ignore it).
    QVariant object(const QString& key) const;
    // The JSON of a value kept without being understood (an object written by hand without its
    // tag), else undefined.
    static QJsonValue untaggedJson(const QVariant& value);
    bool contains(const QString& key) const { return m_values.contains(key); }

    // The lenient readings of a user-defaults store: absent or unreadable gives false / 0 / "".
    bool boolValue(const QString& key) const;
    qint64 integerValue(const QString& key) const;
    double doubleValue(const QString& key) const;
    // A string, or a number written out; null for anything else.
    QString stringValue(const QString& key) const;
    // A date, or an invalid QDateTime.
    QDateTime dateValue(const QString& key) const;

    void setBool(const QString& key, bool value);
    void setInteger(const QString& key, qint64 value);
    void setDouble(const QString& key, double value);
    void setString(const QString& key, const QString& value);
    void setDate(const QString& key, const QDateTime& value);
    void setArray(const QString& key, const QVariantList& value);
    void setDictionary(const QString& key, const QVariantMap& value);
    void remove(const QString& key);

private:
    enum class LoadResult { Loaded, Missing, SetAside, Unusable };
    void write(const QString& key, const QVariant& value);
    // Reads the file into the map; a broken file is renamed aside (SetAside) or left alone
    // (Unusable), never rewritten.
    LoadResult load(QVariantMap& into) const;
    // Loads the file into memory; a file set aside is replaced at once by one that keeps the
    // device's identifier.
    void loadValues();
    // Puts every change not saved yet into map.
    void applyUnsaved(QVariantMap& map) const;

    QString m_path;
    Broken m_broken;
    QVariantMap m_values;
    // Changes not saved yet (a full disk, a lock held too long), by key; an invalid value is a
    // removal. Each write saves them all.
    QVariantMap m_unsaved;
};
