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
};

enum class Parse_Result { Not_Recognised, Accepted_Plain, Accepted_Encrypted, Rejected };

enum class Response_Kind { ACK, Encrypted_ACK, NAK, DUH };

// "ACK", "*ACK", "NAK" or "DUH".
[[nodiscard]] const char* responseToken(Response_Kind kind);
