// Frame codec: the worked frames byte for byte, header and data rules, the time window, the encrypted
// acknowledgement, and damaged input (tampered bytes, truncation, zero bytes) that must never be accepted.
#include "Dc09TestSupport.h"

#include <cstring>
#include <gtest/gtest.h>

using namespace dc09test;

namespace {

// 2025-01-01 12:00:00 UTC.
constexpr std::time_t kNow = 1735732800;

class CodecTest : public ::testing::Test {
protected:
    void SetUp() override { useUtc(); }
};

TEST_F(CodecTest, CrcCheckValue)
{
    const char* text = "123456789";
    EXPECT_EQ(DC9_CRC16(reinterpret_cast<const std::uint8_t*>(text), 9), 0xBB3D);
    EXPECT_EQ(DC9_CRC16(nullptr, 0), 0);
}

struct WorkedFrame {
    const char* crcLength;
    const char* body;
    Parse_Result result;
    const char* event;
    const char* response;
};

TEST_F(CodecTest, WorkedFramesGiveTheirResponsesByteForByte)
{
    const WorkedFrame cases[] = {
        {"E25E0015", "\"NULL\"0001R1L1#1234[]", Parse_Result::Accepted_Plain, "NULL",
         "\nD2770014\"ACK\"0001R1L1#1234[]\r"},
        {"E4FA0029", "\"ADM-CID\"0002R1L1#1234[#1234|1130 01 015]", Parse_Result::Accepted_Plain, "1130",
         "\nD6730014\"ACK\"0002R1L1#1234[]\r"},
        {"15000011", "\"NULL\"0003#5678[]", Parse_Result::Accepted_Plain, "NULL",
         "\nA6510012\"ACK\"0003L0#5678[]\r"},
        {nullptr, "\"SIA-DCS\"0004R1L1#1234[#1234|NRR]", Parse_Result::Rejected, "",
         "\n80B6000E\"DUH\"0000L0#[]\r"},
    };
    const Config_Record config = configWith(0);
    for (const auto& c : cases) {
        const std::string frame = frameOf(c.body);
        if (c.crcLength != nullptr) {
            ASSERT_EQ(frame.substr(1, 8), c.crcLength) << c.body;
        }
        const Parsed p = parse(frame, config);
        EXPECT_EQ(p.result, c.result) << c.body;
        EXPECT_STREQ(p.message.event, c.event) << c.body;
        EXPECT_EQ(answer(frame, config, kNow), c.response) << c.body;
    }
}

TEST_F(CodecTest, ContactIdFieldsAreSplit)
{
    const Parsed p = parse(
        frameOf("\"ADM-CID\"0002R1AL2B#1234[#1234|1130 01 015][Q3][B2]_11:59:50,01-01-2025"), configWith(0));
    ASSERT_EQ(p.result, Parse_Result::Accepted_Plain);
    EXPECT_EQ(p.message.sequence, 2);
    EXPECT_STREQ(p.message.receiver, "1A");
    EXPECT_STREQ(p.message.line, "2B");
    EXPECT_STREQ(p.message.account, "1234");
    EXPECT_STREQ(p.message.event, "1130");
    EXPECT_STREQ(p.message.partition, "01");
    EXPECT_STREQ(p.message.zone, "015");
    EXPECT_STREQ(p.message.extended, "[Q3][B2]");
    EXPECT_EQ(p.message.message_time, kNow - 10);
    EXPECT_STREQ(p.message.token, "ADM-CID");
    EXPECT_STREQ(p.message.content, "[#1234|1130 01 015][Q3][B2]_11:59:50,01-01-2025");
    EXPECT_FALSE(p.message.encrypted);
}

struct RuleCase {
    const char* name;
    std::string frame;
    Parse_Result result;
};

TEST_F(CodecTest, FramingAndDataRules)
{
    const std::string good = frameOf("\"ADM-CID\"0002R1L1#1234[#1234|1130 01 015]");
    std::string lowerCrc = frameOf("\"NULL\"0001R1L1#12[]");
    for (auto& c : lowerCrc) {
        c = char(std::tolower(static_cast<unsigned char>(c)));
    }
    std::string lengthShort = good;
    lengthShort.replace(5, 4, hex4(0x28));
    std::string lengthLong = good;
    lengthLong.replace(5, 4, hex4(0x2A));
    const RuleCase cases[] = {
        {"no LF", good.substr(1), Parse_Result::Not_Recognised},
        {"lowercase CRC", lowerCrc, Parse_Result::Not_Recognised},
        {"length one short", lengthShort, Parse_Result::Not_Recognised},
        {"length one long", lengthLong + "\r", Parse_Result::Not_Recognised},
        {"CR of an earlier frame first", "\r" + good, Parse_Result::Accepted_Plain},
        {"junk before LF", "xx\"\r" + good, Parse_Result::Accepted_Plain},
        {"two frames in one block", good + frameOf("\"SIA-DCS\"0001L0#1[]"), Parse_Result::Accepted_Plain},
        {"token without [", frameOf("\"NULL\"0001R1L1#1234"), Parse_Result::Not_Recognised},
        {"sequence not decimal", frameOf("\"NULL\"00A1R1L1#1234[]"), Parse_Result::Rejected},
        {"sequence cut short", frameOf("\"NULL\"001"), Parse_Result::Rejected},
        {"data account differs", frameOf("\"ADM-CID\"0002#1234[#1235|1130 01 015]"), Parse_Result::Rejected},
        {"data account shorter", frameOf("\"ADM-CID\"0002#1234[#123|1130 01 015]"), Parse_Result::Rejected},
        {"data account longer", frameOf("\"ADM-CID\"0002#1234[#12345|1130 01 015]"),
         Parse_Result::Accepted_Plain},
        {"no header account", frameOf("\"ADM-CID\"0002[#99|1130 01 015]"), Parse_Result::Accepted_Plain},
        {"data without #", frameOf("\"ADM-CID\"0002#1234[1234|1130 01 015]"), Parse_Result::Accepted_Plain},
        {"no event part", frameOf("\"ADM-CID\"0002#1234[#1234]"), Parse_Result::Accepted_Plain},
        {"event not hex", frameOf("\"ADM-CID\"0002#1234[#1234|11x0 01 015]"), Parse_Result::Rejected},
        {"event lowercase", frameOf("\"ADM-CID\"0002#1234[#1234|113a 01 015]"), Parse_Result::Rejected},
        {"space misplaced", frameOf("\"ADM-CID\"0002#1234[#1234|1130 010015]"), Parse_Result::Rejected},
        {"] misplaced", frameOf("\"ADM-CID\"0002#1234[#1234|1130 01 0155]"), Parse_Result::Rejected},
        {"event part cut", frameOf("\"ADM-CID\"0002#1234[#1234|1130 01"), Parse_Result::Rejected},
        {"encrypted while off", frameOf("\"*NULL\"0001R1L1#1234[00112233445566778899AABBCCDDEEFF"),
         Parse_Result::Rejected},
        {"non-hex account", frameOf("\"ADM-CID\"0019R0L0#XTRM189[#XTRM189|1401 01 141]"),
         Parse_Result::Rejected},
        {"empty account", frameOf("\"NULL\"0001R1L1#[]"), Parse_Result::Rejected},
    };
    const Config_Record config = configWith(0);
    for (const auto& c : cases) {
        EXPECT_EQ(parse(c.frame, config).result, c.result) << c.name;
    }
}

TEST_F(CodecTest, HeaderFieldsStopAtTheirWidthAndTheLastCopyCounts)
{
    const std::string account20 = "0123456789ABCDEF0123";
    const Parsed p =
        parse(frameOf("\"ADM-CID\"0005R1234567L9L89ABCDEF#" + account20 + "[#" + account20 + "|1130 01 015]"),
              configWith(0));
    ASSERT_EQ(p.result, Parse_Result::Accepted_Plain);
    EXPECT_STREQ(p.message.receiver, "123456");
    EXPECT_STREQ(p.message.line, "89ABCD") << "a second L replaces the first";
    EXPECT_STREQ(p.message.account, "0123456789ABCDEF");
}

TEST_F(CodecTest, RejectionsEchoTheHeaderRead)
{
    const Config_Record config = configWith(0);
    EXPECT_EQ(answer(frameOf("\"ADM-CID\"0007R12L3#1234[#1235|1130 01 015]"), config, kNow),
              frameOf("\"DUH\"0007R12L3#1234[]"));
    EXPECT_EQ(answer(frameOf("\"*NULL\"0008L5#77[0011"), config, kNow), frameOf("\"DUH\"0008L5#77[]"));
    // A non-hex account would otherwise leave the account empty and read its "R" as the receiver.
    EXPECT_EQ(answer(frameOf("\"NULL\"0000R0L0#XTRM189[]"), config, kNow), frameOf("\"DUH\"0000L0#[]"));
}

TEST_F(CodecTest, TimeStampRules)
{
    struct Case {
        const char* stamp;
        std::int32_t expected;
    };
    const Case cases[] = {
        {"_12:00:00,01-01-2025", std::int32_t(kNow)},
        {"_23:59:59,12-31-2024", std::int32_t(kNow - 12 * 3600 - 1)},
        {"_24:00:00,12-31-2024", 0},
        {"_12:00:00,13-01-2024", std::int32_t(kNow)}, // month 13 rolls over into the next year
        {"_12:00:00,01-01-20x5", 0},
        {"_12-00:00,01-01-2025", 0},
        {"_12:00:00,01-01-202", 0},
        {"_12:00:00,01-01-2025trailing", std::int32_t(kNow)},
        {"_junk_12:00:00,01-01-2025", std::int32_t(kNow)}, // the scan goes on after a broken stamp
        {"_12:00:00,01-01-9999", 0},                       // does not fit 32-bit time
    };
    for (const auto& c : cases) {
        const Parsed p = parse(frameOf(std::string("\"NULL\"0001R1L1#1234[]") + c.stamp), configWith(0));
        EXPECT_EQ(p.result, Parse_Result::Accepted_Plain) << c.stamp;
        EXPECT_EQ(p.message.message_time, c.expected) << c.stamp;
    }
}

TEST_F(CodecTest, PlainAnswerCarriesAStampOnlyWhenTheMessageDid)
{
    const Config_Record config = configWith(0);
    EXPECT_EQ(answer(frameOf("\"NULL\"0001R1L1#1234[]_23:00:00,12-31-2024"), config, kNow),
              frameOf("\"ACK\"0001R1L1#1234[]_12:00:00,01-01-2025"));
    EXPECT_EQ(answer(frameOf("\"NULL\"0001R1L1#1234[]_24:00:00,12-31-2024"), config, kNow),
              frameOf("\"ACK\"0001R1L1#1234[]"));
}

TEST_F(CodecTest, ExtensionTextIsCutTo63)
{
    const std::string ext = "[" + std::string(80, 'X') + "]";
    const Parsed p = parse(frameOf("\"ADM-CID\"0002#1234[#1234|1130 01 015]" + ext + "_12:00:00,01-01-2025"),
                           configWith(0));
    ASSERT_EQ(p.result, Parse_Result::Accepted_Plain);
    EXPECT_EQ(std::string(p.message.extended), ext.substr(0, 63));
    EXPECT_EQ(p.message.message_time, std::int32_t(kNow)) << "the stamp after the long block is still read";
}

TEST_F(CodecTest, PlainWhileEncryptionIsOnIsRefused)
{
    const std::string frame = frameOf("\"ADM-CID\"0002#1234[#1234|1130 01 015]");
    EXPECT_EQ(parse(frame, configWith(1)).result, Parse_Result::Accepted_Plain);
    EXPECT_EQ(answer(frame, configWith(1), kNow), frameOf("\"DUH\"0002L0#1234[]"));
}

std::string encryptedFrame(const Config_Record& config, bool contactId, std::time_t stamp)
{
    const std::string tail = "]_" + stampOf(stamp);
    return frameOf(
        contactId ? encryptedBody("\"*ADM-CID\"0042R1L1#A128", "PADDING|#A128|1130 01 015" + tail, config)
                  : encryptedBody("\"*NULL\"0043R1L1#A128", "PADPADPAD|" + tail, config));
}

TEST_F(CodecTest, TimeWindowEdges)
{
    const struct {
        int offset;
        Response_Kind expected;
    } cases[] = {
        {-40, Response_Kind::Encrypted_ACK}, {-41, Response_Kind::NAK},
        {20, Response_Kind::Encrypted_ACK},  {21, Response_Kind::NAK},
        {0, Response_Kind::Encrypted_ACK},
    };
    const Config_Record config = configWith(3, true);
    for (const auto& c : cases) {
        const Parsed p = parse(encryptedFrame(config, true, kNow + c.offset), config);
        ASSERT_EQ(p.result, Parse_Result::Accepted_Encrypted) << c.offset;
        EXPECT_EQ(Decide_DC9_Response(p.result, p.message, kNow, config), c.expected) << c.offset;
    }

    const std::string noStamp = frameOf(encryptedBody("\"*NULL\"0043R1L1#A128", "PADPADPAD|]", config));
    const Parsed p = parse(noStamp, config);
    ASSERT_EQ(p.result, Parse_Result::Accepted_Encrypted);
    EXPECT_EQ(Decide_DC9_Response(p.result, p.message, kNow, config), Response_Kind::NAK);
    Config_Record noSynch = config;
    noSynch.Time_Synch = 0;
    EXPECT_EQ(Decide_DC9_Response(p.result, p.message, kNow, noSynch), Response_Kind::Encrypted_ACK);
    EXPECT_EQ(Decide_DC9_Response(p.result, p.message, kNow - 3600, noSynch), Response_Kind::Encrypted_ACK);

    EXPECT_EQ(Build_DC9_Response(Response_Kind::NAK, p.message, kNow, config),
              frameOf("\"NAK\"0000R0L0A0[]_12:00:00,01-01-2025"));
}

// Splits an "*ACK" frame and decrypts its data block with the record's key.
std::string decryptAck(const std::string& frame, const Config_Record& config, std::string& header)
{
    EXPECT_GE(frame.size(), 12u);
    EXPECT_EQ(frame.front(), '\n');
    EXPECT_EQ(frame.back(), '\r');
    const std::string body = frame.substr(9, frame.size() - 10);
    EXPECT_EQ(frame.substr(1, 8), frameOf(body).substr(1, 8)) << "CRC and length of the answer";
    const std::size_t open = body.find('[');
    header = body.substr(0, open);
    auto bytes = fromHex(body.substr(open + 1));
    EXPECT_EQ(body.size() - open - 1, bytes.size() * 2);
    AES_Round_Keys keys;
    EXPECT_TRUE(AES_Expand_Key(config.DC9_AES_Key, bitsOfMode(config.DC9_AES_Mode), keys));
    EXPECT_TRUE(CBC_Decrypt(bytes.data(), bytes.size() / 16, keys));
    return std::string(bytes.begin(), bytes.end());
}

TEST_F(CodecTest, EncryptedMessagesAreAcknowledgedInKindForEveryKeySize)
{
    for (const int mode : {1, 2, 3}) {
        const Config_Record config = configWith(mode, true);
        for (const bool contactId : {true, false}) {
            const std::string frame = encryptedFrame(config, contactId, kNow - 5);
            const Parsed p = parse(frame, config);
            ASSERT_EQ(p.result, Parse_Result::Accepted_Encrypted) << mode << contactId;
            EXPECT_STREQ(p.message.event, contactId ? "1130" : "NULL");
            EXPECT_EQ(p.message.message_time, std::int32_t(kNow - 5));
            if (contactId) {
                EXPECT_STREQ(p.message.zone, "015");
            }
            // The content reads as the plain message's would; the digest follows the cipher text.
            EXPECT_STREQ(p.message.token, contactId ? "*ADM-CID" : "*NULL");
            // (the test's encryption pads the last block with spaces, which the content keeps)
            const std::string content = p.message.content;
            EXPECT_EQ(content.substr(0, content.find_last_not_of(' ') + 1),
                      std::string(contactId ? "[#A128|1130 01 015" : "[") + "]_" + stampOf(kNow - 5));
            EXPECT_TRUE(p.message.encrypted);
            const Parsed again = parse(frame, config);
            EXPECT_EQ(std::memcmp(again.message.cipher_digest, p.message.cipher_digest, 16), 0);
            const Parsed other = parse(encryptedFrame(config, contactId, kNow - 6), config);
            EXPECT_NE(std::memcmp(other.message.cipher_digest, p.message.cipher_digest, 16), 0);

            const Parsed fresh = parse(frame, config);
            const auto kind = Decide_DC9_Response(fresh.result, fresh.message, kNow, config);
            ASSERT_EQ(kind, Response_Kind::Encrypted_ACK);
            const std::string ack = Build_DC9_Response(*kind, fresh.message, kNow, config);
            std::string header;
            const std::string plain = decryptAck(ack, config, header);
            EXPECT_EQ(header, contactId ? "\"*ACK\"0042R1L1#A128" : "\"*ACK\"0043R1L1#A128");
            ASSERT_EQ(plain.size(), 32u);
            for (int i = 0; i < 10; ++i) {
                EXPECT_GE(static_cast<unsigned char>(plain[std::size_t(i)]), 0x10);
                EXPECT_LE(static_cast<unsigned char>(plain[std::size_t(i)]), 0x4F);
            }
            EXPECT_EQ(plain.substr(10), "|]_12:00:00,01-01-2025");

            Config_Record wrongKey = config;
            wrongKey.DC9_AES_Key[0] ^= 0x01;
            EXPECT_EQ(answer(frame, wrongKey, kNow),
                      frameOf(contactId ? "\"DUH\"0042R1L1#A128[]" : "\"DUH\"0043R1L1#A128[]"));
        }
    }
}

TEST_F(CodecTest, EncryptedDataBlockEdges)
{
    const Config_Record config = configWith(1);
    // 33 hex digits: the odd digit is dropped, one whole block is decrypted.
    const std::string oneBlock = encryptedBody("\"*NULL\"0001#12", "ABCDE|]", config);
    EXPECT_EQ(parse(frameOf(oneBlock + "F"), config).result, Parse_Result::Accepted_Encrypted);
    // A trailing part block stays as it is and does not disturb the rest.
    EXPECT_EQ(parse(frameOf(oneBlock + "0102"), config).result, Parse_Result::Accepted_Encrypted);
    // Padding that holds zero bytes is still skipped up to its separator.
    std::string zeroPad("\0\0\0|]_12:00:00,01-01-2025", 25);
    const Parsed z = parse(frameOf(encryptedBody("\"*NULL\"0001#12", zeroPad, config)), config);
    EXPECT_EQ(z.result, Parse_Result::Accepted_Encrypted);
    EXPECT_EQ(z.message.message_time, std::int32_t(kNow));

    const std::pair<const char*, std::string> rejected[] = {
        {"not hex", "\"*NULL\"0001#12[00112233445566778899AABBCCDDEEFG"},
        {"lowercase hex", "\"*NULL\"0001#12[00112233445566778899aabbccddeeff"},
        {"empty block", "\"*NULL\"0001#12["},
        {"no separator", encryptedBody("\"*NULL\"0001#12", "ABCDEFGHIJKLMNOP", config)},
    };
    for (const auto& [name, body] : rejected) {
        EXPECT_EQ(parse(frameOf(body), config).result, Parse_Result::Rejected) << name;
    }
    Config_Record badMode = config;
    badMode.DC9_AES_Mode = 9;
    EXPECT_EQ(parse(frameOf(oneBlock), badMode).result, Parse_Result::Rejected);
    DC9_Message message;
    EXPECT_EQ(Build_DC9_Response(Response_Kind::Encrypted_ACK, message, kNow, badMode), "");
}

// Every frame the tamper and truncation rows start from: plain, with extension and stamp, encrypted.
std::vector<std::string> validFrames()
{
    return {
        frameOf("\"ADM-CID\"0002R1L1#1234[#1234|1130 01 015]"),
        frameOf("\"NULL\"0001R1L1#1234[][QA][B5]_11:59:50,01-01-2025"),
        encryptedFrame(configWith(2), true, kNow),
    };
}

TEST_F(CodecTest, EverySingleByteChangeIsNotRecognised)
{
    const Config_Record config = configWith(2);
    for (const std::string& frame : validFrames()) {
        ASSERT_NE(parse(frame, config).result, Parse_Result::Not_Recognised);
        // The LF and everything after it are covered by the CRC, the length or the framing.
        for (std::size_t i = 0; i < frame.size(); ++i) {
            for (int value = 0; value < 256; ++value) {
                if (char(value) == frame[i]) {
                    continue;
                }
                std::string tampered = frame;
                tampered[i] = char(value);
                ASSERT_EQ(parse(tampered, config).result, Parse_Result::Not_Recognised)
                    << "byte " << i << " set to " << value << " in " << frame;
            }
        }
    }
}

TEST_F(CodecTest, TruncationsAndInnerZeroBytesAreNotRecognised)
{
    const Config_Record config = configWith(2);
    for (const std::string& frame : validFrames()) {
        for (std::size_t n = 0; n < frame.size(); ++n) {
            EXPECT_EQ(parse(frame.substr(0, n), config).result, Parse_Result::Not_Recognised) << n;
            std::string withZero = frame;
            withZero[n] = '\0';
            EXPECT_EQ(parse(withZero, config).result, Parse_Result::Not_Recognised) << n;
        }
        // A zero byte after the CR changes nothing.
        EXPECT_NE(parse(frame + std::string(1, '\0') + "junk", config).result, Parse_Result::Not_Recognised);
    }
}

TEST_F(CodecTest, ParserWritesOnlyInsideTheGivenLength)
{
    const Config_Record config = configWith(1);
    const std::string frame = encryptedFrame(config, true, kNow);
    std::vector<char> buffer(frame.size() + 16, '~');
    std::copy(frame.begin(), frame.end(), buffer.begin());
    DC9_Message message;
    EXPECT_EQ(Parse_DC9_Message(buffer.data(), frame.size(), config, message),
              Parse_Result::Accepted_Encrypted);
    EXPECT_EQ(std::string(buffer.begin() + std::ptrdiff_t(frame.size()), buffer.end()), std::string(16, '~'));
    EXPECT_EQ(Parse_DC9_Message(nullptr, 0, config, message), Parse_Result::Not_Recognised);
}

} // namespace

