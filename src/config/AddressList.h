// Network addresses as the settings hold them: one address to listen on, or a comma-separated list
// of addresses and CIDR ranges that may connect. IPv4 and IPv6; no Qt, no name look-ups.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct AddressRange {
    bool ipv6 = false;
    std::array<std::uint8_t, 16> bytes{}; // 4 used for IPv4
    int prefixBits = 0;                   // 32 or 128 for a single address
};

// One numeric address without a range ("192.0.2.7", "2001:db8::1"); none for anything else.
[[nodiscard]] std::optional<AddressRange> parseAddress(std::string_view text);

// "127.0.0.1, 10.1.0.0/16, fd00::/8": the ranges in order, or the reason the text is refused.
// Spaces around an entry are allowed (no other white space); an empty text is an empty list.
struct AddressListParse {
    std::vector<AddressRange> ranges;
    std::string error; // empty when the whole text was read
};
[[nodiscard]] AddressListParse parseAddressList(std::string_view text);

// Whether `address` (numeric text, as a socket reports it) lies in one of `ranges`. An IPv4 peer seen
// by a dual-stack socket (::ffff:a.b.c.d) counts as the IPv4 address it is.
[[nodiscard]] bool addressInRanges(const std::vector<AddressRange>& ranges, std::string_view address);
