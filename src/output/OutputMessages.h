// The lines the receiver sends to the automation software (heartbeat, event report, supervision
// report) and the one-byte answers it accepts back. Pure functions, no I/O.
#pragma once

#include "store/AccountRecord.h"
#include "store/JournalRecord.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace output {
inline constexpr char kDc4 = 0x14;
inline constexpr std::uint8_t kAck = 0x06;
inline constexpr std::uint8_t kNak = 0x15;
// Report_Format values.
inline constexpr std::int8_t kFormatMlr2Dg = 0;  // "SG MLR2-DG"
inline constexpr std::int8_t kFormatMlr2000 = 1; // "SG MLR2000"
} // namespace output

// The event-shaped record reports are formatted from: the first 44 bytes of a journal slot.
#pragma pack(push, 1)
struct Report_Source {
    std::uint8_t status;
    char receiver[7];
    char line[7];
    char account[17];
    char event[5];
    char partition[3];
    char zone[4];
};
#pragma pack(pop)
static_assert(sizeof(Report_Source) == 44);
static_assert(offsetof(Report_Source, receiver) == offsetof(JournalRecord, receiver));
static_assert(offsetof(Report_Source, zone) == offsetof(JournalRecord, zone));

// "1" + receiver number (at least two digits) + "000" + 11 spaces + "@" + 4 spaces + DC4.
// The stored byte is signed; a number typed above 127 is read back as the unsigned byte the
// operator meant (200 stays 200), so the heartbeat never carries a minus sign.
[[nodiscard]] std::string Format_Heartbeat(std::int8_t receiverNumber);

// An event or supervision report ending with DC4. Receiver and line are read as decimal numbers
// from their leading digits (text without a leading digit counts as 0); a Report_Format other
// than 1 formats as "SG MLR2-DG".
[[nodiscard]] std::string Format_Report(const Report_Source& source, std::int8_t reportFormat);
[[nodiscard]] std::string Format_Report(const JournalRecord& record, std::int8_t reportFormat);

// E350 (missing) or R350 (restored) for an account, partition "01", zone "000".
[[nodiscard]] Report_Source Make_Supervision_Source(const AccountRecord& account);

[[nodiscard]] constexpr bool Is_Answer_Byte(std::uint8_t byte)
{
    return byte == output::kAck || byte == output::kNak;
}