namespace {

TEST_F(CodecTest, WrongKeyNeverPassesALinkTest)
{
    // A link test has no account or event inside to expose a wrong key; a "|" in the garbage alone
    // must not be taken for the separator.
    const Config_Record right = configWith(1);
    const std::string frame = encryptedFrame(right, false, kNow);
    Config_Record wrong = right;
    int separatorsSeen = 0;
    for (int k = 0; k < 2000; ++k) {
        for (int i = 0; i < 16; ++i) {
            wrong.DC9_AES_Key[i] = std::uint8_t((k * 131 + i * 17 + (k >> 3)) & 0xFF);
        }
        wrong.DC9_AES_Key[0] ^= 0x5A;
        const Parsed p = parse(frame, wrong);
        ASSERT_EQ(p.result, Parse_Result::Rejected) << "key " << k;
        AES_Round_Keys keys;
        ASSERT_TRUE(AES_Expand_Key(wrong.DC9_AES_Key, 128, keys));
        auto bytes = fromHex(frame.substr(frame.find('[') + 1, 64));
        ASSERT_TRUE(CBC_Decrypt(bytes.data(), 2, keys));
        separatorsSeen += std::find(bytes.begin(), bytes.end(), '|') != bytes.end();
    }
    EXPECT_GT(separatorsSeen, 50) << "the rows must include garbage that holds a separator";
}

} // namespace

