// Parsing and matching of the address settings, on inet_pton alone.
#include "config/AddressList.h"

#include <arpa/inet.h>
#include <charconv>
#include <cstring>

namespace {

// An IPv4 address mapped into IPv6 (::ffff:a.b.c.d) as the IPv4 address itself.
AddressRange unmapped(AddressRange a)
{
    static constexpr std::uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (a.ipv6 && a.prefixBits == 128 && std::memcmp(a.bytes.data(), kMapped, sizeof kMapped) == 0) {
        AddressRange v4;
        std::memcpy(v4.bytes.data(), a.bytes.data() + 12, 4);
        v4.prefixBits = 32;
        return v4;
    }
    return a;
}

bool inRange(const AddressRange& range, const AddressRange& a)
{
    if (range.ipv6 != a.ipv6)
        return false;
    const int whole = range.prefixBits / 8;
    if (std::memcmp(range.bytes.data(), a.bytes.data(), std::size_t(whole)) != 0)
        return false;
    const int rest = range.prefixBits % 8;
    if (rest == 0)
        return true;
    const auto mask = std::uint8_t(0xFF << (8 - rest));
    return (range.bytes[std::size_t(whole)] & mask) == (a.bytes[std::size_t(whole)] & mask);
}

std::string_view trimmedSpaces(std::string_view text)
{
    while (!text.empty() && text.front() == ' ')
        text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ')
        text.remove_suffix(1);
    return text;
}

} // namespace

std::optional<AddressRange> parseAddress(std::string_view text)
{
    // inet_pton needs a terminated string; no address is longer than this.
    char buffer[64];
    if (text.empty() || text.size() >= sizeof buffer)
        return std::nullopt;
    std::memcpy(buffer, text.data(), text.size());
    buffer[text.size()] = '\0';
    AddressRange a;
    if (::inet_pton(AF_INET, buffer, a.bytes.data()) == 1) {
        a.prefixBits = 32;
        return a;
    }
    if (::inet_pton(AF_INET6, buffer, a.bytes.data()) == 1) {
        a.ipv6 = true;
        a.prefixBits = 128;
        return a;
    }
    return std::nullopt;
}

AddressListParse parseAddressList(std::string_view text)
{
    AddressListParse out;
    if (trimmedSpaces(text).empty())
        return out;
    std::size_t from = 0;
    while (from <= text.size()) {
        const std::size_t comma = std::min(text.find(',', from), text.size());
        const std::string_view entry = trimmedSpaces(text.substr(from, comma - from));
        from = comma + 1;
        const std::size_t slash = entry.find('/');
        std::optional<AddressRange> range = parseAddress(entry.substr(0, slash));
        if (!range) {
            out.error = "\"" + std::string(entry) + "\" is not an IPv4 or IPv6 address or range";
            break;
        }
        if (slash != std::string_view::npos) {
            const std::string_view bits = entry.substr(slash + 1);
            int prefix = -1;
            const auto [end, ec] = std::from_chars(bits.data(), bits.data() + bits.size(), prefix);
            if (ec != std::errc() || end != bits.data() + bits.size() || bits.empty() || prefix < 0 ||
                prefix > range->prefixBits) {
                out.error = "\"" + std::string(entry) + "\" has no valid prefix length (0 to " +
                            std::to_string(range->prefixBits) + ")";
                break;
            }
            range->prefixBits = prefix;
        }
        out.ranges.push_back(unmapped(*range));
    }
    if (!out.error.empty())
        out.ranges.clear();
    return out;
}

bool addressInRanges(const std::vector<AddressRange>& ranges, std::string_view address)
{
    // A link-local peer carries its interface ("fe80::1%eth0"); the range names the address alone.
    const std::optional<AddressRange> parsed = parseAddress(address.substr(0, address.find('%')));
    if (!parsed)
        return false;
    const AddressRange peer = unmapped(*parsed);
    // An IPv6 range may name IPv4 peers in their mapped form (::ffff:0:0/96 is every one of them).
    AddressRange mapped;
    mapped.ipv6 = true;
    mapped.prefixBits = 128;
    mapped.bytes[10] = mapped.bytes[11] = 0xFF;
    std::memcpy(mapped.bytes.data() + 12, peer.bytes.data(), 4);
    for (const AddressRange& range : ranges)
        if (inRange(range, peer) || (!peer.ipv6 && inRange(range, mapped)))
            return true;
    return false;
}
