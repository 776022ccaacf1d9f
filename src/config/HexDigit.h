// The value of one hex digit typed by a person (either case), for the key and settings entries.
#pragma once

// 0..15, or -1 when `c` is no hex digit.
[[nodiscard]] constexpr int hexDigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}
