// The 256-byte settings record: identical in memory and in kalvor.cfg, read by every subsystem.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

static_assert(std::endian::native == std::endian::little, "the record files are little-endian images");

#pragma pack(push, 1)
struct Config_Record {
    std::uint8_t DC9_Port_Enable;
    std::int32_t DC9_Port;
    std::int32_t DC9_Conn_Timeout;
    std::uint8_t DC9_AES_Mode;
    // Settings added after the first layout, in bytes that older files hold as zero: a zero byte is
    // the default, so such a file behaves as it always did.
    std::uint8_t DC9_Store_Repeats;    // 0: a repeat within 60 s is answered but stored once; else every copy
    std::uint8_t DC9_UDP_Enable;       // 0: TCP only; else the receiver port is also bound for UDP
    std::uint8_t DC9_Quirk_Lower_Hex;  // lowercase hex digits in the CRC, length and ciphertext
    std::uint8_t DC9_Quirk_CRC_CR;     // a decimal length and the CRC over the body and its CR
    std::uint8_t DC9_Quirk_Binary_CRC; // the CRC as two raw bytes
    std::uint8_t DC9_Time_UTC;         // time window and answer stamps in UTC instead of local time
    std::uint8_t DC9_AES_Key[32];
    std::int8_t Mon_Port_Open;
    std::int8_t Mon_Server;
    std::int32_t Mon_Port;
    std::int8_t Test_Rec_Nr;
    std::uint8_t Test_Heartbeat_Length; // 0: 22 characters; 20: the 20-character form
    std::uint8_t COM_Framing;           // 0: 8N1; 1: 7E1
    std::uint8_t reserved_57[7];
    char Out_IP[16];
    char COM_Nr[6];
    std::int32_t COM_Baud;
    std::int32_t Test_Heartbeat_Period;
    std::int8_t Report_Format;
    std::uint8_t Time_Synch;
    std::int32_t Cfg_Version;
    // Later settings again, each zero in an older file and zero meaning its default.
    std::uint16_t Log_Keep_Days;          // days the event log keeps its rows; 0: 90
    std::uint16_t DC9_Max_Per_Address;    // connections one address may hold; 0: no limit
    std::uint16_t DC9_Max_Frame_Length;   // bytes of the longest frame taken; 0: 4096
    std::uint16_t Log_File_Max_MiB;       // size at which the monthly log file rotates; 0: 64 MiB
    std::uint8_t DC9_Known_Accounts_Only; // 0: any account; 1: only accounts in the Object List
    std::uint8_t DC9_SIA_DCS;             // 0: SIA-DCS answered DUH; 1: accepted
    std::uint8_t Out_Account_Q_Lines;     // 0: accounts cut to 4 characters; 1: Q lines for 5 to 10
    std::uint8_t Setup_Flags;             // safeguards a data directory was set up with
    std::uint16_t Metrics_Port;           // 0: no metrics endpoint
    std::uint8_t reserved_114[2];
    char DC9_Bind_Address[40];      // empty: every address, IPv4 and IPv6
    char Mon_Bind_Address[40];      // empty: every address, IPv4 and IPv6
    char Mon_Allowed_Addresses[44]; // comma-separated addresses or CIDR ranges; empty: any
    char Metrics_Address[16];       // empty: 127.0.0.1
};
#pragma pack(pop)

