// The lines the receiver sends to the automation software (heartbeat, event report, supervision
// report) and the one-byte answers it accepts back. Pure functions, no I/O.
#pragma once

#include "store/AccountRecord.h"
#include "store/JournalRecord.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

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

// "1" + receiver number (at least two digits) + "000" + 11 spaces + "@" + 4 spaces + DC4: 22
// characters before the DC4. With `length` 20, the form of the SG MLR2-DG receivers that some
// automation software still expects: "1" + receiver number + line number "1" + 11 spaces + "@" +
// 4 spaces ("1011           @    " for receiver 01), the one-digit line of that receiver's
// reports in place of the "000". Any other `length` gives the 22-character form.
// The stored byte is signed; a number typed above 127 is read back as the unsigned byte the
// operator meant (200 stays 200), so the heartbeat never carries a minus sign.
[[nodiscard]] std::string Format_Heartbeat(std::int8_t receiverNumber, int length = 22);

// An event or supervision report ending with DC4. Receiver and line are read as decimal numbers
// from their leading digits (text without a leading digit counts as 0); a Report_Format other
// than 1 formats as "SG MLR2-DG".
// A Contact ID event code as the report shows it: the qualifier digit 1, 3 or 6 as E, R or P.
[[nodiscard]] std::string Qualified_Event_Text(std::string_view event);
[[nodiscard]] std::string Format_Report(const Report_Source& source, std::int8_t reportFormat);
[[nodiscard]] std::string Format_Report(const JournalRecord& record, std::int8_t reportFormat);

// Both report formats carry at most this many account characters; neither has room for more.
inline constexpr std::size_t kReportAccountWidth = 4;
// The "Q" line carries a Contact ID account of up to ten characters, padded with zeros on the left.
inline constexpr std::size_t kQLineAccountWidth = 10;
// The "S" line carries a SIA data block of up to this many bytes, brackets included.
inline constexpr std::size_t kSLineBlockWidth = 66;

// For an account that a report line cannot carry whole, the red log line that says so: the account
// and the line that was sent for it (without its DC4). Empty when the account fits, and for "Q" and
// "S" lines, which carry it whole.
[[nodiscard]] std::string Account_Cut_Warning(std::string_view account, std::string_view line);

// How stored events become lines: the report format, and whether Contact ID accounts of 5 to 10
// characters go out whole as "Q" lines (Out_Account_Q_Lines) instead of cut to 4.
struct ReportOptions {
    std::int8_t reportFormat = output::kFormatMlr2Dg;
    bool accountQLines = false;
};

// "SIA-DCS" or "*SIA-DCS".
[[nodiscard]] bool Is_SIA_Token(std::string_view token);
// "Q" + receiver (2 digits) + line (as the format writes it) + " 58" + account (10 characters, zeros
// on the left) + qualifier letter, event code, partition, zone + DC4.
[[nodiscard]] std::string Format_Q_Line(const Report_Source& source, std::int8_t reportFormat);
// The data block of a SIA message's content ("[#1234|Nri1/BA12]" out of
// "[#1234|Nri1/BA12][X1]_10:00:00,..."): from the "[" to the "]" that closes it.
[[nodiscard]] std::string SIA_Data_Block(std::string_view content);
// "S" + receiver (2 digits) + line (as the format writes it) + the data block + DC4. A block over
// 66 bytes becomes one line per event code, each with the account and the modifiers (area, user,
// time) in force for that code.
[[nodiscard]] std::vector<std::string> Format_S_Lines(const Report_Source& source, std::string_view dataBlock,
                                                      std::int8_t reportFormat);
// The line or lines of one stored event: "S" lines for a SIA message (its data block from `content`,
// or made from the stored fields when the content is not at hand), a "Q" line for a Contact ID
// account of 5 to 10 characters when the options ask for it, else the report line.
[[nodiscard]] std::vector<std::string> Format_Event_Lines(const Report_Source& source, std::string_view token,
                                                          std::string_view content,
                                                          const ReportOptions& options);
[[nodiscard]] std::vector<std::string> Format_Event_Lines(const JournalRecord& record, std::string_view token,
                                                          std::string_view content,
                                                          const ReportOptions& options);

// E350 (missing) or R350 (restored) for an account, partition "01", zone "000".
[[nodiscard]] Report_Source Make_Supervision_Source(const AccountRecord& account);

[[nodiscard]] constexpr bool Is_Answer_Byte(std::uint8_t byte)
{
    return byte == output::kAck || byte == output::kNak;
}
