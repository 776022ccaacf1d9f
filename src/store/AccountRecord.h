// One 80-byte slot of the account table latevn.dat.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#pragma pack(push, 1)
struct AccountRecord {
    std::int32_t last_time;
    char account[17];
    char receiver[7];
    char line[7];
    char event[5];
    char partition[3];
    char zone[4];
    char address[16];
    std::uint8_t reserved_63;
    std::int32_t port;
    std::uint8_t signal;
    std::uint8_t sup_flags;
    std::uint8_t reserved_70[2];
    std::int32_t ping_minutes;
    std::int32_t ping_countdown;
};
#pragma pack(pop)

static_assert(sizeof(AccountRecord) == 80);
static_assert(offsetof(AccountRecord, last_time) == 0);
static_assert(offsetof(AccountRecord, account) == 4);
static_assert(offsetof(AccountRecord, receiver) == 21);
static_assert(offsetof(AccountRecord, line) == 28);
static_assert(offsetof(AccountRecord, event) == 35);
static_assert(offsetof(AccountRecord, partition) == 40);
static_assert(offsetof(AccountRecord, zone) == 43);
static_assert(offsetof(AccountRecord, address) == 47);
static_assert(offsetof(AccountRecord, reserved_63) == 63);
static_assert(offsetof(AccountRecord, port) == 64);
static_assert(offsetof(AccountRecord, signal) == 68);
static_assert(offsetof(AccountRecord, sup_flags) == 69);
static_assert(offsetof(AccountRecord, reserved_70) == 70);
static_assert(offsetof(AccountRecord, ping_minutes) == 72);
static_assert(offsetof(AccountRecord, ping_countdown) == 76);

namespace accounts {
inline constexpr std::uint8_t kMissing = 0x01;
inline constexpr std::uint8_t kReportDue = 0x02;
inline constexpr std::uint8_t kNoSignal = 255;
inline constexpr std::size_t kSlots = 2048;
inline constexpr std::size_t kImageSize = kSlots * sizeof(AccountRecord); // 163,840
static_assert(kImageSize == 163840);
} // namespace accounts
