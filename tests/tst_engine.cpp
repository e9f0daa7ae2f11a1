#include "engine/VovirEngine.h"
#include "platform/linux/probe/LinuxProbe.h"
#include "settings/UserDefaults.h"
#include "settings/VovirSettings.h"
#include "support/FixtureTree.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QSignalSpy>
#include <QTest>

using SupplyFiles = QMap<QString, QByteArray>;

namespace {

// A probe whose memory reading is out of range, which no real system file can produce.
class OverfullMemoryProbe final : public Probe {
public:
    std::optional<CpuTicks> readCpuTicks() override { return std::nullopt; }
    MemoryReading readMemory() override { return {1000, 5000}; }
    std::optional<NetCounters> readNetCounters() override { return std::nullopt; }
    std::optional<BatterySnapshot> readBattery() override { return std::nullopt; }
};

} // namespace

class TestEngine : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        m_tree = std::make_unique<FixtureTree>();
        m_tree->writeStat(100, 100, 800);
        m_tree->writeMeminfo(16 * 1024 * 1024, 8 * 1024 * 1024);
        m_tree->writeNetDev(1'000'000, 500'000);
        m_now = 0;
        m_store = std::make_unique<UserDefaults>(m_dir.filePath(QStringLiteral("s.json")));
        m_store->remove(QStringLiteral("VSInterval"));
        VovirSettings::setStore(m_store.get());
        m_engine = std::make_unique<VovirEngine>(
            std::make_unique<LinuxProbe>(m_tree->root().toStdString()), [this] { return m_now; });
    }
    void cleanup()
    {
        m_engine.reset();
        VovirSettings::setStore(nullptr);
    }

    void firstSampleMeasuresSinceStart()
    {
        m_engine->start();
        m_tree->writeStat(150, 150, 900); // +100 busy of +200 total
        m_tree->writeNetDev(1'000'000 + 600 * 1024, 500'000 + 60 * 1024);
        m_now += 600'000'000;
        m_engine->sample();
        const VovirSnapshot s = m_engine->snapshot().value();
        QCOMPARE(s.cpuPercent, 50.0);
        QCOMPARE(s.downBps, 1024.0 * 1000);
        QCOMPARE(s.upBps, 1024.0 * 100);
        QCOMPARE(s.memTotal, 16ull << 30);
        QCOMPARE(s.memUsed, 8ull << 30);
        QVERIFY(!s.battery);
    }

    void systemTimeSplitMatchesCommonTools()
    {
        // user nice system idle iowait irq softirq steal: irq, softirq and steal are busy,
        // iowait is idle.
        m_tree->write(QStringLiteral("proc/stat"), "cpu0 0 0 0 0 0 0 0 0\ncpu1 0 0 0 0 0 0 0 0\n");
        m_engine->start();
        m_tree->write(QStringLiteral("proc/stat"),
                      "cpu  99 99 99 99\ncpu0 10 10 10 40 10 5 5 10 7 0\n"
                      "cpu1 0 0 0 100\nbogus\ncpu2 x y\nintr 5\n");
        m_engine->sample();
        // busy 10+10+10+5+5+10 = 50, idle 40+10+100 = 150
        QCOMPARE(m_engine->snapshot()->cpuPercent, 25.0);
    }

    void countersGoingBackwardsGiveZeroOnce()
    {
        m_engine->start();
        m_tree->writeStat(50, 50, 1000); // busy went backwards
        m_tree->writeNetDev(10, 10);     // an interface went away
        m_now += 2'000'000'000;
        m_engine->sample();
        QCOMPARE(m_engine->snapshot()->cpuPercent, 0.0);
        QCOMPARE(m_engine->snapshot()->downBps, 0.0);
        QCOMPARE(m_engine->snapshot()->upBps, 0.0);
        // The baselines moved: the next sample is normal again.
        m_tree->writeStat(100, 100, 1100);
        m_tree->writeNetDev(10 + 2048, 10 + 4096);
        m_now += 2'000'000'000;
        m_engine->sample();
        QCOMPARE(m_engine->snapshot()->cpuPercent, 50.0);
        QCOMPARE(m_engine->snapshot()->downBps, 1024.0);
        QCOMPARE(m_engine->snapshot()->upBps, 2048.0);
    }

    void samplesTooCloseGiveZeroRatesAndMoveTheBaseline()
    {
        m_engine->start();
        m_tree->writeNetDev(2'000'000, 500'000);
        m_now += 200'000'000; // exactly 0.2 s is still too close
        m_engine->sample();
        QCOMPARE(m_engine->snapshot()->downBps, 0.0);
        m_tree->writeNetDev(3'000'000, 500'000);
        m_now += 500'000'000;
        m_engine->sample();
        QCOMPARE(m_engine->snapshot()->downBps, 2'000'000.0); // measured from the 0.2 s sample
    }

    // Without /sys/class/net, names decide.
    void byNameWhenSysClassNetIsUnreadable_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<bool>("counted");
        QTest::newRow("eth0") << QByteArray("eth0") << true;
        QTest::newRow("enp3s0") << QByteArray("enp3s0") << true;
        QTest::newRow("wlp2s0") << QByteArray("wlp2s0") << true;
        QTest::newRow("docker0") << QByteArray("docker0") << false;
        QTest::newRow("veth1a2b") << QByteArray("veth1a2b") << false;
        QTest::newRow("tun0") << QByteArray("tun0") << false;
        QTest::newRow("br-lan") << QByteArray("br-lan") << false;
    }
    void byNameWhenSysClassNetIsUnreadable()
    {
        QFETCH(QByteArray, name);
        QFETCH(bool, counted);
        m_tree->writeNetDev(0, 0, name);
        m_engine->start();
        m_tree->writeNetDev(10240, 0, name);
        m_now += 1'000'000'000;
        m_engine->sample();
        QCOMPARE(m_engine->snapshot()->downBps, counted ? 10240.0 : 0.0);
    }

    void malformedInterfaceLineIsSkipped()
    {
        m_tree->write(QStringLiteral("proc/net/dev"), "eth0: 1 2\nwlan0: 100 0 0 0 0 0 0 0 0\n");
        m_engine->start();
        m_tree->write(QStringLiteral("proc/net/dev"),
                      "eth0: 1 2\nwlan0: 1124 0 0 0 0 0 0 0 0\nnocolon 5 5 5\n");
        m_now += 1'000'000'000;
        m_engine->sample();
        QCOMPARE(m_engine->snapshot()->downBps, 1024.0);
    }

    void battery_data()
    {
        QTest::addColumn<SupplyFiles>("battery");
        QTest::addColumn<QByteArray>("mainsOnline"); // empty: no mains supply
        QTest::addColumn<qint64>("percent");
        QTest::addColumn<bool>("charging");
        QTest::addColumn<bool>("external");
        QTest::addColumn<qint64>("cycles");
        using M = SupplyFiles;
        QTest::newRow("charging with cycles")
            << M{{"type", "Battery"},
                 {"capacity", "85"},
                 {"status", "Charging"},
                 {"cycle_count", "412"}}
            << QByteArray("1") << qint64(85) << true << true << qint64(412);
        QTest::newRow("no cycle count, on battery")
            << M{{"type", "Battery"}, {"capacity", "40"}, {"status", "Discharging"}}
            << QByteArray("0") << qint64(40) << false << false << qint64(0);
        QTest::newRow("full, no mains supply")
            << M{{"type", "Battery"}, {"capacity", "100"}, {"status", "Full"}} << QByteArray()
            << qint64(100) << false << true << qint64(0);
        QTest::newRow("capacity from energy")
            << M{{"type", "Battery"},
                 {"energy_now", "30000"},
                 {"energy_full", "40000"},
                 {"status", "Not charging"}}
            << QByteArray("1") << qint64(75) << false << true << qint64(0);
        QTest::newRow("nothing readable but the type")
            << M{{"type", "Battery"}} << QByteArray() << qint64(0) << false << false << qint64(0);
    }
    void battery()
    {
        QFETCH(SupplyFiles, battery);
        QFETCH(QByteArray, mainsOnline);
        QFETCH(qint64, percent);
        QFETCH(bool, charging);
        QFETCH(bool, external);
        QFETCH(qint64, cycles);
        m_tree->writeSupply(QStringLiteral("BAT1"), battery);
        // A mouse battery sorts first but belongs to a device, not to the machine.
        m_tree->writeSupply(QStringLiteral("AAA-mouse"),
                            {{"type", "Battery"}, {"scope", "Device"}, {"capacity", "3"}});
        if (!mainsOnline.isEmpty())
            m_tree->writeSupply(QStringLiteral("AC"), {{"type", "Mains"}, {"online", mainsOnline}});
        m_engine->sample();
        const std::optional<BatterySnapshot> b = m_engine->snapshot()->battery;
        QVERIFY(b.has_value());
        QCOMPARE(b->percent, percent);
        QCOMPARE(b->isCharging, charging);
        QCOMPARE(b->externalConnected, external);
        QCOMPARE(b->cycleCount, cycles);
    }

    // Layouts copied from real machines; the rates worked out by hand.
    void hardwareLinksCount_data()
    {
        QTest::addColumn<QStringList>("links"); // "name=device path", or "name" for virtual
        QTest::addColumn<double>("down");
        QTest::addColumn<double>("up");
        // Each link receives 1000 x (its position + 1) and sends a tenth of that in the second.
        QTest::newRow("laptop: Wi-Fi and WWAN; Docker, veth, WireGuard and loopback skipped")
            << QStringList{"lo",      "wlp2s0=pci0000:00/0000:00:1c.0/0000:02:00.0",
                           "docker0", "veth1a2b3c",
                           "wg0",     "wwan0=pci0000:00/0000:00:14.0/usb2/2-3/2-3:1.12"}
            << 1000.0 * (2 + 6) << 100.0 * (2 + 6);
        QTest::newRow("desktop: two ports under a bond and a VLAN count once")
            << QStringList{"lo", "enp1s0=pci0000:00/0000:00:1c.0/0000:01:00.0",
                           "enp2s0=pci0000:00/0000:00:1c.1/0000:02:00.0", "bond0", "bond0.100"}
            << 1000.0 * (2 + 3) << 100.0 * (2 + 3);
        QTest::newRow("USB-tethered phone with an unusual name")
            << QStringList{"lo", "enx0a1b2c3d4e5f=pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0", "tun0"}
            << 1000.0 * 2 << 100.0 * 2;
    }
    void hardwareLinksCount()
    {
        QFETCH(QStringList, links);
        QFETCH(double, down);
        QFETCH(double, up);
        auto counters = [&links](quint64 factor) {
            QList<std::tuple<QByteArray, quint64, quint64>> lines;
            for (int i = 0; i < links.size(); ++i)
                lines.append({links[i].section('=', 0, 0).toLatin1(), factor * 1000 * (i + 1),
                              factor * 100 * (i + 1)});
            return lines;
        };
        for (const QString& link : links)
            m_tree->addNetLink(link.section('=', 0, 0), link.section('=', 1));
        m_tree->writeNetDevLines(counters(5));
        m_engine->start();
        m_tree->writeNetDevLines(counters(6));
        m_now += 1'000'000'000;
        m_engine->sample();
        QCOMPARE(m_engine->snapshot()->downBps, down);
        QCOMPARE(m_engine->snapshot()->upBps, up);
    }

    void severalBatteriesReadAsOne_data()
    {
        QTest::addColumn<SupplyFiles>("bat0");
        QTest::addColumn<SupplyFiles>("bat1");
        QTest::addColumn<qint64>("percent");
        QTest::addColumn<bool>("charging");
        QTest::addColumn<qint64>("cycles");
        using M = SupplyFiles;
        // 20 Wh of 23.2 and 5.5 Wh of 24: 25.5 / 47.2 = 54.0 %, not the mean of 86 and 23.
        QTest::newRow("one charging, the other discharging, in energy")
            << M{{"type", "Battery"},        {"status", "Discharging"},   {"capacity", "86"},
                 {"energy_now", "20000000"}, {"energy_full", "23200000"}, {"cycle_count", "301"}}
            << M{{"type", "Battery"},       {"status", "Charging"},      {"capacity", "23"},
                 {"energy_now", "5500000"}, {"energy_full", "24000000"}, {"cycle_count", "77"}}
            << qint64(54) << true << qint64(301);
        // 3000 of 4000 mAh and 500 of 2000: 3500 / 6000 = 58.3 %.
        QTest::newRow("in charge, neither charging") << M{{"type", "Battery"},
                                                          {"status", "Discharging"},
                                                          {"charge_now", "3000000"},
                                                          {"charge_full", "4000000"}}
                                                     << M{{"type", "Battery"},
                                                          {"status", "Discharging"},
                                                          {"charge_now", "500000"},
                                                          {"charge_full", "2000000"}}
                                                     << qint64(58) << false << qint64(0);
        QTest::newRow("only capacities: their mean")
            << M{{"type", "Battery"}, {"capacity", "90"}}
            << M{{"type", "Battery"}, {"capacity", "41"}} << qint64(66) << false << qint64(0);
    }
    void severalBatteriesReadAsOne()
    {
        QFETCH(SupplyFiles, bat0);
        QFETCH(SupplyFiles, bat1);
        QFETCH(qint64, percent);
        QFETCH(bool, charging);
        QFETCH(qint64, cycles);
        // Written second-first: the order of the folder listing must not matter.
        m_tree->writeSupply(QStringLiteral("BAT1"), bat1);
        m_tree->writeSupply(QStringLiteral("BAT0"), bat0);
        m_tree->writeSupply(QStringLiteral("hidpp_battery_0"),
                            {{"type", "Battery"}, {"scope", "Device"}, {"capacity", "5"}});
        m_engine->sample();
        const std::optional<BatterySnapshot> b = m_engine->snapshot()->battery;
        QCOMPARE(b->percent, percent);
        QCOMPARE(b->isCharging, charging);
        QCOMPARE(b->cycleCount, cycles);
        QCOMPARE(b->externalConnected, charging);
    }

    void noBatteryOnlyMains()
    {
        m_tree->writeSupply(QStringLiteral("AC"), {{"type", "Mains"}, {"online", "1"}});
        m_engine->sample();
        QVERIFY(!m_engine->snapshot()->battery);
    }

    void memoryNeverAboveInstalled()
    {
        VovirEngine engine(std::make_unique<OverfullMemoryProbe>());
        engine.sample();
        QCOMPARE(engine.snapshot()->memUsed, 1000u);
        QCOMPARE(engine.snapshot()->memTotal, 1000u);
        // MemAvailable above MemTotal (a kernel accounting quirk) reads as nothing in use.
        m_tree->writeMeminfo(1000, 2000);
        m_engine->sample();
        QCOMPARE(m_engine->snapshot()->memUsed, 0u);
    }

    void oldKernelWithoutMemAvailable()
    {
        m_tree->write(QStringLiteral("proc/meminfo"),
                      "MemTotal: 1000 kB\nMemFree: 200 kB\nBuffers: 100 kB\nCached: 300 kB\n");
        m_engine->sample();
        QCOMPARE(m_engine->snapshot()->memUsed, 400u * 1024);
    }

    void missingFilesGiveNeutralValues()
    {
        m_engine->start();
        m_tree->remove(QStringLiteral("proc/stat"));
        m_tree->remove(QStringLiteral("proc/meminfo"));
        m_tree->remove(QStringLiteral("proc/net/dev"));
        m_now += 1'000'000'000;
        m_engine->sample();
        const VovirSnapshot s = *m_engine->snapshot();
        QCOMPARE(s.cpuPercent, 0.0);
        QCOMPARE(s.memUsed, 0u);
        QVERIFY(s.memTotal > 0); // the installed memory, from the system itself
        QCOMPARE(s.downBps, 0.0);
        QVERIFY(!s.battery);
        // Baselines were kept: when the files return, the difference runs from before.
        m_tree->writeStat(200, 100, 900);
        m_tree->writeNetDev(1'000'000 + 4096, 500'000);
        m_now += 1'000'000'000;
        m_engine->sample();
        QCOMPARE(m_engine->snapshot()->cpuPercent, 50.0);
        QCOMPARE(m_engine->snapshot()->downBps, 2048.0);
    }

    // Timing through the callback, on the real timers.
    void firstSampleComesAfterAboutSixTenths()
    {
        int calls = 0;
        m_engine->onUpdate = [&](const VovirSnapshot&) { ++calls; };
        QElapsedTimer clock;
        clock.start();
        m_engine->start();
        QTRY_COMPARE_WITH_TIMEOUT(calls, 1, 5000);
        QVERIFY(clock.elapsed() >= 550);
        QVERIFY(clock.elapsed() < 2900); // well before the 3 s tick
    }

    void restartKeepsOneTimerAtTheNewPeriod()
    {
        m_engine->start();
        VovirSettings::setIntervalSeconds(5);
        m_engine->start();
        m_engine->start();
        QCOMPARE(m_engine->intervalMs(), 5000);
        const auto timers = m_engine->findChildren<QTimer*>();
        int active = 0;
        for (QTimer* t : timers)
            active += t->isActive() && t->interval() == 5000 ? 1 : 0;
        QCOMPARE(active, 1);
        VovirSettings::setIntervalSeconds(2);
        m_engine->start();
        QCOMPARE(m_engine->intervalMs(), 2000);
        QVERIFY(m_engine->isRunning());
    }

    void snapshotReadableAfterStop()
    {
        int calls = 0;
        m_engine->onUpdate = [&](const VovirSnapshot&) { ++calls; };
        m_engine->start();
        QTRY_COMPARE_WITH_TIMEOUT(calls, 1, 5000);
        m_engine->stop();
        QVERIFY(!m_engine->isRunning());
        QVERIFY(m_engine->snapshot().has_value());
        QCOMPARE(m_engine->snapshot()->memTotal, 16ull << 30);
    }

    void delayedSampleDoesNothingOnceTheEngineIsGone()
    {
        bool called = false;
        auto engine = std::make_unique<VovirEngine>(
            std::make_unique<LinuxProbe>(m_tree->root().toStdString()));
        engine->onUpdate = [&](const VovirSnapshot&) { called = true; };
        engine->start();
        engine.reset();
        // Wait past the delayed sample with a sentinel of our own, not a guess.
        bool sentinel = false;
        QTimer::singleShot(VovirEngine::kFirstSampleDelayMs + 200, [&] { sentinel = true; });
        QTRY_VERIFY_WITH_TIMEOUT(sentinel, 5000);
        QVERIFY(!called);
    }

private:
    QTemporaryDir m_dir;
    std::unique_ptr<FixtureTree> m_tree;
    std::unique_ptr<UserDefaults> m_store;
    std::unique_ptr<VovirEngine> m_engine;
    int64_t m_now = 0;
};

QTEST_GUILESS_MAIN(TestEngine)
#include "tst_engine.moc"
