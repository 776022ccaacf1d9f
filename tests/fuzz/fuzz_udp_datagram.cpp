// libFuzzer target: one UDP datagram through the receiver's frame judgement, which is all a datagram
// gets (one datagram is one frame). Settings and key from the first two bytes as in fuzz_parse_dc9;
// the rest is the datagram, in a buffer of its exact size.
// Promises: an answer exactly when the frame is recognised, always one standard frame under 256 bytes;
// the judgement keeps no state (the same datagram again is judged the same); nothing is read or
// written outside the datagram.
#include "FuzzSupport.h"
#include "config/ConfigRecord.h"
#include "dc09/Dc09Codec.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

using fuzzsupport::require;

namespace {

// Keep in step with fuzz_parse_dc9.cpp and make_seeds.py.
const char* const kKeys[] = {
    "0123456789ABCDEF0123456789ABCDEF",
    "\xAB\xCD\xAB\xCD\xAB\xCD\xAB\xCD\xAB\xCD\xAB\xCD\xAB\xCD\xAB\xCD"
    "\xAB\xCD\xAB\xCD\xAB\xCD\xAB\xCD\xAB\xCD\xAB\xCD\xAB\xCD\xAB\xCD",
    "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA",
    "\x28\x37\x6E\xF2\x6E\x78\x2E\x1A\x4A\x16\x0E\x32\x76\xE5\xFB\x93"
    "\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00",
};
constexpr std::size_t kKeyCount = sizeof kKeys / sizeof kKeys[0];
constexpr std::time_t kNow = 1735732800;

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Config_Record config = defaultConfig();
    if (size >= 1) {
        config.DC9_AES_Mode = data[0] & 3;
        config.Time_Synch = (data[0] & 4) != 0 ? 1 : 0;
        config.DC9_Quirk_Lower_Hex = (data[0] >> 3) & 1;
        config.DC9_Quirk_CRC_CR = (data[0] >> 4) & 1;
        config.DC9_Quirk_Binary_CRC = (data[0] >> 5) & 1;
        config.DC9_Time_UTC = (data[0] >> 6) & 1;
    }
    if (size >= 2) {
        std::memcpy(config.DC9_AES_Key, kKeys[data[1] % kKeyCount], sizeof config.DC9_AES_Key);
    }
    const std::size_t skip = size < 2 ? size : 2;
    const std::vector<char> datagram(data + skip, data + size);

    const auto judge = [&] {
        std::uint32_t counter = 0;
        return Judge_DC9_Frame(datagram.data(), datagram.size(), kNow, config, [&counter] { return counter++; });
    };
    const DC9_Judgement j = judge();
    require(j.kind.has_value() == (j.result != Parse_Result::Not_Recognised), "an answer for each frame");
    require(j.message.extended[sizeof j.message.extended - 1] == '\0', "extended text terminated");
    if (!j.response.empty()) {
        require(j.response.size() < 256 && j.response.front() == '\n' && j.response.back() == '\r',
                "one standard frame");
        const std::string token = j.response.substr(9, 6);
        require(!j.accepted() || token.rfind("\"ACK\"", 0) == 0 || token.rfind("\"*ACK\"", 0) == 0,
                "an accepted frame is acknowledged");
    } else {
        require(!j.kind || j.kind == Response_Kind::Encrypted_ACK, "nothing sent only for an unbuildable *ACK");
    }
    const DC9_Judgement again = judge();
    require(again.result == j.result && again.response == j.response, "the judgement keeps no state");
    return 0;
}