static_assert(sizeof(Config_Record) == 256);
static_assert(offsetof(Config_Record, DC9_Port_Enable) == 0);
static_assert(offsetof(Config_Record, DC9_Port) == 1);
static_assert(offsetof(Config_Record, DC9_Conn_Timeout) == 5);
static_assert(offsetof(Config_Record, DC9_AES_Mode) == 9);
static_assert(offsetof(Config_Record, DC9_Store_Repeats) == 10);
static_assert(offsetof(Config_Record, DC9_UDP_Enable) == 11);
static_assert(offsetof(Config_Record, DC9_Quirk_Lower_Hex) == 12);
static_assert(offsetof(Config_Record, DC9_Quirk_CRC_CR) == 13);
static_assert(offsetof(Config_Record, DC9_Quirk_Binary_CRC) == 14);
static_assert(offsetof(Config_Record, DC9_Time_UTC) == 15);
static_assert(offsetof(Config_Record, DC9_AES_Key) == 16);
static_assert(offsetof(Config_Record, Mon_Port_Open) == 48);
static_assert(offsetof(Config_Record, Mon_Server) == 49);
static_assert(offsetof(Config_Record, Mon_Port) == 50);
static_assert(offsetof(Config_Record, Test_Rec_Nr) == 54);
static_assert(offsetof(Config_Record, Test_Heartbeat_Length) == 55);
static_assert(offsetof(Config_Record, COM_Framing) == 56);
static_assert(offsetof(Config_Record, reserved_57) == 57);
static_assert(offsetof(Config_Record, Out_IP) == 64);
static_assert(offsetof(Config_Record, COM_Nr) == 80);
static_assert(offsetof(Config_Record, COM_Baud) == 86);
static_assert(offsetof(Config_Record, Test_Heartbeat_Period) == 90);
static_assert(offsetof(Config_Record, Report_Format) == 94);
static_assert(offsetof(Config_Record, Time_Synch) == 95);
static_assert(offsetof(Config_Record, Cfg_Version) == 96);
static_assert(offsetof(Config_Record, Log_Keep_Days) == 100);
static_assert(offsetof(Config_Record, DC9_Max_Per_Address) == 102);
static_assert(offsetof(Config_Record, DC9_Max_Frame_Length) == 104);
static_assert(offsetof(Config_Record, Log_File_Max_MiB) == 106);
static_assert(offsetof(Config_Record, DC9_Known_Accounts_Only) == 108);
static_assert(offsetof(Config_Record, DC9_SIA_DCS) == 109);
static_assert(offsetof(Config_Record, Out_Account_Q_Lines) == 110);
static_assert(offsetof(Config_Record, Setup_Flags) == 111);
static_assert(offsetof(Config_Record, Metrics_Port) == 112);
static_assert(offsetof(Config_Record, DC9_Bind_Address) == 116);
static_assert(offsetof(Config_Record, Mon_Bind_Address) == 156);
static_assert(offsetof(Config_Record, Mon_Allowed_Addresses) == 196);
static_assert(offsetof(Config_Record, Metrics_Address) == 240);

inline constexpr std::int32_t kCfgVersion = 1602;
inline constexpr std::size_t kConfigFileSize = sizeof(Config_Record);

// The record of the first layout's defaults, with every later setting at zero: what an existing
// kalvor.cfg behaves as.
[[nodiscard]] Config_Record defaultConfig();
// The record a new data directory's first start writes: the defaults, with the later settings that
// would change what existing panels or automation software see turned on (SIA-DCS taken, long
// accounts whole on Q lines).
[[nodiscard]] Config_Record newDirectoryConfig();

// What the later settings mean. A flag is on when its byte is not zero; a choice whose byte holds
// a value it does not know (a damaged file) keeps the behaviour of an older file.
[[nodiscard]] inline bool repeatsReceivedOnce(const Config_Record& c)
{
    return c.DC9_Store_Repeats == 0;
}
inline constexpr int kHeartbeatLength = 22;      // "1" + receiver + "000" + 11 spaces + "@" + 4 spaces
inline constexpr int kShortHeartbeatLength = 20; // "1" + receiver + line "1" + 11 spaces + "@" + 4 spaces
[[nodiscard]] inline int heartbeatLength(const Config_Record& c)
{
    return c.Test_Heartbeat_Length == kShortHeartbeatLength ? kShortHeartbeatLength : kHeartbeatLength;
}
// The receiver number as the heartbeat sends it: the byte unsigned, so an older file's 200 is no -56.
[[nodiscard]] inline int receiverNumber(const Config_Record& c)
{
    return static_cast<std::uint8_t>(c.Test_Rec_Nr);
}
// Setup_Flags: kalvor.cfg was made new by a receiver that turns its safeguards on itself. A file from
// before holds 0, and keeps its behaviour wherever a safeguard would refuse panels that work today.
inline constexpr std::uint8_t kSetupSafeguards = 0x01;
[[nodiscard]] inline bool setUpWithSafeguards(const Config_Record& c)
{
    return (c.Setup_Flags & kSetupSafeguards) != 0;
}
[[nodiscard]] inline bool knownAccountsOnly(const Config_Record& c)
{
    return c.DC9_Known_Accounts_Only == 1;
}
// DC9_AES_Mode = mode. Turning encryption on where the safeguards were set up also turns on Time_Synch:
// without the time window a replay older than the repeat memory passes as a new alarm.
void setEncryptionMode(Config_Record& c, std::uint8_t mode);
// Whether the key field holds anything, and how --show-config shows it: "(set, 128 bits)", "(not set)".
[[nodiscard]] bool keySet(const Config_Record& c);
[[nodiscard]] std::string keySummary(const Config_Record& c);
enum class SerialFraming { Bits8NoParity, Bits7EvenParity };
[[nodiscard]] inline SerialFraming serialFraming(const Config_Record& c)
{
    return c.COM_Framing == 1 ? SerialFraming::Bits7EvenParity : SerialFraming::Bits8NoParity;
}

