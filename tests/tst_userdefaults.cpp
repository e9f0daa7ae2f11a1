#include "settings/UserDefaults.h"
#include "settings/VovirSettings.h"
#include "support/TestKit.h"

#include <cmath>
#include <sys/stat.h>

class TestUserDefaults : public QObject {
    Q_OBJECT
private slots:
    void init() { QDir(m_dir.path()).removeRecursively(), QDir().mkpath(m_dir.path()); }

    void typesSurviveWriteAndRead()
    {
        const QDateTime when = QDateTime(QDate(2026, 3, 14), QTime(15, 9, 26, 535), Qt::UTC);
        const QVariantMap nested{{"id", qint64(7)},
                                 {"body", "Salut"},
                                 {"date", when},
                                 {"mine", true},
                                 {"$date", "not a tag"}};
        {
            UserDefaults store(path());
            store.setBool("b", false);
            store.setInteger("i", 9007199254740993LL); // beyond a double
            store.setDouble("whole double", 2.0);
            store.setDouble("nan", std::nan(""));
            store.setString("s", "2");
            store.setDate("d", when);
            store.setArray("a", {qint64(1), 1.5, "x", nested});
            store.setDictionary("m", nested);
        }
        UserDefaults store(path());
        QCOMPARE(store.object("b").typeId(), QMetaType::Bool);
        QCOMPARE(store.object("i"), QVariant(9007199254740993LL));
        QCOMPARE(store.object("whole double").typeId(), QMetaType::Double);
        QVERIFY(std::isnan(store.object("nan").toDouble()));
        QCOMPARE(store.object("s").typeId(), QMetaType::QString);
        QCOMPARE(store.object("d").toDateTime(), when);
        const QVariantList array = store.object("a").toList();
        QCOMPARE(array.size(), 4);
        QCOMPARE(array[0].typeId(), QMetaType::LongLong);
        QCOMPARE(array[1].typeId(), QMetaType::Double);
        QCOMPARE(array[3].toMap(), nested);
        QCOMPARE(store.object("m").toMap(), nested);
        QCOMPARE(store.dateValue("d"), when);
        QVERIFY(!store.dateValue("s").isValid());
    }