namespace {

TEST_F(CodecTest, SummerTimeStampsCompareAsLocalWallTime)
{
    // Panels stamp local wall time; the window must not be off by the daylight-saving hour.
    ::setenv("TZ", "Europe/Berlin", 1);
    ::tzset();
    const std::time_t summerNoonUtc = 1751371200; // 14:00 in Berlin, summer time
    const Config_Record config = configWith(1, true);
    const std::string frame =
        frameOf(encryptedBody("\"*NULL\"0043R1L1#A128", "PADPADPAD|]_14:00:10,07-01-2025", config));
    const Parsed p = parse(frame, config);
    const auto kind = Decide_DC9_Response(p.result, p.message, summerNoonUtc, config);
    const std::string nak = Build_DC9_Response(Response_Kind::NAK, p.message, summerNoonUtc, config);
    useUtc();
    ASSERT_EQ(p.result, Parse_Result::Accepted_Encrypted);
    EXPECT_EQ(kind, Response_Kind::Encrypted_ACK);
    EXPECT_EQ(nak, frameOf("\"NAK\"0000R0L0A0[]_14:00:00,07-01-2025"));
}

} // namespace

namespace {

// LF, the CRC as two raw bytes, the length, body, CR: the frame of a binary-CRC panel.
std::string binaryCrcFrame(const std::string& body)
{
    const auto crc = DC9_CRC16(reinterpret_cast<const std::uint8_t*>(body.data()), body.size());
    return std::string("\n") + char(crc >> 8) + char(crc & 0xFF) + hex4(unsigned(body.size())) + body + "\r";
}

TEST_F(CodecTest, BinaryCrcBytesThatLookLikeFramingAreStillTheCrc)
{
    // A raw CRC byte may be a zero, a quote, an LF or a CR; none of them may end or shift the frame.
    Config_Record config = configWith(0);
    config.DC9_Quirk_Binary_CRC = 1;
    for (const int wanted : {0x00, 0x22, 0x0A, 0x0D}) {
        for (const bool high : {true, false}) {
            std::string body;
            for (unsigned n = 0; n < 0x10000 && body.empty(); ++n) {
                char text[64];
                std::snprintf(text, sizeof text, "\"NULL\"%04uR1L1#%04X[]", n % 10000, n);
                const auto crc = DC9_CRC16(reinterpret_cast<const std::uint8_t*>(text), std::strlen(text));
                if ((high ? crc >> 8 : crc & 0xFF) == wanted)
                    body = text;
            }
            ASSERT_FALSE(body.empty()) << wanted;
            const Parsed p = parse(binaryCrcFrame(body), config);
            EXPECT_EQ(p.result, Parse_Result::Accepted_Plain) << wanted << (high ? " high" : " low");
            EXPECT_EQ(std::string(p.message.account), body.substr(body.find('#') + 1, 4));
            EXPECT_EQ(parse(binaryCrcFrame(body), configWith(0)).result, Parse_Result::Not_Recognised);
        }
    }
}

TEST_F(CodecTest, LowercaseCiphertextOnlyWithItsQuirk)
{
    Config_Record config = configWith(1);
    std::string body = encryptedBody("\"*NULL\"0001#12", "ABCDE|]", config);
    for (std::size_t i = body.find('[') + 1; i < body.size(); ++i)
        body[i] = char(std::tolower(static_cast<unsigned char>(body[i])));
    EXPECT_EQ(parse(frameOf(body), config).result, Parse_Result::Rejected);
    config.DC9_Quirk_Lower_Hex = 1;
    EXPECT_EQ(parse(frameOf(body), config).result, Parse_Result::Accepted_Encrypted);
}

TEST_F(CodecTest, UtcSettingMovesTheWindowAndTheAnswerStampsToUtc)
{
    // Local time five hours behind UTC, no daylight saving: every stamp tells the two apart.
    ::setenv("TZ", "EST5", 1);
    ::tzset();
    struct Row {
        bool utc;
        int stampOffsetHours; // the panel's stamp: UTC now plus this
        Response_Kind expected;
        const char* answerStamp;
    };
    const Row rows[] = {
        {true, 0, Response_Kind::Encrypted_ACK, "12:00:00,01-01-2025"},
        {true, -5, Response_Kind::NAK, "12:00:00,01-01-2025"},
        {false, -5, Response_Kind::Encrypted_ACK, "07:00:00,01-01-2025"},
        {false, 0, Response_Kind::NAK, "07:00:00,01-01-2025"},
    };
    for (const Row& row : rows) {
        Config_Record config = configWith(1, true);
        config.DC9_Time_UTC = row.utc ? 1 : 0;
        std::tm tm{};
        const std::time_t stampTime = kNow + row.stampOffsetHours * 3600;
        gmtime_r(&stampTime, &tm);
        char stamp[96];
        std::snprintf(stamp, sizeof stamp, "]_%02d:%02d:%02d,%02d-%02d-%04d", tm.tm_hour, tm.tm_min,
                      tm.tm_sec, tm.tm_mon + 1, tm.tm_mday, tm.tm_year + 1900);
        const Parsed p =
            parse(frameOf(encryptedBody("\"*NULL\"0043R1L1#A128", std::string("PADPADPAD|") + stamp, config)),
                  config);
        ASSERT_EQ(p.result, Parse_Result::Accepted_Encrypted);
        const auto kind = Decide_DC9_Response(p.result, p.message, kNow, config);
        EXPECT_EQ(kind, row.expected) << row.utc << " " << row.stampOffsetHours;
        EXPECT_EQ(Build_DC9_Response(Response_Kind::NAK, p.message, kNow, config),
                  frameOf(std::string("\"NAK\"0000R0L0A0[]_") + row.answerStamp));
        if (kind == Response_Kind::Encrypted_ACK) {
            std::string header;
            const std::string plain =
                decryptAck(Build_DC9_Response(*kind, p.message, kNow, config), config, header);
            EXPECT_EQ(plain.substr(10), std::string("|]_") + row.answerStamp);
        }
    }
    useUtc();
}

} // namespace
