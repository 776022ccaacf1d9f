// libFuzzer target: one received block through parse, decide and build, as the receive path runs them.
// The first byte picks the encryption mode (bits 0-1), time synchronisation (bit 2), the field quirks
// (bit 3 lowercase hex, bit 4 CRC over body and CR, bit 5 binary CRC), UTC stamps (bit 6) and SIA-DCS
// (bit 7), the second the key (and with its bit 7 keys per account); the rest is the block, held in
// a buffer of its exact size so any read or write past it is caught.
#include "FrameSettings.h"
#include "config/ConfigRecord.h"
#include "dc09/Dc09Codec.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

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
    std::vector<char> block(data + skip, data + size);

    DC9_Message message;
    const AccountKeys* keys = fuzzsupport::frameKeys(data, size);
    const Parse_Result result = Parse_DC9_Message(block.data(), block.size(), config, message, keys);
    if (message.extended[sizeof message.extended - 1] != '\0' || message.account[16] != '\0') {
        std::abort();
    }
    const auto kind = Decide_DC9_Response(result, message, fuzzsupport::kNow, config);
    if (kind.has_value() == (result == Parse_Result::Not_Recognised)) {
        std::abort();
    }
    if (kind) {
        std::uint32_t counter = 0;
        const std::string response = Build_DC9_Response(
            *kind, message, fuzzsupport::kNow, config, [&counter] { return counter++; }, keys);
        if (response.size() >= 256 ||
            (!response.empty() && (response.front() != '\n' || response.back() != '\r'))) {
            std::abort();
        }
        // Whatever the panel's quirks, the answer's CRC and length are uppercase hex.
        for (std::size_t i = 1; i < 9 && i < response.size(); ++i) {
            const char c = response[i];
            if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) {
                std::abort();
            }
        }
    }
    return 0;
}