    // One value as the file holds it, read by each typed reading of the store and by the
    // settings (a value of another kind, or out of range, reads as the default); reading
    // writes nothing back. The row reads "bool integer string | interval network".
    void readings_data()
    {
        QTest::addColumn<QByteArray>("stored"); // empty: nothing stored
        QTest::addColumn<QString>("reads");
        QTest::newRow("absent") << QByteArray() << "0 0  | 3 1";
        QTest::newRow("true") << QByteArray("true") << "1 1  | 3 1";
        QTest::newRow("false") << QByteArray("false") << "0 0  | 3 0";
        QTest::newRow("5") << QByteArray("5") << "1 5 5 | 5 1";
        QTest::newRow("4, not a choice") << QByteArray("4") << "1 4 4 | 3 1";
        QTest::newRow("-2") << QByteArray("-2") << "1 -2 -2 | 3 1";
        QTest::newRow("0") << QByteArray("0") << "0 0 0 | 3 0";
        QTest::newRow("numeric string") << QByteArray("\"5\"") << "1 5 5 | 5 1";
        QTest::newRow("word") << QByteArray("\"fast\"") << "0 0 fast | 3 1";
        QTest::newRow("YES") << QByteArray("\"YES\"") << "1 0 YES | 3 1";
        QTest::newRow("no") << QByteArray("\"no\"") << "0 0 no | 3 1";
        QTest::newRow("huge double") << QByteArray("1e300") << "1 0 1e+300 | 3 1";
        QTest::newRow("array") << QByteArray("[false]") << "0 0  | 3 1";
        QTest::newRow("date") << QByteArray(R"({"$date": "2026-03-14T15:09:26.535Z"})")
                              << "0 0  | 3 1";
    }
    void readings()
    {
        QFETCH(QByteArray, stored);
        QFETCH(QString, reads);
        const QByteArray text = "{\"k\": " + stored + ", \"VSInterval\": " + stored +
                                ", \"VSShowNetwork\": " + stored + "}";
        if (!stored.isEmpty())
            writeFile(text);
        UserDefaults store(path());
        VovirSettings::setStore(&store);
        QCOMPARE(QString("%1 %2 %3 | %4 %5")
                     .arg(int(store.boolValue("k")))
                     .arg(store.integerValue("k"))
                     .arg(store.stringValue("k"))
                     .arg(VovirSettings::intervalSeconds())
                     .arg(int(VovirSettings::showNetwork())),
                 reads);
        VovirSettings::setStore(nullptr);
        QFile file(path());
        QCOMPARE(file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray(),
                 stored.isEmpty() ? QByteArray() : text);
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
        // A run that only reads leaves it where it is.
        QVERIFY(!UserDefaults(path(), UserDefaults::Broken::LeaveAlone).contains("VSShowCPU"));
        QVERIFY(QDir(m_dir.path()).entryList({"settings.json.corrupt-*"}).isEmpty());
        UserDefaults store(path());
        QVERIFY(!store.contains("VSShowCPU"));
        // The identifier is in a sound file at once, before any change is made.
        QCOMPARE(UserDefaults(path()).stringValue("VSDeviceId"),
                 content.contains("VSDeviceId") ? QString("0C9F5B1E-7A4D-4E8B-9D2C-3F6A1B0E5D47")
                                                : QString());
        // The broken file is renamed, byte for byte, never overwritten.
        const QStringList aside = QDir(m_dir.path()).entryList({"settings.json.corrupt-*"});
        QCOMPARE(aside.size(), 1);
        QFile kept(m_dir.filePath(aside.first()));
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), content);
        // The next write starts a sound file.
        store.setBool("VSShowCPU", false);
        QCOMPARE(UserDefaults(path()).object("VSShowCPU"), QVariant(false));
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
            store.setString("VSDeviceId", "DEVICE");
            store.setArray("VSMessageHistory", history);
        }
        UserDefaults again(path());
        QCOMPARE(again.stringValue("VSDeviceId"), "DEVICE");
        QCOMPARE(again.object("VSMessageHistory").toList().size(), 50);
        const qint64 size = QFileInfo(path()).size();
        again.setArray("VSArchive", history + history);
        QCOMPARE(QFileInfo(path()).size(), size);
        QCOMPARE(UserDefaults(path()).stringValue("VSDeviceId"), "DEVICE");
        QVERIFY(QDir(m_dir.path()).entryList({"settings.json.corrupt-*"}).isEmpty());
    }

    void fileBrokenWhileRunningLosesNoKey()
    {
        UserDefaults store(path());
        store.setInteger("VSInterval", 5);
        store.setBool("VSShowCPU", false);
        writeFile("{\"VSInterval\": 5, \"VSSho"); // torn by something else
        store.setBool("VSCompact", false);
        UserDefaults reread(path());
        QCOMPARE(reread.integerValue("VSInterval"), 5);
        QCOMPARE(reread.object("VSShowCPU"), QVariant(false));
        QCOMPARE(reread.object("VSCompact"), QVariant(false));
        QCOMPARE(QDir(m_dir.path()).entryList({"settings.json.corrupt-*"}).size(), 1);
    }

    void unknownValuesSurviveAWrite()
    {
        const QByteArray unknown =
            R"({"null": null, "odd": {"$what": 2}, "two": {"$real": 1, "$date": "x"},)"
            R"( "list": [1, null, {"$later": [true]}], "badDate": {"$date": "yesterday"}})";
        writeFile(unknown);
        UserDefaults store(path());
        QCOMPARE(store.integerValue("odd"), 0); // unreadable to the typed readings
        store.setInteger("good", 1);
        QJsonObject expected = QJsonDocument::fromJson(unknown).object();
        expected.insert("good", 1);
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
        QVERIFY(!store.contains("k"));
        store.setInteger("k", 3);
        QCOMPARE(UserDefaults(path()).integerValue("k"), 3);
        QVERIFY(QFileInfo(path()).isFile() && !QFileInfo(path()).isSymLink());
    }

    void aFullDiskKeepsTheOldFile()
    {
        UserDefaults store(path());
        store.setBool("VSOnboarded", true);
        QFile before(path());
        QVERIFY(before.open(QIODevice::ReadOnly));
        const QByteArray old = before.readAll();
        // A second process whose files may not grow past 4 KiB, as on a disk with 4 KiB free,
        // then with room again for one more change: the one the full disk refused is saved too.
        QProcess writer;
        writer.start(QCoreApplication::applicationDirPath() + "/store_writer",
                     {path(), "big", "--fill-with-file-limit"});
        QVERIFY(writer.waitForFinished(60000));
        QCOMPARE(writer.exitCode(), 0);
        QCOMPARE(writer.readAllStandardOutput(), old); // the file while the disk was full
        UserDefaults after(path());
        QVERIFY(after.boolValue("VSOnboarded") && after.boolValue("big-after"));
        QCOMPARE(after.stringValue("big").size(), 64 * 1024);
        QCOMPARE(QDir(m_dir.path()).entryList(QDir::Files | QDir::Hidden),
                 QStringList{"settings.json"});
    }

    // Nothing can be saved (a read-only folder, a file where the folder should be): the
    // values stay in memory, nothing crashes.
    void unwritableKeepsValuesInMemory()
    {
        writeFile("x");
        UserDefaults store(path() + "/settings.json");
        store.setInteger("k", 4);
        QCOMPARE(store.integerValue("k"), 4);
        if (geteuid() == 0)
            return; // root writes into read-only folders
        const QString folder = m_dir.filePath("locked");
        QDir().mkpath(folder);
        QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        UserDefaults locked(folder + "/settings.json");
        locked.setBool("k", true);
        QCOMPARE(locked.object("k"), QVariant(true));
        QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                          QFileDevice::ExeOwner);
    }

    void twoWritersMergeAndNeverTear()
    {
        const QString writer = QCoreApplication::applicationDirPath() + "/store_writer";
        QProcess a, b;
        a.start(writer, {path(), "a", "60"});
        b.start(writer, {path(), "b", "60"});
        QVERIFY(a.waitForFinished(60000));
        QVERIFY(b.waitForFinished(60000));
        QCOMPARE(a.exitCode(), 0);
        QCOMPARE(b.exitCode(), 0);
        QFile file(path());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(QJsonDocument::fromJson(file.readAll()).isObject());
        UserDefaults store(path());
        for (int i = 0; i < 60; ++i) {
            QCOMPARE(store.integerValue(QString("a-%1").arg(i)), i);
            QCOMPARE(store.integerValue(QString("b-%1").arg(i)), i);
        }
        QVERIFY(QDir(m_dir.path()).entryList({"*.corrupt-*"}).isEmpty());
    }

private:
    QString path() const { return m_dir.filePath("settings.json"); }
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
