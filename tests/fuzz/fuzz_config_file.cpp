// libFuzzer target: kalvor.cfg as the start-up load finds it (any length, any bytes), then what the
// program does with the record: change detection, the command line's view of every field, a save
// and a second load, and the codec and the heartbeat under those settings. The file lives in a
// directory of its own in /dev/shm where there is one, so the real open, read and write paths run
// without a disk (a /proc/self/fd path would be a link, which the load rightly refuses).
#include "FuzzSupport.h"
#include "config/ConfigRecord.h"
#include "dc09/Dc09Codec.h"
#include "output/OutputMessages.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <fcntl.h>
#include <unistd.h>

using fuzzsupport::require;

namespace {

int g_fd = -1;
std::string g_path;

// Frames of every shape the settings can change the answer of: plain with a stamp, lowercase hex,
// a decimal length with the CRC over the CR, a binary CRC, and an encrypted one.
const std::string kFrames[] = {
    std::string("\n0397003D\"ADM-CID\"0043R1L1#1234[#1234|3130 01 015]_10:00:00,01-01-2025\r"),
    std::string("\n525a0024\"NULL\"0000Rc0ffdL1234#080027E62A64[]\r"),
    std::string("\nAA1A0047\"ADM-CID\"0227R4F39L4F39#4F39[#4F39|3401 01 057]\r"),
    std::string("\n\xC2n0038\"NULL\"0000RC0FFDL1234#080027E62A64[]_13:40:27,06-22-2015\r"),
    std::string("\nF51C0055\"*NULL\"0000R1L1#A256["
                "29194D1EE1385B3A04F0FB315E780A21CA59BBEA377B071E5E41D504FAEA3839\r"),
};

void answerFrames(const Config_Record& config)
{
    constexpr std::time_t kNow = 1735725600; // 2025-01-01 10:00:00 UTC
    for (const std::string& frame : kFrames) {
        std::string buffer = frame;
        DC9_Message message;
        const Parse_Result result = Parse_DC9_Message(buffer.data(), buffer.size(), config, message);
        const auto kind = Decide_DC9_Response(result, message, kNow, config);
        require(kind.has_value() != (result == Parse_Result::Not_Recognised), "only a frame is answered");
        if (!kind)
            continue;
        const std::string response = Build_DC9_Response(*kind, message, kNow, config, [] { return 5u; });
        if (response.empty())
            continue; // an *ACK that cannot be encrypted is not sent
        require(response.size() < 256 && response.front() == '\n' && response.back() == '\r',
                "an answer is one frame");
        for (std::size_t i = 1; i < 9; ++i)
            require((response[i] >= '0' && response[i] <= '9') || (response[i] >= 'A' && response[i] <= 'F'),
                    "an answer's CRC and length are uppercase hex");
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    char dir[] = "/dev/shm/ardentel-fuzz-XXXXXX";
    char fallback[] = "/tmp/ardentel-fuzz-XXXXXX";
    const char* made = ::mkdtemp(dir);
    if (made == nullptr)
        made = ::mkdtemp(fallback);
    require(made != nullptr, "a scratch directory can be made");
    g_path = std::string(made) + "/kalvor.cfg";
    g_fd = ::open(g_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    require(g_fd >= 0, "the scratch file can be made");
    // Gone when the fuzzer ends; the open descriptor and the path stay usable until then.
    static const std::string cleanupDir = made;
    std::atexit([] {
        ::unlink((cleanupDir + "/kalvor.cfg").c_str());
        ::rmdir(cleanupDir.c_str());
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    require(::ftruncate(g_fd, 0) == 0 && ::pwrite(g_fd, data, size, 0) == ssize_t(size),
            "the file is written");

    Config_Record record{};
    const ConfigFileResult loaded = loadConfig(g_path, record);
    require(loaded.ok(), "a readable, writable file always loads");
    require(record.Cfg_Version != 0, "the version marker is set");
    // A file without the version marker is stamped, that is written whole; a short one that has the
    // marker is used as it is and shows as changed, since it cannot hold the whole record.
    bool stamped = true; // the marker's bytes that the file lacks read as zero
    for (std::size_t i = 96; i < 100 && i < size; ++i)
        stamped = stamped && data[i] == 0;
    require(Check_Settings_Changed(g_path, record) == (size < kConfigFileSize && !stamped),
            "after a load the file holds the record, unless it is too short to");

    // Every value --show-config prints is one --set takes back unchanged, or refuses.
    const auto shown = describeConfig(record);
    Config_Record copy = record;
    for (const auto& [name, value] : shown)
        (void)setConfigField(copy, name, value);
    require(describeConfig(copy) == shown, "a value set as shown is shown the same");

    const std::string heartbeat = Format_Heartbeat(record.Test_Rec_Nr, heartbeatLength(record));
    require(heartbeat.size() ==
                std::size_t(heartbeatLength(record)) + 1 + (std::uint8_t(record.Test_Rec_Nr) >= 100),
            "a heartbeat has its length");
    (void)aesKeyLength(record.DC9_AES_Mode);
    answerFrames(record);

    require(Save_Settings(g_path, record).ok(), "a save succeeds");
    Config_Record again{};
    require(loadConfig(g_path, again).ok() && std::memcmp(&again, &record, sizeof record) == 0,
            "a saved record loads as it was");
    return 0;
}
