// The shared DC-09 test frames (collected from other receivers' test suites and real panels): each one is
// parsed from an exact-size buffer under every setting, and gives the result our rules call for.
#include "Dc09TestSupport.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <sstream>

using namespace dc09test;

namespace {

// N not recognised, P accepted plain, E accepted encrypted, R rejected; by position in the file.
// Lowercase hex anywhere in CRC or length, binary CRCs, bad CRCs and lengths are not frames to us;
// SIA-DCS and response tokens are not ours to accept; a "|"-less padding and a non-hex account are refused.
constexpr const char kExpected[] = "PNPPN"
                                   "ENPNN"
                                   "NNRRN"
                                   "RRRRR"
                                   "NNNRP"
                                   "RRNNN"
                                   "RRRRR"
                                   "RPPRR"
                                   "NNNNN"
                                   "RRRRR"
                                   "REEEE"
                                   "P";

TEST(Dc09Vectors, EveryFrameGivesTheResultOfOurRules)
{
    useUtc();
    std::string error;
    const auto frames = loadVectors(error);
    ASSERT_TRUE(error.empty()) << error;
    ASSERT_EQ(frames.size(), 56u);
    ASSERT_EQ(std::string(kExpected).size(), frames.size());

    const std::time_t now = 1735732800;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const VectorFrame& v = frames[i];
        Config_Record config = configWith(0);
        if (!v.key.empty()) {
            std::fill(std::begin(config.DC9_AES_Key), std::end(config.DC9_AES_Key), 0);
            std::copy(v.key.begin(), v.key.end(), config.DC9_AES_Key);
            config.DC9_AES_Mode = v.key.size() == 16 ? 1 : v.key.size() == 24 ? 2 : 3;
        }
        const Parsed p = parse(v.frame, config);
        const char got = "PENR"[p.result == Parse_Result::Accepted_Plain       ? 0
                                : p.result == Parse_Result::Accepted_Encrypted ? 1
                                : p.result == Parse_Result::Not_Recognised     ? 2
                                                                               : 3];
        EXPECT_EQ(got, kExpected[i]) << "frame " << i << ": " << v.frame;

        const std::string response = answer(v.frame, config, now);
        EXPECT_EQ(response.empty(), p.result == Parse_Result::Not_Recognised) << "frame " << i;
        if (p.result == Parse_Result::Accepted_Plain) {
            EXPECT_EQ(response.substr(9, 5), "\"ACK\"") << "frame " << i;
        } else if (p.result == Parse_Result::Accepted_Encrypted) {
            EXPECT_EQ(response.substr(9, 6), "\"*ACK\"") << "frame " << i;
        } else if (p.result == Parse_Result::Rejected) {
            EXPECT_EQ(response.substr(9, 5), "\"DUH\"") << "frame " << i;
        }
    }

    // The plain Contact ID frame and the acknowledgement its peer sent for it.
    EXPECT_EQ(answer(frames[7].frame, configWith(0), now), frames[15].frame);
    const Parsed cid = parse(frames[55].frame, configWith(0));
    EXPECT_STREQ(cid.message.event, "3130");
    EXPECT_STREQ(cid.message.account, "1234");
    EXPECT_EQ(cid.message.message_time, 1735725600);
}

char resultLetter(Parse_Result r)
{
    return "PENR"[r == Parse_Result::Accepted_Plain       ? 0
                  : r == Parse_Result::Accepted_Encrypted ? 1
                  : r == Parse_Result::Not_Recognised     ? 2
                                                          : 3];
}

