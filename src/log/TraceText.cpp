// Traffic as a person reads it.
#include "log/TraceText.h"

#include <cstdio>
#include <ctime>

namespace {

constexpr const char* kControlNames[32] = {"NUL", "SOH", "STX", "ETX", "EOT", "ENQ", "ACK", "BEL",
                                           "BS",  "HT",  "LF",  "VT",  "FF",  "CR",  "SO",  "SI",
                                           "DLE", "DC1", "DC2", "DC3", "DC4", "NAK", "SYN", "ETB",
                                           "CAN", "EM",  "SUB", "ESC", "FS",  "GS",  "RS",  "US"};

} // namespace

std::string traceTimeText(const WallTime& time)
{
    const std::tm tm = localTimeOf(time.seconds);
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", tm.tm_hour, tm.tm_min, tm.tm_sec,
                  time.millis % 1000);
    return text;
}

std::string traceDateTimeText(const WallTime& time)
{
    const std::tm tm = localTimeOf(time.seconds);
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, time.millis % 1000);
    return text;
}

std::string readableBytes(std::string_view bytes)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() + 16);
    for (const char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20) {
            out += '<';
            out += kControlNames[u];
            out += '>';
        } else if (u == 0x7F) {
            out += "<DEL>";
        } else if (u > 0x7F) {
            out += "<x";
            out += kHex[u >> 4];
            out += kHex[u & 15];
            out += '>';
        } else {
            out += c;
        }
    }
    return out;
}
