#include "app/terminal/TerminalMode.h"
#include "engine/VovirEngine.h"
#include "history/VovirHistory.h"
#include "platform/linux/probe/LinuxProbe.h"
#include "settings/UserDefaults.h"
#include "settings/VovirSettings.h"
#include "support/FixtureTree.h"
#include "support/TestKit.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <unistd.h>

namespace {

// One reading of /proc: busy and idle ticks, bytes received and sent, and the time since the
// reading before (the first one is taken at start).
struct Reading {
    quint64 busy, idle, down, up;
    qint64 afterMs = 0;
};

// A probe whose memory reading is out of range, which no real system file can produce.
class OverfullMemoryProbe final : public Probe {
public:
    std::optional<CpuTicks> readCpuTicks() override { return std::nullopt; }
    MemoryReading readMemory() override { return {1000, 5000}; }
    std::optional<NetCounters> readNetCounters() override { return std::nullopt; }
    std::optional<BatterySnapshot> readBattery() override { return std::nullopt; }
};

// Writes a machine's files, one a line: "PATH|CONTENT" (\\n for a line break) or
// "PATH->TARGET" for a symbolic link.
void writeMachine(FixtureTree& tree, const QString& files)
{
    for (const QString& line : files.split('\n', Qt::SkipEmptyParts)) {
        if (const qsizetype bar = line.indexOf('|'); bar > 0) {
            tree.write(
                line.left(bar).trimmed(),
                line.mid(bar + 1).replace(QLatin1String("\\n"), QLatin1String("\n")).toUtf8());
        } else if (const qsizetype arrow = line.indexOf("->"); arrow > 0) {
            const QString link = tree.root() + '/' + line.left(arrow).trimmed();
            QDir().mkpath(QFileInfo(link).absolutePath());
            QFile::link(line.mid(arrow + 2).trimmed(), link);
        }
    }
}

// Numbers to two decimals, so that a row can state what it expects as JSON.
QJsonValue rounded(const QJsonValue& value)
{
    if (value.isDouble())
        return std::round(value.toDouble() * 100) / 100;
    if (value.isArray()) {
        QJsonArray array;
        for (const QJsonValue& item : value.toArray())
            array.append(rounded(item));
        return array;
    }
    if (value.isObject()) {
        QJsonObject object;
        const QJsonObject in = value.toObject();
        for (auto it = in.begin(); it != in.end(); ++it)
            object.insert(it.key(), rounded(it.value()));
        return object;
    }
    return value;
}

// What four kinds of machines hold, as their /proc and /sys show it. Each starts from the
// same two processors' ticks, and the second reading, a second later, adds the lines of "then".
const char* const kTicks = "proc/stat|cpu  1 0 1 8\\ncpu0 100 0 0 900\\ncpu1 50 0 50 900\\n";
const char* const kTicksThen = "proc/stat|cpu  1 0 1 8\\ncpu0 150 0 0 950\\ncpu1 50 0 50 1000\\n";

} // namespace

Q_DECLARE_METATYPE(QList<Reading>)

class TestEngine : public QObject {
    Q_OBJECT

