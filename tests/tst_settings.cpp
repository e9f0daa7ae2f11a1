#include "settings/UserDefaults.h"
#include "settings/VovirSettings.h"

#include <QTemporaryDir>
#include <QTest>

// What the settings read from whatever the file holds: a value of another kind, or out of
// range, reads as the default and is never written back.
class TestSettings : public QObject {
    Q_OBJECT
private slots:
    void readings_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QVariant>("stored"); // invalid: nothing stored
        QTest::addColumn<qint64>("reads");
        QTest::newRow("no interval") << "VSInterval" << QVariant() << qint64(3);
        QTest::newRow("interval 5") << "VSInterval" << QVariant(qint64(5)) << qint64(5);
        QTest::newRow("interval 4") << "VSInterval" << QVariant(qint64(4)) << qint64(3);
        QTest::newRow("interval -2") << "VSInterval" << QVariant(qint64(-2)) << qint64(3);
        QTest::newRow("interval as text") << "VSInterval" << QVariant("5") << qint64(5);
        QTest::newRow("interval, fast") << "VSInterval" << QVariant("fast") << qint64(3);
        QTest::newRow("no switch") << "VSShowNetwork" << QVariant() << qint64(1);
        QTest::newRow("switch as text") << "VSShowNetwork" << QVariant("no") << qint64(1);
        QTest::newRow("switch as array")
            << "VSShowNetwork" << QVariant(QVariantList{false}) << qint64(1);
        QTest::newRow("switch as 0") << "VSShowNetwork" << QVariant(qint64(0)) << qint64(0);
        QTest::newRow("switch off") << "VSShowNetwork" << QVariant(false) << qint64(0);
    }
    void readings()
    {
        QFETCH(QString, key);
        QFETCH(QVariant, stored);
        QFETCH(qint64, reads);
        QTemporaryDir dir;
        const QString path = dir.filePath("settings.json");
        UserDefaults store(path);
        VovirSettings::setStore(&store);
        if (stored.typeId() == QMetaType::QString)
            store.setString(key, stored.toString());
        else if (stored.typeId() == QMetaType::QVariantList)
            store.setArray(key, stored.toList());
        else if (stored.typeId() == QMetaType::Bool)
            store.setBool(key, stored.toBool());
        else if (stored.isValid())
            store.setInteger(key, stored.toLongLong());
        QCOMPARE(key == "VSInterval" ? VovirSettings::intervalSeconds()
                                     : qint64(VovirSettings::showNetwork()),
                 reads);
        QCOMPARE(QFile::exists(path), stored.isValid()); // reading writes nothing
        QCOMPARE(UserDefaults(path).object(key), stored);
        VovirSettings::setStore(nullptr);
    }
};

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
