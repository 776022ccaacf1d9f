// Bounded access to the fixed-width text fields of the record files. A field read from a damaged
// file may lack its NUL, so every read stops at the field's width.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

// The text of a field: up to its first NUL, never past its width.
template <std::size_t N> [[nodiscard]] std::string_view fieldText(const char (&field)[N])
{
    const void* nul = std::memchr(field, 0, N);
    return std::string_view(field, nul ? std::size_t(static_cast<const char*>(nul) - field) : N);
}

// Copies at most N-1 characters of `text` (up to its first NUL) and NUL-pads the rest of the field.
template <std::size_t N> void setFieldText(char (&field)[N], std::string_view text)
{
    const std::size_t nul = text.find('\0');
    if (nul != std::string_view::npos)
        text = text.substr(0, nul);
    const std::size_t n = text.size() < N - 1 ? text.size() : N - 1;
    if (n > 0) // an empty view may carry no pointer at all
        std::memcpy(field, text.data(), n);
    std::memset(field + n, 0, N - n);
}

// Text of a C buffer of known size that may lack its NUL.
[[nodiscard]] inline std::string_view boundedText(const char* text, std::size_t size)
{
    if (text == nullptr)
        return {};
    return std::string_view(text, ::strnlen(text, size));
}
