// The settings record: defaults, the start-up load, change detection, saving, and access to single
// fields by name for the command line.
#include "config/ConfigRecord.h"

#include "config/AddressList.h"
#include "config/HexDigit.h"
#include "config/SettingRanges.h"

#include <arpa/inet.h>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

// Closes the descriptor on every path out of a function.
class FileHandle {
public:
    explicit FileHandle(int fd) : m_fd(fd) {}
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    ~FileHandle()
    {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    [[nodiscard]] int get() const { return m_fd; }
    [[nodiscard]] bool valid() const { return m_fd >= 0; }
    // Closes now so that a failing close (a late write error on some file systems) can be reported.
    [[nodiscard]] int closeNow()
    {
        const int rc = ::close(m_fd);
        m_fd = -1;
        return rc;
    }

private:
    int m_fd;
};

ConfigFileResult failure(ConfigFileError error, int osError)
{
    return ConfigFileResult{error, osError};
}

// Reads up to `size` bytes from offset 0; returns the count read or -1 with errno set.
ssize_t readUpTo(int fd, void* buffer, std::size_t size)
{
    auto* out = static_cast<unsigned char*>(buffer);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pread(fd, out + done, size - done, off_t(done));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        if (n == 0) {
            break;
        }
        done += std::size_t(n);
    }
    return ssize_t(done);
}

// Writes the whole record at offset 0; false with errno set when it could not be written completely.
bool writeRecord(int fd, const Config_Record& record)
{
    const auto* in = reinterpret_cast<const unsigned char*>(&record);
    std::size_t done = 0;
    while (done < sizeof record) {
        const ssize_t n = ::pwrite(fd, in + done, sizeof record - done, off_t(done));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (n == 0) {
            errno = EIO;
            return false;
        }
        done += std::size_t(n);
    }
    return true;
}

// The record goes into a file only its owner reads, whatever mode an older version made it with.
void keepPrivate(int fd)
{
    struct stat st {};
    if (::fstat(fd, &st) == 0 && (st.st_mode & 07777 & ~kConfigFileMode) != 0)
        (void)::fchmod(fd, kConfigFileMode);
}

ConfigFileResult writeAndClose(FileHandle& file, const Config_Record& record, ConfigFileError writeError)
{
    if (!writeRecord(file.get(), record)) {
        return failure(writeError, errno);
    }
    if (file.closeNow() != 0) {
        return failure(writeError, errno);
    }
    return {};
}

template <std::size_t N> void setText(char (&field)[N], std::string_view text)
{
    std::memset(field, 0, N);
    std::memcpy(field, text.data(), std::min(text.size(), N - 1));
}

template <std::size_t N> std::string textOf(const char (&field)[N])
{
    // A damaged file may hold a field without its terminating zero.
    const auto* end = static_cast<const char*>(std::memchr(field, 0, N));
    return std::string(field, end ? std::size_t(end - field) : N);
}

std::optional<long long> parseInteger(std::string_view value)
{
    long long result = 0;
    const char* first = value.data();
    const char* last = value.data() + value.size();
    if (!value.empty() && value.front() == '+') {
        ++first;
    }
    const auto [ptr, ec] = std::from_chars(first, last, result);
    if (ec != std::errc() || ptr != last || first == last) {
        return std::nullopt;
    }
    return result;
}

std::string printable(std::string_view text)
{
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u >= 0x7F || c == '\\') {
            out += "\\x";
            out += kHex[u >> 4];
            out += kHex[u & 15];
        } else {
            out += c;
        }
    }
    return out;
}

struct AddressField {
    const char* name;
    bool list; // a list of addresses and ranges, or one address to listen on
};
constexpr AddressField kAddressFields[] = {
    {"DC9_Bind_Address", false},
    {"Mon_Bind_Address", false},
    {"Mon_Allowed_Addresses", true},
};