    // The engine over the fixture tree, started (its first reading taken) at time 0.
    void startEngine()
    {
        m_engine = std::make_unique<VovirEngine>(
            std::make_unique<LinuxProbe>(m_tree->root().toStdString()), [this] { return m_now; });
        m_engine->start();
    }
    void sampleAfter(qint64 ms)
    {
        m_now += ms * 1'000'000;
        m_engine->sample();
    }

private slots:
    void init()
    {
        m_tree = std::make_unique<FixtureTree>();
        m_tree->writeStat(200, 800);
        m_tree->writeMeminfo(16 * 1024 * 1024, 8 * 1024 * 1024);
        m_tree->writeNetDev(1'000'000, 500'000);
        m_now = 0;
        m_store = std::make_unique<UserDefaults>(m_dir.filePath(QString("s.json")));
        m_store->remove(QString("VSInterval"));
        VovirSettings::setStore(m_store.get());
    }
    void cleanup()
    {
        m_engine.reset();
        VovirSettings::setStore(nullptr);
    }

    void rates_data()
    {
        QTest::addColumn<QList<Reading>>("readings");
        QTest::addColumn<double>("cpu"); // of the last sample
        QTest::addColumn<double>("down");
        QTest::addColumn<double>("up");
        const Reading start{200, 800, 1'000'000, 500'000};
        QTest::newRow("measured since start")
            << QList<Reading>{start, {300, 900, 1'000'000 + 600 * 1024, 500'000 + 60 * 1024, 600}}
            << 50.0 << 1024.0 * 1000 << 1024.0 * 100;
        QTest::newRow("every counter going back gives zero")
            << QList<Reading>{start, {100, 1000, 10, 10, 2000}} << 0.0 << 0.0 << 0.0;
        QTest::newRow("then measured from there")
            << QList<Reading>{start, {100, 1000, 10, 10, 2000}, {200, 1100, 2058, 4106, 2000}}
            << 50.0 << 1024.0 << 2048.0;
        QTest::newRow("the upload counter alone going back")
            << QList<Reading>{start, {300, 900, 2'000'000, 100, 1000}} << 50.0 << 0.0 << 0.0;
        QTest::newRow("busy ticks alone going back")
            << QList<Reading>{start, {150, 1000, 1'000'000, 500'000, 1000}} << 0.0 << 0.0 << 0.0;
        // The kernel lets iowait, counted idle, go back: more busy ticks than ticks in all.
        QTest::newRow("idle ticks alone going back")
            << QList<Reading>{start, {300, 750, 1'000'000, 500'000, 1000}} << 100.0 << 0.0 << 0.0;
        QTest::newRow("no time elapsed")
            << QList<Reading>{start, {300, 900, 1'001'024, 500'000, 0}} << 50.0 << 0.0 << 0.0;
        QTest::newRow("0.2 s is too close, and becomes the baseline")
            << QList<Reading>{start,
                              {200, 800, 2'000'000, 500'000, 200},
                              {200, 800, 3'000'000, 500'000, 500}}
            << 0.0 << 2'000'000.0 << 0.0;
    }
    void rates()
    {
        QFETCH(QList<Reading>, readings);
        QFETCH(double, cpu);
        QFETCH(double, down);
        QFETCH(double, up);
        for (const Reading& r : readings) {
            m_tree->writeStat(r.busy, r.idle);
            m_tree->writeNetDev(r.down, r.up);
            if (&r == &readings.first())
                startEngine();
            else
                sampleAfter(r.afterMs);
        }
        QCOMPARE(m_engine->snapshot()->cpuPercent, cpu);
        QCOMPARE(m_engine->snapshot()->downBps, down);
        QCOMPARE(m_engine->snapshot()->upBps, up);
    }

    // What the files hold besides the numbers: the per-processor lines (irq, softirq and steal
    // are busy, iowait is idle), a malformed link line, files that go away and come back.
    void oddFiles()
    {
        m_tree->write("proc/stat", "cpu0 0 0 0 0 0 0 0 0\ncpu1 0 0 0 0 0 0 0 0\n");
        m_tree->write("proc/net/dev", "eth0: 1 2\nwlan0: 100 0 0 0 0 0 0 0 0\n");
        startEngine();
        m_tree->write("proc/stat", "cpu  99 99 99 99\ncpu0 10 10 10 40 10 5 5 10 7 0\n"
                                   "cpu1 0 0 0 100\nbogus\ncpu2 x y\nintr 5\n");
        m_tree->write("proc/net/dev", "eth0: 1 2\nwlan0: 1124 0 0 0 0 0 0 0 0\nnocolon 5 5 5\n");
        sampleAfter(1000);
        QCOMPARE(m_engine->snapshot()->cpuPercent, 25.0); // busy 50 of 200
        QCOMPARE(m_engine->snapshot()->downBps, 1024.0);
        for (const char* file : {"proc/stat", "proc/meminfo", "proc/net/dev"})
            m_tree->remove(file);
        sampleAfter(1000);
        QCOMPARE(m_engine->snapshot()->cpuPercent, 0.0);
        QCOMPARE(m_engine->snapshot()->downBps, 0.0);
        QCOMPARE(m_engine->snapshot()->memUsed, 0u);
        QVERIFY(m_engine->snapshot()->memTotal > 0); // the installed memory, from the system
        // The baselines were kept: the difference runs from before the files went away.
        m_tree->write("proc/stat", "cpu0 60 20 10 200 10 5 5 10 7 0\n");
        m_tree->write("proc/net/dev", "wlan0: 3172 0 0 0 0 0 0 0 0\n");
        sampleAfter(1000);
        QCOMPARE(m_engine->snapshot()->cpuPercent, 50.0);
        QCOMPARE(m_engine->snapshot()->downBps, 1024.0);
    }

    void memory_data()
    {
        QTest::addColumn<QByteArray>("meminfo");
        QTest::addColumn<quint64>("used");
        QTest::newRow("total less available")
            << QByteArray("MemTotal: 4000 kB\nMemAvailable: 1000 kB\n") << quint64(3000 * 1024);
        QTest::newRow("available above total reads as nothing in use")
            << QByteArray("MemTotal: 1000 kB\nMemAvailable: 2000 kB\n") << quint64(0);
        QTest::newRow("kernels before 3.14: free, buffers and cache")
            << QByteArray("MemTotal: 1000 kB\nMemFree: 200 kB\nBuffers: 100 kB\nCached: 300 kB\n")
            << quint64(400 * 1024);
    }
    void memory()
    {
        QFETCH(QByteArray, meminfo);
        QFETCH(quint64, used);
        m_tree->write("proc/meminfo", meminfo);
        startEngine();
        m_engine->sample();
        QCOMPARE(m_engine->snapshot()->memUsed, used);
        VovirEngine overfull(std::make_unique<OverfullMemoryProbe>());
        overfull.sample();
        QCOMPARE(overfull.snapshot()->memUsed, overfull.snapshot()->memTotal);
    }

    // Layouts copied from real machines. Each link receives 1000 x (its position + 1) bytes and
    // sends a tenth of that in the second. Without /sys/class/net, names decide.
    void countedLinks_data()
    {
        QTest::addColumn<QStringList>("links"); // "name=device path", "name" for virtual
        QTest::addColumn<bool>("sysfs");
        QTest::addColumn<double>("down");
        auto row = [](const char* name, const QString& links, bool sysfs, double down) {
            QTest::newRow(name) << links.split(' ') << sysfs << down;
        };
        row("laptop: Wi-Fi and WWAN; Docker, veth, WireGuard, macvtap, loopback skipped",
            "lo wlp2s0=pci0000:00/0000:00:1c.0/0000:02:00.0 docker0 veth1a2b3c wg0 "
            "wwan0=pci0000:00/0000:00:14.0/usb2/2-3/2-3:1.12 macvtap0=virtual",
            true, 1000.0 * (2 + 6));
        row("desktop: two ports under a bond and a VLAN count once",
            "lo enp1s0=pci0000:00/0000:00:1c.0/0000:01:00.0 "
            "enp2s0=pci0000:00/0000:00:1c.1/0000:02:00.0 bond0 bond0.100",
            true, 1000.0 * (2 + 3));
        row("USB-tethered phone with an unusual name",
            "lo enx0a1b2c3d4e5f=pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0 tun0", true, 1000.0 * 2);
        row("by name: eth, en and wl only", "lo eth0 enp3s0 wlp2s0 docker0 veth1a2b tun0 br-lan",
            false, 1000.0 * (2 + 3 + 4));
    }
    void countedLinks()
    {
        QFETCH(QStringList, links);
        QFETCH(bool, sysfs);
        QFETCH(double, down);
        auto counters = [&links](quint64 factor, bool reversed = false) {
            QList<std::tuple<QByteArray, quint64, quint64>> lines;
            for (int i = 0; i < links.size(); ++i)
                lines.insert(reversed ? 0 : i, {links[i].section('=', 0, 0).toLatin1(),
                                                factor * 1000 * (i + 1), factor * 100 * (i + 1)});
            return lines;
        };
        for (const QString& link : links)
            if (sysfs)
                m_tree->addNetLink(link.section('=', 0, 0), link.section('=', 1));
        m_tree->writeNetDevLines(counters(5));
        startEngine();
        m_tree->writeNetDevLines(counters(6));
        sampleAfter(1000);
        QCOMPARE(m_engine->snapshot()->downBps, down);
        QCOMPARE(m_engine->snapshot()->upBps, down / 10);
        // Links listed in another order (one came or went) are each decided anew.
        m_tree->writeNetDevLines(counters(7, true));
        sampleAfter(1000);
        QCOMPARE(m_engine->snapshot()->downBps, down);
    }

    // Supplies as "FOLDER: file=value, file=value; FOLDER: …".
    void battery_data()
    {
        QTest::addColumn<QString>("supplies");
        QTest::addColumn<qint64>("percent"); // -1: no battery
        QTest::addColumn<bool>("charging");
        QTest::addColumn<bool>("external");
        QTest::addColumn<qint64>("cycles");
        // A mouse's battery sorts first but belongs to a device, not to the machine.
        QTest::newRow("charging with cycles")
            << "AAA-mouse: type=Battery, scope=Device, capacity=3; AC: type=Mains, online=1; "
               "BAT1: type=Battery, capacity=85, status=Charging, cycle_count=412"
            << qint64(85) << true << true << qint64(412);
        QTest::newRow("on battery")
            << "AC: type=Mains, online=0; BAT1: type=Battery, capacity=40, status=Discharging"
            << qint64(40) << false << false << qint64(0);
        QTest::newRow("full past 100, no mains supply")
            << "BAT1: type=Battery, capacity=104, status=Full" << qint64(100) << false << true
            << qint64(0);
        QTest::newRow("capacity from energy")
            << "BAT1: type=Battery, energy_now=30000, energy_full=40000, status=Not charging"
            << qint64(75) << false << true << qint64(0);
        QTest::newRow("nothing readable but the type")
            << "BAT1: type=Battery" << qint64(0) << false << false << qint64(0);
        // 20 Wh of 23.2 and 5.5 Wh of 24: 25.5 / 47.2 = 54.0 %, not the mean of 86 and 23.
        QTest::newRow("two, one charging, in energy")
            << "BAT0: type=Battery, status=Discharging, capacity=86, energy_now=20000000, "
               "energy_full=23200000, cycle_count=301; BAT1: type=Battery, status=Charging, "
               "capacity=23, energy_now=5500000, energy_full=24000000, cycle_count=77"
            << qint64(54) << true << true << qint64(301);
        // 3000 of 4000 mAh and 500 of 2000: 3500 / 6000 = 58.3 %.
        QTest::newRow("two, in charge")
            << "BAT0: type=Battery, charge_now=3000000, charge_full=4000000; "
               "BAT1: type=Battery, charge_now=500000, charge_full=2000000"
            << qint64(58) << false << false << qint64(0);
        QTest::newRow("two, energy on one only: the mean of capacities")
            << "BAT0: type=Battery, capacity=90, energy_now=45, energy_full=100; "
               "BAT1: type=Battery, capacity=41"
            << qint64(66) << false << false << qint64(0);
        QTest::newRow("only mains")
            << "AC: type=Mains, online=1" << qint64(-1) << false << false << qint64(0);
    }
    void battery()
    {
        QFETCH(QString, supplies);
        QFETCH(qint64, percent);
        QFETCH(bool, charging);
        QFETCH(bool, external);
        QFETCH(qint64, cycles);
        // Written last first: the order of the folder listing must not matter.
        QStringList folders = supplies.split("; ");
        std::reverse(folders.begin(), folders.end());
        for (const QString& folder : folders) {
            QMap<QString, QByteArray> files;
            for (const QString& file : folder.section(": ", 1).split(", "))
                files.insert(file.section('=', 0, 0), file.section('=', 1).toUtf8());
            m_tree->writeSupply(folder.section(": ", 0, 0), files);
        }
        startEngine();
        m_engine->sample();
        const std::optional<BatterySnapshot> b = m_engine->snapshot()->battery;
        QCOMPARE(b ? b->percent : -1, percent);
        if (b) {
            QCOMPARE(b->isCharging, charging);
            QCOMPARE(b->externalConnected, external);
            QCOMPARE(b->cycleCount, cycles);
        }
    }

    // The readings beyond the four figures, as --json gives them, on machines as they are.
    void detailsOfRealMachines_data()
    {
        QTest::addColumn<QString>("files");
        QTest::addColumn<QString>("then");
        QTest::addColumn<QString>("expected"); // members of the JSON line
        const QString intelLaptop = R"J(
sys/devices/system/cpu/cpu0/cpufreq/scaling_cur_freq|2400000
sys/devices/system/cpu/cpu1/cpufreq/scaling_cur_freq|800000
sys/class/hwmon/hwmon0/name|acpitz
sys/class/hwmon/hwmon0/temp1_input|88000
sys/class/hwmon/hwmon1/name|coretemp
sys/class/hwmon/hwmon1/temp1_label|Core 0
sys/class/hwmon/hwmon1/temp1_input|50000
sys/class/hwmon/hwmon1/temp2_label|Package id 0
sys/class/hwmon/hwmon1/temp2_input|52000
proc/loadavg|0.52 0.61 0.70 2/500 1234
proc/meminfo|MemTotal: 16000000 kB\nMemAvailable: 8000000 kB\nCached: 4000000 kB\nSwapTotal: 2000000 kB\nSwapFree: 1500000 kB
proc/pressure/memory|some avg10=1.25 avg60=0.50 avg300=0.10 total=123\nfull avg10=0.00 avg60=0.00 avg300=0.00 total=0
sys/class/power_supply/AC/type|Mains
sys/class/power_supply/AC/online|0
sys/class/power_supply/BAT0/type|Battery
sys/class/power_supply/BAT0/status|Discharging
sys/class/power_supply/BAT0/capacity|60
sys/class/power_supply/BAT0/energy_now|30000000
sys/class/power_supply/BAT0/energy_full|50000000
sys/class/power_supply/BAT0/energy_full_design|57000000
sys/class/power_supply/BAT0/power_now|10000000
sys/class/power_supply/BAT0/cycle_count|123
proc/net/dev|h\nh\n  lo: 9 1 0 0 0 0 0 0 9 1 0 0 0 0 0 0\n wlp2s0: 1000 1 0 0 0 0 0 0 500 1 0 0 0 0 0 0\n docker0: 7 1 0 0 0 0 0 0 7 1 0 0 0 0 0 0
sys/devices/pci0000:00/0000:00:14.3/net/wlp2s0/operstate|up
sys/class/net/wlp2s0->../../devices/pci0000:00/0000:00:14.3/net/wlp2s0
sys/devices/pci0000:00/0000:00:14.3/net/wlp2s0/device->../../../0000:00:14.3
sys/devices/virtual/net/docker0/operstate|up
sys/class/net/docker0->../../devices/virtual/net/docker0
proc/net/route|Iface Destination Gateway Flags RefCnt Use Metric Mask\ndocker0 000011AC 00000000 0001 0 0 0 0000FFFF\nwlp2s0 00000000 0101A8C0 0003 0 0 600 00000000
proc/diskstats| 259 0 nvme0n1 10 0 2048 5 20 0 4096 9 0 0 0\n 259 1 nvme0n1p1 10 0 2048 5 20 0 4096 9 0 0 0\n 7 0 loop0 1 0 8 0 0 0 0 0 0 0 0
sys/block/nvme0n1/device->../../nvme0
sys/nvme0/model|x
proc/100/stat|100 (firefox) S 1 0 0 0 0 0 0 0 0 0 300 100 0 0 20 0 9 0 5 900 25000 0
proc/101/stat|101 (Web Content (x)) S 100 0 0 0 0 0 0 0 0 0 10 0 0 0 20 0 9 0 5 900 1000 0
proc/102/stat|102 (firefox) S 1 0 0 0 0 0 0 0 0 0 10 10 0 0 20 0 9 0 5 900 5000 0
proc/200/stat|200 (Xorg) S 1 0 0 0 0 0 0 0 0 0 50 50 0 0 20 0 9 0 5 900 20000 0
proc/2/stat|2 (kthreadd) S 0 0 0 0 0 0 0 0 0 0 0 0 0 0 20 0 1 0 1 0 0 0
proc/300/stat|300 (kworker/0:1) I 2 0 0 0 0 0 0 0 0 0 0 900 0 0 20 0 1 0 1 0 0 0
)J";
        const QString intelThen = R"J(
proc/net/dev|h\nh\n wlp2s0: 3000 1 0 0 0 0 0 0 1500 1 0 0 0 0 0 0\n docker0: 9 1 0 0 0 0 0 0 9 1 0 0 0 0 0 0
proc/diskstats| 259 0 nvme0n1 12 0 4096 5 22 0 4096 9 0 0 0
proc/100/stat|100 (firefox) S 1 0 0 0 0 0 0 0 0 0 350 150 0 0 20 0 9 0 5 900 25000 0
proc/101/stat|101 (Web Content (x)) S 100 0 0 0 0 0 0 0 0 0 30 0 0 0 20 0 9 0 5 900 1000 0
proc/300/stat|300 (kworker/0:1) I 2 0 0 0 0 0 0 0 0 0 0 990 0 0 20 0 1 0 1 0 0 0
)J";
        QTest::newRow("Intel laptop: coretemp, a battery giving energy and power")
            << intelLaptop << intelThen
            << R"J({"cpuCores": [50, 0], "cpuFrequencyMHz": 1600, "cpuTemperatureC": 52,
                  "loadAverage": [0.52, 0.61, 0.7], "swapUsed": 512000000, "swapTotal": 2048000000,
                  "memCached": 4096000000, "memPressure": 1.25,
                  "links": [{"name": "wlp2s0", "downBps": 2000, "upBps": 1000, "defaultRoute": true}],
                  "battery": {"percent": 60, "isCharging": false, "externalConnected": false,
                              "cycleCount": 123, "secondsToEmpty": 10800, "secondsToFull": null,
                              "chargingWatts": null, "dischargingWatts": 10, "healthPercent": 87.72,
                              "cycles": 123},
                  "disks": [{"name": "nvme0n1", "readBps": 1048576, "writeBps": 0, "temperatureC": null}],
                  "topCpu": [{"name": "firefox", "cpuPercent": 50},
                             {"name": "Web Content (x)", "cpuPercent": 10}]})J";
        QTest::newRow("the same discharging at 0 W: no power, no time")
            << intelLaptop + "sys/class/power_supply/BAT0/power_now|0\n"
            << QString()
            << R"J({"battery": {"percent": 60, "isCharging": false, "externalConnected": false,
                              "cycleCount": 123, "secondsToEmpty": null, "secondsToFull": null,
                              "chargingWatts": null, "dischargingWatts": null, "healthPercent": 87.72,
                              "cycles": 123}})J";
        QTest::newRow("AMD desktop: k10temp's die, an NVMe drive's sensor, no battery") << R"J(
sys/class/hwmon/hwmon0/name|k10temp
sys/class/hwmon/hwmon0/temp1_label|Tctl
sys/class/hwmon/hwmon0/temp1_input|65000
sys/class/hwmon/hwmon0/temp3_label|Tdie
sys/class/hwmon/hwmon0/temp3_input|55000
sys/class/hwmon/hwmon1/name|nvme
sys/class/hwmon/hwmon1/temp1_input|38850
sys/class/hwmon/hwmon1/device->../../../nvme0
sys/nvme0/model|x
sys/block/nvme0n1/device->../../nvme0
proc/diskstats| 259 0 nvme0n1 10 0 2048 5 20 0 4096 9 0 0 0\n 253 0 dm-0 10 0 2048 5 20 0 4096 9 0 0 0
sys/block/dm-0/dm/name|root
)J" << QString() << R"J({"cpuTemperatureC": 55, "battery": null, "cpuFrequencyMHz": null,
                  "disks": [{"name": "nvme0n1", "readBps": 0, "writeBps": 0, "temperatureC": 38.85}]})J";
        QTest::newRow("laptop giving charge and current: a processor's thermal zone") << R"J(
sys/class/thermal/thermal_zone0/type|acpitz
sys/class/thermal/thermal_zone0/temp|90000
sys/class/thermal/thermal_zone1/type|x86_pkg_temp
sys/class/thermal/thermal_zone1/temp|48000
sys/class/thermal/thermal_zone2/type|cpu-thermal
sys/class/thermal/thermal_zone2/temp|-273000
sys/class/power_supply/BAT0/type|Battery
sys/class/power_supply/BAT0/status|Charging
sys/class/power_supply/BAT0/charge_now|2000000
sys/class/power_supply/BAT0/charge_full|4000000
sys/class/power_supply/BAT0/charge_full_design|5000000
sys/class/power_supply/BAT0/current_now|1000000
sys/class/power_supply/BAT0/voltage_now|12000000
sys/class/power_supply/BAT0/cycle_count|0
)J" << QString() << R"J({"cpuTemperatureC": 48,
                  "battery": {"percent": 50, "isCharging": true, "externalConnected": true,
                              "cycleCount": 0, "secondsToEmpty": null, "secondsToFull": 7200,
                              "chargingWatts": 12, "dischargingWatts": null, "healthPercent": 80,
                              "cycles": null}})J";
        QTest::newRow("virtual machine: none of these")
            << QString() << QString()
            << R"J({"cpuFrequencyMHz": null, "cpuTemperatureC": null, "loadAverage": null,
                  "memPressure": null, "swapUsed": null, "battery": null, "links": [], "disks": [],
                  "topCpu": [], "topMemory": []})J";
    }
    void detailsOfRealMachines()
    {
        QFETCH(QString, files);
        QFETCH(QString, then);
        QFETCH(QString, expected);
        m_tree = std::make_unique<FixtureTree>();
        writeMachine(*m_tree, kTicks + QString('\n') + files);
        startEngine();
        m_engine->setDetailsWanted(true, true);
        m_engine->setTemperatureWanted(true);
        m_engine->start();
        writeMachine(*m_tree, kTicksThen + QString('\n') + then);
        sampleAfter(1000);
        const QJsonObject line =
            QJsonDocument::fromJson(
                TerminalMode::lineFor(*m_engine->snapshot(), true, &*m_engine->details()))
                .object();
        const QJsonObject want = QJsonDocument::fromJson(expected.toUtf8()).object();
        QVERIFY(!want.isEmpty());
        for (auto it = want.begin(); it != want.end(); ++it)
            QVERIFY2(rounded(line.value(it.key())) == it.value(),
                     qPrintable(it.key() + ": " +
                                QJsonDocument(QJsonObject{{it.key(), line.value(it.key())}})
                                    .toJson(QJsonDocument::Compact)));
        // The temperature each sample reads is the details' one.
        const std::optional<double> temperature = m_engine->snapshot()->temperatureC;
        QCOMPARE(rounded(temperature ? QJsonValue(*temperature) : QJsonValue()),
                 rounded(line.value("cpuTemperatureC")));
        // Memory by program: the resident pages of a program's processes together.
        if (!then.isEmpty())
            QCOMPARE(rounded(line.value("topMemory")),
                     QJsonArray({QJsonObject{{"name", "firefox"},
                                             {"memoryBytes", 30000.0 * sysconf(_SC_PAGESIZE)}},
                                 QJsonObject{{"name", "Xorg"},
                                             {"memoryBytes", 20000.0 * sysconf(_SC_PAGESIZE)}},
                                 QJsonObject{{"name", "Web Content (x)"},
                                             {"memoryBytes", 1000.0 * sysconf(_SC_PAGESIZE)}}}));
    }

    // An hour at the interval, whatever the interval was before; absent figures stay absent.
    void historyKeepsTheLastHour_data()
    {
        QTest::addColumn<int>("before");
        QTest::addColumn<int>("interval");
        QTest::newRow("2 s, after 5 s") << 5 << 2;
        QTest::newRow("3 s, after 2 s") << 2 << 3;
        QTest::newRow("5 s, after 2 s") << 2 << 5;
    }
    void historyKeepsTheLastHour()
    {
        QFETCH(int, before);
        QFETCH(int, interval);
        VovirHistory history(before);
        VovirSnapshot s{0, 0, 100, 0, 0, {}, 61.5};
        int64_t atMs = 0;
        for (int i = 0; i < 4000; ++i) {
            s.cpuPercent = i % 100;
            history.record(atMs += before * 1000, s);
        }
        history.setInterval(interval);
        QCOMPARE(history.at(history.size() - 1).values[VovirHistory::Cpu], 99.f);
        for (int i = 0; i < 4000; ++i) {
            s.memUsed = i % 100;
            s.battery = i % 2 ? std::optional(BatterySnapshot{42, false, false, 0}) : std::nullopt;
            history.record(atMs += interval * 1000, s);
        }
        QCOMPARE(history.size(), size_t(3600 / interval + 1));
        QCOMPARE(history.at(history.size() - 1).atMs - history.at(0).atMs, 3600'000);
        const VovirHistory::Point& last = history.at(history.size() - 1);
        QCOMPARE(last.values[VovirHistory::Memory], float(3999 % 100));
        QCOMPARE(last.values[VovirHistory::Battery], 42.f);
        QCOMPARE(last.values[VovirHistory::Temperature], 61.5f);
        QVERIFY(
            VovirHistory::isAbsent(history.at(history.size() - 2).values[VovirHistory::Battery]));
        QVERIFY(history.bytes() <= 200 * 1024);
    }

    // A menu's first reading of the details measures each processor since the last sample, once
    // that is long enough ago to measure; right after the sample, not yet.
    void firstDetailsMeasureSinceTheSample()
    {
        startEngine();
        sampleAfter(1000);
        QVERIFY(m_engine->readDetailsNow(false).processor.coreLoads.empty());
        m_tree->writeStat(230, 820); // half a second later, 60 % busy
        QCOMPARE(m_engine->readDetailsNow(false).processor.coreLoads, std::vector<double>{60});
    }

    // On the real timers: the first sample about 0.6 s after start, well before the first tick;
    // one timer at the period of the last start; the snapshot kept after stop; nothing once
    // the engine is gone.
    void timing()
    {
        VovirEngine engine(std::make_unique<LinuxProbe>(m_tree->root().toStdString()));
        int calls = 0;
        engine.onUpdate = [&](const VovirSnapshot&) { ++calls; };
        QElapsedTimer clock;
        clock.start();
        engine.start();
        QTRY_COMPARE_WITH_TIMEOUT(calls, 1, 5000);
        QVERIFY(clock.elapsed() >= 550 && clock.elapsed() < 2900);
        VovirSettings::setIntervalSeconds(5);
        engine.start();
        engine.start();
        int active = 0;
        for (QTimer* t : engine.findChildren<QTimer*>())
            active += t->isActive() && t->interval() == 5000 ? 1 : 0;
        QCOMPARE(active, 1);
        engine.stop();
        QVERIFY(!engine.isRunning());
        QCOMPARE(engine.snapshot()->memTotal, 16ull << 30);

        bool called = false;
        auto gone = std::make_unique<VovirEngine>(
            std::make_unique<LinuxProbe>(m_tree->root().toStdString()));
        gone->onUpdate = [&](const VovirSnapshot&) { called = true; };
        gone->start();
        gone.reset();
        // Past the delayed sample, by a timer of our own rather than a guess.
        bool past = false;
        QTimer::singleShot(VovirEngine::kFirstSampleDelayMs + 200, [&] { past = true; });
        QTRY_VERIFY_WITH_TIMEOUT(past, 5000);
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
