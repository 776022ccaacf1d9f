// Frames cut out of a byte stream that arrives in arbitrary pieces: every shared frame, split anywhere,
// is handed out exactly as it is whole, and gets the answer it gets whole.
#include "Dc09TestSupport.h"
#include "dc09/FrameAssembler.h"

#include <gtest/gtest.h>

using namespace dc09test;
using namespace std::string_literals;

namespace {

struct Fed {
    std::vector<std::string> frames;
    int garbageBlocks = 0;
};

// Feeds the stream cut at the given offsets (ascending).
Fed feedPieces(const std::string& stream, const std::vector<std::size_t>& cuts, const Config_Record& config)
{
    FrameAssembler assembler;
    Fed fed;
    std::size_t from = 0;
    auto take = [&](std::size_t to) {
        const FrameAssembler::Output out = assembler.feed(stream.data() + from, to - from, config);
        fed.frames.insert(fed.frames.end(), out.frames.begin(), out.frames.end());
        fed.garbageBlocks += out.garbageBegan ? 1 : 0;
        from = to;
    };
    for (const std::size_t cut : cuts) {
        take(cut);
    }
    take(stream.size());
    return fed;
}

const std::vector<VectorFrame>& vectors()
{
    static const std::vector<VectorFrame> frames = [] {
        std::string error;
        auto loaded = loadVectors(error);
        EXPECT_TRUE(error.empty()) << error;
        return loaded;
    }();
    return frames;
}

// The settings rows each frame is tried under: plain, and every quirk switched on.
std::vector<Config_Record> settingsRows()
{
    Config_Record quirks = configWith(0);
    quirks.DC9_Quirk_Lower_Hex = 1;
    quirks.DC9_Quirk_CRC_CR = 1;
    quirks.DC9_Quirk_Binary_CRC = 1;
    return {configWith(0), quirks};
}

constexpr std::time_t kNow = 1735732800;

TEST(FrameAssembler, EveryFrameWholeGetsTheAnswerItsBlockGot)
{
    for (const Config_Record& row : settingsRows()) {
        for (std::size_t i = 0; i < vectors().size(); ++i) {
            const VectorFrame& v = vectors()[i];
            const Config_Record config = configFor(v, row);
            const Fed whole = feedPieces(v.frame, {}, config);
            const std::string expected = answer(v.frame, config, kNow);
            if (expected.empty()) {
                for (const std::string& f : whole.frames) {
                    EXPECT_EQ(answer(f, config, kNow), "") << "frame " << i;
                }
                continue;
            }
            // Each shared block holds one frame our rules answer; a second one in it (30) is damaged.
            ASSERT_EQ(whole.frames.size(), 1u) << "frame " << i;
            EXPECT_EQ(answer(whole.frames[0], config, kNow), expected) << "frame " << i;
            EXPECT_EQ(whole.garbageBlocks, 0) << "frame " << i;
        }
    }
}

TEST(FrameAssembler, AFrameSplitAnywhereOverTwoOrThreeReadsIsHandedOutAsWhole)
{
    for (const Config_Record& row : settingsRows()) {
        for (std::size_t i = 0; i < vectors().size(); ++i) {
            const VectorFrame& v = vectors()[i];
            const Config_Record config = configFor(v, row);
            const Fed whole = feedPieces(v.frame, {}, config);
            const std::size_t n = v.frame.size();
            for (std::size_t a = 1; a < n; ++a) {
                const Fed two = feedPieces(v.frame, {a}, config);
                ASSERT_EQ(two.frames, whole.frames) << "frame " << i << " cut at " << a;
                for (std::size_t b = a + 1; b < n; b += 3) {
                    ASSERT_EQ(feedPieces(v.frame, {a, b}, config).frames, whole.frames)
                        << "frame " << i << " cut at " << a << " and " << b;
                }
            }
        }
    }
}

TEST(FrameAssembler, SeveralFramesInOneReadComeOutInOrder)
{
    const std::string first = frameOf("\"NULL\"0001R1L1#1234[]");
    const std::string second = frameOf("\"ADM-CID\"0002R1L1#1234[#1234|1130 01 015]");
    const std::string third = frameOf("\"NULL\"0003R1L1#1234[]");
    struct Row {
        const char* name;
        std::string stream;
    };
    const Row rows[] = {
        {"back to back", first + second + third},
        {"CR LF between", first + "\r\n" + second + "\r\n" + third},
        {"noise between", first + "xx" + second + "\n\n" + third},
    };
    for (const Row& row : rows) {
        const Fed fed = feedPieces(row.stream, {}, configWith(0));
        EXPECT_EQ(fed.frames, (std::vector<std::string>{first, second, third})) << row.name;
        EXPECT_EQ(fed.garbageBlocks, 0) << row.name;
    }
}

TEST(FrameAssembler, GarbageIsReportedOncePerBlockAndAFrameAfterItIsStillFound)
{
    const std::string frame = frameOf("\"NULL\"0001R1L1#1234[]");
    // Text, binary noise and headers whose stated frames could never fit: none may hide the frame.
    std::string garbage;
    for (unsigned k = 0; garbage.size() < 70 * 1024; ++k) {
        garbage += "\n0000FFFF\"\r\nhello\r\r";
        garbage += char(k * 37 % 251);
        garbage += '\0';
    }
    struct Row {
        const char* name;
        std::string stream;
        std::vector<std::size_t> cuts;
        int blocks;
        std::size_t frames;
    };
    const std::vector<Row> rows = {
        {"garbage in many reads, then a frame", garbage + frame, {1000, 30000, 65536, 70000}, 1, 1},
        {"the frame split right after the garbage", garbage + frame, {garbage.size() + 5}, 1, 1},
        {"garbage, frame, garbage: two blocks", "junk" + frame + "more junk", {4, 4 + frame.size()}, 2, 1},
        {"noise before a frame in the same read is no block", "junk" + frame, {}, 0, 1},
        {"bytes after a frame in its read are ignored", frame + "\n0000", {}, 0, 1},
    };
    for (const Row& row : rows) {
        const Fed fed = feedPieces(row.stream, row.cuts, configWith(0));
        EXPECT_EQ(fed.garbageBlocks, row.blocks) << row.name;
        ASSERT_EQ(fed.frames.size(), row.frames) << row.name;
        EXPECT_EQ(fed.frames.back(), frame) << row.name;
    }
}

TEST(FrameAssembler, AFrameOverTheLongestLengthIsDroppedAtOnceAndWhatIsHeldStaysUnderIt)
{
    const std::string filler(70 * 1024, 'x');
    struct Row {
        const char* name;
        std::uint16_t setting;
        std::string start;       // fed first
        std::size_t heldAtStart; // what the start leaves held
        bool tooLongAtOnce;
    };
    const Row rows[] = {
        {"stated length over 4096: dropped from the header", 0, "\n0000FF00\"", 0, true},
        {"stated length under 4096: waited for", 0, "\n00000F00\"", 10, false},
        {"a wider setting waits for the same header", 65535, "\n0000FF00\"", 10, false},
        {"no quote within the longest length", 0, "\n00000010" + std::string(5000, 'y'), 0, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Config_Record config = configWith(0);
        config.DC9_Max_Frame_Length = row.setting;
        const std::size_t longest = FrameAssembler::longestFrame(config);
        FrameAssembler assembler;
        const FrameAssembler::Output first = assembler.feed(row.start.data(), row.start.size(), config);
        EXPECT_EQ(first.tooLong, row.tooLongAtOnce);
        EXPECT_EQ(assembler.heldBytes(), row.heldAtStart);
        // Whatever follows, one byte at a time or in large reads, the held part never reaches the
        // longest length, and its memory follows what it holds.
        for (std::size_t at = 0; at < filler.size();) {
            const std::size_t n = std::min<std::size_t>(at < 8192 ? 1 : 4096, filler.size() - at);
            (void)assembler.feed(filler.data() + at, n, config);
            at += n;
            ASSERT_LT(assembler.heldBytes(), longest) << at;
            ASSERT_LE(assembler.footprint(), 2 * assembler.heldBytes() + 1024) << at;
        }
    }

    // Exactly the longest length is taken; one byte more is not.
    Config_Record config = configWith(0);
    config.DC9_Max_Frame_Length = 100;
    for (const std::size_t size : {std::size_t(100), std::size_t(101)}) {
        const std::string frame = frameOf("\"NULL\"0001R1L1#1234[" + std::string(size - 31, 'A') + "]");
        ASSERT_EQ(frame.size(), size);
        FrameAssembler assembler;
        const FrameAssembler::Output out = assembler.feed(frame.data(), frame.size(), config);
        EXPECT_EQ(out.frames.size(), size == 100 ? 1u : 0u) << size;
        EXPECT_EQ(out.tooLong, size == 101) << size;
    }
    config.DC9_Max_Frame_Length = 1; // below the least value: the least value holds
    EXPECT_EQ(FrameAssembler::longestFrame(config), FrameAssembler::kShortestLongestFrame);
}

TEST(FrameAssembler, ReportsWhatNeverBecameAFrameOnceAndForgetsWhatItIsToldToDrop)
{
    const Config_Record config = configWith(0);
    const std::string frame = frameOf("\"NULL\"0001R1L1#1234[]");
    FrameAssembler waiting;
    (void)waiting.feed(frame.data(), 20, config);
    EXPECT_EQ(waiting.heldBytes(), 20u);
    EXPECT_TRUE(waiting.takeUnreported());
    EXPECT_FALSE(waiting.takeUnreported());

    // Dropped for memory: nothing held, nothing left to report, and the next frame is found.
    FrameAssembler dropped;
    (void)dropped.feed(frame.data(), 20, config);
    dropped.dropHeld();
    EXPECT_EQ(dropped.heldBytes(), 0u);
    EXPECT_EQ(dropped.footprint(), std::string().capacity());
    EXPECT_FALSE(dropped.takeUnreported());
    const std::string rest = frame.substr(20) + frame;
    const FrameAssembler::Output out = dropped.feed(rest.data(), rest.size(), config);
    EXPECT_EQ(out.frames, std::vector<std::string>{frame});
}

} // namespace
