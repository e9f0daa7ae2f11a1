#include "ProgramScan.h"

#include <algorithm>
#include <cstdlib>
#include <dirent.h>
#include <unistd.h>

ProgramScan::ProgramScan(std::string procDir)
    : m_procDir(std::move(procDir)), m_ticksPerSecond(double(sysconf(_SC_CLK_TCK))),
      m_pageSize((unsigned long long)sysconf(_SC_PAGESIZE))
{
}

void ProgramScan::scan(std::optional<double> seconds, int processors,
                       std::vector<ProgramDetails>& topProcessor,
                       std::vector<ProgramDetails>& topMemory)
{
    DIR* dir = opendir(m_procDir.c_str());
    if (!dir)
        return;
    struct Use {
        unsigned long long ticks = 0; // since the scan before
        unsigned long long resident = 0;
    };
    std::unordered_map<std::string, Use> programs;
    std::unordered_map<long, unsigned long long> ticksNow;
    ticksNow.reserve(m_ticks.size() + 64);
    std::string path;
    while (const dirent* entry = readdir(dir)) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (pid <= 0 || *end != '\0')
            continue;
        path.assign(m_procDir).append("/").append(entry->d_name).append("/stat");
        std::string_view text;
        if (!m_reader.read(path.c_str(), text))
            continue; // ended since the folder was listed
        // "PID (NAME) STATE PPID ...": the name may hold spaces and parentheses.
        const size_t open = text.find('('), close = text.rfind(')');
        if (open == std::string_view::npos || close == std::string_view::npos || close < open)
            continue;
        const std::string_view name = text.substr(open + 1, close - open - 1);
        // From the state: utime and stime are fields 11 and 12, the resident pages field 21.
        size_t at = close + 1;
        std::string_view field;
        unsigned long long parent = 0, utime = 0, stime = 0, rss = 0;
        int index = 0;
        while (index <= 21 && TextScan::nextField(text, at, field)) {
            const unsigned long long value = TextScan::numberOf(field);
            if (index == 1)
                parent = value;
            else if (index == 11)
                utime = value;
            else if (index == 12)
                stime = value;
            else if (index == 21)
                rss = value;
            ++index;
        }
        if (index <= 21 || pid == 2 || parent == 2)
            continue; // malformed, or the kernel's own threads: not a program
        const unsigned long long ticks = utime + stime;
        ticksNow.emplace(pid, ticks);
        // A process new since the scan before ran all its time within the interval.
        const auto before = m_ticks.find(pid);
        const unsigned long long since =
            before == m_ticks.end() ? ticks : ticks - std::min(ticks, before->second);
        Use& use = programs[std::string(name)];
        use.ticks += since;
        use.resident += rss * m_pageSize;
    }
    closedir(dir);
    m_ticks.swap(ticksNow);

    std::vector<ProgramDetails> all;
    all.reserve(programs.size());
    const double capacity =
        seconds && processors > 0 && *seconds > 0 ? *seconds * m_ticksPerSecond * processors : 0;
    for (const auto& [name, use] : programs) {
        ProgramDetails program{name, std::nullopt, use.resident};
        if (capacity > 0)
            program.cpuPercent = std::min(100.0, double(use.ticks) * 100.0 / capacity);
        all.push_back(std::move(program));
    }
    auto top = [&all](auto more, std::vector<ProgramDetails>& out) {
        const size_t n = std::min(kShown, all.size());
        std::partial_sort(all.begin(), all.begin() + long(n), all.end(), more);
        out.assign(all.begin(), all.begin() + long(n));
    };
    if (capacity > 0) {
        top([](const auto& a, const auto& b) { return *a.cpuPercent > *b.cpuPercent; },
            topProcessor);
        // A program that used no time is not among those using most.
        std::erase_if(topProcessor, [](const ProgramDetails& p) { return *p.cpuPercent <= 0; });
    }
    top([](const auto& a, const auto& b) { return a.memoryBytes > b.memoryBytes; }, topMemory);
}
