// Spares the system log a line that a stranger could repeat at will: one line per key (an address,
// an account) per interval. Only so many keys are remembered, so a flood of forged keys costs bounded
// memory; beyond that, a key that is not remembered is not logged until older ones have expired.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

class LogThrottle {
public:
    LogThrottle(std::int64_t intervalMs, std::size_t capacity) : m_interval(intervalMs), m_capacity(capacity)
    {
    }

    // True when a line about `key` may be written at `nowMs` (a monotonic clock); it then counts as written.
    [[nodiscard]] bool allow(std::string_view key, std::int64_t nowMs);

private:
    std::int64_t m_interval;
    std::size_t m_capacity;
    std::unordered_map<std::string, std::int64_t> m_last;
};
