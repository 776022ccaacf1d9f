// Tests of the settings record: the file image, the start-up load, change detection, saving and the
// command-line field access.
#include "config/ConfigRecord.h"

#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class ConfigFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/ardentel-cfg-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        m_dir = pattern;
        m_path = (m_dir / "kalvor.cfg").string();
    }
    void TearDown() override { fs::remove_all(m_dir); }

    std::vector<unsigned char> fileBytes() const
    {
        std::ifstream in(m_path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    void writeFile(const std::vector<unsigned char>& bytes) const
    {
        std::ofstream out(m_path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    }
    static std::vector<unsigned char> bytesOf(const Config_Record& record)
    {
        const auto* p = reinterpret_cast<const unsigned char*>(&record);
        return {p, p + sizeof record};
    }

    fs::path m_dir;
    std::string m_path;
};

// The defaults written out field by field at their offsets, independent of the struct.
std::vector<unsigned char> expectedDefaultImage()
{
    std::vector<unsigned char> image(256, 0);
    auto put32 = [&](std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) {
            image[at + std::size_t(i)] = static_cast<unsigned char>(v >> (8 * i));
        }
    };
    put32(1, 7777);
    put32(5, 30);
    image[49] = 1;
    put32(50, 9999);
    image[54] = 1;
    std::memcpy(&image[64], "127.0.0.1", 9);
    put32(86, 9600);
    put32(90, 30);
    put32(96, 1602);
    image[111] = 1; // set up with the safeguards: the automation link for this host only
    std::memcpy(&image[196], "127.0.0.1", 9);
    return image;
}

// A new directory takes SIA-DCS and sends long accounts whole; an existing file keeps its zeros there.
std::vector<unsigned char> expectedNewDirectoryImage()
{
    auto image = expectedDefaultImage();
    image[109] = 1; // DC9_SIA_DCS
    image[110] = 1; // Out_Account_Q_Lines
    return image;
}

TEST_F(ConfigFileTest, MissingFileIsCreatedWithTheDefaultImage)
{
    Config_Record record{};
    const ConfigFileResult result = loadConfig(m_path, record);
    EXPECT_TRUE(result.ok());
    const auto expected = expectedNewDirectoryImage();
    EXPECT_EQ(fileBytes(), expected);
    EXPECT_EQ(bytesOf(record), expected);
    EXPECT_FALSE(Check_Settings_Changed(m_path, record));
}

TEST_F(ConfigFileTest, ZeroVersionIsStampedAndNothingElseChanges)
{
    std::vector<unsigned char> image(256);
    for (std::size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<unsigned char>(i * 7 + 3);
    }
    image[96] = image[97] = image[98] = image[99] = 0;
    writeFile(image);

    Config_Record record{};
    ASSERT_TRUE(loadConfig(m_path, record).ok());
    auto expected = image;
    expected[96] = 0x42;
    expected[97] = 0x06;
    EXPECT_EQ(bytesOf(record), expected);
    EXPECT_EQ(fileBytes(), expected);
}

TEST_F(ConfigFileTest, ExistingValuesAreUsedAsStored)
{
    Config_Record stored = defaultConfig();
    stored.DC9_Port = -5; // no range check on load
    stored.reserved_114[1] = 0xAB;
    writeFile(bytesOf(stored));
    Config_Record record{};
    ASSERT_TRUE(loadConfig(m_path, record).ok());
    EXPECT_EQ(bytesOf(record), bytesOf(stored));
}

TEST_F(ConfigFileTest, AnOlderFileWithZeroReservedBytesReadsAsEveryDefault)
{
    writeFile(expectedDefaultImage());
    Config_Record record{};
    ASSERT_TRUE(loadConfig(m_path, record).ok());
    EXPECT_TRUE(repeatsReceivedOnce(record));
    EXPECT_EQ(heartbeatLength(record), 22);
    EXPECT_EQ(serialFraming(record), SerialFraming::Bits8NoParity);
    for (const std::uint8_t off : {record.DC9_UDP_Enable, record.DC9_Quirk_Lower_Hex, record.DC9_Quirk_CRC_CR,
                                   record.DC9_Quirk_Binary_CRC, record.DC9_Time_UTC})
        EXPECT_EQ(off, 0);
    // A byte a damaged file holds where a choice is kept means that choice's default.
    record.Test_Heartbeat_Length = 21;
    record.COM_Framing = 9;
    EXPECT_EQ(heartbeatLength(record), 22);
    EXPECT_EQ(serialFraming(record), SerialFraming::Bits8NoParity);
}

TEST_F(ConfigFileTest, ShortFileFillsTheRestWithZerosAndIsStamped)
{
    std::vector<unsigned char> image(20, 0x11);
    writeFile(image);
    Config_Record record{};
    ASSERT_TRUE(loadConfig(m_path, record).ok());
    std::vector<unsigned char> expected(256, 0);
    std::fill_n(expected.begin(), 20, 0x11);
    expected[96] = 0x42;
    expected[97] = 0x06;
    EXPECT_EQ(bytesOf(record), expected);
    // The stamp writes the whole record, so the file is whole again.
    EXPECT_EQ(fileBytes(), expected);
}

TEST_F(ConfigFileTest, UnopenableFileLeavesTheRecordZero)
{
    fs::create_directory(m_path); // exists, but cannot be opened as a file
    Config_Record record = defaultConfig();
    const ConfigFileResult result = loadConfig(m_path, record);
    EXPECT_EQ(result.error, ConfigFileError::OpenFailed);
    EXPECT_NE(result.osError, 0);
    EXPECT_EQ(bytesOf(record), std::vector<unsigned char>(256, 0));
}

TEST_F(ConfigFileTest, ReadOnlyFileIsStillUsed)
{
    Config_Record stored = defaultConfig();
    stored.DC9_Port_Enable = 1;
    stored.DC9_Port = 7010;
    stored.Cfg_Version = 0;
    writeFile(bytesOf(stored));
    ASSERT_EQ(::chmod(m_path.c_str(), 0444), 0);
    ASSERT_EQ(::chmod(m_dir.c_str(), 0755), 0);
    // The superuser writes through any mode bits: take an ordinary user's view for the load.
    const bool asRoot = ::geteuid() == 0;
    if (asRoot && ::seteuid(65534) != 0) {
        GTEST_SKIP() << "cannot give up the superuser's rights";
    }
    Config_Record record{};
    const ConfigFileResult result = loadConfig(m_path, record);
    if (asRoot) {
        ASSERT_EQ(::seteuid(0), 0);
    }
    EXPECT_EQ(result.error, ConfigFileError::WriteFailed);
    EXPECT_EQ(result.osError, EACCES);
    stored.Cfg_Version = kCfgVersion; // stamped in memory, the file stays as it was
    EXPECT_EQ(bytesOf(record), bytesOf(stored));
    EXPECT_EQ(fileBytes()[96], 0);
}

TEST_F(ConfigFileTest, UncreatableFileStillGivesDefaultsInMemory)
{
    const std::string path = (m_dir / "missing" / "kalvor.cfg").string();
    Config_Record record{};
    const ConfigFileResult result = loadConfig(path, record);
    EXPECT_EQ(result.error, ConfigFileError::CreateFailed);
    EXPECT_EQ(result.osError, ENOENT);
    EXPECT_EQ(bytesOf(record), expectedNewDirectoryImage());
}

TEST_F(ConfigFileTest, ChangeDetectionFollowsTheFile)
{
    Config_Record record{};
    ASSERT_TRUE(loadConfig(m_path, record).ok());
    EXPECT_FALSE(Check_Settings_Changed(m_path, record));

    record.DC9_Port = 7778;
    EXPECT_TRUE(Check_Settings_Changed(m_path, record));
    record.DC9_Port = 7777; // typed back
    EXPECT_FALSE(Check_Settings_Changed(m_path, record));

    record.Metrics_Address[15] = 1; // the last byte counts too
    EXPECT_TRUE(Check_Settings_Changed(m_path, record));
    record.Metrics_Address[15] = 0;

    auto shortImage = bytesOf(record);
    shortImage.pop_back();
    writeFile(shortImage);
    EXPECT_TRUE(Check_Settings_Changed(m_path, record)) << "a truncated file must offer a save";

    fs::remove(m_path);
    EXPECT_TRUE(Check_Settings_Changed(m_path, record));
}

TEST_F(ConfigFileTest, SaveWritesTheRecordInPlace)
{
    Config_Record record{};
    ASSERT_TRUE(loadConfig(m_path, record).ok());
    // Bytes after the record are not ours to drop.
    auto image = bytesOf(record);
    image.push_back(0x5A);
    writeFile(image);

    record.Time_Synch = 1;
    record.DC9_AES_Mode = 3;
    ASSERT_TRUE(Save_Settings(m_path, record).ok());
    auto expected = bytesOf(record);
    expected.push_back(0x5A);
    EXPECT_EQ(fileBytes(), expected);
    EXPECT_FALSE(Check_Settings_Changed(m_path, record));
}

TEST_F(ConfigFileTest, SaveRecreatesADeletedFile)
{
    Config_Record record{};
    ASSERT_TRUE(loadConfig(m_path, record).ok());
    fs::remove(m_path);
    record.Mon_Port = 10001;
    ASSERT_TRUE(Save_Settings(m_path, record).ok());
    EXPECT_EQ(fileBytes(), bytesOf(record));
    EXPECT_FALSE(Check_Settings_Changed(m_path, record));
}

TEST_F(ConfigFileTest, FailedSaveIsReported)
{
    const Config_Record record = defaultConfig();
    const ConfigFileResult missingDir = Save_Settings((m_dir / "gone" / "kalvor.cfg").string(), record);
    EXPECT_EQ(missingDir.error, ConfigFileError::CreateFailed);
    EXPECT_EQ(missingDir.osError, ENOENT);

    fs::create_directory(m_path);
    const ConfigFileResult notAFile = Save_Settings(m_path, record);
    EXPECT_FALSE(notAFile.ok());
    EXPECT_EQ(notAFile.osError, EISDIR);
}

TEST(ConfigRecord, AesKeyLengthPerMode)
{
    EXPECT_EQ(aesKeyLength(0), 16u);
    EXPECT_EQ(aesKeyLength(1), 16u);
    EXPECT_EQ(aesKeyLength(2), 24u);
    EXPECT_EQ(aesKeyLength(3), 32u);
    EXPECT_EQ(aesKeyLength(200), 16u);
}

struct FieldCase {
    const char* name;
    const char* value;
    std::size_t offset;
    std::vector<unsigned char> bytes;
};

TEST(ConfigFields, ValidValuesLandAtTheirOffsets)
{
    const FieldCase cases[] = {
        {"DC9_Port", "7778", 1, {0x62, 0x1E, 0, 0}},
        {"DC9_Port_Enable", "1", 0, {1}},
        {"DC9_Conn_Timeout", "+45", 5, {45, 0, 0, 0}},
        {"DC9_AES_Mode", "3", 9, {3}},
        {"Mon_Port_Open", "2", 48, {2}},
        {"Mon_Server", "0", 49, {0}},
        {"Mon_Port", "10001", 50, {0x11, 0x27, 0, 0}},
        {"Test_Rec_Nr", "99", 54, {99}},
        {"COM_Baud", "115200", 86, {0x00, 0xC2, 0x01, 0}},
        {"Test_Heartbeat_Period", "0", 90, {0, 0, 0, 0}},
        {"Report_Format", "1", 94, {1}},
        {"Time_Synch", "1", 95, {1}},
        {"Out_IP", "10.0.0.5", 64, {'1', '0', '.', '0', '.', '0', '.', '5', 0, 0, 0, 0, 0, 0, 0, 0}},
        {"Out_IP",
         "255.255.255.255",
         64,
         {'2', '5', '5', '.', '2', '5', '5', '.', '2', '5', '5', '.', '2', '5', '5', 0}},
        {"COM_Nr", "COM64", 80, {'C', 'O', 'M', '6', '4', 0}},
        {"COM_Nr", "", 80, {0, 0, 0, 0, 0, 0}},
        {"DC9_AES_Key", "00ff10Ab000000000000000000000001", 16, {0x00, 0xFF, 0x10, 0xAB, 0, 0}},
        {"DC9_Store_Repeats", "1", 10, {1}},
        {"DC9_UDP_Enable", "1", 11, {1}},
        {"DC9_Quirk_Lower_Hex", "1", 12, {1}},
        {"DC9_Quirk_CRC_CR", "1", 13, {1}},
        {"DC9_Quirk_Binary_CRC", "1", 14, {1}},
        {"DC9_Time_UTC", "1", 15, {1, 0x77}}, // the key after it is untouched
        {"Test_Heartbeat_Length", "20", 55, {20}},
        {"Test_Heartbeat_Length", "22", 55, {0}}, // the usual length is the zero of an older file
        {"COM_Framing", "1", 56, {1, 0}},
        {"DC9_Known_Accounts_Only", "1", 108, {1}},
        {"DC9_Bind_Address", "::1", 116, {':', ':', '1', 0}},
        {"Mon_Bind_Address", "192.0.2.1", 156, {'1', '9', '2', '.', '0', '.', '2', '.', '1', 0}},
        {"Mon_Allowed_Addresses",
         "10.0.0.0/8, fd::/8",
         196,
         {'1', '0', '.', '0', '.', '0', '.', '0', '/', '8', ',', ' ', 'f', 'd', ':', ':', '/', '8', 0}},
        {"Mon_Allowed_Addresses", "", 196, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0}}, // any host, as before
        {"DC9_SIA_DCS", "1", 109, {1, 0}},
        {"Out_Account_Q_Lines", "1", 110, {1}},
        {"Metrics_Port", "9100", 112, {0x8C, 0x23}},
        {"Metrics_Address", "::1", 240, {':', ':', '1', 0}},
        {"Metrics_Address",
         "192.168.100.200",
         240,
         {'1', '9', '2', '.', '1', '6', '8', '.', '1', '0', '0', '.', '2', '0', '0', 0}},
        {"DC9_Max_Per_Address", "300", 102, {0x2C, 0x01}},
        {"DC9_Max_Frame_Length", "64", 104, {64, 0}},
        {"Log_File_Max_MiB", "4096", 106, {0x00, 0x10}},
    };
    for (const auto& c : cases) {
        Config_Record record = defaultConfig();
        std::memset(record.COM_Nr, 'x', sizeof record.COM_Nr);
        std::memset(record.DC9_AES_Key, 0x77, sizeof record.DC9_AES_Key);
        const auto error = setConfigField(record, c.name, c.value);
        ASSERT_FALSE(error) << c.name << "=" << c.value << ": " << error->message;
        const auto* p = reinterpret_cast<const unsigned char*>(&record) + c.offset;
        EXPECT_EQ(std::vector<unsigned char>(p, p + c.bytes.size()), c.bytes) << c.name << "=" << c.value;
    }
}

