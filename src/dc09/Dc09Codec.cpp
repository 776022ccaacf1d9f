// DC-09 frame checking and splitting, the answer decision and the answer frame. The received text is
// addressed through bounded positions only: whatever arrives, nothing outside the received bytes and
// the message's own fixed fields is touched.
#include "dc09/Dc09Codec.h"

#include "config/Clock.h"
#include "dc09/Aes.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <openssl/evp.h>
#include <optional>
#include <random>
#include <string>
#include <string_view>

namespace {

constexpr std::array<std::uint16_t, 256> makeCrcTable()
{
    std::array<std::uint16_t, 256> table{};
    for (unsigned byte = 0; byte < 256; ++byte) {
        std::uint16_t crc = 0;
        unsigned b = byte;
        for (int bit = 0; bit < 8; ++bit) {
            crc = ((crc ^ b) & 1) != 0 ? std::uint16_t((crc >> 1) ^ 0xA001) : std::uint16_t(crc >> 1);
            b >>= 1;
        }
        table[byte] = crc;
    }
    return table;
}
constexpr auto kCrcTable = makeCrcTable();

// Only uppercase counts: the wire format has no lowercase hex digits.
bool isHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}
bool isLowerHexLetter(char c)
{
    return c >= 'a' && c <= 'f';
}
// The digits of the CRC, length and ciphertext fields; lowercase only for panels that write it so.
bool isFieldHexDigit(char c, bool lowerAccepted)
{
    return isHexDigit(c) || (lowerAccepted && isLowerHexLetter(c));
}
int hexNibble(char c)
{
    return c <= '9' ? c - '0' : (c & ~0x20) - 'A' + 10;
}
bool isDecimalDigit(char c)
{
    return c >= '0' && c <= '9';
}

// The received text with its current end; positions at or past the end read as the terminating zero.
struct Text {
    char* data;
    std::size_t end;
    [[nodiscard]] char at(std::size_t i) const { return i < end ? data[i] : '\0'; }
};

// Copies hex digits from `from` until a non-hex character or the field is full; always NUL-terminated.
template <std::size_t N> void copyHexField(char (&field)[N], const Text& text, std::size_t from)
{
    std::size_t k = 0;
    for (; k + 1 < N && isHexDigit(text.at(from + k)); ++k) {
        field[k] = text.at(from + k);
    }
    std::memset(field + k, 0, N - k);
}

template <std::size_t N> std::size_t fieldLength(const char (&field)[N])
{
    return ::strnlen(field, N - 1);
}

template <std::size_t N> std::string_view fieldText(const char (&field)[N])
{
    return std::string_view(field, fieldLength(field));
}

std::size_t findChar(const Text& text, std::size_t from, char wanted)
{
    if (from >= text.end) {
        return std::string::npos;
    }
    const void* hit = std::memchr(text.data + from, wanted, text.end - from);
    return hit ? std::size_t(static_cast<const char*>(hit) - text.data) : std::string::npos;
}

// Local wall-clock fields to seconds with daylight saving disregarded, as panels and this receiver
// both stamp plain local time. Out-of-range fields roll over; a result that does not fit the message's
// 32-bit time is refused.
bool localFieldsToSeconds(std::tm tm, std::int64_t& seconds)
{
    tm.tm_isdst = 0;
    errno = 0;
    const std::time_t t = std::mktime(&tm);
    if (t == std::time_t(-1) && errno != 0) {
        return false;
    }
    seconds = std::int64_t(t);
    return true;
}

// The same for panels and a receiver that both keep UTC.
bool utcFieldsToSeconds(std::tm tm, std::int64_t& seconds)
{
    errno = 0;
    const std::time_t t = ::timegm(&tm);
    if (t == std::time_t(-1) && errno != 0) {
        return false;
    }
    seconds = std::int64_t(t);
    return true;
}

bool utcTime(const Config_Record& config)
{
    return config.DC9_Time_UTC != 0;
}

std::tm utcTimeOf(std::time_t seconds)
{
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    return tm;
}

// "_HH:MM:SS,MM-DD-YYYY" at `underscore`. On failure `broke` is the position of the offending character.
bool readTimeStamp(const Text& text, std::size_t underscore, bool utc, std::int32_t& out, std::size_t& broke)
{
    auto two = [&](std::size_t at) {
        return (static_cast<unsigned char>(text.at(at)) & 0x0F) * 10 +
               (static_cast<unsigned char>(text.at(at + 1)) & 0x0F);
    };
    const std::size_t u = underscore;
    const int hour = two(u + 1);
    if (text.at(u + 3) != ':') {
        broke = u + 3;
        return false;
    }
    if (hour > 23) {
        broke = u + 1;
        return false;
    }
    const int minute = two(u + 4);
    const int second = two(u + 7);
    const int month = two(u + 10);
    const int day = two(u + 13);
    const std::pair<std::size_t, char> separators[] = {
        {u + 6, ':'}, {u + 9, ','}, {u + 12, '-'}, {u + 15, '-'}};
    for (const auto& [at, wanted] : separators) {
        if (text.at(at) != wanted) {
            broke = at;
            return false;
        }
    }
    int year = 0;
    for (std::size_t k = 0; k < 4; ++k) {
        const char c = text.at(u + 16 + k);
        if (!isDecimalDigit(c)) {
            broke = u + 16 + k;
            return false;
        }
        year = year * 10 + (c - '0');
    }
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    std::int64_t seconds = 0;
    const bool converted = utc ? utcFieldsToSeconds(tm, seconds) : localFieldsToSeconds(tm, seconds);
    if (!converted || seconds < std::numeric_limits<std::int32_t>::min() ||
        seconds > std::numeric_limits<std::int32_t>::max()) {
        broke = u + 16;
        return false;
    }
    out = std::int32_t(seconds);
    return true;
}

