#include "format/VovirFormat.h"
#include "settings/UserDefaults.h"
#include "settings/VovirSettings.h"
#include "support/TestKit.h"

#include <QRegularExpression>

#include <clocale>
#include <cmath>
#include <limits>

namespace {

constexpr double kGo = double(1ull << 30);

} // namespace

class TestFormat : public QObject {
    Q_OBJECT
private slots:
    void figures_data()
    {
        // p: percent, g: gigabytes, r: rate, d: duration, c: celsius, w: watts, f: frequency,
        // a: time ago
        QTest::addColumn<char>("kind");
        QTest::addColumn<double>("value");
        QTest::addColumn<QString>("text");
        const double nan = std::nan(""), infinity = std::numeric_limits<double>::infinity();
        QTest::newRow("percent, rounds down") << 'p' << 12.49 << "12 %";
        QTest::newRow("percent, half away from zero") << 'p' << 23.5 << "24 %";
        QTest::newRow("percent, not a number") << 'p' << nan << "0 %";
        QTest::newRow("percent, infinite") << 'p' << infinity << "0 %";
        QTest::newRow("Go, whole") << 'g' << 16 * kGo << "16 Go";
        QTest::newRow("Go, rounds to whole") << 'g' << 7.96 * kGo << "8 Go";
        QTest::newRow("Go, one decimal") << 'g' << 7.9 * kGo << "7,9 Go";
        QTest::newRow("Go, largest counter") << 'g' << -1.0 << "17179869184 Go";
        QTest::newRow("rate, under one Ko") << 'r' << 1023.0 << "0 Ko";
        QTest::newRow("rate, rounds half up") << 'r' << 1536.0 << "2 Ko";
        QTest::newRow("rate, 1024 Ko stays Ko") << 'r' << 1023.6 * 1024 << "1024 Ko";
        QTest::newRow("rate, 1 Mo") << 'r' << 1024.0 * 1024 << "1,0 Mo";
        QTest::newRow("rate, Mo") << 'r' << 1.5 * 1024 * 1024 << "1,5 Mo";
        QTest::newRow("rate, Go") << 'r' << 1024.0 * 1024 * 1024 << "1,00 Go";
        // "%.1f" and "%.2f" give exact ties to the even digit.
        QTest::newRow("rate, tie in Mo to even") << 'r' << 1.25 * 1024 * 1024 << "1,2 Mo";
        QTest::newRow("rate, tie in Mo, odd below") << 'r' << 1.75 * 1024 * 1024 << "1,8 Mo";
        QTest::newRow("rate, tie in Go to even") << 'r' << 1.125 * 1024 * kGo / 1024 << "1,12 Go";
        QTest::newRow("rate, negative") << 'r' << -5000.0 << "0 Ko";
        QTest::newRow("rate, not a number") << 'r' << nan << "0 Ko";
        QTest::newRow("time, minutes") << 'd' << 2670.0 << "45 min";
        QTest::newRow("time, to the nearest minute") << 'd' << 3569.0 << "59 min";
        QTest::newRow("time, hours") << 'd' << 7500.0 << "2 h 05";
        QTest::newRow("now") << 'a' << 0.0 << "maintenant";
        QTest::newRow("seconds ago") << 'a' << 40.0 << "il y a 40 s";
        QTest::newRow("minutes ago") << 'a' << 659.0 << "il y a 11 min";
        QTest::newRow("an hour ago") << 'a' << 3600.0 << "il y a 1 h";
        QTest::newRow("degrees") << 'c' << 51.6 << "52 °C";
        QTest::newRow("watts") << 'w' << 10.25 << "10,2 W";
        QTest::newRow("frequency") << 'f' << 1650.0 << "1,6 GHz";
    }
    void figures()
    {
        QFETCH(char, kind);
        QFETCH(double, value);
        QFETCH(QString, text);
        const quint64 bytes = value < 0 ? std::numeric_limits<quint64>::max() : quint64(value);
        QCOMPARE(kind == 'p'   ? VovirFormat::percent(value)
                 : kind == 'g' ? VovirFormat::gigabytes(bytes)
                 : kind == 'd' ? VovirFormat::duration(qint64(value))
                 : kind == 'a' ? VovirFormat::ago(qint64(value))
                 : kind == 'c' ? VovirFormat::celsius(value)
                 : kind == 'w' ? VovirFormat::watts(value)
                 : kind == 'f' ? VovirFormat::gigahertz(value)
                               : VovirFormat::rate(value),
                 text);
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
        const QString memory = VovirFormat::gigabytes(quint64(7.9 * kGo));
        std::setlocale(LC_ALL, "C");
        qunsetenv("LOCPATH");
        QVERIFY(arabicSeparator);
        QCOMPARE(memory, QString("7,9 Go"));
    }

