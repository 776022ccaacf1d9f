// Wall time and monotonic ticks behind one small interface, so tests move time only when told.
#pragma once

#include <cstdint>
#include <ctime>

struct WallTime {
    std::time_t seconds = 0; // calendar seconds since 1970 (UTC)
    int millis = 0;          // 0..999 within that second
};

class Clock {
public:
    virtual ~Clock() = default;
    [[nodiscard]] virtual WallTime wallNow() const = 0;
    [[nodiscard]] virtual std::int64_t steadyMillis() const = 0;
};

class SystemClock final : public Clock {
public:
    [[nodiscard]] WallTime wallNow() const override;
    [[nodiscard]] std::int64_t steadyMillis() const override;
};

class ManualClock final : public Clock {
public:
    explicit ManualClock(std::time_t start = 0) { m_now.seconds = start; }
    [[nodiscard]] WallTime wallNow() const override { return m_now; }
    [[nodiscard]] std::int64_t steadyMillis() const override { return m_steady; }
    void set(std::time_t seconds, int millis = 0)
    {
        m_now.seconds = seconds;
        m_now.millis = millis;
    }
    void advance(std::int64_t millis)
    {
        m_steady += millis;
        const std::int64_t total = std::int64_t(m_now.millis) + millis;
        m_now.seconds += std::time_t(total / 1000);
        m_now.millis = int(total % 1000);
    }

private:
    WallTime m_now;
    std::int64_t m_steady = 0;
};

// Local broken-down time of a calendar second (thread-safe).
[[nodiscard]] std::tm localTimeOf(std::time_t seconds);