TEST(ConfigFields, BadNamesAndValuesAreRefusedAndChangeNothing)
{
    const std::string tooLongKey(66, 'a');
    const std::pair<const char*, const char*> cases[] = {
        {"DC9_Port", ""},
        {"DC9_Port", "77x"},
        {"DC9_Port", "65536"},
        {"DC9_Port", "-1"},
        {"DC9_AES_Mode", "4"},
        {"Time_Synch", "2"},
        {"Out_IP", "10.0.0"},
        {"Out_IP", "localhost"},
        {"Out_IP", "1.2.3.4 "},
        {"COM_Nr", "COM0"},
        {"COM_Nr", "COM65"},
        {"COM_Nr", "COM05"},
        {"COM_Nr", "ttyS0"},
        {"DC9_AES_Key", "abc"},
        {"DC9_AES_Key", "zz"},
        {"DC9_AES_Key", tooLongKey.c_str()},
        {"dc9_port", "7777"},
        {"Cfg_Version", "1602"},
        {"Nonsense", "1"},
        {"Test_Heartbeat_Length", "21"},
        {"COM_Framing", "2"},
        {"DC9_Quirk_Lower_Hex", "2"},
        {"DC9_Known_Accounts_Only", "2"},
        {"Mon_Allowed_Addresses", "10.0.0.0/33"},
        {"Mon_Allowed_Addresses", "127.0.0.1,,10.0.0.1"},
        {"Mon_Allowed_Addresses", "automation.example"},
        {"Mon_Allowed_Addresses", "10.0.0.1,10.0.0.2,10.0.0.3,10.0.0.4,10.0.0.5"}, // 44 characters
        {"DC9_Bind_Address", "10.0.0.0/8"},
        {"Mon_Bind_Address", "localhost"},
        {"DC9_SIA_DCS", "2"},
        {"Metrics_Port", "65536"},
        {"Metrics_Address", "localhost"},
        {"Metrics_Address", "fe80::1234:5678:9abc"},
        {"DC9_Max_Frame_Length", "63"},
        {"DC9_Max_Per_Address", "2049"},
        {"COM_Baud", "12345"},
        {"Test_Rec_Nr", "100"},
        {"DC9_AES_Key", "00112233"},
        {"Log_File_Max_MiB", "4097"},
    };
    for (const auto& [name, value] : cases) {
        Config_Record record = defaultConfig();
        const auto error = setConfigField(record, name, value);
        ASSERT_TRUE(error) << name << "=" << value;
        EXPECT_NE(error->message.find(name), std::string::npos) << error->message;
        const Config_Record untouched = defaultConfig();
        EXPECT_EQ(std::memcmp(&record, &untouched, sizeof record), 0) << name << "=" << value;
    }
}