int aesBits(std::uint8_t mode)
{
    switch (mode) {
    case 1:
        return 128;
    case 2:
        return 192;
    case 3:
        return 256;
    default:
        return 0;
    }
}

enum class Payload { ContactId, LinkTest, Sia };

struct Token {
    const char* text; // including the closing double quote
    std::size_t length;
    bool encrypted;
    Payload payload;
};
constexpr Token kTokens[] = {
    {"ADM-CID\"", 8, false, Payload::ContactId}, {"NULL\"", 5, false, Payload::LinkTest},
    {"*ADM-CID\"", 9, true, Payload::ContactId}, {"*NULL\"", 6, true, Payload::LinkTest},
    {"SIA-DCS\"", 8, false, Payload::Sia},       {"*SIA-DCS\"", 9, true, Payload::Sia},
};

bool matchesAt(const Text& text, std::size_t at, const char* what, std::size_t length)
{
    for (std::size_t k = 0; k < length; ++k) {
        if (text.at(at + k) != what[k]) {
            return false;
        }
    }
    return true;
}

// The key a message is decrypted and answered with: the account's own, or the global one.
struct CipherKey {
    const std::uint8_t* bytes = nullptr;
    int bits = 0; // 0: no key, the message cannot be decrypted
};

CipherKey globalKey(const Config_Record& config)
{
    return CipherKey{config.DC9_AES_Key, aesBits(config.DC9_AES_Mode)};
}

CipherKey keyOf(const AccountKey& own)
{
    return own.usable() ? CipherKey{own.key.data(), own.bits()} : CipherKey{};
}

// Rewrites the hex digits in [from, end) as bytes over themselves and decrypts the whole blocks.
// Returns the byte count, or -1 when the block is not hex or cannot be decrypted (`why` says which).
long decryptDataBlock(Text& text, std::size_t from, const CipherKey& key, const Config_Record& config,
                      DC9_Refusal_Kind& why)
{
    const int bits = key.bits;
    if (bits == 0) {
        why = DC9_Refusal_Kind::No_Key;
        return -1;
    }
    const std::size_t digits = text.end - from;
    const bool lowerAccepted = config.DC9_Quirk_Lower_Hex != 0;
    for (std::size_t k = 0; k < digits; ++k) {
        if (!isFieldHexDigit(text.data[from + k], lowerAccepted)) {
            why = DC9_Refusal_Kind::Cipher_Not_Hex;
            return -1;
        }
    }
    const std::size_t bytes = digits / 2; // an odd last digit is dropped
    auto* out = reinterpret_cast<std::uint8_t*>(text.data + from);
    for (std::size_t k = 0; k < bytes; ++k) {
        out[k] =
            std::uint8_t(hexNibble(text.data[from + 2 * k]) << 4 | hexNibble(text.data[from + 2 * k + 1]));
    }
    // bytes < digits unless both are zero, and then `from` is the old end (the CR's place): in bounds.
    text.data[from + bytes] = '\0';
    text.end = from + bytes;

    AES_Round_Keys roundKeys;
    if (!AES_Expand_Key(key.bytes, bits, roundKeys) || !CBC_Decrypt(out, bytes / 16, roundKeys)) {
        why = DC9_Refusal_Kind::Cipher_Failure;
        return -1;
    }
    return long(bytes);
}

// The data block's closing "]" at or after `from`. A "]" inside a SIA text ("^...^") does not close
// it, unless the text is never closed either.
std::size_t siaBlockEnd(const Text& text, std::size_t from)
{
    bool inText = false;
    for (std::size_t i = from; i < text.end; ++i) {
        const char c = text.data[i];
        if (c == '^') {
            inText = !inText;
        } else if (c == ']' && !inText) {
            return i;
        }
    }
    return findChar(text, from, ']');
}

bool isLowerLetter(char c)
{
    return c >= 'a' && c <= 'z';
}
bool isUpperLetter(char c)
{
    return c >= 'A' && c <= 'Z';
}

// Digits that fit a field of `width` characters; leading zeros go first ("0003" fits three as
// "003"). A number too large for the field is left out rather than shown cut.
template <std::size_t N> void setNumberField(char (&field)[N], const char* digits, std::size_t count)
{
    while (count > N - 1 && *digits == '0') {
        ++digits;
        --count;
    }
    std::memset(field, 0, N);
    if (count <= N - 1) {
        std::memcpy(field, digits, count);
    }
}

