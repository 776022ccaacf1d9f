// Checks and splits one received DC-09 frame, decides the answer and builds the answer frame.
#pragma once

#include "config/ConfigRecord.h"
#include "dc09/AccountKeys.h"
#include "dc09/Dc09Message.h"

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

// CRC-16/ARC as DC-09 uses it.
[[nodiscard]] std::uint16_t DC9_CRC16(const std::uint8_t* data, std::size_t count);
// The same CRC carried on over further bytes from a running value (0 at the start).
[[nodiscard]] std::uint16_t DC9_CRC16_Continue(std::uint16_t crc, const std::uint8_t* data,
                                               std::size_t count);

// Why a frame is not acknowledged, named by the check that decided it: no answer for the first
// group (the bytes are no frame of ours), "DUH" for the second, "NAK" for the third.
enum class DC9_Refusal_Kind : std::uint8_t {
    None,
    No_LF,
    CRC_Field,
    Length_Field,
    No_Quote,
    Length_Mismatch,
    CRC_Mismatch,
    No_Data_Block,
    Quirk_Foreign_Token,
    Incomplete, // the connection ended before the stated length arrived
    Unknown_Token,
    SIA_Not_Taken,
    Sequence_Digits,
    Account_Unreadable,
    No_Header_Account,
    No_Key,
    Cipher_Not_Hex,
    Cipher_Failure,
    Wrong_Key,
    Data_Account_Differs,
    Other_Accounts_Key,
    No_Closing_Bracket,
    Contact_ID_Layout,
    Plain_While_Encrypted,
    Unknown_Account,
    Time_Stamp_Old,
    Time_Stamp_Ahead,
    No_Time_Stamp,
    Clock_Unusable,
    Plain_For_Own_Key,
};

// One refusal with what the check found. Only printable characters of the frame are kept, and never
// any decrypted data: the text is safe for a log line whatever arrived.
struct DC9_Refusal {
    DC9_Refusal_Kind kind = DC9_Refusal_Kind::None;
    std::int64_t stated = 0; // the CRC or length the header states; the AES mode; the seconds off
    std::int64_t found = -1; // the CRC computed; where the CR is, or the bytes that came (-1: none)
    char text[24] = {};      // the ID token as received
    char account[17] = {};   // the account, as far as it could be read
};
// "CRC mismatch (E4FA stated, D673 computed)", "time stamp 73 s old", "wrong key or padding".
[[nodiscard]] std::string refusalText(const DC9_Refusal& refusal);
// The account that a frame's header names ("#" and its hex digits before the data block), read from
// bytes that may be no frame at all; empty when none can be read.
void DC9_Header_Account(const char* data, std::size_t size, char (&account)[17]);

// Parses the first `length` bytes of `buffer`; a zero byte ends the text earlier. The buffer is
// modified in place (the frame is cut at its CR, an encrypted data block is decrypted over itself);
// nothing outside buffer[0, length) is read or written. The DC9_Quirk_* settings let in the frames of
// panel families that bend the framing; DC9_Time_UTC reads the message's time stamp as UTC;
// DC9_SIA_DCS takes "SIA-DCS" and "*SIA-DCS". With `keys`, an account that has a key of its own is
// decrypted with it, and under keys per account an encrypted frame must name its account in the header.
// With `why`, a frame not accepted says there why not.
[[nodiscard]] Parse_Result Parse_DC9_Message(char* buffer, std::size_t length, const Config_Record& config,
                                             DC9_Message& message, const AccountKeys* keys = nullptr,
                                             DC9_Refusal* why = nullptr);

// No response for Not_Recognised. `now` is the receiver's clock in calendar seconds. A plain message
// of an account with a key of its own is answered "NAK". With `why`, an answer other than an
// acknowledgement says there why (a refusal the parser gave stays as it is).
[[nodiscard]] std::optional<Response_Kind> Decide_DC9_Response(Parse_Result result,
                                                               const DC9_Message& message, std::time_t now,
                                                               const Config_Record& config,
                                                               DC9_Refusal* why = nullptr);

// Source of the padding bytes of "*ACK"; any pseudo-random numbers will do.
using PaddingRandom = std::function<std::uint32_t()>;

// The complete response frame, LF to CR. `now` gives the time stamp: the receiver's local time, or UTC
// with DC9_Time_UTC. Always uppercase hex and the standard layout, whatever quirks the panel has.
// Empty (send nothing) for an "*ACK" that cannot be encrypted: no valid DC9_AES_Mode, or a cipher failure.
// An "*ACK" to an account with a key of its own in `keys` is encrypted with that key.
[[nodiscard]] std::string Build_DC9_Response(Response_Kind kind, const DC9_Message& message, std::time_t now,
                                             const Config_Record& config, const PaddingRandom& random = {},
                                             const AccountKeys* keys = nullptr);

// One received frame (a TCP frame cut out of its stream, or one UDP datagram) judged as a whole:
// parsed from a copy, the answer decided and built. No response for bytes that are no DC-09 frame.
struct DC9_Judgement {
    Parse_Result result = Parse_Result::Not_Recognised;
    DC9_Message message;
    std::optional<Response_Kind> kind;
    std::string response; // empty when nothing is sent
    DC9_Refusal refusal;  // why it is not acknowledged; None when it is
    [[nodiscard]] bool accepted() const
    {
        return kind == Response_Kind::ACK || kind == Response_Kind::Encrypted_ACK;
    }
};
// Whether an account may report (DC9_Known_Accounts_Only): a message that would be accepted from an
// account it refuses is answered DUH instead. Without it every account may.
using AccountAdmission = std::function<bool(std::string_view account)>;
[[nodiscard]] DC9_Judgement Judge_DC9_Frame(const char* data, std::size_t size, std::time_t now,
                                            const Config_Record& config, const PaddingRandom& random = {},
                                            const AccountKeys* keys = nullptr,
                                            const AccountAdmission& admitted = {});