void storeInteger(Config_Record& record, std::string_view name, long long v)
{
    if (name == "DC9_Port_Enable") {
        record.DC9_Port_Enable = std::uint8_t(v);
    } else if (name == "DC9_Port") {
        record.DC9_Port = std::int32_t(v);
    } else if (name == "DC9_Conn_Timeout") {
        record.DC9_Conn_Timeout = std::int32_t(v);
    } else if (name == "DC9_AES_Mode") {
        setEncryptionMode(record, std::uint8_t(v));
    } else if (name == "Mon_Port_Open") {
        record.Mon_Port_Open = std::int8_t(v);
    } else if (name == "Mon_Server") {
        record.Mon_Server = std::int8_t(v);
    } else if (name == "Mon_Port") {
        record.Mon_Port = std::int32_t(v);
    } else if (name == "Test_Rec_Nr") {
        record.Test_Rec_Nr = std::int8_t(std::uint8_t(v));
    } else if (name == "COM_Baud") {
        record.COM_Baud = std::int32_t(v);
    } else if (name == "Test_Heartbeat_Period") {
        record.Test_Heartbeat_Period = std::int32_t(v);
    } else if (name == "Report_Format") {
        record.Report_Format = std::int8_t(v);
    } else if (name == "Time_Synch") {
        record.Time_Synch = std::uint8_t(v);
    } else if (name == "DC9_Store_Repeats") {
        record.DC9_Store_Repeats = std::uint8_t(v);
    } else if (name == "DC9_UDP_Enable") {
        record.DC9_UDP_Enable = std::uint8_t(v);
    } else if (name == "DC9_Quirk_Lower_Hex") {
        record.DC9_Quirk_Lower_Hex = std::uint8_t(v);
    } else if (name == "DC9_Quirk_CRC_CR") {
        record.DC9_Quirk_CRC_CR = std::uint8_t(v);
    } else if (name == "DC9_Quirk_Binary_CRC") {
        record.DC9_Quirk_Binary_CRC = std::uint8_t(v);
    } else if (name == "DC9_Time_UTC") {
        record.DC9_Time_UTC = std::uint8_t(v);
    } else if (name == "Test_Heartbeat_Length") {
        // The usual length is stored as zero, so choosing it again leaves the file as an older one.
        record.Test_Heartbeat_Length = v == kShortHeartbeatLength ? std::uint8_t(v) : 0;
    } else if (name == "COM_Framing") {
        record.COM_Framing = std::uint8_t(v);
    } else if (name == "DC9_Known_Accounts_Only") {
        record.DC9_Known_Accounts_Only = std::uint8_t(v);
    } else if (name == "DC9_SIA_DCS") {
        record.DC9_SIA_DCS = std::uint8_t(v);
    } else if (name == "Out_Account_Q_Lines") {
        record.Out_Account_Q_Lines = std::uint8_t(v);
    } else if (name == "Metrics_Port") {
        record.Metrics_Port = std::uint16_t(v);
    } else if (name == "Log_Keep_Days") {
        record.Log_Keep_Days = std::uint16_t(v);
    } else if (name == "DC9_Max_Per_Address") {
        record.DC9_Max_Per_Address = std::uint16_t(v);
    } else if (name == "DC9_Max_Frame_Length") {
        record.DC9_Max_Frame_Length = std::uint16_t(v);
    } else if (name == "Log_File_Max_MiB") {
        record.Log_File_Max_MiB = std::uint16_t(v);
    }
}

ConfigFieldError fieldError(std::string_view name, const std::string& why)
{
    return ConfigFieldError{std::string(name) + ": " + why};
}

} // namespace

Config_Record defaultConfig()
{
    Config_Record record{};
    record.DC9_Port = 7777;
    record.DC9_Conn_Timeout = 30;
    record.Mon_Port = 9999;
    record.Mon_Server = 1;
    record.Test_Rec_Nr = 1;
    setText(record.Out_IP, "127.0.0.1");
    record.COM_Baud = 9600;
    record.Test_Heartbeat_Period = 30;
    record.Cfg_Version = kCfgVersion;
    // A new installation starts with the safeguards on: the automation link for this host only.
    record.Setup_Flags = kSetupSafeguards;
    setText(record.Mon_Allowed_Addresses, "127.0.0.1");
    return record;
}