// The first event of a SIA data block between `from` (after the account's "|") and the block's
// "]": the new-event block "N" (or an old one, "O") holds modifiers such as "ri1" (the area) and
// event codes of two capital letters with their address ("BA12"), separated by "/". The code goes
// to `event`, its address to `zone`, the area in force to `partition`. No code is interpreted: an
// unknown one is stored as it came.
void readSiaEvent(const Text& text, std::size_t from, std::size_t end, DC9_Message& message)
{
    std::size_t p = from;
    if (p + 1 < end && (text.data[p] == 'N' || text.data[p] == 'O') &&
        (isLowerLetter(text.data[p + 1]) || isUpperLetter(text.data[p + 1]))) {
        ++p;
    }
    while (p < end) {
        const char c = text.data[p];
        if (c == '|') {
            return; // the blocks after the event block carry no codes
        }
        if (c == '^') {
            const std::size_t close = findChar(text, p + 1, '^');
            p = close == std::string::npos || close >= end ? end : close + 1;
            continue;
        }
        if (p + 1 < end && isLowerLetter(c) && isLowerLetter(text.data[p + 1])) {
            const bool area = c == 'r' && text.data[p + 1] == 'i';
            std::size_t v = p + 2;
            const std::size_t valueStart = v;
            while (v < end && isDecimalDigit(text.data[v])) {
                ++v;
            }
            if (area) {
                setNumberField(message.partition, text.data + valueStart, v - valueStart);
            }
            while (v < end && !isUpperLetter(text.data[v]) && text.data[v] != '/' && text.data[v] != '^' &&
                   text.data[v] != '|') {
                ++v;
            }
            p = v;
            continue;
        }
        if (p + 1 < end && isUpperLetter(c) && isUpperLetter(text.data[p + 1])) {
            std::memcpy(message.event, text.data + p, 2);
            std::size_t v = p + 2;
            while (v < end && isDecimalDigit(text.data[v])) {
                ++v;
            }
            setNumberField(message.zone, text.data + p + 2, v - (p + 2));
            return;
        }
        ++p;
    }
}

// With a wrong key a "|" turns up in the random-looking padding now and then, and a link test has no
// account or event to catch it. What follows a true separator is the plain data text up to the last
// block's end: printable ASCII, closed by the data block's "]".
bool isPlainDataText(const char* data, std::size_t count)
{
    bool closed = false;
    for (std::size_t k = 0; k < count; ++k) {
        const auto c = static_cast<unsigned char>(data[k]);
        if (c < 0x20 || c > 0x7E) {
            return false;
        }
        closed = closed || c == ']';
    }
    return closed;
}

void appendHex(std::string& out, const std::uint8_t* data, std::size_t count)
{
    static const char kHex[] = "0123456789ABCDEF";
    for (std::size_t k = 0; k < count; ++k) {
        out += kHex[data[k] >> 4];
        out += kHex[data[k] & 15];
    }
}

void appendHex4(std::string& out, unsigned value)
{
    static const char kHex[] = "0123456789ABCDEF";
    for (int shift = 12; shift >= 0; shift -= 4) {
        out += kHex[(value >> shift) & 15];
    }
}

std::uint32_t defaultRandom()
{
    thread_local std::mt19937 generator{std::random_device{}()};
    return generator();
}

// The first 16 bytes of SHA-256 over the cipher text's hex digits as they came.
void digestCipherText(const char* data, std::size_t size, std::uint8_t (&out)[16])
{
    std::uint8_t digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(data, size, digest, &length, EVP_sha256(), nullptr) != 1 || length < sizeof out) {
        std::memset(out, 0, sizeof out);
        return;
    }
    std::memcpy(out, digest, sizeof out);
}

void copyContent(DC9_Message& message, const Text& text, std::size_t from)
{
    const std::size_t size = std::min(text.end - std::min(from, text.end), sizeof message.content - 1);
    std::memcpy(message.content, text.data + from, size);
    message.content[size] = '\0';
}

// The ID token as it came, up to its closing quote, for the log line of its refusal: printable
// characters only, and a long one cut ("...").
void copyTokenText(DC9_Refusal& why, const Text& text, std::size_t from)
{
    constexpr std::size_t kShown = sizeof why.text - 4;
    std::size_t n = 0;
    for (; n < kShown; ++n) {
        const char c = text.at(from + n);
        if (c == '\0' || c == '"') {
            break;
        }
        why.text[n] = (c > ' ' && c < 0x7F) ? c : '?';
    }
    const char next = text.at(from + n);
    if (n == kShown && next != '\0' && next != '"') {
        std::memcpy(why.text + n, "...", 3);
        n += 3;
    }
    why.text[n] = '\0';
}

// Where the body of the frame that starts at the LF lies, and what its CRC is taken over.
struct FrameSpan {
    std::size_t bodyStart = 0;
    std::size_t bodyLength = 0; // the CR stands at bodyStart + bodyLength
    bool quirk = false;         // found only through one of the field quirks
};

// `count` field digits at `from` as a number in `base`; false when one is not a digit of it.
bool readNumber(const Text& text, std::size_t from, std::size_t count, unsigned base, bool lowerAccepted,
                unsigned& value, bool& usedLower)
{
    value = 0;
    for (std::size_t k = 0; k < count; ++k) {
        const char c = text.at(from + k);
        if (base == 10 ? !isDecimalDigit(c) : !isFieldHexDigit(c, lowerAccepted)) {
            return false;
        }
        usedLower = usedLower || isLowerHexLetter(c);
        value = value * base + unsigned(hexNibble(c));
    }
    return true;
}

