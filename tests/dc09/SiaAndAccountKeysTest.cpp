// SIA-DCS messages, the account an event is filed under, and accounts with keys of their own: what
// is accepted, what is stored of it, and which key answers.
#include "Dc09TestSupport.h"

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace dc09test;

namespace {

constexpr std::time_t kNow = 1735732800; // 2025-01-01 12:00:00 UTC

Config_Record siaConfig(int aesMode = 0)
{
    Config_Record config = configWith(aesMode);
    config.DC9_SIA_DCS = 1;
    return config;
}

std::string responseToken(const std::string& response)
{
    const std::size_t close = response.find('"', 10);
    return response.size() > 10 && close != std::string::npos ? response.substr(10, close - 10) : response;
}

TEST(SiaDcs, DataBlocksGiveTheirCodeAreaAndAddressAndExtensionsAsReceived)
{
    useUtc();
    struct Row {
        const char* body;
        Parse_Result result;
        const char* event;
        const char* partition;
        const char* zone;
        const char* account;
        const char* extended;
    };
    const Row rows[] = {
        {"\"SIA-DCS\"0001L0#1234[#1234|Nri1/BA12]", Parse_Result::Accepted_Plain, "BA", "1", "12", "1234",
         ""},
        // A code nobody knows is still an event.
        {"\"SIA-DCS\"0001L0#1234[#1234|Nri1/QQ99]", Parse_Result::Accepted_Plain, "QQ", "1", "99", "1234",
         ""},
        {"\"SIA-DCS\"0000RC0FFDL1234#080027E62A64[#080027E62A64|NHB0003][X115000][V12]_13:53:11,06-22-2015",
         Parse_Result::Accepted_Plain, "HB", "", "003", "080027E62A64", "[X115000][V12]"},
        // Texts may hold "/" and "]"; the area may run straight into the code.
        {"\"SIA-DCS\"0001L0#7878[#7878|Nri01^TO/TAL]^/LX901^centrale^][Q80]", Parse_Result::Accepted_Plain,
         "LX", "01", "901", "7878", "[Q80]"},
        {"\"SIA-DCS\"1660L0#000110[#000110|Nri0RP2^SL 18^]", Parse_Result::Accepted_Plain, "RP", "0", "2",
         "000110", ""},
        {"\"SIA-DCS\"0001L0#1234[#1234|Nid5/ti10:20/CL501]", Parse_Result::Accepted_Plain, "CL", "", "501",
         "1234", ""},
        // No code, or an address too long for the zone column: stored without it. A block without
        // the account inside is not one to file.
        {"\"SIA-DCS\"0001L0#1234[]", Parse_Result::Rejected, "", "", "", "1234", ""},
        {"\"SIA-DCS\"0001L0[]", Parse_Result::Accepted_Plain, "", "", "", "", ""},
        {"\"SIA-DCS\"0001L0#1234[#1234|NRR|Atest]", Parse_Result::Accepted_Plain, "RR", "", "", "1234", ""},
        {"\"SIA-DCS\"0001L0#1234[#1234|NBA12345]", Parse_Result::Accepted_Plain, "BA", "", "", "1234", ""},
        // The key rules of Contact ID: the data's account must begin with the header's.
        {"\"SIA-DCS\"0001L0#1234[#12|NBA1]", Parse_Result::Rejected, "", "", "", "1234", ""},
        {"\"SIA-DCS\"0001L0#1234[#1234|Nri1/BA12", Parse_Result::Rejected, "", "", "", "1234", ""},
    };
    for (const Row& row : rows) {
        const Parsed p = parse(frameOf(row.body), siaConfig());
        EXPECT_EQ(p.result, row.result) << row.body;
        EXPECT_STREQ(p.message.event, row.event) << row.body;
        EXPECT_STREQ(p.message.partition, row.partition) << row.body;
        EXPECT_STREQ(p.message.zone, row.zone) << row.body;
        EXPECT_STREQ(p.message.account, row.account) << row.body;
        EXPECT_STREQ(p.message.extended, row.extended) << row.body;
        if (row.result == Parse_Result::Accepted_Plain) {
            EXPECT_STREQ(p.message.token, "SIA-DCS");
            const std::string body = row.body;
            EXPECT_EQ(std::string(p.message.content), body.substr(body.find('[')));
            EXPECT_EQ(responseToken(answer(frameOf(row.body), siaConfig(), kNow)), "ACK") << row.body;
        }
        // Off, the token is as unknown as it always was.
        EXPECT_EQ(answer(frameOf(row.body), configWith(0), kNow), frameOf("\"DUH\"0000L0#[]")) << row.body;
    }
}

TEST(SiaDcs, EncryptedBlocksAreDecryptedAndAcknowledgedInKind)
{
    useUtc();
    const Config_Record config = siaConfig(1);
    const std::string frame = frameOf(encryptedBody(
        "\"*SIA-DCS\"0007R1L1#1234", "\x11\x12|#1234|Nri2/FA7][X1]_12:00:00,01-01-2025", config));
    const Parsed p = parse(frame, config);
    ASSERT_EQ(p.result, Parse_Result::Accepted_Encrypted);
    EXPECT_STREQ(p.message.token, "*SIA-DCS");
    EXPECT_STREQ(p.message.event, "FA");
    EXPECT_STREQ(p.message.zone, "7");
    EXPECT_STREQ(p.message.extended, "[X1]");
    EXPECT_EQ(std::string(p.message.content).substr(0, 40), "[#1234|Nri2/FA7][X1]_12:00:00,01-01-2025");
    EXPECT_EQ(responseToken(answer(frame, config, kNow)), "*ACK");
    Config_Record off = config;
    off.DC9_SIA_DCS = 0;
    EXPECT_EQ(responseToken(answer(frame, off, kNow)), "DUH");
}

TEST(FiledAccount, TheAccountInsideTheDataIsFiledAndTheHeaderIsEchoed)
{
    useUtc();
    const Config_Record plain = configWith(0);
    const Config_Record encrypted = configWith(1);
    struct Row {
        std::string frame;
        const Config_Record* config;
        const char* filed;
        bool fromData;
        const char* answerHeader;
    };
    const Row rows[] = {
        {frameOf("\"ADM-CID\"0001L0#12[#1234|1130 01 015]"), &plain, "1234", true, "\"ACK\"0001L0#12"},
        {frameOf("\"ADM-CID\"0001L0#1234[#1234|1130 01 015]"), &plain, "1234", false, "\"ACK\"0001L0#1234"},
        {frameOf(encryptedBody("\"*ADM-CID\"0002L0#12", "\x12|#1234|1130 01 015]", encrypted)), &encrypted,
         "1234", true, "\"*ACK\"0002L0#12"},
        // No account in the header: the one under the encryption, and for a link test none.
        {frameOf(encryptedBody("\"*ADM-CID\"0003L0", "\x12|#5678|1130 01 015]", encrypted)), &encrypted,
         "5678", true, "\"*ACK\"0003L0#"},
        {frameOf(encryptedBody("\"*NULL\"0004L0", "\x12|]", encrypted)), &encrypted, "", true,
         "\"*ACK\"0004L0#"},
    };
    for (const Row& row : rows) {
        const Parsed p = parse(row.frame, *row.config);
        ASSERT_NE(p.result, Parse_Result::Rejected) << row.frame;
        EXPECT_STREQ(p.message.account, row.filed) << row.frame;
        EXPECT_EQ(p.message.account_from_data, row.fromData) << row.frame;
        const std::string response = answer(row.frame, *row.config, kNow);
        EXPECT_EQ(response.substr(9, response.find('[') - 9), row.answerHeader) << row.frame;
    }
}

// A known key of 16 bytes for account 1234, besides the global key of configWith().
AccountKeys keysFor1234()
{
    AccountKeys keys;
    EXPECT_FALSE(keys.set("1234", "hex", "000102030405060708090A0B0C0D0E0F"));
    return keys;
}

Config_Record withKeyOf(const AccountKeys& keys, const char* account)
{
    Config_Record config = configWith(1);
    const AccountKey* own = keys.find(account);
    std::memset(config.DC9_AES_Key, 0, sizeof config.DC9_AES_Key);
    std::memcpy(config.DC9_AES_Key, own->key.data(), own->key.size());
    config.DC9_AES_Mode = 1;
    return config;
}

TEST(AccountKeysRules, AnAccountWithItsOwnKeyIsHeardOnlyUnderIt)
{
    useUtc();
    const AccountKeys keys = keysFor1234();
    const Config_Record own = withKeyOf(keys, "1234");
    const Config_Record global = configWith(1);
    Config_Record globalOff = configWith(0);
    const std::string cid = "|#1234|1130 01 015]";
    struct Row {
        const char* name;
        std::string frame;
        const Config_Record* settings;
        const char* answer;
    };
    const Row rows[] = {
        {"own key", frameOf(encryptedBody("\"*ADM-CID\"0001L0#1234", "\x11" + cid, own)), &global, "*ACK"},
        {"own key, global encryption off",
         frameOf(encryptedBody("\"*ADM-CID\"0001L0#1234", "\x11" + cid, own)), &globalOff, "*ACK"},
        {"global key for a keyed account",
         frameOf(encryptedBody("\"*ADM-CID\"0001L0#1234", "\x11" + cid, global)), &global, "DUH"},
        {"plaintext of a keyed account", frameOf("\"ADM-CID\"0001L0#1234[#1234|1130 01 015]"), &globalOff,
         "NAK"},
        {"plaintext filed under a keyed account", frameOf("\"ADM-CID\"0001L0#12[#1234|1130 01 015]"),
         &globalOff, "NAK"},
        {"short header under the global key, keyed data account",
         frameOf(encryptedBody("\"*ADM-CID\"0001L0#12", "\x11" + cid, global)), &global, "DUH"},
        {"own key speaking for an account without one",
         frameOf(encryptedBody("\"*ADM-CID\"0001L0#1234", "\x11|#12345|1130 01 015]", own)), &global, "DUH"},
        {"link test under another account's key",
         frameOf(encryptedBody("\"*NULL\"0001L0#5678", "\x11|]", own)), &global, "DUH"},
        {"link test under its own key", frameOf(encryptedBody("\"*NULL\"0001L0#1234", "\x11|]", own)),
         &global, "*ACK"},
        {"no header account under keys per account",
         frameOf(encryptedBody("\"*ADM-CID\"0001L0", "\x11" + cid, own)), &global, "DUH"},
        // Accounts without a key of their own: as before.
        {"other account, global key",
         frameOf(encryptedBody("\"*ADM-CID\"0001L0#5678", "\x11|#5678|1130 01 015]", global)), &global,
         "*ACK"},
        {"other account, plaintext, encryption off", frameOf("\"ADM-CID\"0001L0#5678[#5678|1130 01 015]"),
         &globalOff, "ACK"},
        {"other account, plaintext, encryption on", frameOf("\"ADM-CID\"0001L0#5678[#5678|1130 01 015]"),
         &global, "DUH"},
    };
    for (const Row& row : rows) {
        DC9_Judgement j = Judge_DC9_Frame(row.frame.data(), row.frame.size(), kNow, *row.settings, {}, &keys);
        EXPECT_EQ(responseToken(j.response), row.answer) << row.name;
        EXPECT_EQ(j.accepted(), std::string(row.answer).find("ACK") != std::string::npos) << row.name;
        if (j.kind == Response_Kind::Encrypted_ACK) {
            // Encrypted with the key the message came under: the panel can read it.
            const std::string body = j.response.substr(9, j.response.size() - 10);
            auto bytes = fromHex(body.substr(body.find('[') + 1));
            const Config_Record& with = std::string_view(j.message.header_account) == "1234" ? own : global;
            AES_Round_Keys roundKeys;
            ASSERT_TRUE(AES_Expand_Key(with.DC9_AES_Key, 128, roundKeys));
            ASSERT_TRUE(CBC_Decrypt(bytes.data(), bytes.size() / 16, roundKeys));
            EXPECT_EQ(std::string(bytes.begin() + 10, bytes.end()), "|]_12:00:00,01-01-2025") << row.name;
        }
    }
    // Without keys per account a frame without a header account is heard as before.
    const Row& noHeader = rows[9];
    EXPECT_EQ(responseToken(answer(noHeader.frame, own, kNow)), "*ACK");
}

TEST(AccountKeysEntry, FormatsLengthsAndAccountsAreChecked)
{
    struct Row {
        const char* account;
        const char* format;
        std::string key;
        bool ok;
        int bits;
    };
    const Row rows[] = {
        {"1234", "text", "0123456789abcdef", true, 128},
        {"abcd", "text", std::string(24, 'k'), true, 192},
        {"00FF", "hex", std::string(64, 'f'), true, 256},
        {"12", "hex", "00112233445566778899aabbccddeeff0011223344556677", true, 192},
        {"1234", "text", "short", false, 0},
        {"1234", "hex", std::string(31, 'a'), false, 0},
        {"1234", "hex", std::string(30, 'a') + "xy", false, 0},
        {"1234", "base64", std::string(16, 'a'), false, 0},
        {"12G4", "text", std::string(16, 'a'), false, 0},
        {"", "text", std::string(16, 'a'), false, 0},
        {"12345678901234567", "text", std::string(16, 'a'), false, 0},
    };
    for (const Row& row : rows) {
        AccountKeys keys;
        EXPECT_EQ(!keys.set(row.account, row.format, row.key).has_value(), row.ok) << row.account << row.key;
        const std::optional<std::string> name = normalisedAccount(row.account);
        const AccountKey* entry = name ? keys.find(*name) : nullptr;
        EXPECT_EQ(entry != nullptr, row.ok) << row.account;
        if (entry) {
            EXPECT_EQ(entry->bits(), row.bits);
        }
    }
    const auto split = splitAccountKeyArgument("1234:text:a:b:c:d:e:f:g:h:ij");
    ASSERT_TRUE(split);
    EXPECT_EQ(split->account, "1234");
    EXPECT_EQ(split->format, "text");
    EXPECT_EQ(split->key, "a:b:c:d:e:f:g:h:ij");
    EXPECT_FALSE(splitAccountKeyArgument("1234:text"));
    // The fingerprint tells keys apart and never shows them.
    AccountKeys keys = keysFor1234();
    const std::string print = keyFingerprint(keys.find("1234")->key);
    EXPECT_EQ(print.size(), 8u);
    EXPECT_EQ(print, keyFingerprint(keys.find("1234")->key));
    ASSERT_FALSE(keys.set("1234", "hex", "000102030405060708090A0B0C0D0E0E"));
    EXPECT_NE(print, keyFingerprint(keys.find("1234")->key));
    EXPECT_TRUE(keys.remove("1234"));
    EXPECT_FALSE(keys.remove("1234"));
    EXPECT_TRUE(keys.empty());
}

TEST(AccountKeysFile, SavedPrivateReadBackAndDamagedLinesKeepTheirAccountRefused)
{
    char dirTemplate[] = "/tmp/ardentel-keys-XXXXXX";
    ASSERT_NE(::mkdtemp(dirTemplate), nullptr);
    const std::string dir = dirTemplate;
    const std::string path = dir + "/account_keys.cfg";
    AccountKeys keys;
    AccountKeys loaded;
    EXPECT_EQ(loadAccountKeys(path, loaded).status, AccountKeysFileResult::Status::Missing);

    ASSERT_FALSE(keys.set("1234", "text", "0123456789abcdef"));
    ASSERT_FALSE(keys.set("ab", "hex", std::string(64, '7')));
    const mode_t old = ::umask(0);
    ASSERT_EQ(saveAccountKeys(path, keys), 0);
    ::umask(old);
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    AccountKeysFileResult r = loadAccountKeys(path, loaded);
    EXPECT_EQ(r.status, AccountKeysFileResult::Status::Loaded);
    EXPECT_FALSE(r.tooWide);
    EXPECT_TRUE(r.problems.empty());
    EXPECT_EQ(loaded.toText(), keys.toText());
    EXPECT_EQ(loaded.find("AB")->bits(), 256);

    ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
    EXPECT_TRUE(loadAccountKeys(path, loaded).tooWide);

    std::vector<AccountKeys::Problem> problems;
    const AccountKeys damaged = AccountKeys::fromText(
        "# comment\n\n  1234 00112233445566778899AABBCCDDEEFF  \r\n5678 0011\nnot-an-account 00\n9999\n",
        problems);
    ASSERT_EQ(problems.size(), 3u);
    EXPECT_EQ(problems[0].line, 4);
    EXPECT_EQ(problems[1].line, 5);
    EXPECT_EQ(problems[2].line, 6);
    EXPECT_TRUE(damaged.find("1234")->usable());
    ASSERT_NE(damaged.find("5678"), nullptr);
    EXPECT_FALSE(damaged.find("5678")->usable());
    // An account whose key could not be read is refused, never heard under the global key.
    const std::string plainFrame = frameOf("\"ADM-CID\"0001L0#5678[#5678|1130 01 015]");
    const Config_Record global = configWith(1);
    const std::string encrypted =
        frameOf(encryptedBody("\"*ADM-CID\"0001L0#5678", "\x11|#5678|1130 01 015]", global));
    EXPECT_EQ(
        responseToken(Judge_DC9_Frame(plainFrame.data(), plainFrame.size(), kNow, configWith(0), {}, &damaged)
                          .response),
        "NAK");
    EXPECT_EQ(responseToken(
                  Judge_DC9_Frame(encrypted.data(), encrypted.size(), kNow, global, {}, &damaged).response),
              "DUH");

    // A link where the file should be is not followed.
    const std::string target = dir + "/elsewhere";
    ASSERT_EQ(::unlink(path.c_str()), 0);
    ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0);
    EXPECT_EQ(loadAccountKeys(path, loaded).status, AccountKeysFileResult::Status::Unreadable);
    EXPECT_EQ(saveAccountKeys(path, keys), 0); // replaces the link, writes nothing through it
    EXPECT_NE(::access(target.c_str(), F_OK), 0);
    EXPECT_EQ(loadAccountKeys(path, loaded).status, AccountKeysFileResult::Status::Loaded);
    (void)::unlink(path.c_str());
    (void)::rmdir(dir.c_str());
}

} // namespace
