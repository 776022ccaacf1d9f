// The block cipher against the published FIPS-197 examples, the zero-vector chains, and the key field rules.
#include "Dc09TestSupport.h"
#include "dc09/KeyEntry.h"

#include <gtest/gtest.h>

using namespace dc09test;

namespace {

struct FipsVector {
    int bits;
    const char* key;
    const char* plain;
    const char* cipher;
};

const FipsVector kFips[] = {
    // Appendix C.1 to C.3.
    {128, "000102030405060708090A0B0C0D0E0F", "00112233445566778899AABBCCDDEEFF",
     "69C4E0D86A7B0430D8CDB78070B4C55A"},
    {192, "000102030405060708090A0B0C0D0E0F1011121314151617", "00112233445566778899AABBCCDDEEFF",
     "DDA97CA4864CDFE06EAF70A0EC0D7191"},
    {256, "000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F",
     "00112233445566778899AABBCCDDEEFF", "8EA2B7CA516745BFEAFC49904B496089"},
    // Appendix B.
    {128, "2B7E151628AED2A6ABF7158809CF4F3C", "3243F6A8885A308D313198A2E0370734",
     "3925841D02DC09FBDC118597196A0B32"},
};

TEST(Aes, FipsVectorsInBothDirections)
{
    for (const auto& v : kFips) {
        AES_Round_Keys keys;
        ASSERT_TRUE(AES_Expand_Key(fromHex(v.key).data(), v.bits, keys));
        EXPECT_EQ(keys.rounds, v.bits / 32 + 6);
        auto block = fromHex(v.plain);
        ASSERT_TRUE(AES_Encrypt_Block(block.data(), keys, keys.rounds));
        EXPECT_EQ(toHex(block), v.cipher) << v.bits;
        ASSERT_TRUE(AES_Decrypt_Block(block.data(), keys, keys.rounds));
        EXPECT_EQ(toHex(block), v.plain) << v.bits;
    }
}

TEST(Aes, RefusesWhatItCannotDo)
{
    const std::uint8_t key[32] = {};
    AES_Round_Keys keys;
    EXPECT_FALSE(AES_Expand_Key(key, 64, keys));
    EXPECT_FALSE(AES_Expand_Key(nullptr, 128, keys));
    // Blocks are cleared rather than left half-processed when the call cannot be made.
    std::uint8_t block[16];
    std::fill(std::begin(block), std::end(block), 0xAA);
    EXPECT_FALSE(AES_Encrypt_Block(block, keys, 10));
    EXPECT_EQ(toHex(std::vector<std::uint8_t>(block, block + 16)), std::string(32, '0'));
    ASSERT_TRUE(AES_Expand_Key(key, 128, keys));
    EXPECT_FALSE(AES_Decrypt_Block(block, keys, 14)) << "rounds must match the key size";
    std::vector<std::uint8_t> data(32, 0xAA);
    EXPECT_FALSE(CBC_Encrypt(data.data(), 2, AES_Round_Keys{}));
    EXPECT_EQ(data, std::vector<std::uint8_t>(32, 0));
}

TEST(Aes, CbcChainsFromTheZeroVector)
{
    for (const auto& v : kFips) {
        AES_Round_Keys keys;
        ASSERT_TRUE(AES_Expand_Key(fromHex(v.key).data(), v.bits, keys));
        std::vector<std::uint8_t> data(5 * 16);
        for (std::size_t i = 0; i < data.size(); ++i) {
            data[i] = std::uint8_t(i * 13 + 1);
        }
        const auto plain = data;
        ASSERT_TRUE(CBC_Encrypt(data.data(), 5, keys));
        // Block by block: C0 = E(P0), Cj = E(Pj ^ Cj-1).
        std::vector<std::uint8_t> expected = plain;
        for (std::size_t j = 0; j < 5; ++j) {
            for (std::size_t i = 0; j > 0 && i < 16; ++i) {
                expected[j * 16 + i] ^= expected[(j - 1) * 16 + i];
            }
            ASSERT_TRUE(AES_Encrypt_Block(expected.data() + j * 16, keys, keys.rounds));
        }
        EXPECT_EQ(data, expected);
        ASSERT_TRUE(CBC_Decrypt(data.data(), 5, keys));
        EXPECT_EQ(data, plain);
    }
}

TEST(Aes, CbcDecryptsAPanelFrame)
{
    // The data block of an AES-256 link test from the shared test frames, key "0123456789ABCDEF" twice.
    const std::string key = "0123456789ABCDEF0123456789ABCDEF";
    auto data = fromHex("29194D1EE1385B3A04F0FB315E780A21CA59BBEA377B071E5E41D504FAEA3839");
    AES_Round_Keys keys;
    ASSERT_TRUE(AES_Expand_Key(reinterpret_cast<const std::uint8_t*>(key.data()), 256, keys));
    ASSERT_TRUE(CBC_Decrypt(data.data(), 2, keys));
    EXPECT_EQ(std::string(data.begin(), data.end()), "QWERTYUIOP|]_10:00:00,01-01-2025");
    // Long inputs cross the decryptor's internal chunking.
    std::vector<std::uint8_t> big(200 * 16, 0x5C);
    const auto original = big;
    ASSERT_TRUE(CBC_Encrypt(big.data(), 200, keys));
    ASSERT_TRUE(CBC_Decrypt(big.data(), 200, keys));
    EXPECT_EQ(big, original);
}

AesKeyBytes keyOf(const std::string& bytes)
{
    AesKeyBytes key{};
    std::copy(bytes.begin(), bytes.end(), key.begin());
    return key;
}

TEST(KeyEntry, HexEntryTakesBothCasesAndKeepsTheRest)
{
    AesKeyBytes key{};
    key.fill(0x77);
    const KeyEntryResult upper = applyKeyEntry(key, 1, KeyFormat::Hex, "ABc");
    const KeyEntryResult lower = applyKeyEntry(key, 1, KeyFormat::Hex, "abC");
    EXPECT_EQ(upper.key, lower.key);
    EXPECT_EQ(upper.key[0], 0xAB);
    EXPECT_EQ(upper.key[1], 0xC7) << "the low nibble of a half-typed byte keeps its value";
    EXPECT_EQ(upper.key[2], 0x77);
    EXPECT_FALSE(upper.beep);
    EXPECT_FALSE(upper.textCut);
    EXPECT_EQ(applyKeyEntry(key, 1, KeyFormat::Hex, "").key, key) << "an empty text changes nothing";
}

TEST(KeyEntry, HexEntryCutsAtABadCharacterOrPastTheKeyLength)
{
    const struct {
        std::uint8_t mode;
        std::string text;
        std::string kept;
    } cases[] = {
        {1, "12G4", "12"},
        {1, "1 ", "1"},
        {0, std::string(33, 'F'), std::string(32, 'F')},
        {1, std::string(34, '0'), std::string(32, '0')},
        {2, std::string(49, '1'), std::string(48, '1')},
        {3, std::string(64, '2') + "x", std::string(64, '2')},
    };
    for (const auto& c : cases) {
        const KeyEntryResult r = applyKeyEntry(AesKeyBytes{}, c.mode, KeyFormat::Hex, c.text);
        EXPECT_TRUE(r.beep) << c.text;
        EXPECT_TRUE(r.textCut) << c.text;
        EXPECT_EQ(r.text, c.kept);
        EXPECT_EQ(r.key, applyKeyEntry(AesKeyBytes{}, c.mode, KeyFormat::Hex, c.kept).key);
    }
}

TEST(KeyEntry, TextEntryReplacesTheWholeKey)
{
    AesKeyBytes key{};
    key.fill(0x77);
    const KeyEntryResult r = applyKeyEntry(key, 3, KeyFormat::Text, "secret\xE9");
    EXPECT_EQ(r.key, keyOf("secret\xE9"));
    EXPECT_FALSE(r.beep);
    const std::string tooLong(40, 'k');
    EXPECT_EQ(applyKeyEntry(key, 3, KeyFormat::Text, tooLong).key, keyOf(std::string(32, 'k')));
}

TEST(KeyEntry, DisplayAndLength)
{
    const AesKeyBytes six = keyOf("abcdef");
    EXPECT_EQ(keyDisplayText(six, 1, KeyFormat::Text), "abcdef");
    EXPECT_EQ(keyDisplayText(six, 1, KeyFormat::Hex), "616263646566" + std::string(20, '0'));
    AesKeyBytes high{};
    high.fill(0xF0);
    high[0] = 0x80;
    std::string highHex = "80";
    for (int i = 0; i < 15; ++i) {
        highHex += "f0";
    }
    EXPECT_EQ(keyDisplayText(high, 0, KeyFormat::Hex), highHex);
    // AES-256 to AES-128 shows and uses the first 16 bytes; the other 16 are kept.
    AesKeyBytes full{};
    for (std::size_t i = 0; i < full.size(); ++i) {
        full[i] = std::uint8_t('A' + i);
    }
    EXPECT_EQ(keyDisplayText(full, 3, KeyFormat::Text).size(), 32u);
    EXPECT_EQ(keyDisplayText(full, 1, KeyFormat::Text), "ABCDEFGHIJKLMNOP");
    EXPECT_EQ(keyDisplayText(full, 2, KeyFormat::Hex).size(), 48u);
    EXPECT_EQ(keyMaxLength(0, KeyFormat::Hex), 32u);
    EXPECT_EQ(keyMaxLength(2, KeyFormat::Text), 24u);
    EXPECT_EQ(keyMaxLength(3, KeyFormat::Hex), 64u);
}

} // namespace
