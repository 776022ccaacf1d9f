// libFuzzer target: a panel's byte stream through reassembly and the frame judgement, as a
// connection's reads run them. The first byte picks the settings as in fuzz_parse_dc9 (encryption
// bits 0-1, time synchronisation bit 2, field quirks bits 3-5, UTC bit 6, SIA-DCS bit 7), the second
// the key (keys per account with its bit 7), the third where the stream is cut into reads (bits 0-2)
// and the longest frame taken (bits 3-7); the rest is the stream.
// Promises: the stream cut anywhere gives the frames it gives whole (always without the field quirks,
// whose readings may compete for one stretch of bytes); every frame runs LF to CR within the longest
// length, and what is held stays under it at about its own size in memory; and
// the first frame is judged exactly as the whole stream would have been judged as one block.
#include "FrameSettings.h"
#include "FuzzSupport.h"
#include "config/ConfigRecord.h"
#include "dc09/Dc09Codec.h"
#include "dc09/FrameAssembler.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

using fuzzsupport::require;

namespace {

std::vector<std::string> framesOf(const std::string& stream, const std::vector<std::size_t>& cuts,
                                  const Config_Record& config)
{
    FrameAssembler assembler;
    std::vector<std::string> frames;
    std::size_t from = 0;
    for (std::size_t k = 0; k <= cuts.size(); ++k) {
        const std::size_t to = k < cuts.size() ? cuts[k] : stream.size();
        FrameAssembler::Output out = assembler.feed(stream.data() + from, to - from, config);
        const std::size_t longest = FrameAssembler::longestFrame(config);
        require(assembler.heldBytes() < longest, "held bytes under the longest frame");
        require(assembler.footprint() <= 2 * assembler.heldBytes() + 1024, "memory follows what is held");
        for (const DC9_Refusal& dropped : out.dropped) {
            require(fuzzsupport::safeReason(refusalText(dropped)),
                    "a dropped frame's reason fit for the log");
        }
        for (std::string& f : out.frames) {
            require(f.size() >= 10 && f.size() <= longest, "frame size");
            require(f.front() == '\n' && f.back() == '\r', "frame runs LF to CR");
            frames.push_back(std::move(f));
        }
        from = to;
    }
    return frames;
}

DC9_Judgement judge(const std::string& bytes, const Config_Record& config, const AccountKeys* keys)
{
    std::uint32_t counter = 0;
    return Judge_DC9_Frame(
        bytes.data(), bytes.size(), fuzzsupport::kNow, config, [&counter] { return counter++; }, keys);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 3) {
        return 0;
    }
    Config_Record config = fuzzsupport::frameSettings(data, size);
    const AccountKeys* keys = fuzzsupport::frameKeys(data, size);
    // The top bit of the third byte: a short longest frame (64 to 304 bytes), so frames and headers
    // over it come up often.
    if ((data[2] & 0x80u) != 0) {
        config.DC9_Max_Frame_Length = std::uint16_t(64 + ((data[2] >> 3) & 0x0Fu) * 16);
    }
    const std::string stream(reinterpret_cast<const char*>(data + 3), size - 3);

    // Up to seven cut points from a small generator seeded by the third byte.
    std::vector<std::size_t> cuts;
    std::uint32_t state = 0x9E3779B9u ^ (std::uint32_t(data[2]) * 2654435761u) ^ std::uint32_t(stream.size());
    for (unsigned k = 0; k < (data[2] & 7u) && !stream.empty(); ++k) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        cuts.push_back(state % (stream.size() + 1));
    }
    std::sort(cuts.begin(), cuts.end());

    const std::vector<std::string> whole = framesOf(stream, {}, config);
    const std::vector<std::string> split = framesOf(stream, cuts, config);
    const bool quirks = config.DC9_Quirk_Lower_Hex || config.DC9_Quirk_CRC_CR || config.DC9_Quirk_Binary_CRC;
    if (!quirks) {
        require(split == whole, "the cut stream gives the frames of the whole stream");
    }

    // The stream taken as one block is judged as its first frame is (a block longer than the longest
    // frame may hold a frame that is refused for its length).
    const DC9_Judgement block = judge(stream, config, keys);
    if (block.result != Parse_Result::Not_Recognised && stream.size() <= FrameAssembler::longestFrame(config)) {
        require(!whole.empty(), "a recognised block yields a frame");
        const DC9_Judgement first = judge(whole.front(), config, keys);
        require(first.result == block.result, "the first frame parses as the block");
        require(first.response == block.response, "the first frame is answered as the block");
    }
    for (const std::string& f : split) {
        const DC9_Judgement j = judge(f, config, keys);
        require(j.kind.has_value() || j.response.empty(), "no answer without a decision");
        require(!j.kind || !j.response.empty() || j.kind == Response_Kind::Encrypted_ACK,
                "a decided answer is sent (an unbuildable *ACK aside)");
    }
    return 0;
}
