#pragma once

#include "model/VovirDetails.h"
#include "platform/linux/probe/FileReader.h"

#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

// The programs using most processor time and most memory, from one read of /proc/PID/stat per
// process, grouped by program name: a browser's forty processes are one browser.
class ProgramScan final {
public:
    explicit ProgramScan(std::string procDir);

    // seconds: since the scan before, over which processor time is measured (none on a first
    // scan). processors: how many share the machine's time.
    void scan(std::optional<double> seconds, int processors,
              std::vector<ProgramDetails>& topProcessor, std::vector<ProgramDetails>& topMemory);

    static constexpr size_t kShown = 3;

private:
    std::string m_procDir;
    std::unordered_map<long, unsigned long long> m_ticks; // each process's, at the scan before
    FileReader m_reader{1024};
    double m_ticksPerSecond;
    unsigned long long m_pageSize;
};