// The CR at bodyStart + length inside the text and the CRC over the body (and the CR when
// `withCr`) equal to `crc`. When not, and `why` is given, it says which failed.
bool bodyChecks(const Text& text, std::size_t bodyStart, unsigned length, unsigned crc, bool withCr,
                DC9_Refusal* why = nullptr)
{
    const std::size_t crPos = bodyStart + length;
    if (crPos >= text.end || text.data[crPos] != '\r') {
        if (why != nullptr) {
            const std::size_t cr = findChar(text, bodyStart, '\r');
            why->kind = DC9_Refusal_Kind::Length_Mismatch;
            why->stated = length;
            why->found = cr == std::string::npos ? -1 : std::int64_t(cr - bodyStart);
        }
        return false;
    }
    const std::size_t covered = withCr ? std::size_t(length) + 1 : length;
    const unsigned computed =
        DC9_CRC16(reinterpret_cast<const std::uint8_t*>(text.data + bodyStart), covered);
    if (computed != crc && why != nullptr) {
        why->kind = DC9_Refusal_Kind::CRC_Mismatch;
        why->stated = crc;
        why->found = computed;
    }
    return computed == crc;
}

// The standard frame is LF, four hex digits of CRC, four of length, the body from the first double
// quote, and the CR. Three panel families bend it, each accepted only while its setting is on:
// - lowercase letters in the CRC and length digits (and in the ciphertext, see decryptDataBlock);
// - the length in decimal digits with the CRC taken over the body and its CR: both together, as that
//   family sends them (a decimal length with the usual CRC is no frame of it, and stays refused);
// - the CRC as its two raw bytes, most significant first, in place of the four digits, so the frame
//   is two bytes shorter; the length is four hex digits as usual.
// The standard reading is tried first, so a frame that is valid without a quirk is read as always;
// when no reading finds a frame, `why` tells what the standard one found.
std::optional<FrameSpan> locateFrame(const Text& text, const char* buffer, std::size_t length, std::size_t lf,
                                     const Config_Record& config, DC9_Refusal& why)
{
    const bool lower = config.DC9_Quirk_Lower_Hex != 0;
    unsigned crc = 0;
    unsigned bodyLength = 0;
    bool usedLower = false;
    const std::size_t quote = findChar(text, lf + 1, '"');
    if (!readNumber(text, lf + 1, 4, 16, lower, crc, usedLower)) {
        why.kind = DC9_Refusal_Kind::CRC_Field;
    } else if (!readNumber(text, lf + 5, 4, 16, lower, bodyLength, usedLower)) {
        why.kind = DC9_Refusal_Kind::Length_Field;
    } else if (quote == std::string::npos) {
        why.kind = DC9_Refusal_Kind::No_Quote;
    } else if (bodyChecks(text, quote, bodyLength, crc, false, &why)) {
        return FrameSpan{quote, bodyLength, usedLower};
    }
    if (config.DC9_Quirk_CRC_CR != 0) {
        usedLower = false;
        if (readNumber(text, lf + 1, 4, 16, lower, crc, usedLower) &&
            readNumber(text, lf + 5, 4, 10, false, bodyLength, usedLower) && quote != std::string::npos &&
            bodyChecks(text, quote, bodyLength, crc, true)) {
            return FrameSpan{quote, bodyLength, true};
        }
    }
    if (config.DC9_Quirk_Binary_CRC != 0 && lf + 2 < length) {
        // The raw CRC may hold a zero byte, which must not end the text; nor may it be taken for the
        // body's opening quote.
        Text binary = text;
        const void* nul = std::memchr(buffer + lf + 3, '\0', length - (lf + 3));
        binary.end = nul ? std::size_t(static_cast<const char*>(nul) - buffer) : length;
        crc = unsigned(static_cast<unsigned char>(buffer[lf + 1])) << 8 |
              unsigned(static_cast<unsigned char>(buffer[lf + 2]));
        const std::size_t bodyQuote = findChar(binary, lf + 7, '"');
        if (readNumber(binary, lf + 3, 4, 16, lower, bodyLength, usedLower) &&
            bodyQuote != std::string::npos && bodyChecks(binary, bodyQuote, bodyLength, crc, false)) {
            return FrameSpan{bodyQuote, bodyLength, true};
        }
    }
    return std::nullopt;
}

} // namespace

void DC9_Header_Account(const char* data, std::size_t size, char (&account)[17])
{
    std::memset(account, 0, sizeof account);
    if (data == nullptr) {
        return;
    }
    // The header is short: what lies further on is no header.
    constexpr std::size_t kHeaderReach = 96;
    const auto* lf = static_cast<const char*>(std::memchr(data, '\n', size));
    if (lf == nullptr) {
        return;
    }
    const std::size_t end = std::min(size, std::size_t(lf - data) + kHeaderReach);
    const auto* quote = static_cast<const char*>(std::memchr(lf, '"', end - std::size_t(lf - data)));
    for (std::size_t i = quote == nullptr ? end : std::size_t(quote - data); i < end; ++i) {
        if (data[i] == '[' || data[i] == '\0' || data[i] == '\r') {
            return;
        }
        if (data[i] == '#') {
            std::size_t k = 0;
            for (; k + 1 < sizeof account && i + 1 + k < end && isHexDigit(data[i + 1 + k]); ++k) {
                account[k] = data[i + 1 + k];
            }
            if (i + 1 + k >= end) {
                std::memset(account, 0, sizeof account); // the bytes end within it: it may go on
            }
            return;
        }
    }
}

