// libFuzzer target: account_keys.cfg as the start-up load finds it (any length, any bytes), then what
// the receiver does with the keys: the text written back reads as the same keys, and frames of a
// keyed account and of one without a key are judged under them.
// Promises: no crash and nothing read out of bounds; a damaged line never leaves its account to the
// global key; plaintext of a keyed account is never acknowledged.
#include "FuzzSupport.h"
#include "config/ConfigRecord.h"
#include "dc09/AccountKeys.h"
#include "dc09/Dc09Codec.h"

#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>

using fuzzsupport::require;

namespace {

std::string g_path;

std::string frameOf(const std::string& body)
{
    static const char kHex[] = "0123456789ABCDEF";
    const unsigned crc = DC9_CRC16(reinterpret_cast<const std::uint8_t*>(body.data()), body.size());
    std::string out = "\n";
    for (const unsigned v : {crc, unsigned(body.size())})
        for (int shift = 12; shift >= 0; shift -= 4)
            out += kHex[(v >> shift) & 15];
    return out + body + "\r";
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    ::setenv("TZ", "UTC", 1);
    // In memory where there is a place for it: the file is written once per input.
    std::string dir;
    for (const char* base : {"/dev/shm", "/tmp"}) {
        std::string name = std::string(base) + "/fuzz-account-keys-XXXXXX";
        if (::mkdtemp(name.data()) != nullptr) {
            dir = name;
            break;
        }
    }
    require(!dir.empty(), "a scratch directory");
    g_path = dir + "/account_keys.cfg";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const int fd = ::open(g_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    require(fd >= 0, "the scratch file opens");
    require(::write(fd, data, size) == ssize_t(size), "the scratch file takes the input");
    ::close(fd);

    AccountKeys keys;
    const AccountKeysFileResult loaded = loadAccountKeys(g_path, keys);
    require(loaded.status == AccountKeysFileResult::Status::Loaded, "a regular file loads");
    for (const AccountKeys::Problem& p : loaded.problems)
        require(p.line >= 1 && !p.what.empty(), "a problem names its line");

    // What is written back reads as the same keys.
    std::vector<AccountKeys::Problem> again;
    const AccountKeys reread = AccountKeys::fromText(keys.toText(), again);
    require(reread.size() == keys.size(), "every account comes back");
    for (const AccountKey* entry : keys.entries()) {
        const AccountKey* back = reread.find(entry->account);
        require(back != nullptr && back->key == entry->key, "every key comes back");
        require(normalisedAccount(entry->account) == entry->account,
                "accounts are stored as frames carry them");
    }

    // Plaintext of each keyed account is refused; that of an account without a key is heard as ever.
    Config_Record config = defaultConfig();
    for (const AccountKey* entry : keys.entries()) {
        const std::string frame =
            frameOf("\"ADM-CID\"0001L0#" + entry->account + "[#" + entry->account + "|1130 01 015]");
        const DC9_Judgement j = Judge_DC9_Frame(frame.data(), frame.size(), 1735732800, config, {}, &keys);
        require(!j.accepted(), "a keyed account's plaintext is never acknowledged");
        if (keys.size() > 8)
            break; // a few are enough for the promise; the parse above is what is fuzzed
    }
    if (keys.find("FFFFFFFFFFFFFFFF") == nullptr) {
        const std::string frame = frameOf("\"NULL\"0001L0#FFFFFFFFFFFFFFFF[]");
        require(Judge_DC9_Frame(frame.data(), frame.size(), 1735732800, config, {}, &keys).accepted(),
                "an account without a key is heard as before");
    }
    return 0;
}
