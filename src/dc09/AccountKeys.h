// Keys of their own for some accounts, and the file in the data directory that holds them. An
// account with a key of its own is heard only under that key: a captured frame or the global key
// cannot speak for it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct AccountKey {
    std::string account;           // 1 to 16 uppercase hex digits, as the frames carry it
    std::vector<std::uint8_t> key; // 16, 24 or 32 bytes; empty when its line in the file was unreadable
    // A key that could not be read still marks the account as keyed: it is then refused altogether
    // rather than heard under the global key.
    [[nodiscard]] bool usable() const { return key.size() == 16 || key.size() == 24 || key.size() == 32; }
    [[nodiscard]] int bits() const { return usable() ? int(key.size()) * 8 : 0; }
};

class AccountKeys {
public:
    AccountKeys() = default;
    AccountKeys(const AccountKeys& other) = default;
    AccountKeys& operator=(const AccountKeys& other);
    AccountKeys(AccountKeys&& other) noexcept = default;
    AccountKeys& operator=(AccountKeys&& other) noexcept;
    ~AccountKeys(); // the key bytes are wiped, not just released

    [[nodiscard]] bool empty() const { return m_keys.empty(); }
    [[nodiscard]] std::size_t size() const { return m_keys.size(); }
    // The account's own key, or null when it has none. Exact match: "12" is not "1234".
    [[nodiscard]] const AccountKey* find(std::string_view account) const;
    // In account order.
    [[nodiscard]] std::vector<const AccountKey*> entries() const;

    // FORMAT is "text" (the key's characters as bytes) or "hex" (two digits a byte, either case);
    // the length gives AES-128, 192 or 256. An error message, or nothing when the key was set.
    [[nodiscard]] std::optional<std::string> set(std::string_view account, std::string_view format,
                                                 std::string_view key);
    bool remove(std::string_view account); // false when the account had no key
    void clear();

    // The file's text: a comment, then "ACCOUNT HEXKEY" a line.
    [[nodiscard]] std::string toText() const;
    struct Problem {
        int line = 0;
        std::string what;
    };
    // Whatever the text holds: a line with a readable account and no readable key keeps the account
    // keyed (and refused); a line without a readable account is left out. Both are reported.
    [[nodiscard]] static AccountKeys fromText(std::string_view text, std::vector<Problem>& problems);

private:
    std::map<std::string, AccountKey, std::less<>> m_keys;
};

// 1 to 16 hex digits, made uppercase; nothing when `account` is no account.
[[nodiscard]] std::optional<std::string> normalisedAccount(std::string_view account);
// Eight hex digits that tell two keys apart without giving either away.
[[nodiscard]] std::string keyFingerprint(const std::vector<std::uint8_t>& key);
// "ACCOUNT:FORMAT:KEY" of --set-account-key; the key may itself hold colons.
struct AccountKeyArgument {
    std::string account;
    std::string format;
    std::string key;
};
[[nodiscard]] std::optional<AccountKeyArgument> splitAccountKeyArgument(std::string_view argument);

// The key file. Missing is no error: no account has a key of its own.
struct AccountKeysFileResult {
    enum class Status { Loaded, Missing, Unreadable };
    Status status = Status::Missing;
    int osError = 0;
    bool tooWide = false; // readable or writable by others than the owner
    unsigned mode = 0;    // the file's permission bits
    std::vector<AccountKeys::Problem> problems;
};
[[nodiscard]] AccountKeysFileResult loadAccountKeys(const std::string& path, AccountKeys& keys);
// Written whole under a temporary name and renamed over the old file, mode 0600; 0 or the errno.
[[nodiscard]] int saveAccountKeys(const std::string& path, const AccountKeys& keys);
