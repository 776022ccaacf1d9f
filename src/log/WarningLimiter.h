// Keeps a repeated warning readable under attack: each kind of warning gets one line a second at
// most, for the whole program, and the lines left out are counted instead of written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

class WarningLimiter {
public:
    static constexpr std::int64_t kIntervalMs = 1000;

    explicit WarningLimiter(std::size_t kinds) : m_kinds(kinds) {}

    // One warning of `kind` at `nowMs` (steady milliseconds). True when it is to be written now; then
    // `leftOut` says how many of its kind were left out since the last line written (0 usually).
    // False when a line of its kind was written less than a second ago: it is counted.
    [[nodiscard]] bool offer(std::size_t kind, std::int64_t nowMs, std::uint64_t& leftOut);

    // Once a second: a count waiting for at least a second is due, so it is written even when no
    // further warning of its kind comes. Returns the kinds due, each with the warnings it left out
    // (the latest of them is the one to show); the kind's second begins anew.
    struct Due {
        std::size_t kind;
        std::uint64_t leftOut;
    };
    [[nodiscard]] std::vector<Due> due(std::int64_t nowMs);

    // " … and 3,412 more in the last second", or nothing for 0.
    [[nodiscard]] static std::string leftOutText(std::uint64_t count);

    // Forgets every line and count (the port was closed).
    void clear();

private:
    struct Kind {
        std::int64_t lastLineMs = std::numeric_limits<std::int64_t>::min();
        std::uint64_t leftOut = 0;
    };
    [[nodiscard]] static bool quiet(const Kind& k, std::int64_t nowMs)
    {
        return k.lastLineMs == std::numeric_limits<std::int64_t>::min() || nowMs - k.lastLineMs >= kIntervalMs;
    }
    std::vector<Kind> m_kinds;
};
