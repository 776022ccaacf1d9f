// The receiver settings that the frame targets take from their first two input bytes: encryption mode
// (bits 0-1), time synchronisation (bit 2), the field quirks (bits 3-5), UTC stamps (bit 6), SIA-DCS
// (bit 7), then the key (and keys per account in the second byte's bit 7). Keep the keys in step with
// make_seeds.py, which stamps the seeds with kNow.
#pragma once

#include "config/ConfigRecord.h"
#include "dc09/AccountKeys.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string_view>

namespace fuzzsupport {

// 2025-01-01 12:00:00 in UTC, the time the seeds are stamped with.
inline constexpr std::time_t kNow = 1735732800;

inline const char* const kKeys[] = {
    "0123456789ABCDEF0123456789ABCDEF",
    "\xAB\xCD\xAB\xCD\xAB\xCD\xAB\xCD\xAB\xCD\xAB\xCD\xAB\xCD\xAB\xCD"
    "\xAB\xCD\xAB\xCD\xAB\xCD\xAB\xCD\xAB\xCD\xAB\xCD\xAB\xCD\xAB\xCD",
    "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA",
    "\x28\x37\x6E\xF2\x6E\x78\x2E\x1A\x4A\x16\x0E\x32\x76\xE5\xFB\x93"
    "\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00",
};

inline Config_Record frameSettings(const std::uint8_t* data, std::size_t size)
{
    Config_Record config = defaultConfig();
    if (size >= 1) {
        config.DC9_AES_Mode = data[0] & 3;
        config.Time_Synch = (data[0] & 4) != 0 ? 1 : 0;
        config.DC9_Quirk_Lower_Hex = (data[0] >> 3) & 1;
        config.DC9_Quirk_CRC_CR = (data[0] >> 4) & 1;
        config.DC9_Quirk_Binary_CRC = (data[0] >> 5) & 1;
        config.DC9_Time_UTC = (data[0] >> 6) & 1;
        config.DC9_SIA_DCS = (data[0] >> 7) & 1;
    }
    if (size >= 2)
        std::memcpy(config.DC9_AES_Key, kKeys[data[1] % (sizeof kKeys / sizeof kKeys[0])],
                    sizeof config.DC9_AES_Key);
    return config;
}

// Bit 7 of the second byte: keys per account, account 1234 on the first 16 bytes of the third key and
// account A256 on the fourth; the key index (the low bits) is unchanged by it.
inline const AccountKeys* frameKeys(const std::uint8_t* data, std::size_t size)
{
    static const AccountKeys keys = [] {
        AccountKeys k;
        (void)k.set("1234", "text", std::string_view(kKeys[2], 16));
        (void)k.set("A256", "hex", "28376EF26E782E1A4A160E3276E5FB93");
        return k;
    }();
    return size >= 2 && (data[1] & 0x80) != 0 ? &keys : nullptr;
}

} // namespace fuzzsupport