std::string refusalText(const DC9_Refusal& refusal)
{
    const auto hex4 = [](std::int64_t v) {
        char text[16];
        std::snprintf(text, sizeof text, "%04llX", static_cast<unsigned long long>(v) & 0xFFFFu);
        return std::string(text);
    };
    const std::string token(refusal.text, ::strnlen(refusal.text, sizeof refusal.text));
    switch (refusal.kind) {
    case DC9_Refusal_Kind::None:
        return {};
    case DC9_Refusal_Kind::No_LF:
        return "no LF";
    case DC9_Refusal_Kind::CRC_Field:
        return "CRC field not 4 hex digits";
    case DC9_Refusal_Kind::Length_Field:
        return "length field not 4 hex digits";
    case DC9_Refusal_Kind::No_Quote:
        return "no opening quote";
    case DC9_Refusal_Kind::Length_Mismatch:
        return "length mismatch (" + hex4(refusal.stated) + " stated, " +
               (refusal.found < 0 ? std::string("no CR") : "CR at " + hex4(refusal.found)) + ")";
    case DC9_Refusal_Kind::CRC_Mismatch:
        return "CRC mismatch (" + hex4(refusal.stated) + " stated, " + hex4(refusal.found) + " computed)";
    case DC9_Refusal_Kind::No_Data_Block:
        return "missing \"[\" after the header";
    case DC9_Refusal_Kind::Quirk_Foreign_Token:
        return "unknown token " + token + " in a frame only a quirk reads";
    case DC9_Refusal_Kind::Incomplete:
        return "frame incomplete (" + hex4(refusal.stated) + " stated, " + hex4(refusal.found) + " came)";
    case DC9_Refusal_Kind::Unknown_Token:
        return "unknown token " + token;
    case DC9_Refusal_Kind::SIA_Not_Taken:
        return "unknown token " + token + " (DC9_SIA_DCS=0)";
    case DC9_Refusal_Kind::Sequence_Digits:
        return "sequence number not 4 digits";
    case DC9_Refusal_Kind::Account_Unreadable:
        return "account unreadable (\"#\" without hex digits)";
    case DC9_Refusal_Kind::No_Header_Account:
        return "encrypted without an account in the header";
    case DC9_Refusal_Kind::No_Key:
        return "encrypted, but no key is set";
    case DC9_Refusal_Kind::Cipher_Not_Hex:
        return "cipher text not hex";
    case DC9_Refusal_Kind::Cipher_Failure:
        return "decryption failed";
    case DC9_Refusal_Kind::Wrong_Key:
        return "wrong key or padding";
    case DC9_Refusal_Kind::Data_Account_Differs:
        return "account in the data differs from the header's";
    case DC9_Refusal_Kind::Other_Accounts_Key:
        return "encrypted with another account's key";
    case DC9_Refusal_Kind::No_Closing_Bracket:
        return "missing \"]\" of the data block";
    case DC9_Refusal_Kind::Contact_ID_Layout:
        return "malformed Contact ID event";
    case DC9_Refusal_Kind::Plain_While_Encrypted:
        return "plain message while encryption is on (DC9_AES_Mode=" + std::to_string(refusal.stated) + ")";
    case DC9_Refusal_Kind::Unknown_Account:
        return "account not in the Object List (DC9_Known_Accounts_Only=1)";
    case DC9_Refusal_Kind::Time_Stamp_Old:
        return "time stamp " + std::to_string(refusal.stated) + " s old";
    case DC9_Refusal_Kind::Time_Stamp_Ahead:
        return "time stamp " + std::to_string(refusal.stated) + " s ahead";
    case DC9_Refusal_Kind::No_Time_Stamp:
        return "no time stamp (Time_Synch=1)";
    case DC9_Refusal_Kind::Clock_Unusable:
        return "the receiver's clock cannot be read as local time";
    case DC9_Refusal_Kind::Plain_For_Own_Key:
        return "plain message for an account with a key of its own";
    }
    return "refused";
}

const char* responseToken(Response_Kind kind)
{
    switch (kind) {
    case Response_Kind::ACK:
        return "ACK";
    case Response_Kind::Encrypted_ACK:
        return "*ACK";
    case Response_Kind::NAK:
        return "NAK";
    case Response_Kind::DUH:
        return "DUH";
    }
    return "DUH";
}

std::uint16_t DC9_CRC16(const std::uint8_t* data, std::size_t count)
{
    return DC9_CRC16_Continue(0, data, count);
}

std::uint16_t DC9_CRC16_Continue(std::uint16_t crc, const std::uint8_t* data, std::size_t count)
{
    for (std::size_t k = 0; k < count; ++k) {
        crc = std::uint16_t((crc >> 8) ^ kCrcTable[(crc ^ data[k]) & 0xFF]);
    }
    return crc;
}