TEST(ConfigFields, DescribeRoundTripsThroughSet)
{
    Config_Record record = defaultConfig();
    ASSERT_FALSE(setConfigField(record, "DC9_AES_Key", std::string(64, 'A')));
    ASSERT_FALSE(setConfigField(record, "COM_Nr", "COM3"));
    ASSERT_FALSE(setConfigField(record, "Test_Rec_Nr", "42"));
    for (const char* flag :
         {"DC9_Store_Repeats", "DC9_UDP_Enable", "DC9_Quirk_Lower_Hex", "DC9_Quirk_CRC_CR",
          "DC9_Quirk_Binary_CRC", "DC9_Time_UTC", "COM_Framing", "DC9_SIA_DCS", "Out_Account_Q_Lines"})
        ASSERT_FALSE(setConfigField(record, flag, "1")) << flag;
    ASSERT_FALSE(setConfigField(record, "Test_Heartbeat_Length", "20"));
    ASSERT_FALSE(setConfigField(record, "Mon_Allowed_Addresses", "192.0.2.0/24,2001:db8::7"));
    ASSERT_FALSE(setConfigField(record, "DC9_Bind_Address", "0.0.0.0"));
    ASSERT_FALSE(setConfigField(record, "Metrics_Port", "9100"));
    ASSERT_FALSE(setConfigField(record, "Metrics_Address", "10.1.2.3"));
    Config_Record copy{};
    copy.Setup_Flags = record.Setup_Flags; // the receiver's own mark, not a setting
    for (const auto& [name, value] : describeConfig(record, true)) {
        if (name == "Cfg_Version") {
            EXPECT_EQ(value, "1602");
            continue;
        }
        const auto error = setConfigField(copy, name, value);
        EXPECT_FALSE(error) << name << "=" << value << ": " << error->message;
    }
    copy.Cfg_Version = record.Cfg_Version;
    EXPECT_EQ(std::memcmp(&record, &copy, sizeof record), 0);
}

