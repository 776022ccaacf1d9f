// The address settings: which lists read, and which peers a list lets in.
#include "config/AddressList.h"

#include <gtest/gtest.h>

namespace {

TEST(AddressList, PeersAreMatchedAgainstAddressesAndRanges)
{
    struct Row {
        const char* list;
        const char* peer;
        bool allowed;
    };
    const Row rows[] = {
        {"127.0.0.1", "127.0.0.1", true},
        {"127.0.0.1", "127.0.0.2", false},
        {"127.0.0.1", "::ffff:127.0.0.1", true}, // an IPv4 peer on a dual-stack socket
        {" 10.0.0.1 ,192.168.4.0/22", "192.168.7.255", true},
        {"192.168.4.0/22", "192.168.8.0", false},
        {"10.0.0.0/0", "203.0.113.9", true},
        {"10.0.0.0/0", "2001:db8::1", false}, // a range holds its own family only
        {"2001:db8::/32", "2001:db8:ffff::1", true},
        {"2001:db8::/33", "2001:db8:8000::1", false},
        {"fe80::/10", "fe80::1%eth0", true},
        {"::ffff:192.0.2.1", "192.0.2.1", true},
        {"::ffff:0:0/96", "203.0.113.9", true}, // every IPv4 peer
        {"127.0.0.1", "not an address", false},
    };
    for (const Row& row : rows) {
        const AddressListParse parsed = parseAddressList(row.list);
        ASSERT_TRUE(parsed.error.empty()) << row.list << ": " << parsed.error;
        EXPECT_EQ(addressInRanges(parsed.ranges, row.peer), row.allowed) << row.list << " / " << row.peer;
    }
}

TEST(AddressList, ATextThatDoesNotReadWholeGivesNoRanges)
{
    EXPECT_TRUE(parseAddressList("").ranges.empty());
    EXPECT_TRUE(parseAddressList("  ").error.empty());
    for (const char* bad :
         {"127.0.0.1,", ",127.0.0.1", "10.0.0.0/33", "::/129", "10.0.0.0/", "10.0.0.0/8x", "10.0.0.0/-1",
          "host.example", "127.0.0.1 10.0.0.1", "1.2.3.4/8/8", "\t127.0.0.1"}) {
        const AddressListParse parsed = parseAddressList(bad);
        EXPECT_FALSE(parsed.error.empty()) << bad;
        EXPECT_TRUE(parsed.ranges.empty()) << bad;
    }
    EXPECT_TRUE(parseAddress("::"));
    EXPECT_FALSE(parseAddress("10.0.0.0/8"));
}

} // namespace