namespace {

// Every refusal below names its check in `why`; the public function adds the account.
Parse_Result parseFrame(char* buffer, std::size_t length, const Config_Record& config, DC9_Message& message,
                        const AccountKeys* keys, DC9_Refusal& why)
{
    const auto refuse = [&why](Parse_Result result, DC9_Refusal_Kind kind) {
        why.kind = kind;
        return result;
    };
    if (buffer == nullptr || length == 0) {
        return refuse(Parse_Result::Not_Recognised, DC9_Refusal_Kind::No_LF);
    }
    const void* nul = std::memchr(buffer, '\0', length);
    Text text{buffer, nul ? std::size_t(static_cast<const char*>(nul) - buffer) : length};

    const std::size_t lf = findChar(text, 0, '\n');
    if (lf == std::string::npos) {
        return refuse(Parse_Result::Not_Recognised, DC9_Refusal_Kind::No_LF);
    }
    const std::optional<FrameSpan> span = locateFrame(text, buffer, length, lf, config, why);
    if (!span) {
        return Parse_Result::Not_Recognised;
    }
    why = DC9_Refusal{}; // a quirk's reading found the frame that the standard one did not
    const std::size_t bodyStart = span->bodyStart;
    text.data[bodyStart + span->bodyLength] = '\0'; // the CR: the text ends there
    text.end = bodyStart + span->bodyLength;

    const Token* token = nullptr;
    const bool siaTaken = config.DC9_SIA_DCS != 0;
    bool siaLeftOut = false;
    for (const Token& candidate : kTokens) {
        const bool matches = matchesAt(text, bodyStart + 1, candidate.text, candidate.length);
        if (candidate.payload == Payload::Sia && !siaTaken) {
            siaLeftOut = siaLeftOut || matches;
            continue; // an unknown token, as it always was
        }
        if (matches) {
            token = &candidate;
            break;
        }
    }
    if (token == nullptr) {
        copyTokenText(why, text, bodyStart + 1);
        // A frame that only a quirk let in and that carries none of our messages is as foreign as
        // before: it gets no "DUH", so a quirk never changes the answer to anything but our own.
        if (span->quirk) {
            return refuse(Parse_Result::Not_Recognised, DC9_Refusal_Kind::Quirk_Foreign_Token);
        }
        return refuse(Parse_Result::Rejected,
                      siaLeftOut ? DC9_Refusal_Kind::SIA_Not_Taken : DC9_Refusal_Kind::Unknown_Token);
    }

    std::memcpy(message.token, token->text, token->length - 1); // without the closing quote

    const std::size_t sequenceStart = bodyStart + 1 + token->length;
    int sequence = 0;
    for (std::size_t k = 0; k < 4; ++k) {
        const char c = text.at(sequenceStart + k);
        if (!isDecimalDigit(c)) {
            return refuse(Parse_Result::Rejected, DC9_Refusal_Kind::Sequence_Digits);
        }
        sequence = sequence * 10 + (c - '0');
    }
    message.sequence = sequence;

    // A "#" without hex digits leaves the account empty, and letters of such an account would be read
    // as further header fields ("XTRM189" sets the receiver); such a message cannot be filed correctly.
    bool unreadableAccount = false;
    std::size_t pos = sequenceStart;
    for (;; ++pos) {
        const char c = text.at(pos);
        if (c == '\0') {
            return refuse(Parse_Result::Not_Recognised, DC9_Refusal_Kind::No_Data_Block);
        }
        if (c == '[') {
            break;
        }
        if (c == '#') {
            copyHexField(message.account, text, pos + 1);
            unreadableAccount = unreadableAccount || !isHexDigit(text.at(pos + 1));
        } else if (c == 'R') {
            copyHexField(message.receiver, text, pos + 1);
        } else if (c == 'L') {
            copyHexField(message.line, text, pos + 1);
        }
    }
    std::memcpy(message.header_account, message.account, sizeof message.account);
    if (unreadableAccount) {
        return refuse(Parse_Result::Rejected, DC9_Refusal_Kind::Account_Unreadable);
    }
    ++pos;

    // Under keys per account the header's account chooses the key; the global key serves the
    // accounts that have none of their own.
    const bool keysPerAccount = keys != nullptr && !keys->empty();
    const AccountKey* headerKey = keys != nullptr ? keys->find(fieldText(message.header_account)) : nullptr;
    message.own_key = headerKey != nullptr;

    std::size_t contentFrom = pos - 1; // the data block's "["
    if (token->encrypted) {
        message.encrypted = true;
        digestCipherText(text.data + pos, text.end - pos, message.cipher_digest);
        if (keysPerAccount && message.header_account[0] == '\0') {
            // no key can be chosen for it
            return refuse(Parse_Result::Rejected, DC9_Refusal_Kind::No_Header_Account);
        }
        DC9_Refusal_Kind failure = DC9_Refusal_Kind::None;
        const long bytes = decryptDataBlock(
            text, pos, headerKey != nullptr ? keyOf(*headerKey) : globalKey(config), config, failure);
        if (bytes < 0) {
            return refuse(Parse_Result::Rejected, failure);
        }
        // The padding is arbitrary binary and may hold zero bytes, so the separator is searched in all
        // decrypted bytes.
        const std::size_t decrypted = std::size_t(bytes) / 16 * 16;
        const void* bar = std::memchr(text.data + pos, '|', decrypted);
        if (bar == nullptr) {
            return refuse(Parse_Result::Rejected, DC9_Refusal_Kind::Wrong_Key);
        }
        const std::size_t after = std::size_t(static_cast<const char*>(bar) - text.data) + 1;
        if (!isPlainDataText(text.data + after, pos + decrypted - after)) {
            return refuse(Parse_Result::Rejected, DC9_Refusal_Kind::Wrong_Key);
        }
        pos = after;
        text.end = pos + ::strnlen(text.data + pos, text.end - pos);
        // The decrypted data stands where a plain message has it, right after its "[".
        contentFrom = pos - 1;
        text.data[contentFrom] = '[';
    }
    copyContent(message, text, contentFrom);

    if (text.at(pos) == '#') {
        ++pos;
    }

    const Parse_Result accepted =
        token->encrypted ? Parse_Result::Accepted_Encrypted : Parse_Result::Accepted_Plain;
    if (token->payload != Payload::LinkTest) {
        char dataAccount[sizeof message.account];
        copyHexField(dataAccount, text, pos);
        if (std::strncmp(dataAccount, message.account, fieldLength(message.account)) != 0) {
            return refuse(Parse_Result::Rejected, DC9_Refusal_Kind::Data_Account_Differs);
        }
        // The account inside the data is the one the panel vouches for (under the encryption, when
        // there is one): the event is filed under it, never under a shorter header.
        if (dataAccount[0] != '\0' && std::strcmp(dataAccount, message.account) != 0) {
            const AccountKey* dataKey = keys != nullptr ? keys->find(fieldText(dataAccount)) : nullptr;
            if (token->encrypted && dataKey != headerKey) {
                return refuse(Parse_Result::Rejected, DC9_Refusal_Kind::Other_Accounts_Key);
            }
            message.own_key = message.own_key || dataKey != nullptr;
            std::memcpy(message.account, dataAccount, sizeof message.account);
            message.account_from_data = true;
        }
    }
    if (token->payload == Payload::Sia) {
        const std::size_t end = siaBlockEnd(text, pos);
        if (end == std::string::npos) {
            return refuse(Parse_Result::Rejected, DC9_Refusal_Kind::No_Closing_Bracket);
        }
        const std::size_t bar = findChar(text, pos, '|');
        if (bar != std::string::npos && bar < end) {
            readSiaEvent(text, bar + 1, end, message);
        }
        pos = end;
    } else if (token->payload == Payload::ContactId) {
        const std::size_t bar = findChar(text, pos, '|');
        if (bar == std::string::npos) {
            return accepted; // no event part: nothing more is read
        }
        const std::size_t e = bar + 1;
        for (std::size_t k = 0; k < 4; ++k) {
            if (!isHexDigit(text.at(e + k))) {
                return refuse(Parse_Result::Rejected, DC9_Refusal_Kind::Contact_ID_Layout);
            }
        }
        if (text.at(e + 4) != ' ' || text.at(e + 7) != ' ' || text.at(e + 11) != ']') {
            return refuse(Parse_Result::Rejected, DC9_Refusal_Kind::Contact_ID_Layout);
        }
        std::memcpy(message.event, text.data + e, 4);
        copyHexField(message.partition, text, e + 5);
        copyHexField(message.zone, text, e + 8);
        pos = e + 11;
    } else {
        std::memcpy(message.event, "NULL", 4);
        if (message.encrypted && message.header_account[0] == '\0') {
            message.account_from_data = true; // nothing names its account: filed under none
        }
    }

    std::size_t extendedLength = 0;
    constexpr std::size_t kExtendedMax = sizeof message.extended - 1;
    while (++pos < text.end) {
        if (text.data[pos] == '[') {
            for (; pos < text.end && text.data[pos] != '_'; ++pos) {
                if (extendedLength < kExtendedMax) {
                    message.extended[extendedLength++] = text.data[pos];
                }
            }
        }
        if (pos < text.end && text.data[pos] == '_') {
            std::size_t broke = pos;
            if (readTimeStamp(text, pos, utcTime(config), message.message_time, broke)) {
                break;
            }
            pos = broke;
        }
    }
    return accepted;
}

void noteAccount(DC9_Refusal& why, const DC9_Message& message)
{
    if (why.account[0] == '\0') {
        std::memcpy(why.account, message.account, sizeof why.account);
        why.account[sizeof why.account - 1] = '\0';
    }
}

} // namespace

