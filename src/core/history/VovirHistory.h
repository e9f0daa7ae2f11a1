#pragma once

#include "model/VovirSnapshot.h"

#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

// The last hour of the figures at the sampling interval, in memory only: a ring of fixed size,
// allocated once, so that keeping it costs one small copy per sample and nothing else.
class VovirHistory final {
public:
    enum Series { Cpu, Memory, Download, Upload, Battery, Temperature, SeriesCount };
    struct Point {
        int64_t atMs = 0;                        // monotonic milliseconds
        std::array<float, SeriesCount> values{}; // NaN where the figure was absent
    };
    static constexpr int64_t kSpanSeconds = 3600;

    explicit VovirHistory(int64_t intervalSeconds = 2) { setInterval(intervalSeconds); }

    // Room for an hour at this interval; the newest points are kept when it shrinks.
    void setInterval(int64_t intervalSeconds);
    void record(int64_t atMs, const VovirSnapshot& snapshot);

    size_t size() const { return m_count; }
    size_t capacity() const { return m_ring.size(); }
    // Oldest first.
    const Point& at(size_t index) const { return m_ring[(m_first + index) % m_ring.size()]; }
    size_t bytes() const { return m_ring.capacity() * sizeof(Point); }

    static bool isAbsent(float value) { return std::isnan(value); }

private:
    std::vector<Point> m_ring;
    size_t m_first = 0;
    size_t m_count = 0;
};