    void menuBarText_data()
    {
        QTest::addColumn<QString>("shown");   // c cpu, m memory, n network, b battery, s short
        QTest::addColumn<QString>("battery"); // "charging", "on battery" or "none"
        QTest::addColumn<QString>("text");    // null: no line at all
        auto row = [](const char* name, const char* shown, const char* battery, const char* text) {
            QTest::newRow(name) << shown << battery << (text ? QString(text) : QString());
        };
        row("all, full, charging", "cmnb", "charging",
            "CPU 23 % · RAM 7,9 Go · ↓12 Ko/s ↑3 Ko/s · Bat ⚡85 %");
        row("all, full, on battery", "cmnb", "on battery",
            "CPU 23 % · RAM 7,9 Go · ↓12 Ko/s ↑3 Ko/s · Bat 85 %");
        row("all, short, charging", "cmnbs", "charging", "23 % · 7,9 Go · ↓12 Ko · ⚡85 %");
        row("only network, short", "ns", "charging", "↓12 Ko");
        row("all off", "s", "charging", nullptr);
        row("only battery, none present", "bs", "none", nullptr);
        row("battery without a battery", "cbs", "none", "23 %");
    }
    void menuBarText()
    {
        QFETCH(QString, shown);
        QFETCH(QString, battery);
        QFETCH(QString, text);
        QTemporaryDir dir;
        UserDefaults store(dir.filePath("settings.json"));
        VovirSettings::setStore(&store);
        VovirSettings::setShowCPU(shown.contains('c'));
        VovirSettings::setShowMemory(shown.contains('m'));
        VovirSettings::setShowNetwork(shown.contains('n'));
        VovirSettings::setShowBattery(shown.contains('b'));
        VovirSettings::setCompactFormat(shown.contains('s'));
        VovirSnapshot s{23, quint64(7.9 * kGo), 16ull << 30, 12 * 1024.0, 3 * 1024.0, {}, {}};
        if (battery != "none")
            s.battery = BatterySnapshot{85, battery == "charging", true, 412};
        QCOMPARE(VovirFormat::menuBarText(s).value_or("<none>"), text.isNull() ? "<none>" : text);
        // The guide that sizes the panel text is as wide as any line.
        VovirSnapshot widest{100,
                             15ull << 30,
                             16ull << 30,
                             999 * 1024.0,
                             1023 * 1024.0,
                             BatterySnapshot{100, true, true, 5},
                             {}};
        QVERIFY(VovirFormat::menuBarGuide().size() >=
                VovirFormat::menuBarText(widest).value_or(QString()).size());
        // For the panel, every figure holds the width of its widest value: digits and figure
        // spaces, commas and punctuation spaces, in the same places whatever the values.
        auto shapeOf = [](const std::optional<QString>& line) {
            // Units made up to an M's width count as the unit they make up.
            QString shape = line.value_or(QString()).remove(QChar(0x2009)).remove(QChar(0x200A));
            for (QChar& c : shape)
                c = c.isDigit() || c == QChar(0x2007)          ? QChar('0')
                    : c == ',' || c == QChar(0x2008)           ? QChar(',')
                    : c == QChar(0x26A1) || c == QChar(0x2003) ? QChar('+')
                                                               : c;
            // A figure's width is its count of digits and of commas, wherever its comma is.
            QString counted;
            for (const QString& run : shape.replace(QRegularExpression("M?[KMG]o"), "Xo")
                                          .split(QRegularExpression("(?<=[0,])(?=[^0,])|"
                                                                    "(?<=[^0,])(?=[0,])")))
                counted += run.contains(QRegularExpression("^[0,]+$"))
                               ? QString(run.count('0'), '0') + QString(run.count(','), ',')
                               : run;
            return counted;
        };
        const QString shape = shapeOf(VovirFormat::menuBarText(s, VovirFormat::Width::Steady));
        for (VovirSnapshot figures :
             {widest, VovirSnapshot{0, 0, 0, 0, 0, BatterySnapshot{5, false, false, 0}, {}},
              VovirSnapshot{55, 100ull << 30, 0, 1.5 * 1024 * 1024, kGo, s.battery, {}}}) {
            figures.battery = s.battery ? figures.battery : std::nullopt;
            QCOMPARE(shapeOf(VovirFormat::menuBarText(figures, VovirFormat::Width::Steady)), shape);
        }
        if (s.battery) // the guide has one
            QCOMPARE(shapeOf(VovirFormat::menuBarGuide(VovirFormat::Width::Steady)), shape);
        VovirSettings::setStore(nullptr);
    }
};

QTEST_GUILESS_MAIN(TestFormat)
#include "tst_format.moc"
