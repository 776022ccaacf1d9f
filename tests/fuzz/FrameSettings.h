// The receiver settings that the frame targets take from their first two input bytes: encryption mode
// (bits 0-1), time synchronisation (bit 2), the field quirks (bits 3-5), UTC stamps (bit 6), then the
// key. Keep the keys in step with make_seeds.py, which stamps the seeds with kNow.
#pragma once

#include "config/ConfigRecord.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>

namespace fuzzsupport {

// 2025-01-01 12:00:00 in UTC, the time the seeds are stamped with.
inline constexpr std::time_t kNow = 1735732800;

inline Config_Record frameSettings(const std::uint8_t* data, std::size_t size)
{
    static const char* const kKeys[] = {
        "0123456789ABCDEF0123456789ABCDEF",
        "\xAB\xCD\xAB\xCD\xAB\xCD\xAB\xCD\xAB\xCD\xAB\xCD\xAB\xCD\xAB\xCD"
        "\xAB\xCD\xAB\xCD\xAB\xCD\xAB\xCD\xAB\xCD\xAB\xCD\xAB\xCD\xAB\xCD",
        "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA",
        "\x28\x37\x6E\xF2\x6E\x78\x2E\x1A\x4A\x16\x0E\x32\x76\xE5\xFB\x93"
        "\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00",
    };
    Config_Record config = defaultConfig();
    if (size >= 1) {
        config.DC9_AES_Mode = data[0] & 3;
        config.Time_Synch = (data[0] & 4) != 0 ? 1 : 0;
        config.DC9_Quirk_Lower_Hex = (data[0] >> 3) & 1;
        config.DC9_Quirk_CRC_CR = (data[0] >> 4) & 1;
        config.DC9_Quirk_Binary_CRC = (data[0] >> 5) & 1;
        config.DC9_Time_UTC = (data[0] >> 6) & 1;
    }
    if (size >= 2)
        std::memcpy(config.DC9_AES_Key, kKeys[data[1] % (sizeof kKeys / sizeof kKeys[0])],
                    sizeof config.DC9_AES_Key);
    return config;
}

} // namespace fuzzsupport