Parse_Result Parse_DC9_Message(char* buffer, std::size_t length, const Config_Record& config,
                               DC9_Message& message, const AccountKeys* keys, DC9_Refusal* why)
{
    message = DC9_Message{};
    DC9_Refusal unused;
    DC9_Refusal& refusal = why != nullptr ? *why : unused;
    refusal = DC9_Refusal{};
    const Parse_Result result = parseFrame(buffer, length, config, message, keys, refusal);
    if (why != nullptr && refusal.kind != DC9_Refusal_Kind::None) {
        noteAccount(refusal, message);
        // What the parser has not read yet is still in its header, which parsing leaves as it came.
        if (refusal.account[0] == '\0' && buffer != nullptr) {
            DC9_Header_Account(buffer, length, refusal.account);
        }
    }
    return result;
}

std::optional<Response_Kind> Decide_DC9_Response(Parse_Result result, const DC9_Message& message,
                                                 std::time_t now, const Config_Record& config,
                                                 DC9_Refusal* why)
{
    const auto refuse = [&](Response_Kind kind, DC9_Refusal_Kind reason, std::int64_t stated = 0) {
        if (why != nullptr) {
            *why = DC9_Refusal{};
            why->kind = reason;
            why->stated = stated;
            noteAccount(*why, message);
        }
        return kind;
    };
    switch (result) {
    case Parse_Result::Not_Recognised:
        return std::nullopt;
    case Parse_Result::Rejected:
        return Response_Kind::DUH;
    case Parse_Result::Accepted_Encrypted: {
        if (config.Time_Synch == 0) {
            return Response_Kind::Encrypted_ACK;
        }
        std::int64_t localNow = std::int64_t(now);
        if (!utcTime(config) && !localFieldsToSeconds(localTimeOf(now), localNow)) {
            return refuse(Response_Kind::NAK, DC9_Refusal_Kind::Clock_Unusable);
        }
        const std::int64_t d = std::int64_t(message.message_time) - localNow;
        if (d >= -40 && d <= 20) {
            return Response_Kind::Encrypted_ACK;
        }
        if (message.message_time == 0) {
            return refuse(Response_Kind::NAK, DC9_Refusal_Kind::No_Time_Stamp);
        }
        return d < 0 ? refuse(Response_Kind::NAK, DC9_Refusal_Kind::Time_Stamp_Old, -d)
                     : refuse(Response_Kind::NAK, DC9_Refusal_Kind::Time_Stamp_Ahead, d);
    }
    case Parse_Result::Accepted_Plain:
        if (message.own_key) {
            // plaintext could come from anyone who reaches the port
            return refuse(Response_Kind::NAK, DC9_Refusal_Kind::Plain_For_Own_Key);
        }
        if (config.DC9_AES_Mode != 0) {
            return refuse(Response_Kind::DUH, DC9_Refusal_Kind::Plain_While_Encrypted, config.DC9_AES_Mode);
        }
        return Response_Kind::ACK;
    }
    return std::nullopt;
}

