#include "log/LogThrottle.h"

bool LogThrottle::allow(std::string_view key, std::int64_t nowMs)
{
    const std::string k(key);
    if (const auto it = m_last.find(k); it != m_last.end()) {
        if (nowMs - it->second < m_interval)
            return false;
        it->second = nowMs;
        return true;
    }
    if (m_last.size() >= m_capacity) {
        std::erase_if(m_last, [&](const auto& e) { return nowMs - e.second >= m_interval; });
        if (m_last.size() >= m_capacity)
            return false;
    }
    m_last.emplace(k, nowMs);
    return true;
}
