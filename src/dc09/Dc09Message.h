// The fields of one decoded DC-09 message and the outcomes of parsing and answering it.
#pragma once

#include <cstdint>
#include <ctime>

struct DC9_Message {
    int sequence = 0;
    char receiver[7] = {};
    char line[7] = {};
    char account[17] = {};
    char event[5] = {};
    char partition[3] = {};
    char zone[4] = {};
    std::int32_t message_time = 0;
    char extended[64] = {}; // the 64-byte extension buffer: at most 63 characters and a NUL
    // The ID token as received, without its quotes ("ADM-CID", "*NULL"); empty when none matched.
    char token[12] = {};
    // The message data as received, decrypted when it came encrypted: from the data block's "[" to
    // the end of the frame, extension blocks and time stamp included (at most 255 characters). What
    // makes two copies of a message the same, and what the event log keeps of it.
    char content[256] = {};
    // For an encrypted message, a digest of its cipher text as it came on the wire: a captured frame
    // sent again under another header carries the same cipher text.
    bool encrypted = false;
    std::uint8_t cipher_digest[16] = {};
    // The "#" field of the header as received, which the answer echoes. `account` is the one the
    // event is filed under: the account inside the data when the data carries one.
    char header_account[17] = {};
    // The data's account differs from the header's (the header held only its beginning, or nothing).
    bool account_from_data = false;
    // The account has a key of its own: its plaintext is refused, its answers use that key.
    bool own_key = false;
};

enum class Parse_Result { Not_Recognised, Accepted_Plain, Accepted_Encrypted, Rejected };

enum class Response_Kind { ACK, Encrypted_ACK, NAK, DUH };

// "ACK", "*ACK", "NAK" or "DUH".
[[nodiscard]] const char* responseToken(Response_Kind kind);