// Each quirk lets in exactly the frames of its panel family, by position in the file. Frames tagged
// for a quirk that carry a token we do not speak (11: *SIA-DCS, 21: an ACK) stay unanswered, and 41
// (a decimal length with the usual CRC) is no frame of the CRC-over-CR family.
TEST(Dc09Vectors, EachQuirkLetsInItsFramesAndChangesNoOtherAnswer)
{
    std::string error;
    const auto frames = loadVectors(error);
    ASSERT_TRUE(error.empty()) << error;
    struct Row {
        const char* name;
        std::vector<std::uint8_t Config_Record::*> flags;
        std::map<std::size_t, char> letIn; // frame index -> result with the quirk
    };
    const Row rows[] = {
        {"lowercase hex", {&Config_Record::DC9_Quirk_Lower_Hex}, {{1, 'P'}, {4, 'P'}, {6, 'E'}}},
        {"CRC over body and CR", {&Config_Record::DC9_Quirk_CRC_CR}, {{43, 'P'}}},
        {"binary CRC", {&Config_Record::DC9_Quirk_Binary_CRC}, {{22, 'P'}, {44, 'P'}}},
        {"all three",
         {&Config_Record::DC9_Quirk_Lower_Hex, &Config_Record::DC9_Quirk_CRC_CR,
          &Config_Record::DC9_Quirk_Binary_CRC},
         {{1, 'P'}, {4, 'P'}, {6, 'E'}, {43, 'P'}, {22, 'P'}, {44, 'P'}}},
    };
    const std::time_t now = 1735732800;
    for (const Row& row : rows) {
        Config_Record quirks = configWith(0);
        for (const auto flag : row.flags) {
            quirks.*flag = 1;
        }
        for (std::size_t i = 0; i < frames.size(); ++i) {
            const Config_Record plainConfig = configFor(frames[i], configWith(0));
            const Config_Record quirkConfig = configFor(frames[i], quirks);
            const std::string before = answer(frames[i].frame, plainConfig, now);
            const std::string after = answer(frames[i].frame, quirkConfig, now);
            const auto it = row.letIn.find(i);
            if (it == row.letIn.end()) {
                EXPECT_EQ(after, before) << row.name << ", frame " << i;
                continue;
            }
            EXPECT_EQ(before, "") << row.name << ", frame " << i;
            EXPECT_EQ(resultLetter(parse(frames[i].frame, quirkConfig).result), it->second)
                << row.name << ", frame " << i;
            // What goes back is a standard frame: uppercase CRC and length over our own body.
            ASSERT_GT(after.size(), 10u) << row.name << ", frame " << i;
            EXPECT_EQ(after, frameOf(after.substr(9, after.size() - 10))) << row.name << ", frame " << i;
            EXPECT_EQ(after.substr(9, it->second == 'E' ? 6 : 5), it->second == 'E' ? "\"*ACK\"" : "\"ACK\"");
        }
    }
}

// With DC9_SIA_DCS the SIA-DCS frames our rules accept are taken, with the code they carry (unknown
// ones too); every other frame's answer stays as it was. With lowercase hex, so are the frames of
// that panel family, encrypted ones included. The empty block (33) names no account to file under.
TEST(Dc09Vectors, SiaDcsTakesEverySiaFrameAndChangesNoOtherAnswer)
{
    useUtc();
    std::string error;
    const auto frames = loadVectors(error);
    ASSERT_TRUE(error.empty()) << error;
    const std::map<std::size_t, std::pair<char, const char*>> taken{
        {25, {'P', "BA"}}, {26, {'P', "QQ"}}, {30, {'P', "BA"}}, {31, {'P', "BA"}},
        {32, {'P', "RR"}}, {33, {'R', ""}},   {39, {'P', "XC"}}, {45, {'P', "CQ"}},
        {46, {'P', "NP"}}, {47, {'P', "RP"}}, {48, {'P', "UX"}}, {8, {'P', "HB"}},
        {9, {'P', "LX"}},  {10, {'E', "HB"}}, {11, {'E', "HB"}}, {29, {'P', "HB"}}};
    const std::size_t lowercase[] = {8, 9, 10, 11, 29};
    for (const bool lower : {false, true}) {
        for (std::size_t i = 0; i < frames.size(); ++i) {
            Config_Record before = configFor(frames[i], configWith(0));
            before.DC9_Quirk_Lower_Hex = lower ? 1 : 0;
            Config_Record after = before;
            after.DC9_SIA_DCS = 1;
            const auto it = taken.find(i);
            const bool needsLower =
                std::find(std::begin(lowercase), std::end(lowercase), i) != std::end(lowercase);
            if (it == taken.end() || (needsLower && !lower)) {
                EXPECT_EQ(answer(frames[i].frame, after, 1735732800),
                          answer(frames[i].frame, before, 1735732800))
                    << "frame " << i;
                continue;
            }
            const Parsed p = parse(frames[i].frame, after);
            EXPECT_EQ(resultLetter(p.result), it->second.first) << "frame " << i;
            EXPECT_STREQ(p.message.event, it->second.second) << "frame " << i;
        }
    }
}

TEST(Dc09Vectors, NoSettingMakesAnyFrameMisbehave)
{
    std::string error;
    const auto frames = loadVectors(error);
    ASSERT_TRUE(error.empty()) << error;
    for (const auto& v : frames) {
        for (int settings = 0; settings < 4 * 2 * 32; ++settings) {
            {
                Config_Record config = configWith(settings & 3, (settings & 4) != 0);
                config.DC9_Quirk_Lower_Hex = (settings >> 3) & 1;
                config.DC9_Quirk_CRC_CR = (settings >> 4) & 1;
                config.DC9_Quirk_Binary_CRC = (settings >> 5) & 1;
                config.DC9_Time_UTC = (settings >> 6) & 1;
                config.DC9_SIA_DCS = (settings >> 7) & 1;
                std::copy(v.key.begin(), v.key.end(), config.DC9_AES_Key);
                const Parsed p = parse(v.frame, config);
                const std::string response = answer(v.frame, config, 1735732800);
                EXPECT_EQ(response.empty(), p.result == Parse_Result::Not_Recognised);
                EXPECT_LT(std::strlen(p.message.extended), sizeof p.message.extended);
            }
        }
    }
}

} // namespace
