// The accounts' own keys: their entry, the fingerprint shown in their place, and their file.
#include "dc09/AccountKeys.h"

#include "config/HexDigit.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::size_t kMaxAccount = 16;
// Far more than 2048 accounts need; a larger file is no key file.
constexpr off_t kMaxFileBytes = 1 << 20;

void wipe(std::vector<std::uint8_t>& bytes)
{
    if (!bytes.empty())
        OPENSSL_cleanse(bytes.data(), bytes.size());
    bytes.clear();
}

void wipe(std::string& text)
{
    if (!text.empty())
        OPENSSL_cleanse(text.data(), text.size());
    text.clear();
}

bool validKeyLength(std::size_t bytes)
{
    return bytes == 16 || bytes == 24 || bytes == 32;
}

std::optional<std::vector<std::uint8_t>> hexBytes(std::string_view digits)
{
    if (digits.size() % 2 != 0)
        return std::nullopt;
    std::vector<std::uint8_t> out(digits.size() / 2);
    for (std::size_t i = 0; i < digits.size(); ++i) {
        const int nibble = hexDigitValue(digits[i]);
        if (nibble < 0) {
            wipe(out);
            return std::nullopt;
        }
        out[i / 2] = std::uint8_t(out[i / 2] | (i % 2 == 0 ? nibble << 4 : nibble));
    }
    return out;
}

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
        text.remove_suffix(1);
    return text;
}

class Descriptor {
public:
    explicit Descriptor(int fd) : m_fd(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    [[nodiscard]] int get() const { return m_fd; }
    [[nodiscard]] int release()
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }

private:
    int m_fd;
};

bool writeAll(int fd, const std::string& text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += std::size_t(n);
    }
    return true;
}

std::string directoryOf(const std::string& path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
}

} // namespace

AccountKeys& AccountKeys::operator=(const AccountKeys& other)
{
    if (this != &other) {
        clear();
        m_keys = other.m_keys;
    }
    return *this;
}

AccountKeys& AccountKeys::operator=(AccountKeys&& other) noexcept
{
    if (this != &other) {
        clear();
        m_keys = std::move(other.m_keys);
    }
    return *this;
}

AccountKeys::~AccountKeys()
{
    clear();
}

void AccountKeys::clear()
{
    for (auto& [account, entry] : m_keys)
        wipe(entry.key);
    m_keys.clear();
}

const AccountKey* AccountKeys::find(std::string_view account) const
{
    if (account.empty())
        return nullptr;
    const auto it = m_keys.find(account);
    return it == m_keys.end() ? nullptr : &it->second;
}

std::vector<const AccountKey*> AccountKeys::entries() const
{
    std::vector<const AccountKey*> out;
    out.reserve(m_keys.size());
    for (const auto& [account, entry] : m_keys)
        out.push_back(&entry);
    return out;
}

std::optional<std::string> AccountKeys::set(std::string_view account, std::string_view format,
                                            std::string_view key)
{
    const std::optional<std::string> name = normalisedAccount(account);
    if (!name)
        return "the account must be 1 to 16 hex digits (0-9, A-F)";
    std::vector<std::uint8_t> bytes;
    if (format == "text") {
        bytes.assign(key.begin(), key.end());
        if (!validKeyLength(bytes.size())) {
            wipe(bytes);
            return "a text key is 16, 24 or 32 characters (AES-128, 192 or 256)";
        }
    } else if (format == "hex") {
        std::optional<std::vector<std::uint8_t>> decoded = hexBytes(key);
        if (!decoded || !validKeyLength(decoded->size())) {
            if (decoded)
                wipe(*decoded);
            return "a hex key is 32, 48 or 64 hex digits (AES-128, 192 or 256)";
        }
        bytes = std::move(*decoded);
    } else {
        return "the key format is text or hex";
    }
    AccountKey& entry = m_keys[*name];
    wipe(entry.key);
    entry.account = *name;
    entry.key = std::move(bytes);
    return std::nullopt;
}

bool AccountKeys::remove(std::string_view account)
{
    const std::optional<std::string> name = normalisedAccount(account);
    if (!name)
        return false;
    const auto it = m_keys.find(*name);
    if (it == m_keys.end())
        return false;
    wipe(it->second.key);
    m_keys.erase(it);
    return true;
}

std::string AccountKeys::toText() const
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string text =
        "# Ardentel account keys: ACCOUNT HEXKEY, one account a line. Keep this file mode 0600.\n";
    for (const auto& [account, entry] : m_keys) {
        text += account;
        text += ' ';
        for (const std::uint8_t b : entry.key) {
            text += kHex[b >> 4];
            text += kHex[b & 15];
        }
        text += '\n';
    }
    return text;
}

