// One line a second per kind of warning, with a count of what was left out.
#include "log/WarningLimiter.h"

bool WarningLimiter::offer(std::size_t kind, std::int64_t nowMs, std::uint64_t& leftOut)
{
    leftOut = 0;
    if (kind >= m_kinds.size()) {
        return true;
    }
    Kind& k = m_kinds[kind];
    if (!quiet(k, nowMs)) {
        ++k.leftOut;
        return false;
    }
    leftOut = k.leftOut;
    k.leftOut = 0;
    k.lastLineMs = nowMs;
    return true;
}

std::vector<WarningLimiter::Due> WarningLimiter::due(std::int64_t nowMs)
{
    std::vector<Due> out;
    for (std::size_t i = 0; i < m_kinds.size(); ++i) {
        Kind& k = m_kinds[i];
        if (k.leftOut != 0 && quiet(k, nowMs)) {
            out.push_back({i, k.leftOut});
            k.leftOut = 0;
            k.lastLineMs = nowMs;
        }
    }
    return out;
}

std::string WarningLimiter::leftOutText(std::uint64_t count)
{
    if (count == 0) {
        return {};
    }
    std::string digits = std::to_string(count);
    for (std::size_t at = digits.size(); at > 3; at -= 3) {
        digits.insert(at - 3, 1, ',');
    }
    return " \u2026 and " + digits + " more in the last second";
}

void WarningLimiter::clear()
{
    for (Kind& k : m_kinds) {
        k = Kind{};
    }
}