void setEncryptionMode(Config_Record& c, std::uint8_t mode)
{
    if (mode != 0 && c.DC9_AES_Mode == 0 && setUpWithSafeguards(c))
        c.Time_Synch = 1;
    c.DC9_AES_Mode = mode;
}

bool keySet(const Config_Record& c)
{
    for (const std::uint8_t b : c.DC9_AES_Key)
        if (b != 0)
            return true;
    return false;
}

std::string keySummary(const Config_Record& c)
{
    if (!keySet(c))
        return "(not set)";
    std::size_t bytes = 0;
    if (c.DC9_AES_Mode >= 1 && c.DC9_AES_Mode <= 3) {
        bytes = aesKeyLength(c.DC9_AES_Mode);
    } else {
        // Encryption off: the length the key would have, by its last byte that is not zero.
        std::size_t used = sizeof c.DC9_AES_Key;
        while (used > 0 && c.DC9_AES_Key[used - 1] == 0)
            --used;
        bytes = used <= 16 ? 16 : used <= 24 ? 24 : 32;
    }
    return "(set, " + std::to_string(bytes * 8) + " bits)";
}

Config_Record newDirectoryConfig()
{
    Config_Record record = defaultConfig();
    record.DC9_SIA_DCS = 1;
    record.Out_Account_Q_Lines = 1;
    return record;
}

std::size_t aesKeyLength(std::uint8_t aesMode)
{
    switch (aesMode) {
    case 2:
        return 24;
    case 3:
        return 32;
    default:
        return 16;
    }
}

ConfigFileResult loadConfig(const std::string& path, Config_Record& record)
{
    record = Config_Record{};
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    int writeErrno = 0;
    if (fd < 0 && (errno == EACCES || errno == EPERM || errno == EROFS)) {
        // A settings file made read-only on purpose still holds the settings: running on an all-zero
        // record instead would leave the receiver port closed without a word.
        writeErrno = errno;
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0) {
            errno = writeErrno;
        }
    }
    FileHandle file(fd);
    if (!file.valid()) {
        const int openErrno = errno;
        if (openErrno != ENOENT) {
            // The file is there but unusable: run on an all-zero record rather than guess.
            return failure(ConfigFileError::OpenFailed, openErrno);
        }
        record = newDirectoryConfig();
        // Exclusive: a file or link that appeared since the open above is not written through.
        FileHandle created(
            ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, kConfigFileMode));
        if (!created.valid()) {
            return failure(ConfigFileError::CreateFailed, errno);
        }
        return writeAndClose(created, record, ConfigFileError::WriteFailed);
    }

    const ssize_t n = readUpTo(file.get(), &record, sizeof record);
    if (n < 0) {
        const int readErrno = errno;
        record = Config_Record{};
        return failure(ConfigFileError::ReadFailed, readErrno);
    }
    if (record.Cfg_Version == 0) {
        // Files from before the version marker existed: stamp them once, leave every setting as it is.
        record.Cfg_Version = kCfgVersion;
        if (writeErrno != 0) {
            return failure(ConfigFileError::WriteFailed, writeErrno); // stamped in memory only
        }
        return writeAndClose(file, record, ConfigFileError::WriteFailed);
    }
    if (writeErrno != 0) {
        return failure(ConfigFileError::OpenFailed, writeErrno); // read, but saving will fail
    }
    return {};
}

std::optional<Config_Record> readSavedConfig(const std::string& path)
{
    FileHandle file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!file.valid()) {
        return std::nullopt;
    }
    Config_Record onDisk{};
    // A short file cannot hold the record.
    if (readUpTo(file.get(), &onDisk, sizeof onDisk) != ssize_t(sizeof onDisk)) {
        return std::nullopt;
    }
    return onDisk;
}

