// The values each numeric setting of kalvor.cfg takes: one table for --set and for the fields of the
// settings pages, so that the command line and the window cannot come to disagree.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

// The serial settings dialog's list; no other rate is taken.
inline constexpr std::array<long long, 8> kBaudRates = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
inline constexpr std::array<long long, 2> kHeartbeatLengths = {20, 22};

struct IntegerSetting {
    std::string_view name;
    long long min;
    long long max;
    std::string_view meaning;
    std::span<const long long> list = {}; // not empty: only these values
    long long lowestAboveZero = 0;        // not 0: the value is 0 or at least this
};

// The setting of that name, or nullptr for one that is not numeric (or no setting at all).
[[nodiscard]] const IntegerSetting* integerSetting(std::string_view name);
[[nodiscard]] bool allows(const IntegerSetting& setting, long long value);
// What the setting takes, as the operator reads it: "0 to 99", "1200, 2400, ...", "0, or 64 to 65535".
[[nodiscard]] std::string allowedValues(const IntegerSetting& setting);
