#include "settings/UserDefaults.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>
#include <sys/stat.h>

class TestUserDefaults : public QObject {
    Q_OBJECT
private slots:
    void init() { QDir(m_dir.path()).removeRecursively(), QDir().mkpath(m_dir.path()); }

    void typesSurviveWriteAndRead()
    {
        const QDateTime when = QDateTime(QDate(2026, 3, 14), QTime(15, 9, 26, 535), Qt::UTC);
        const QVariantMap nested{{QStringLiteral("id"), qint64(7)},
                                 {QStringLiteral("body"), QStringLiteral("Salut")},
                                 {QStringLiteral("date"), when},
                                 {QStringLiteral("mine"), true},
                                 {QStringLiteral("$date"), QStringLiteral("not a tag")}};
        {
            UserDefaults store(path());
            store.setBool(QStringLiteral("b"), false);
            store.setInteger(QStringLiteral("i"), 9007199254740993LL); // beyond a double
            store.setDouble(QStringLiteral("whole double"), 2.0);
            store.setDouble(QStringLiteral("nan"), std::nan(""));
            store.setString(QStringLiteral("s"), QStringLiteral("2"));
            store.setDate(QStringLiteral("d"), when);
            store.setArray(QStringLiteral("a"), {qint64(1), 1.5, QStringLiteral("x"), nested});
            store.setDictionary(QStringLiteral("m"), nested);
        }
        UserDefaults store(path());
        QCOMPARE(store.object(QStringLiteral("b")).typeId(), QMetaType::Bool);
        QCOMPARE(store.object(QStringLiteral("i")), QVariant(9007199254740993LL));
        QCOMPARE(store.object(QStringLiteral("whole double")).typeId(), QMetaType::Double);
        QVERIFY(std::isnan(store.object(QStringLiteral("nan")).toDouble()));
        QCOMPARE(store.object(QStringLiteral("s")).typeId(), QMetaType::QString);
        QCOMPARE(store.object(QStringLiteral("d")).toDateTime(), when);
        const QVariantList array = store.object(QStringLiteral("a")).toList();
        QCOMPARE(array.size(), 4);
        QCOMPARE(array[0].typeId(), QMetaType::LongLong);
        QCOMPARE(array[1].typeId(), QMetaType::Double);
        QCOMPARE(array[3].toMap(), nested);
        QCOMPARE(store.object(QStringLiteral("m")).toMap(), nested);
        QCOMPARE(store.dateValue(QStringLiteral("d")), when);
        QVERIFY(!store.dateValue(QStringLiteral("s")).isValid());
    }

    void lenientReadings_data()
    {
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<bool>("asBool");
        QTest::addColumn<qint64>("asInteger");
        QTest::addColumn<QString>("asString");
        QTest::newRow("absent") << QVariant() << false << qint64(0) << QString();
        QTest::newRow("true") << QVariant(true) << true << qint64(1) << QString();
        QTest::newRow("integer") << QVariant(qint64(5)) << true << qint64(5) << "5";
        QTest::newRow("numeric string")
            << QVariant(QStringLiteral("12")) << true << qint64(12) << "12";
        QTest::newRow("word") << QVariant(QStringLiteral("abc")) << false << qint64(0) << "abc";
        QTest::newRow("YES") << QVariant(QStringLiteral("YES")) << true << qint64(0) << "YES";
        QTest::newRow("huge double") << QVariant(1e300) << true << qint64(0) << "1e+300";
        QTest::newRow("date") << QVariant(QDateTime::currentDateTimeUtc()) << false << qint64(0)
                              << QString();
    }
    void lenientReadings()
    {
        QFETCH(QVariant, stored);
        QFETCH(bool, asBool);
        QFETCH(qint64, asInteger);
        QFETCH(QString, asString);
        UserDefaults store(path());
        const QString key = QStringLiteral("k");
        switch (stored.typeId()) {
        case QMetaType::Bool:
            store.setBool(key, stored.toBool());
            break;
        case QMetaType::LongLong:
            store.setInteger(key, stored.toLongLong());
            break;
        case QMetaType::Double:
            store.setDouble(key, stored.toDouble());
            break;
        case QMetaType::QString:
            store.setString(key, stored.toString());
            break;
        case QMetaType::QDateTime:
            store.setDate(key, stored.toDateTime());
            break;
        default:
            break;
        }
        QCOMPARE(store.boolValue(key), asBool);
        QCOMPARE(store.integerValue(key), asInteger);
        QCOMPARE(store.stringValue(key), asString);
    }