bool Check_Settings_Changed(const std::string& path, const Config_Record& record)
{
    const std::optional<Config_Record> onDisk = readSavedConfig(path);
    // A file that does not hold the whole record still needs saving.
    return !onDisk || std::memcmp(&*onDisk, &record, sizeof record) != 0;
}

ConfigFileResult Save_Settings(const std::string& path, const Config_Record& record)
{
    // No truncation: the file keeps whatever follows the record, exactly as it was.
    FileHandle file(::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!file.valid()) {
        if (errno != ENOENT) {
            return failure(ConfigFileError::OpenFailed, errno);
        }
        // Deleted while the program ran: recreate it rather than lose the operator's settings.
        FileHandle created(
            ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, kConfigFileMode));
        if (!created.valid()) {
            return failure(ConfigFileError::CreateFailed, errno);
        }
        return writeAndClose(created, record, ConfigFileError::WriteFailed);
    }
    keepPrivate(file.get());
    return writeAndClose(file, record, ConfigFileError::WriteFailed);
}

std::optional<ConfigFieldError> setConfigField(Config_Record& record, std::string_view name,
                                               std::string_view value)
{
    if (const IntegerSetting* setting = integerSetting(name)) {
        const auto v = parseInteger(value);
        if (!v) {
            return fieldError(name, "\"" + printable(value) + "\" is not a decimal integer (allowed: " +
                                        allowedValues(*setting) + ")");
        }
        if (!allows(*setting, *v)) {
            return fieldError(name, std::to_string(*v) + " is not allowed (allowed: " +
                                        allowedValues(*setting) + "; " + std::string(setting->meaning) + ")");
        }
        storeInteger(record, name, *v);
        return std::nullopt;
    }

    if (name == "DC9_AES_Key") {
        // A shorter key would have to be padded, and a panel's key never is: the two would not agree.
        if (!value.empty() && value.size() != 32 && value.size() != 48 && value.size() != 64) {
            return fieldError(name, std::to_string(value.size()) +
                                        " characters given (allowed: 32, 48 or 64 hex digits for AES-128, "
                                        "AES-192 or AES-256, or nothing for no key)");
        }
        std::uint8_t key[sizeof record.DC9_AES_Key] = {};
        for (std::size_t i = 0; i < value.size(); ++i) {
            const int nibble = hexDigitValue(value[i]);
            if (nibble < 0) {
                return fieldError(name, "\"" + printable(value.substr(i, 1)) + "\" is not a hex digit");
            }
            key[i / 2] = std::uint8_t(key[i / 2] | (i % 2 == 0 ? nibble << 4 : nibble));
        }
        std::memcpy(record.DC9_AES_Key, key, sizeof key);
        return std::nullopt;
    }
    for (const auto& field : kAddressFields) {
        if (name != field.name) {
            continue;
        }
        char* target = name == "DC9_Bind_Address"   ? record.DC9_Bind_Address
                       : name == "Mon_Bind_Address" ? record.Mon_Bind_Address
                                                    : record.Mon_Allowed_Addresses;
        const std::size_t width = name == "Mon_Allowed_Addresses" ? sizeof record.Mon_Allowed_Addresses
                                                                  : sizeof record.DC9_Bind_Address;
        if (value.size() >= width) {
            return fieldError(name, "at most " + std::to_string(width - 1) + " characters");
        }
        if (field.list) {
            const AddressListParse parsed = parseAddressList(value);
            if (!parsed.error.empty()) {
                return fieldError(name,
                                  printable(parsed.error) +
                                      " (give addresses or CIDR ranges, comma-separated; empty for any)");
            }
        } else if (!value.empty() && !parseAddress(value)) {
            return fieldError(name, "\"" + printable(value) +
                                        "\" is not an IPv4 or IPv6 address (empty for every address)");
        }
        std::memset(target, 0, width);
        std::memcpy(target, value.data(), value.size());
        return std::nullopt;
    }
    if (name == "Out_IP") {
        in_addr address{};
        if (value.size() >= sizeof record.Out_IP ||
            ::inet_pton(AF_INET, std::string(value).c_str(), &address) != 1) {
            return fieldError(name, "\"" + printable(value) + "\" is not a dotted IPv4 address");
        }
        setText(record.Out_IP, value);
        return std::nullopt;
    }
    if (name == "COM_Nr") {
        if (!value.empty()) {
            const auto number = value.size() > 3 && value.substr(0, 3) == "COM"
                                    ? parseInteger(value.substr(3))
                                    : std::nullopt;
            if (!number || *number < 1 || *number > 64 || value != "COM" + std::to_string(*number)) {
                return fieldError(name, "\"" + printable(value) + "\" is not COM1 .. COM64 (empty for none)");
            }
        }
        setText(record.COM_Nr, value);
        return std::nullopt;
    }
    if (name == "Metrics_Address") {
        in_addr v4{};
        in6_addr v6{};
        const std::string text(value);
        if (!value.empty() && (value.size() >= sizeof record.Metrics_Address ||
                               (::inet_pton(AF_INET, text.c_str(), &v4) != 1 &&
                                ::inet_pton(AF_INET6, text.c_str(), &v6) != 1))) {
            return fieldError(
                name, "\"" + printable(value) +
                          "\" is not an IPv4 or IPv6 address of at most 15 characters (empty: 127.0.0.1)");
        }
        setText(record.Metrics_Address, value);
        return std::nullopt;
    }
    if (name == "Cfg_Version") {
        return fieldError(name, "is the file format marker and cannot be set");
    }
    std::string names;
    for (const auto& [known, shown] : describeConfig(defaultConfig()))
        if (known != "Cfg_Version")
            names += (names.empty() ? "" : ", ") + known;
    return ConfigFieldError{"unknown setting \"" + printable(name) + "\" (the settings: " + names + ")"};
}