// A new installation turns on the time window with encryption; an older file keeps its choice.
TEST(ConfigFields, EncryptionTurnedOnBringsTheTimeWindowWhereSetUpSo)
{
    struct Row {
        std::uint8_t setupFlags;
        std::uint8_t modeBefore;
        const char* mode;
        std::uint8_t timeSynch;
    };
    const Row rows[] = {{kSetupSafeguards, 0, "1", 1},
                        {kSetupSafeguards, 0, "0", 0},
                        {kSetupSafeguards, 1, "3", 0}, // on already: the operator's own choice stays
                        {0, 0, "2", 0}};
    for (const Row& row : rows) {
        Config_Record record = defaultConfig();
        record.Setup_Flags = row.setupFlags;
        record.DC9_AES_Mode = row.modeBefore;
        ASSERT_FALSE(setConfigField(record, "DC9_AES_Mode", row.mode));
        EXPECT_EQ(record.Time_Synch, row.timeSynch) << int(row.setupFlags) << " " << row.mode;
    }
}

TEST(ConfigFields, TheKeyIsShownOnlyWhenAskedFor)
{
    struct Row {
        std::uint8_t mode;
        std::size_t lastByte; // 0: no key
        const char* shown;
    };
    const Row rows[] = {{1, 5, "(set, 128 bits)"},  {2, 1, "(set, 192 bits)"}, {3, 32, "(set, 256 bits)"},
                        {0, 20, "(set, 192 bits)"}, {0, 0, "(not set)"},       {9, 30, "(set, 256 bits)"}};
    for (const Row& row : rows) {
        Config_Record record = defaultConfig();
        record.DC9_AES_Mode = row.mode;
        if (row.lastByte > 0)
            record.DC9_AES_Key[row.lastByte - 1] = 0xA5;
        for (const bool secrets : {false, true}) {
            std::string key;
            for (const auto& [name, value] : describeConfig(record, secrets))
                if (name == "DC9_AES_Key")
                    key = value;
            if (secrets)
                EXPECT_EQ(key.size(), 64u);
            else
                EXPECT_EQ(key, row.shown) << int(row.mode) << " " << row.lastByte;
        }
    }
}

TEST(ConfigFields, DamagedTextFieldsAreShownBounded)
{
    Config_Record record = defaultConfig();
    std::memset(record.Out_IP, '9', sizeof record.Out_IP); // no terminating zero
    std::memset(record.COM_Nr, '\x01', sizeof record.COM_Nr);
    std::string ip;
    std::string com;
    for (const auto& [name, value] : describeConfig(record)) {
        if (name == "Out_IP") {
            ip = value;
        } else if (name == "COM_Nr") {
            com = value;
        }
    }
    EXPECT_EQ(ip, std::string(16, '9'));
    EXPECT_EQ(com, "\\x01\\x01\\x01\\x01\\x01\\x01");
}

} // namespace
