#include "format/VovirFormat.h"
#include "settings/UserDefaults.h"
#include "settings/VovirSettings.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <clocale>
#include <cmath>
#include <limits>

class TestFormat : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        m_store = std::make_unique<UserDefaults>(m_dir.filePath(QStringLiteral("settings.json")));
        for (const char* key :
             {"VSShowCPU", "VSShowMemory", "VSShowNetwork", "VSShowBattery", "VSCompact"})
            m_store->remove(QLatin1String(key));
        VovirSettings::setStore(m_store.get());
    }
    void cleanup() { VovirSettings::setStore(nullptr); }

    void percent_data()
    {
        QTest::addColumn<double>("value");
        QTest::addColumn<QString>("text");
        QTest::newRow("zero") << 0.0 << "0 %";
        QTest::newRow("rounds down") << 12.49 << "12 %";
        QTest::newRow("half away from zero") << 23.5 << "24 %";
        QTest::newRow("to a hundred") << 99.5 << "100 %";
        QTest::newRow("not a number") << std::nan("") << "0 %";
        QTest::newRow("infinite") << std::numeric_limits<double>::infinity() << "0 %";
    }
    void percent()
    {
        QFETCH(double, value);
        QFETCH(QString, text);
        QCOMPARE(VovirFormat::percent(value), text);
    }

    void gigabytes_data()
    {
        QTest::addColumn<quint64>("bytes");
        QTest::addColumn<QString>("text");
        const double g = double(1ull << 30);
        QTest::newRow("zero") << quint64(0) << "0 Go";
        QTest::newRow("whole") << quint64(16 * g) << "16 Go";
        QTest::newRow("rounds to whole") << quint64(7.96 * g) << "8 Go";
        QTest::newRow("one decimal") << quint64(7.9 * g) << "7,9 Go";
        QTest::newRow("largest counter") << std::numeric_limits<quint64>::max() << "17179869184 Go";
    }
    void gigabytes()
    {
        QFETCH(quint64, bytes);
        QFETCH(QString, text);
        QCOMPARE(VovirFormat::gigabytes(bytes), text);
    }

    // A locale whose decimal separator is not ASCII (Pashto writes U+066B) changes nothing.
    void theProcessLocaleChangesNothing()
    {
        QTemporaryDir locales;
        QProcess compile;
        compile.start("localedef", {"-i", "ps_AF", "-f", "UTF-8", locales.filePath("ps_AF.UTF-8")});
        if (!compile.waitForFinished(60000) || compile.exitCode() != 0)
            QSKIP("localedef cannot build ps_AF.UTF-8 here (Debian's locales package)");
        qputenv("LOCPATH", QFile::encodeName(locales.path()));
        QVERIFY(std::setlocale(LC_ALL, "ps_AF.UTF-8"));
        const bool arabicSeparator =
            static_cast<unsigned char>(*std::localeconv()->decimal_point) > 0x7f;
        const QString memory = VovirFormat::gigabytes(quint64(7.9 * double(1ull << 30)));
        std::setlocale(LC_ALL, "C");
        qunsetenv("LOCPATH");
        QVERIFY(arabicSeparator);
        QCOMPARE(memory, QStringLiteral("7,9 Go"));
    }

    void rate_data()
    {
        QTest::addColumn<double>("bps");
        QTest::addColumn<QString>("text");
        QTest::newRow("zero") << 0.0 << "0 Ko";
        QTest::newRow("under one Ko") << 1023.0 << "0 Ko";
        QTest::newRow("one Ko") << 1024.0 << "1 Ko";
        QTest::newRow("rounds half up") << 1536.0 << "2 Ko";
        QTest::newRow("1024 Ko stays Ko") << 1023.6 * 1024 << "1024 Ko";
        QTest::newRow("Mo") << 1.5 * 1024 * 1024 << "1,5 Mo";
        QTest::newRow("Go") << 1024.0 * 1024 * 1024 << "1,00 Go";
        // "%.1f" and "%.2f" give exact ties to the even digit.
        QTest::newRow("tie in Mo to even") << 1.25 * 1024 * 1024 << "1,2 Mo";
        QTest::newRow("tie in Mo, odd below") << 1.75 * 1024 * 1024 << "1,8 Mo";
        QTest::newRow("tie in Go to even") << 1.125 * 1024 * 1024 * 1024 << "1,12 Go";
        QTest::newRow("negative") << -5000.0 << "0 Ko";
        QTest::newRow("not a number") << std::nan("") << "0 Ko";
    }
    void rate()
    {
        QFETCH(double, bps);
        QFETCH(QString, text);
        QCOMPARE(VovirFormat::rate(bps), text);
    }

    void ratePerSec() { QCOMPARE(VovirFormat::ratePerSec(2048), QStringLiteral("2 Ko/s")); }

    void menuBarText_data()
    {
        QTest::addColumn<bool>("cpu");
        QTest::addColumn<bool>("memory");
        QTest::addColumn<bool>("network");
        QTest::addColumn<bool>("battery");
        QTest::addColumn<bool>("compact");
        QTest::addColumn<bool>("charging");
        QTest::addColumn<bool>("hasBattery");
        QTest::addColumn<QString>("text"); // null: absent
        QTest::newRow("all, full, charging")
            << true << true << true << true << false << true << true
            << QString::fromUtf8("CPU 23 % · RAM 7,9 Go · ↓12 Ko/s ↑3 Ko/s · Bat ⚡85 %");
        QTest::newRow("all, full, not charging")
            << true << true << true << true << false << false << true
            << QString::fromUtf8("CPU 23 % · RAM 7,9 Go · ↓12 Ko/s ↑3 Ko/s · Bat 85 %");
        QTest::newRow("all, compact, charging")
            << true << true << true << true << true << true << true
            << QString::fromUtf8("23 % · 7,9 Go · ↓12 Ko · ⚡85 %");
        QTest::newRow("only network, compact") << false << false << true << false << true << true
                                               << true << QString::fromUtf8("↓12 Ko");
        QTest::newRow("only cpu, full")
            << true << false << false << false << false << false << true << "CPU 23 %";
        QTest::newRow("all off") << false << false << false << false << true << true << true
                                 << QString();
        QTest::newRow("only battery, none present")
            << false << false << false << true << true << false << false << QString();
        QTest::newRow("battery without a battery")
            << true << false << false << true << true << false << false << "23 %";
    }
    void menuBarText()
    {
        QFETCH(bool, cpu);
        QFETCH(bool, memory);
        QFETCH(bool, network);
        QFETCH(bool, battery);
        QFETCH(bool, compact);
        QFETCH(bool, charging);
        QFETCH(bool, hasBattery);
        QFETCH(QString, text);
        VovirSettings::setShowCPU(cpu);
        VovirSettings::setShowMemory(memory);
        VovirSettings::setShowNetwork(network);
        VovirSettings::setShowBattery(battery);
        VovirSettings::setCompactFormat(compact);
        VovirSnapshot s{23,          quint64(7.9 * double(1ull << 30)),
                        16ull << 30, 12 * 1024.0,
                        3 * 1024.0,  std::nullopt};
        if (hasBattery)
            s.battery = BatterySnapshot{85, charging, true, 412};
        const std::optional<QString> result = VovirFormat::menuBarText(s);
        if (text.isNull())
            QVERIFY(!result.has_value());
        else
            QCOMPARE(result.value_or(QStringLiteral("<absent>")), text);
    }

    void guideIsAtLeastAsWideAsAnyLine()
    {
        VovirSettings::setCompactFormat(false);
        VovirSnapshot s{100,          15ull << 30,   16ull << 30,
                        999 * 1024.0, 1023 * 1024.0, BatterySnapshot{100, true, true, 5}};
        QVERIFY(VovirFormat::menuBarGuide().size() >= VovirFormat::menuBarText(s)->size());
    }

private:
    QTemporaryDir m_dir;
    std::unique_ptr<UserDefaults> m_store;
};

QTEST_GUILESS_MAIN(TestFormat)
#include "tst_format.moc"