std::optional<ConfigFieldError> checkKeyForMode(const Config_Record& record, std::size_t keyBytes)
{
    if (record.DC9_AES_Mode < 1 || record.DC9_AES_Mode > 3)
        return std::nullopt;
    const std::size_t needed = aesKeyLength(record.DC9_AES_Mode);
    const std::string mode = "DC9_AES_Mode=" + std::to_string(record.DC9_AES_Mode) + " (AES-" +
                             std::to_string(needed * 8) + ") takes a key of " + std::to_string(needed * 2) +
                             " hex digits";
    if (keyBytes == 0)
        return ConfigFieldError{"DC9_AES_Key: none given, but " + mode};
    if (keyBytes < needed)
        return ConfigFieldError{"DC9_AES_Key: " + std::to_string(keyBytes * 2) + " hex digits given, but " +
                                mode + "; a key is never padded"};
    for (std::size_t i = needed; i < keyBytes; ++i)
        if (record.DC9_AES_Key[i] != 0)
            return ConfigFieldError{"DC9_AES_Key: " + std::to_string(keyBytes * 2) +
                                    " hex digits given, but " + mode + "; the rest would not be used"};
    return std::nullopt;
}

std::vector<SettingChange> describeChanges(const Config_Record& before, const Config_Record& after)
{
    std::vector<SettingChange> changes;
    const auto oldShown = describeConfig(before);
    const auto newShown = describeConfig(after);
    const auto oldExact = describeConfig(before, true);
    const auto newExact = describeConfig(after, true);
    // The key differs by its bytes, but is named only by its summary.
    for (std::size_t i = 0; i < newShown.size() && i < oldShown.size(); ++i)
        if (oldExact[i].second != newExact[i].second) {
            changes.push_back({newShown[i].first, oldShown[i].second, newShown[i].second});
            if (oldShown[i].second == newShown[i].second)
                changes.back().after += " (another key)";
        }
    return changes;
}

