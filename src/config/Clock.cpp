#include "config/Clock.h"

#include <chrono>

WallTime SystemClock::wallNow() const
{
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
    return WallTime{std::time_t(ms / 1000), int(ms % 1000)};
}

std::int64_t SystemClock::steadyMillis() const
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::tm localTimeOf(std::time_t seconds)
{
    std::tm tm{};
    localtime_r(&seconds, &tm);
    return tm;
}
