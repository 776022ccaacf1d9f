// libFuzzer target: one UDP datagram through the receiver's frame judgement, which is all a datagram
// gets (one datagram is one frame). Settings and key from the first two bytes as in fuzz_parse_dc9;
// the rest is the datagram, in a buffer of its exact size.
// Promises: an answer exactly when the frame is recognised, always one standard frame under 256 bytes;
// the judgement keeps no state (the same datagram again is judged the same); nothing is read or
// written outside the datagram.
#include "FrameSettings.h"
#include "FuzzSupport.h"
#include "config/ConfigRecord.h"
#include "dc09/Dc09Codec.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

using fuzzsupport::require;

namespace {

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const Config_Record config = fuzzsupport::frameSettings(data, size);
    const std::size_t skip = size < 2 ? size : 2;
    const std::vector<char> datagram(data + skip, data + size);

    const auto judge = [&] {
        std::uint32_t counter = 0;
        return Judge_DC9_Frame(
            datagram.data(), datagram.size(), fuzzsupport::kNow, config, [&counter] { return counter++; },
            fuzzsupport::frameKeys(data, size));
    };
    const DC9_Judgement j = judge();
    require(j.kind.has_value() == (j.result != Parse_Result::Not_Recognised), "an answer for each frame");
    require(j.message.extended[sizeof j.message.extended - 1] == '\0', "extended text terminated");
    require(j.accepted() == (j.refusal.kind == DC9_Refusal_Kind::None), "a reason for every refusal only");
    require(j.accepted() || fuzzsupport::safeReason(refusalText(j.refusal)), "a reason fit for the log");
    if (!j.response.empty()) {
        require(j.response.size() < 256 && j.response.front() == '\n' && j.response.back() == '\r',
                "one standard frame");
        const std::string token = j.response.substr(9, 6);
        require(!j.accepted() || token.rfind("\"ACK\"", 0) == 0 || token.rfind("\"*ACK\"", 0) == 0,
                "an accepted frame is acknowledged");
    } else {
        require(!j.kind || j.kind == Response_Kind::Encrypted_ACK,
                "nothing sent only for an unbuildable *ACK");
    }
    const DC9_Judgement again = judge();
    require(again.result == j.result && again.response == j.response, "the judgement keeps no state");
    return 0;
}
