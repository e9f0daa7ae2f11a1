#include "history/VovirHistory.h"

#include <algorithm>
#include <limits>

void VovirHistory::setInterval(int64_t intervalSeconds)
{
    // One point more than the hour holds, so that the chart reaches its left edge.
    const size_t capacity = size_t(kSpanSeconds / std::max<int64_t>(1, intervalSeconds)) + 1;
    if (capacity == m_ring.size())
        return;
    std::vector<Point> kept;
    kept.reserve(capacity);
    for (size_t i = m_count > capacity ? m_count - capacity : 0; i < m_count; ++i)
        kept.push_back(at(i));
    m_count = kept.size();
    kept.resize(capacity);
    kept.shrink_to_fit();
    m_ring = std::move(kept);
    m_first = 0;
}

void VovirHistory::record(int64_t atMs, const VovirSnapshot& snapshot)
{
    constexpr float absent = std::numeric_limits<float>::quiet_NaN();
    Point& point = m_ring[(m_first + m_count) % m_ring.size()];
    if (m_count == m_ring.size())
        m_first = (m_first + 1) % m_ring.size();
    else
        ++m_count;
    point.atMs = atMs;
    point.values[Cpu] = float(snapshot.cpuPercent);
    point.values[Memory] = snapshot.memTotal
                               ? float(100.0 * double(snapshot.memUsed) / double(snapshot.memTotal))
                               : absent;
    point.values[Download] = float(snapshot.downBps);
    point.values[Upload] = float(snapshot.upBps);
    point.values[Battery] = snapshot.battery ? float(snapshot.battery->percent) : absent;
    point.values[Temperature] = snapshot.temperatureC ? float(*snapshot.temperatureC) : absent;
}