    void brokenFileIsKeptAside_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("truncated") << QByteArray("{\"VSShowCPU\": false, \"VSInter");
        QTest::newRow("not json") << QByteArray("\x89PNG\r\n garbage");
        QTest::newRow("not an object") << QByteArray("[1, 2, 3]");
        // The device's identifier survives: it ties the user to the conversation.
        QTest::newRow("truncated after the device id")
            << QByteArray("{\"VSDeviceId\": \"0C9F5B1E-7A4D-4E8B-9D2C-3F6A1B0E5D47\", \"VSMess");
    }
    void brokenFileIsKeptAside()
    {
        QFETCH(QByteArray, content);
        writeFile(content);
        UserDefaults store(path());
        QVERIFY(!store.contains(QStringLiteral("VSShowCPU")));
        // The broken file is renamed, byte for byte, never overwritten.
        const QStringList aside =
            QDir(m_dir.path()).entryList({QStringLiteral("settings.json.corrupt-*")});
        QCOMPARE(aside.size(), 1);
        QFile kept(m_dir.filePath(aside.first()));
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), content);
        // The next write starts a sound file.
        store.setBool(QStringLiteral("VSShowCPU"), false);
        QCOMPARE(UserDefaults(path()).object(QStringLiteral("VSShowCPU")), QVariant(false));
        QCOMPARE(UserDefaults(path()).stringValue(QStringLiteral("VSDeviceId")),
                 content.contains("VSDeviceId") ? QString("0C9F5B1E-7A4D-4E8B-9D2C-3F6A1B0E5D47")
                                                : QString());
    }

    // Whatever the store writes it reads back: fifty long replies make a file of 10 MB. A write
    // past 16 MB, which the next start could not read, leaves the file as it was.
    void aLargeStoreReadsBack()
    {
        QVariantList history;
        for (int i = 0; i < 50; ++i)
            history << QVariantMap{{"id", qint64(-i)}, {"body", QString(100000, QChar(u'é'))}};
        {
            UserDefaults store(path());
            store.setString(QStringLiteral("VSDeviceId"), QStringLiteral("DEVICE"));
            store.setArray(QStringLiteral("VSMessageHistory"), history);
        }
        UserDefaults again(path());
        QCOMPARE(again.stringValue(QStringLiteral("VSDeviceId")), QStringLiteral("DEVICE"));
        QCOMPARE(again.object(QStringLiteral("VSMessageHistory")).toList().size(), 50);
        const qint64 size = QFileInfo(path()).size();
        again.setArray(QStringLiteral("VSArchive"), history + history);
        QCOMPARE(QFileInfo(path()).size(), size);
        QCOMPARE(UserDefaults(path()).stringValue(QStringLiteral("VSDeviceId")), "DEVICE");
        QVERIFY(
            QDir(m_dir.path()).entryList({QStringLiteral("settings.json.corrupt-*")}).isEmpty());
    }

    void fileBrokenWhileRunningLosesNoKey()
    {
        UserDefaults store(path());
        store.setInteger(QStringLiteral("VSInterval"), 5);
        store.setBool(QStringLiteral("VSShowCPU"), false);
        writeFile("{\"VSInterval\": 5, \"VSSho"); // torn by something else
        store.setBool(QStringLiteral("VSCompact"), false);
        UserDefaults reread(path());
        QCOMPARE(reread.integerValue(QStringLiteral("VSInterval")), 5);
        QCOMPARE(reread.object(QStringLiteral("VSShowCPU")), QVariant(false));
        QCOMPARE(reread.object(QStringLiteral("VSCompact")), QVariant(false));
        QCOMPARE(QDir(m_dir.path()).entryList({QStringLiteral("settings.json.corrupt-*")}).size(),
                 1);
    }

    void unknownValuesSurviveAWrite()
    {
        const QByteArray unknown =
            R"({"null": null, "odd": {"$what": 2}, "two": {"$real": 1, "$date": "x"},)"
            R"( "list": [1, null, {"$later": [true]}], "badDate": {"$date": "yesterday"}})";
        writeFile(unknown);
        UserDefaults store(path());
        QCOMPARE(store.integerValue(QStringLiteral("odd")), 0); // unreadable to the typed readings
        store.setInteger(QStringLiteral("good"), 1);
        QJsonObject expected = QJsonDocument::fromJson(unknown).object();
        expected.insert(QStringLiteral("good"), 1);
        QFile file(path());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(QJsonDocument::fromJson(file.readAll()).object(), expected);
    }

    // Something other than a file where the store reads: it never blocks, and the next write
    // gives a sound file.
    void notAFile_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("FIFO as the file") << "fifo";
        QTest::newRow("link to /dev/zero") << "zero";
        QTest::newRow("FIFO as the lock") << "fifo-lock";
    }
    void notAFile()
    {
        QFETCH(QString, kind);
        const QByteArray file = QFile::encodeName(path());
        if (kind == "fifo")
            QCOMPARE(mkfifo(file.constData(), 0600), 0);
        else if (kind == "zero")
            QVERIFY(QFile::link("/dev/zero", path()));
        else
            QCOMPARE(mkfifo((file + ".lock").constData(), 0600), 0);
        UserDefaults store(path());
        QVERIFY(!store.contains(QStringLiteral("k")));
        store.setInteger(QStringLiteral("k"), 3);
        QCOMPARE(UserDefaults(path()).integerValue(QStringLiteral("k")), 3);
        QVERIFY(QFileInfo(path()).isFile() && !QFileInfo(path()).isSymLink());
    }

    void aFullDiskKeepsTheOldFile()
    {
        UserDefaults store(path());
        store.setBool(QStringLiteral("VSOnboarded"), true);
        QFile before(path());
        QVERIFY(before.open(QIODevice::ReadOnly));
        const QByteArray old = before.readAll();
        // A second process whose files may not grow past 4 KiB, as on a disk with 4 KiB free.
        QProcess writer;
        writer.start(QCoreApplication::applicationDirPath() + QStringLiteral("/store_writer"),
                     {path(), QStringLiteral("big"), QStringLiteral("--fill-with-file-limit")});
        QVERIFY(writer.waitForFinished(60000));
        QCOMPARE(writer.exitCode(), 0);
        QFile after(path());
        QVERIFY(after.open(QIODevice::ReadOnly));
        QCOMPARE(after.readAll(), old);
        QVERIFY(UserDefaults(path()).boolValue(QStringLiteral("VSOnboarded")));
        QCOMPARE(QDir(m_dir.path()).entryList(QDir::Files | QDir::Hidden),
                 QStringList{QStringLiteral("settings.json")});
    }

    // Nothing can be saved (a read-only folder, a file where the folder should be): the
    // values stay in memory, nothing crashes.
    void unwritableKeepsValuesInMemory()
    {
        writeFile("x");
        UserDefaults store(path() + QStringLiteral("/settings.json"));
        store.setInteger(QStringLiteral("k"), 4);
        QCOMPARE(store.integerValue(QStringLiteral("k")), 4);
        if (geteuid() == 0)
            return; // root writes into read-only folders
        const QString folder = m_dir.filePath(QStringLiteral("locked"));
        QDir().mkpath(folder);
        QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        UserDefaults locked(folder + QStringLiteral("/settings.json"));
        locked.setBool(QStringLiteral("k"), true);
        QCOMPARE(locked.object(QStringLiteral("k")), QVariant(true));
        QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                          QFileDevice::ExeOwner);
    }

    void twoWritersMergeAndNeverTear()
    {
        const QString writer =
            QCoreApplication::applicationDirPath() + QStringLiteral("/store_writer");
        QProcess a, b;
        a.start(writer, {path(), QStringLiteral("a"), QStringLiteral("60")});
        b.start(writer, {path(), QStringLiteral("b"), QStringLiteral("60")});
        QVERIFY(a.waitForFinished(60000));
        QVERIFY(b.waitForFinished(60000));
        QCOMPARE(a.exitCode(), 0);
        QCOMPARE(b.exitCode(), 0);
        QFile file(path());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(QJsonDocument::fromJson(file.readAll()).isObject());
        UserDefaults store(path());
        for (int i = 0; i < 60; ++i) {
            QCOMPARE(store.integerValue(QStringLiteral("a-%1").arg(i)), i);
            QCOMPARE(store.integerValue(QStringLiteral("b-%1").arg(i)), i);
        }
        QVERIFY(QDir(m_dir.path()).entryList({QStringLiteral("*.corrupt-*")}).isEmpty());
    }

private:
    QString path() const { return m_dir.filePath(QStringLiteral("settings.json")); }
    void writeFile(const QByteArray& content)
    {
        QFile file(path());
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(content);
    }
    QTemporaryDir m_dir;
};

QTEST_GUILESS_MAIN(TestUserDefaults)
#include "tst_userdefaults.moc"