AccountKeys AccountKeys::fromText(std::string_view text, std::vector<Problem>& problems)
{
    AccountKeys keys;
    int number = 0;
    while (!text.empty()) {
        const std::size_t newline = text.find('\n');
        const std::string_view raw = text.substr(0, newline);
        text = newline == std::string_view::npos ? std::string_view() : text.substr(newline + 1);
        ++number;
        const std::string_view line = trimmed(raw);
        if (line.empty() || line.front() == '#')
            continue;
        const std::size_t gap = line.find_first_of(" \t");
        const std::string_view accountText = line.substr(0, gap);
        const std::string_view keyText =
            gap == std::string_view::npos ? std::string_view() : trimmed(line.substr(gap));
        const std::optional<std::string> account = normalisedAccount(accountText);
        if (!account) {
            problems.push_back({number, "no account at the start of the line"});
            continue;
        }
        AccountKey& entry = keys.m_keys[*account];
        wipe(entry.key);
        entry.account = *account;
        std::optional<std::vector<std::uint8_t>> bytes = hexBytes(keyText);
        if (bytes && validKeyLength(bytes->size())) {
            entry.key = std::move(*bytes);
        } else {
            if (bytes)
                wipe(*bytes);
            problems.push_back({number, "the key of account " + *account +
                                            " is not 32, 48 or 64 hex digits; the account is refused"});
        }
    }
    return keys;
}

std::optional<std::string> normalisedAccount(std::string_view account)
{
    if (account.empty() || account.size() > kMaxAccount)
        return std::nullopt;
    std::string out;
    for (const char c : account) {
        if (hexDigitValue(c) < 0)
            return std::nullopt;
        out += c >= 'a' && c <= 'f' ? char(c - 'a' + 'A') : c;
    }
    return out;
}

std::string keyFingerprint(const std::vector<std::uint8_t>& key)
{
    // A label in front, so the fingerprint is no plain hash of the key that another tool might show.
    static const char kLabel[] = "ardentel account key fingerprint";
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    std::uint8_t digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    const bool ok = context != nullptr && EVP_DigestInit_ex(context, EVP_sha256(), nullptr) == 1 &&
                    EVP_DigestUpdate(context, kLabel, sizeof kLabel - 1) == 1 &&
                    EVP_DigestUpdate(context, key.data(), key.size()) == 1 &&
                    EVP_DigestFinal_ex(context, digest, &length) == 1 && length >= 4;
    EVP_MD_CTX_free(context);
    if (!ok)
        return "????????";
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (int i = 0; i < 4; ++i) {
        out += kHex[digest[i] >> 4];
        out += kHex[digest[i] & 15];
    }
    return out;
}

std::optional<AccountKeyArgument> splitAccountKeyArgument(std::string_view argument)
{
    const std::size_t first = argument.find(':');
    if (first == std::string_view::npos)
        return std::nullopt;
    const std::size_t second = argument.find(':', first + 1);
    if (second == std::string_view::npos)
        return std::nullopt;
    return AccountKeyArgument{std::string(argument.substr(0, first)),
                              std::string(argument.substr(first + 1, second - first - 1)),
                              std::string(argument.substr(second + 1))};
}

AccountKeysFileResult loadAccountKeys(const std::string& path, AccountKeys& keys)
{
    AccountKeysFileResult result;
    keys.clear();
    Descriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (file.get() < 0) {
        result.osError = errno;
        result.status = errno == ENOENT ? AccountKeysFileResult::Status::Missing
                                        : AccountKeysFileResult::Status::Unreadable;
        return result;
    }
    struct stat info {};
    if (::fstat(file.get(), &info) != 0) {
        result.osError = errno;
        result.status = AccountKeysFileResult::Status::Unreadable;
        return result;
    }
    if (!S_ISREG(info.st_mode) || info.st_size > kMaxFileBytes) {
        result.osError = S_ISREG(info.st_mode) ? EFBIG : EINVAL;
        result.status = AccountKeysFileResult::Status::Unreadable;
        return result;
    }
    result.mode = unsigned(info.st_mode & 07777);
    result.tooWide = (info.st_mode & 077) != 0;
    std::string text(std::size_t(info.st_size), '\0');
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::pread(file.get(), text.data() + done, text.size() - done, off_t(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            result.osError = errno;
            result.status = AccountKeysFileResult::Status::Unreadable;
            wipe(text);
            return result;
        }
        if (n == 0)
            break;
        done += std::size_t(n);
    }
    text.resize(done);
    keys = AccountKeys::fromText(text, result.problems);
    wipe(text);
    result.status = AccountKeysFileResult::Status::Loaded;
    return result;
}

int saveAccountKeys(const std::string& path, const AccountKeys& keys)
{
    const std::string temporary = path + ".new";
    (void)::unlink(temporary.c_str()); // left by a save that was cut short
    Descriptor file(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (file.get() < 0)
        return errno;
    std::string text = keys.toText();
    const bool written = writeAll(file.get(), text) && ::fsync(file.get()) == 0;
    wipe(text);
    int error = written ? 0 : (errno != 0 ? errno : EIO);
    // The umask may have taken bits away, never added any; the mode is set all the same.
    if (error == 0 && ::fchmod(file.get(), 0600) != 0)
        error = errno;
    if (::close(file.release()) != 0 && error == 0)
        error = errno;
    if (error == 0 && ::rename(temporary.c_str(), path.c_str()) != 0)
        error = errno;
    if (error != 0) {
        (void)::unlink(temporary.c_str());
        return error;
    }
    // The rename itself is on disk only once the directory is.
    Descriptor directory(::open(directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory.get() >= 0)
        (void)::fsync(directory.get());
    return 0;
}