std::string Build_DC9_Response(Response_Kind kind, const DC9_Message& message, std::time_t now,
                               const Config_Record& config, const PaddingRandom& random,
                               const AccountKeys* keys)
{
    std::string frame;
    frame.reserve(128);
    frame += "\n00000000\"";
    frame += responseToken(kind);
    frame += '"';
    if (kind == Response_Kind::NAK) {
        frame += "0000R0L0A0";
    } else {
        char sequence[16];
        std::snprintf(sequence, sizeof sequence, "%04d", message.sequence);
        frame += sequence;
        if (fieldLength(message.receiver) != 0) {
            frame += 'R';
            frame.append(message.receiver, fieldLength(message.receiver));
        }
        frame += 'L';
        if (fieldLength(message.line) != 0) {
            frame.append(message.line, fieldLength(message.line));
        } else {
            frame += '0';
        }
        frame += '#';
        frame.append(message.header_account, fieldLength(message.header_account));
    }
    frame += '[';

    const bool stamped =
        message.message_time != 0 || kind == Response_Kind::Encrypted_ACK || kind == Response_Kind::NAK;
    char stamp[64] = "]";
    std::size_t stampLength = 1;
    if (stamped) {
        const std::tm tm = utcTime(config) ? utcTimeOf(now) : localTimeOf(now);
        const int n = std::snprintf(stamp, sizeof stamp, "]_%02d:%02d:%02d,%02d-%02d-%04d", tm.tm_hour,
                                    tm.tm_min, tm.tm_sec, tm.tm_mon + 1, tm.tm_mday, tm.tm_year + 1900);
        stampLength = n > 0 ? std::min(std::size_t(n), sizeof stamp - 1) : 0;
    }

    if (kind == Response_Kind::Encrypted_ACK) {
        const AccountKey* own = keys != nullptr ? keys->find(fieldText(message.header_account)) : nullptr;
        const CipherKey key = own != nullptr ? keyOf(*own) : globalKey(config);
        AES_Round_Keys roundKeys;
        if (key.bits == 0 || !AES_Expand_Key(key.bytes, key.bits, roundKeys)) {
            return {};
        }
        const std::size_t l = 1 + stampLength;
        const std::size_t padding = 16 * (l / 16 + 1) - l;
        std::array<std::uint8_t, 96> plain{};
        for (std::size_t k = 0; k < padding; ++k) {
            plain[k] = std::uint8_t(0x10 + (random ? random() : defaultRandom()) % 64);
        }
        plain[padding] = '|';
        std::memcpy(plain.data() + padding + 1, stamp, stampLength);
        const std::size_t total = padding + l;
        if (!CBC_Encrypt(plain.data(), total / 16, roundKeys)) {
            return {};
        }
        appendHex(frame, plain.data(), total);
    } else {
        frame.append(stamp, stampLength);
    }

    constexpr std::size_t kBodyStart = 9;
    const std::size_t bodyLength = frame.size() - kBodyStart;
    std::string header;
    appendHex4(header,
               DC9_CRC16(reinterpret_cast<const std::uint8_t*>(frame.data() + kBodyStart), bodyLength));
    appendHex4(header, unsigned(bodyLength));
    frame.replace(1, 8, header);
    frame += '\r';
    return frame;
}

DC9_Judgement Judge_DC9_Frame(const char* data, std::size_t size, std::time_t now,
                              const Config_Record& config, const PaddingRandom& random,
                              const AccountKeys* keys, const AccountAdmission& admitted)
{
    DC9_Judgement j;
    // The parser works in place and may stop at a zero byte; it gets its own copy.
    std::string text(data, size);
    j.result = Parse_DC9_Message(text.data(), size, config, j.message, keys, &j.refusal);
    j.kind = Decide_DC9_Response(j.result, j.message, now, config, &j.refusal);
    const std::string_view account(j.message.account, ::strnlen(j.message.account, sizeof j.message.account));
    if (j.accepted() && knownAccountsOnly(config) && admitted && !admitted(account)) {
        j.kind = Response_Kind::DUH; // a stranger's account: not stored, not forwarded
        j.refusal.kind = DC9_Refusal_Kind::Unknown_Account;
        noteAccount(j.refusal, j.message);
    }
    if (j.kind) {
        j.response = Build_DC9_Response(*j.kind, j.message, now, config, random, keys);
    }
    return j;
}
