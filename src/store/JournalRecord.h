// One 68-byte journal slot of kalvor.dat and the layout constants of the journal files.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

static_assert(std::endian::native == std::endian::little, "the record files are little-endian images");

#pragma pack(push, 1)
struct JournalRecord {
    std::uint8_t status;
    char receiver[7];
    char line[7];
    char account[17];
    char event[5];
    char partition[3];
    char zone[4];
    std::int32_t time_received;
    char address[16];
    std::int32_t port;
};
#pragma pack(pop)

static_assert(sizeof(JournalRecord) == 68);
static_assert(offsetof(JournalRecord, status) == 0);
static_assert(offsetof(JournalRecord, receiver) == 1);
static_assert(offsetof(JournalRecord, line) == 8);
static_assert(offsetof(JournalRecord, account) == 15);
static_assert(offsetof(JournalRecord, event) == 32);
static_assert(offsetof(JournalRecord, partition) == 37);
static_assert(offsetof(JournalRecord, zone) == 40);
static_assert(offsetof(JournalRecord, time_received) == 44);
static_assert(offsetof(JournalRecord, address) == 48);
static_assert(offsetof(JournalRecord, port) == 64);

namespace journal {
inline constexpr std::uint8_t kStored = 0x01;
inline constexpr std::uint8_t kSaved = 0x02;
inline constexpr std::uint8_t kReported = 0x04;
inline constexpr std::size_t kSlots = 2048;
inline constexpr std::size_t kHeaderSize = 4;
inline constexpr std::size_t kImageSize = kHeaderSize + kSlots * sizeof(JournalRecord); // 139,268
inline constexpr std::size_t kExtendedSlotSize = 64;
inline constexpr std::size_t kExtendedImageSize = kSlots * kExtendedSlotSize; // 131,072
static_assert(kImageSize == 139268);
static_assert(kExtendedImageSize == 131072);
} // namespace journal
