#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QString>

// A token bucket per key: `burst` requests at once, then one every `periodMs`. One device that
// floods is slowed down; the others keep their own buckets.
class RateLimiter final {
public:
    RateLimiter(int burst, qint64 periodMs) : m_burst(burst), m_periodMs(periodMs)
    {
        m_clock.start();
    }

    bool allow(const QString& key)
    {
        const qint64 now = m_clock.elapsed();
        // Forget idle keys now and then, so that made-up keys cannot grow the table for ever;
        // if made-up keys are all that is left, forget them all rather than sweep every time.
        if (m_buckets.size() > kMaxKeys) {
            m_buckets.removeIf(
                [&](const auto& it) { return now - it.value().last > m_periodMs * m_burst; });
            if (m_buckets.size() > kMaxKeys / 2)
                m_buckets.clear();
        }
        auto found = m_buckets.find(key);
        if (found == m_buckets.end()) // a new key starts full (its time may well be 0)
            found = m_buckets.insert(key, Bucket{m_burst, now});
        Bucket& bucket = found.value();
        const qint64 refill = (now - bucket.last) / m_periodMs;
        if (refill > 0) {
            bucket.tokens = int(qMin<qint64>(m_burst, bucket.tokens + refill));
            bucket.last += refill * m_periodMs;
        }
        if (bucket.tokens == 0)
            return false;
        --bucket.tokens;
        return true;
    }

private:
    static constexpr qsizetype kMaxKeys = 100000;
    struct Bucket {
        int tokens = 0;
        qint64 last = 0;
    };
    int m_burst;
    qint64 m_periodMs;
    QElapsedTimer m_clock;
    QHash<QString, Bucket> m_buckets;
};
