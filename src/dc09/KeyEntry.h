// The rules of the AES key field on the "DC-09 Receiver" page, as pure functions: what a change of the
// field's text does to the key, and what the field shows. The window wires them to its widgets.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

using AesKeyBytes = std::array<std::uint8_t, 32>;

// How the operator types the key; not stored, Text at every start.
enum class KeyFormat { Text, Hex };

struct KeyEntryResult {
    AesKeyBytes key{};    // the key after the change (all 32 bytes; the caller copies them into DC9_AES_Key)
    std::string text;     // the field's text after the change
    bool textCut = false; // text was cut: put `text` back into the field and move the caret to its end
    bool beep = false;    // sound the system beep
};

// Handles a change of the key field's text. `text` is the field's text as single-byte characters
// (Latin-1). Hex: digits of either case set the key's nibbles from the start, bytes beyond the text
// keep their value; a non-hex character, or a digit past the key length of `aesMode`, cuts the text
// before it with a beep; an empty text changes nothing. Text: the key becomes the text's first 32 bytes,
// zero-filled.
[[nodiscard]] KeyEntryResult applyKeyEntry(const AesKeyBytes& key, std::uint8_t aesMode, KeyFormat format,
                                           std::string_view text);

// The field's text on a page refresh: the first 16, 24 or 32 key bytes (by mode; 16 when off) as
// lowercase hex pairs, or as characters up to the first zero byte. Set it only when the field has no focus.
[[nodiscard]] std::string keyDisplayText(const AesKeyBytes& key, std::uint8_t aesMode, KeyFormat format);

// Whether the text format shows the key as it is: printable characters up to its first zero byte,
// and only zeros after it. Any other key (one that starts with a zero byte, say) shows in hex, or it
// would look like no key at all.
[[nodiscard]] bool keyShowsAsText(const AesKeyBytes& key);

// The field's maximum length: twice the key length in hex, the key length in text.
[[nodiscard]] std::size_t keyMaxLength(std::uint8_t aesMode, KeyFormat format);