std::vector<std::pair<std::string, std::string>> describeConfig(const Config_Record& record, bool showSecrets)
{
    static const char kHex[] = "0123456789abcdef";
    std::string key;
    if (showSecrets) {
        for (const std::uint8_t b : record.DC9_AES_Key) {
            key += kHex[b >> 4];
            key += kHex[b & 15];
        }
    } else {
        key = keySummary(record);
    }
    return {
        {"DC9_Port_Enable", std::to_string(record.DC9_Port_Enable)},
        {"DC9_Port", std::to_string(record.DC9_Port)},
        {"DC9_Conn_Timeout", std::to_string(record.DC9_Conn_Timeout)},
        {"DC9_AES_Mode", std::to_string(record.DC9_AES_Mode)},
        {"DC9_AES_Key", key},
        {"Mon_Port_Open", std::to_string(record.Mon_Port_Open)},
        {"Mon_Server", std::to_string(record.Mon_Server)},
        {"Mon_Port", std::to_string(record.Mon_Port)},
        {"Test_Rec_Nr", std::to_string(receiverNumber(record))},
        {"Out_IP", printable(textOf(record.Out_IP))},
        {"COM_Nr", printable(textOf(record.COM_Nr))},
        {"COM_Baud", std::to_string(record.COM_Baud)},
        {"Test_Heartbeat_Period", std::to_string(record.Test_Heartbeat_Period)},
        {"Report_Format", std::to_string(record.Report_Format)},
        {"Time_Synch", std::to_string(record.Time_Synch)},
        {"DC9_Store_Repeats", std::to_string(record.DC9_Store_Repeats)},
        {"DC9_UDP_Enable", std::to_string(record.DC9_UDP_Enable)},
        {"DC9_Quirk_Lower_Hex", std::to_string(record.DC9_Quirk_Lower_Hex)},
        {"DC9_Quirk_CRC_CR", std::to_string(record.DC9_Quirk_CRC_CR)},
        {"DC9_Quirk_Binary_CRC", std::to_string(record.DC9_Quirk_Binary_CRC)},
        {"DC9_Time_UTC", std::to_string(record.DC9_Time_UTC)},
        {"Test_Heartbeat_Length", std::to_string(heartbeatLength(record))},
        {"COM_Framing", std::to_string(record.COM_Framing)},
        {"DC9_Known_Accounts_Only", std::to_string(record.DC9_Known_Accounts_Only)},
        {"DC9_Bind_Address", printable(textOf(record.DC9_Bind_Address))},
        {"Mon_Bind_Address", printable(textOf(record.Mon_Bind_Address))},
        {"Mon_Allowed_Addresses", printable(textOf(record.Mon_Allowed_Addresses))},
        {"DC9_SIA_DCS", std::to_string(record.DC9_SIA_DCS)},
        {"Out_Account_Q_Lines", std::to_string(record.Out_Account_Q_Lines)},
        {"Metrics_Port", std::to_string(record.Metrics_Port)},
        {"Log_Keep_Days", std::to_string(record.Log_Keep_Days)},
        {"Metrics_Address", printable(textOf(record.Metrics_Address))},
        {"DC9_Max_Per_Address", std::to_string(record.DC9_Max_Per_Address)},
        {"DC9_Max_Frame_Length", std::to_string(record.DC9_Max_Frame_Length)},
        {"Log_File_Max_MiB", std::to_string(record.Log_File_Max_MiB)},
        {"Cfg_Version", std::to_string(record.Cfg_Version)},
    };
}

std::string changeList(const std::vector<SettingChange>& changes)
{
    std::string text;
    for (const SettingChange& c : changes)
        text += (text.empty() ? "" : ", ") + c.name + " " + c.before + " -> " + c.after;
    return text;
}
