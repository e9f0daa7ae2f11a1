// The cost of one engine sample on the live system, next to the floor: reading the same files
// raw (open/read/close, no parsing) in the same run. Prints microseconds per sample.
#include "alerts/AlertWatch.h"
#include "engine/VovirEngine.h"
#include "history/VovirHistory.h"
#include "platform/linux/probe/FileReader.h"
#include "platform/linux/probe/LinuxProbe.h"

#include <QCoreApplication>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

double nowUs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) * 1e6 + double(ts.tv_nsec) / 1e3;
}

// The same I/O the probe does, with no parsing: the cheapest a sample could possibly be.
void readRaw(FileReader& reader, FileReader& small)
{
    std::string_view text;
    reader.read("/proc/stat", text);
    reader.read("/proc/meminfo", text);
    reader.read("/proc/net/dev", text);
    if (DIR* dir = opendir("/sys/class/power_supply")) {
        char path[512];
        while (const dirent* e = readdir(dir)) {
            if (e->d_name[0] == '.')
                continue;
            for (const char* f : {"type", "capacity", "status", "cycle_count"}) {
                std::snprintf(path, sizeof path, "/sys/class/power_supply/%s/%s", e->d_name, f);
                small.read(path, text);
            }
        }
        closedir(dir);
    }
}

// A /proc and /sys tree with links: eth0 on hardware, the others container links (veth).
std::string linkTree(const std::string& root, int links)
{
    std::string dev = "Inter-|   Receive |  Transmit\n face |bytes packets|bytes packets\n";
    for (int i = 0; i < links; ++i) {
        const std::string name = i == 0 ? "eth0" : "veth" + std::to_string(i);
        dev += "  " + name + ": 1000 10 0 0 0 0 0 0 2000 20 0 0 0 0 0 0\n";
        const std::string device = root + (i == 0 ? "/sys/devices/pci0000:00/net/" + name
                                                  : "/sys/devices/virtual/net/" + name);
        std::system(("mkdir -p " + device + " " + root + "/sys/class/net").c_str());
        if (i == 0)
            std::system(("ln -s ../.. " + device + "/device").c_str());
        std::system(("ln -s " + device + " " + root + "/sys/class/net/" + name).c_str());
    }
    std::system(("mkdir -p " + root + "/proc/net").c_str());
    if (FILE* f = std::fopen((root + "/proc/net/dev").c_str(), "w")) {
        std::fputs(dev.c_str(), f);
        std::fclose(f);
    }
    return root;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int rounds = 15, perRound = 2000;
    VovirEngine engine(std::make_unique<LinuxProbe>("/"));
    // The window's engine: the temperature with each sample, kept in the history, watched by
    // two alerts.
    VovirEngine watched(std::make_unique<LinuxProbe>("/"));
    watched.setTemperatureWanted(true);
    VovirHistory history;
    AlertWatch alerts;
    alerts.setRules({{AlertRules::Metric::Cpu, true, 90, 60, true},
                     {AlertRules::Metric::Temperature, true, 90, 60, true}});
    watched.onUpdate = [&](const VovirSnapshot& s) {
        history.record(watched.sampledAtNs() / 1'000'000, s);
        alerts.observe(watched.sampledAtNs(), s);
    };
    FileReader reader(16384), small(256);
    std::vector<double> sampleUs, floorUs, watchedUs;
    for (int r = 0; r < rounds; ++r) {
        // Interleaved rounds so that both see the same machine load.
        double t0 = nowUs();
        for (int i = 0; i < perRound; ++i)
            readRaw(reader, small);
        floorUs.push_back((nowUs() - t0) / perRound);
        t0 = nowUs();
        for (int i = 0; i < perRound; ++i)
            engine.sample();
        sampleUs.push_back((nowUs() - t0) / perRound);
        t0 = nowUs();
        for (int i = 0; i < perRound; ++i)
            watched.sample();
        watchedUs.push_back((nowUs() - t0) / perRound);
    }
    const double s = median(sampleUs), f = median(floorUs);
    std::printf("engine sample      : %7.2f us (median of %d rounds of %d)\n", s, rounds, perRound);
    std::printf("raw reads (floor)  : %7.2f us\n", f);
    std::printf("ratio              : %7.2f x (goal <= 1.30)\n", s / f);
    std::printf("with history       : %7.2f us (temperature, the hour kept, two alerts: "
                "+%.2f us; the ring %zu KB)\n",
                median(watchedUs), median(watchedUs) - s, history.bytes() / 1024);

    // Growth with links (a container host): one network reading with 500 links against one
    // link, per line of /proc/net/dev. Linear reading costs about the same per line.
    char pattern[] = "/tmp/velmora-links.XXXXXX";
    const std::string base = mkdtemp(pattern);
    LinuxProbe one(linkTree(base + "/one", 1)), many(linkTree(base + "/many", 500));
    std::vector<double> oneUs, manyUs;
    for (int r = 0; r < rounds; ++r) {
        double t0 = nowUs();
        for (int i = 0; i < perRound; ++i)
            one.readNetCounters();
        oneUs.push_back((nowUs() - t0) / perRound);
        t0 = nowUs();
        for (int i = 0; i < perRound / 20; ++i)
            many.readNetCounters();
        manyUs.push_back((nowUs() - t0) / (perRound / 20));
    }
    const double o = median(oneUs), m = median(manyUs);
    std::printf("network, 1 link    : %7.2f us\n", o);
    std::printf("network, 500 links : %7.2f us (%.1f x one link, %.3f us a link)\n", m, m / o,
                m / 500);

    // The details a menu opening reads, on this machine, and the top programs' scan on a
    // machine of 2,000 processes (a /proc of that many, in memory-backed /tmp or not).
    const std::string busy = base + "/busy";
    std::system(("mkdir -p " + busy + "/proc").c_str());
    for (int pid = 1000; pid < 3000; ++pid) {
        const std::string folder = busy + "/proc/" + std::to_string(pid);
        mkdir(folder.c_str(), 0755);
        if (FILE* f = std::fopen((folder + "/stat").c_str(), "w")) {
            std::fprintf(f, "%d (program%d) S 1 0 0 0 0 0 0 0 0 0 %d %d 0 0 20 0 1 0 5 900 %d 0\n",
                         pid, pid % 150, pid, pid / 2, pid * 3);
            std::fclose(f);
        }
    }
    LinuxProbe live("/"), processes(busy);
    std::vector<double> detailsUs, scanUs;
    int64_t at = 0;
    for (int r = 0; r < rounds; ++r) {
        double t0 = nowUs();
        for (int i = 0; i < 20; ++i)
            live.readDetails(at += 1'000'000'000, false);
        detailsUs.push_back((nowUs() - t0) / 20);
        t0 = nowUs();
        for (int i = 0; i < 5; ++i)
            processes.readDetails(at += 1'000'000'000, true);
        scanUs.push_back((nowUs() - t0) / 5);
    }
    std::system(("rm -rf " + base).c_str());
    std::printf("details (a menu)   : %7.2f us\n", median(detailsUs));
    std::printf("2,000 processes    : %7.2f us (the top programs' scan, only while shown)\n",
                median(scanUs));
    return 0;
}
