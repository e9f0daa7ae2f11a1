#include "settings/UserDefaults.h"
#include "settings/VovirSettings.h"

#include <QTemporaryDir>
#include <QTest>

class TestSettings : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        QFile::remove(path());
        m_store = std::make_unique<UserDefaults>(path());
        VovirSettings::setStore(m_store.get());
    }
    void cleanup() { VovirSettings::setStore(nullptr); }

    void freshStoreReadsDefaults()
    {
        QVERIFY(VovirSettings::showCPU());
        QVERIFY(VovirSettings::showMemory());
        QVERIFY(VovirSettings::showNetwork());
        QVERIFY(VovirSettings::showBattery());
        QVERIFY(VovirSettings::compactFormat());
        QCOMPARE(VovirSettings::intervalSeconds(), 3);
        QVERIFY(!QFile::exists(path())); // nothing is written on first launch
    }

    void switchRoundTrip()
    {
        VovirSettings::setShowBattery(false);
        QVERIFY(!VovirSettings::showBattery());
        UserDefaults reopened(path());
        QCOMPARE(reopened.object(QStringLiteral("VSShowBattery")), QVariant(false));
        VovirSettings::setShowBattery(true);
        QVERIFY(VovirSettings::showBattery());
    }

    void switchOfAnotherKindReadsOn_data()
    {
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<bool>("reads");
        QTest::newRow("string") << QVariant(QStringLiteral("no")) << true;
        QTest::newRow("array") << QVariant(QVariantList{false}) << true;
        QTest::newRow("zero") << QVariant(qint64(0)) << false;
        QTest::newRow("false") << QVariant(false) << false;
    }
    void switchOfAnotherKindReadsOn()
    {
        QFETCH(QVariant, stored);
        QFETCH(bool, reads);
        if (stored.typeId() == QMetaType::QString)
            m_store->setString(QStringLiteral("VSShowNetwork"), stored.toString());
        else if (stored.typeId() == QMetaType::QVariantList)
            m_store->setArray(QStringLiteral("VSShowNetwork"), stored.toList());
        else if (stored.typeId() == QMetaType::Bool)
            m_store->setBool(QStringLiteral("VSShowNetwork"), stored.toBool());
        else
            m_store->setInteger(QStringLiteral("VSShowNetwork"), stored.toLongLong());
        QCOMPARE(VovirSettings::showNetwork(), reads);
    }

    void interval_data()
    {
        QTest::addColumn<qint64>("stored");
        QTest::addColumn<qint64>("reads");
        QTest::newRow("2") << qint64(2) << qint64(2);
        QTest::newRow("5") << qint64(5) << qint64(5);
        QTest::newRow("4") << qint64(4) << qint64(3);
        QTest::newRow("1") << qint64(1) << qint64(3);
        QTest::newRow("0") << qint64(0) << qint64(3);
        QTest::newRow("-2") << qint64(-2) << qint64(3);
        QTest::newRow("60") << qint64(60) << qint64(3);
    }
    void interval()
    {
        QFETCH(qint64, stored);
        QFETCH(qint64, reads);
        VovirSettings::setIntervalSeconds(stored);
        QCOMPARE(VovirSettings::intervalSeconds(), reads);
        // Reading never rewrites what is stored.
        QCOMPARE(UserDefaults(path()).object(QStringLiteral("VSInterval")), QVariant(stored));
    }

    void nonNumericIntervalReadsDefault()
    {
        m_store->setString(QStringLiteral("VSInterval"), QStringLiteral("fast"));
        QCOMPARE(VovirSettings::intervalSeconds(), 3);
        m_store->setString(QStringLiteral("VSInterval"), QStringLiteral("5"));
        QCOMPARE(VovirSettings::intervalSeconds(), 5);
    }

private:
    QString path() const { return m_dir.filePath(QStringLiteral("settings.json")); }
    QTemporaryDir m_dir;
    std::unique_ptr<UserDefaults> m_store;
};

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
