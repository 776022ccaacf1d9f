// Key field rules: nibble-wise hex entry that keeps untouched bytes, raw text entry, and the refresh text.
#include "dc09/KeyEntry.h"

#include "config/ConfigRecord.h"
#include "config/HexDigit.h"

#include <algorithm>
#include <cstring>

KeyEntryResult applyKeyEntry(const AesKeyBytes& key, std::uint8_t aesMode, KeyFormat format,
                             std::string_view text)
{
    KeyEntryResult result;
    result.key = key;
    result.text = std::string(text);
    const std::size_t n = aesKeyLength(aesMode);

    if (format == KeyFormat::Text) {
        result.key.fill(0);
        std::memcpy(result.key.data(), text.data(), std::min(text.size(), result.key.size()));
        return result;
    }

    for (std::size_t i = 0; i < text.size(); ++i) {
        const int nibble = hexDigitValue(text[i]);
        if (nibble < 0 || i / 2 >= n) {
            result.text = std::string(text.substr(0, i));
            result.textCut = true;
            result.beep = true;
            return result;
        }
        std::uint8_t& byte = result.key[i / 2];
        byte =
            i % 2 == 0 ? std::uint8_t((byte & 0x0F) | (nibble << 4)) : std::uint8_t((byte & 0xF0) | nibble);
    }
    return result;
}

std::string keyDisplayText(const AesKeyBytes& key, std::uint8_t aesMode, KeyFormat format)
{
    static const char kHex[] = "0123456789abcdef";
    const std::size_t n = aesKeyLength(aesMode);
    std::string text;
    if (format == KeyFormat::Hex) {
        for (std::size_t i = 0; i < n; ++i) {
            text += kHex[key[i] >> 4];
            text += kHex[key[i] & 15];
        }
        return text;
    }
    for (std::size_t i = 0; i < n && key[i] != 0; ++i) {
        text += char(key[i]);
    }
    return text;
}

bool keyShowsAsText(const AesKeyBytes& key)
{
    bool ended = false;
    for (const std::uint8_t b : key) {
        if (b == 0) {
            ended = true;
        } else if (ended || b < 0x20 || (b >= 0x7F && b < 0xA0)) {
            return false;
        }
    }
    return true;
}

std::size_t keyMaxLength(std::uint8_t aesMode, KeyFormat format)
{
    const std::size_t n = aesKeyLength(aesMode);
    return format == KeyFormat::Hex ? 2 * n : n;
}