// Key length in bytes for DC9_AES_Mode: 16, 24 or 32 (16 when encryption is off or the mode is unknown).
[[nodiscard]] std::size_t aesKeyLength(std::uint8_t aesMode);

enum class ConfigFileError { None, OpenFailed, ReadFailed, WriteFailed, CreateFailed };

struct ConfigFileResult {
    ConfigFileError error = ConfigFileError::None;
    int osError = 0; // errno of the failed call
    [[nodiscard]] bool ok() const { return error == ConfigFileError::None; }
};

// kalvor.cfg holds the key: it is made readable by its owner alone.
inline constexpr unsigned kConfigFileMode = 0600;

// Start-up load: creates the file with the defaults when missing, fixes a zero Cfg_Version. A link in
// the file's place is not followed (OpenFailed with ELOOP), so nothing is read or written through it.
// Failures are silent by design (the record then holds defaults or zeros); the result says what happened.
// A file that can be read but not written is still used; the result then reports the refused write access.
ConfigFileResult loadConfig(const std::string& path, Config_Record& record);

// The whole record as the file holds it now; none when it cannot be read whole.
[[nodiscard]] std::optional<Config_Record> readSavedConfig(const std::string& path);

// True when the record differs from what the file holds now (an unreadable file counts as different).
[[nodiscard]] bool Check_Settings_Changed(const std::string& path, const Config_Record& record);

// Writes the whole record at offset 0; creates the file when it has disappeared.
[[nodiscard]] ConfigFileResult Save_Settings(const std::string& path, const Config_Record& record);

// Field access by name, for the command line (--set NAME=VALUE, --show-config).
struct ConfigFieldError {
    std::string message;
};
[[nodiscard]] std::optional<ConfigFieldError> setConfigField(Config_Record& record, std::string_view name,
                                                             std::string_view value);
// After the --set of one run, with the key among them (`keyBytes` of it given, 0 for none): with
// encryption on, the key must be as long as its mode needs, never shorter (it would run padded with
// zeros) and never longer than zeros beyond.
[[nodiscard]] std::optional<ConfigFieldError> checkKeyForMode(const Config_Record& record,
                                                              std::size_t keyBytes);
// The key shows as keySummary() unless `showSecrets`.
[[nodiscard]] std::vector<std::pair<std::string, std::string>> describeConfig(const Config_Record& record,
                                                                              bool showSecrets = false);

// The settings that differ between two records, as describeConfig() shows them: a changed key is
// found by its bytes and named by its summary only.
struct SettingChange {
    std::string name;
    std::string before;
    std::string after;
};
[[nodiscard]] std::vector<SettingChange> describeChanges(const Config_Record& before,
                                                         const Config_Record& after);
// "DC9_Port_Enable 0 -> 1, DC9_Port 7777 -> 7778", for a log line.
[[nodiscard]] std::string changeList(const std::vector<SettingChange>& changes);
