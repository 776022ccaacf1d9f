// Connection slots: which connection holds which slot, countdown and closing.
#include "dc09/ConnectionTable.h"

#include <gtest/gtest.h>
#include <string>
#include <utility>
#include <vector>

namespace {

using Closed = std::vector<std::pair<std::string, int>>;

Closed tick(Connection_Table& table, int times = 1)
{
    Closed closed;
    for (int i = 0; i < times; ++i) {
        table.tick(
            [&](std::string_view address, int port) { closed.emplace_back(std::string(address), port); });
    }
    return closed;
}

TEST(ConnectionTable, NewConnectionsTakeTheFirstFreeSlotsAndRenewTheirOwn)
{
    Connection_Table table;
    EXPECT_EQ(table.touch("10.0.0.1", 4000, 5), 0u);
    EXPECT_EQ(table.touch("10.0.0.1", 4001, 5), 1u); // same address, other port: its own slot
    EXPECT_EQ(table.touch("10.0.0.2", 4000, 5), 2u);
    EXPECT_EQ(table.touch("10.0.0.1", 4001, 30), 1u);
    EXPECT_EQ(table.slot(1).seconds_left, 30);
    EXPECT_STREQ(table.slot(1).remote_address, "10.0.0.1");
    EXPECT_EQ(table.slot(1).remote_port, 4001);
    EXPECT_EQ(table.inUse(), 3u);
}

TEST(ConnectionTable, AddressesAreComparedWhole)
{
    // A substring match would take 11.2.3.45 for 1.2.3.4 and close the wrong panel.
    Connection_Table table;
    EXPECT_EQ(table.touch("1.2.3.4", 5000, 5), 0u);
    EXPECT_EQ(table.touch("11.2.3.45", 5000, 30), 1u);
    EXPECT_EQ(table.slot(0).seconds_left, 5);
    EXPECT_EQ(tick(table, 5), (Closed{{"1.2.3.4", 5000}}));
}

TEST(ConnectionTable, OwnSlotBehindAFreeSlotIsRenewedInPlace)
{
    Connection_Table table;
    ASSERT_EQ(table.touch("10.0.0.1", 1, 2), 0u);
    ASSERT_EQ(table.touch("10.0.0.2", 2, 30), 1u);
    tick(table, 2); // slot 0 runs out and is free again
    ASSERT_EQ(table.slot(0).seconds_left, 0);

    // The connection in slot 1 is renewed there; taking free slot 0 as a second slot would leave
    // slot 1 to close the connection 28 seconds early.
    EXPECT_EQ(table.touch("10.0.0.2", 2, 30), 1u);
    EXPECT_EQ(table.slot(1).seconds_left, 30);
    EXPECT_EQ(table.slot(0).seconds_left, 0);
    EXPECT_EQ(table.inUse(), 1u);
    // The free slot in front is still the first one a new connection gets.
    EXPECT_EQ(table.touch("10.0.0.3", 3, 5), 0u);
}

TEST(ConnectionTable, CountdownClosesOnTheLastSecondAndFreesTheSlot)
{
    Connection_Table table;
    table.touch("10.0.0.1", 4000, 5);
    EXPECT_TRUE(tick(table, 4).empty());
    EXPECT_EQ(table.slot(0).seconds_left, 1);
    EXPECT_EQ(tick(table), (Closed{{"10.0.0.1", 4000}}));
    EXPECT_EQ(table.slot(0).seconds_left, 0);
    EXPECT_EQ(table.slot(0).remote_port, 0);
    EXPECT_STREQ(table.slot(0).remote_address, "");
    EXPECT_TRUE(tick(table, 3).empty());
}

TEST(ConnectionTable, ZeroOrNegativeSecondsLeaveTheConnectionUnsupervised)
{
    for (const int seconds : {0, -1, -2147483647}) {
        Connection_Table table;
        table.touch("10.0.0.1", 4000, 5);
        table.touch("10.0.0.1", 4000, seconds);
        EXPECT_EQ(table.slot(0).seconds_left, 0) << seconds;
        EXPECT_TRUE(tick(table, 10).empty()) << seconds;
        EXPECT_EQ(table.inUse(), 0u) << seconds;
    }
}

TEST(ConnectionTable, FullTableRecordsNothingForANewConnection)
{
    Connection_Table table;
    for (int i = 0; i < int(Connection_Table::kSlots); ++i) {
        ASSERT_EQ(table.touch("10.0.0.1", 1000 + i, 5), std::size_t(i));
    }
    EXPECT_EQ(table.touch("10.0.0.2", 999, 5), std::nullopt);
    EXPECT_EQ(table.inUse(), Connection_Table::kSlots);
    // Connections already in the table are still renewed.
    EXPECT_EQ(table.touch("10.0.0.1", 1000 + 2047, 30), 2047u);
    EXPECT_EQ(tick(table, 5).size(), Connection_Table::kSlots - 1);
    EXPECT_EQ(table.touch("10.0.0.2", 999, 5), 0u);
}

TEST(ConnectionTable, ANewcomerTakesTheSlotOfTheIdlestConnectionWithoutAFrame)
{
    // Every slot in use, in order of connecting; those on even ports then sent a whole frame.
    Connection_Table table;
    for (int i = 0; i < int(Connection_Table::kSlots); ++i) {
        ASSERT_EQ(table.admit("10.0.0.1", 1000 + i, 5).slot, std::size_t(i));
    }
    for (int i = 0; i < int(Connection_Table::kSlots); i += 2) {
        table.touch("10.0.0.1", 1000 + i, 30);
    }
    // The frameless ones give way, the one idle the longest first; framed ones never do.
    for (const int expected : {1001, 1003, 1005}) {
        const Connection_Table::Admission a = table.admit("10.0.0.2", expected, 5);
        ASSERT_TRUE(a.slot && a.displaced) << expected;
        EXPECT_EQ(a.displaced->remote_port, expected);
        EXPECT_EQ(a.reason, Connection_Table::Reason::TableFull);
        EXPECT_EQ(table.slot(*a.slot).remote_port, expected); // the newcomer on its port, same slot
        EXPECT_STREQ(table.slot(*a.slot).remote_address, "10.0.0.2");
        EXPECT_FALSE(table.slot(*a.slot).framed);
    }
    // Once every connection in the table has sent a whole frame, the newcomer is refused.
    for (int i = 0; i < int(Connection_Table::kSlots); ++i) {
        table.touch(table.slot(std::size_t(i)).remote_address, table.slot(std::size_t(i)).remote_port, 30);
    }
    const Connection_Table::Admission refused = table.admit("10.0.0.3", 7, 5);
    EXPECT_FALSE(refused.slot);
    EXPECT_FALSE(refused.displaced);
    EXPECT_EQ(refused.reason, Connection_Table::Reason::TableFull);
    EXPECT_EQ(table.inUse(), Connection_Table::kSlots);
}

TEST(ConnectionTable, AnAddressAtItsLimitGivesUpItsOldestConnectionWithoutAFrame)
{
    struct Step {
        const char* address;
        int port;
        bool framesAfter; // the connection then sends a whole frame
        std::optional<int> displacedPort;
        bool refused;
    };
    const Step steps[] = {
        {"10.0.0.1", 1, false, {}, false}, {"10.0.0.1", 2, true, {}, false},
        {"10.0.0.1", 3, true, 1, false},   // over the limit of 2: port 1 had no frame yet
        {"10.0.0.1", 4, false, {}, true},  // both left have sent frames: the newcomer is refused
        {"10.0.0.2", 1, false, {}, false}, // another address has its own count
    };
    Connection_Table table;
    for (const Step& step : steps) {
        SCOPED_TRACE(std::string(step.address) + ":" + std::to_string(step.port));
        const Connection_Table::Admission a = table.admit(step.address, step.port, 5, 2);
        EXPECT_EQ(!a.slot, step.refused);
        EXPECT_EQ(a.displaced ? std::optional<int>(a.displaced->remote_port) : std::nullopt, step.displacedPort);
        if (a.displaced || step.refused) {
            EXPECT_EQ(a.reason, Connection_Table::Reason::AddressLimit);
        }
        if (step.framesAfter) {
            table.touch(step.address, step.port, 30);
        }
    }
    EXPECT_EQ(table.inUse(), 3u);
    // Without a limit, one address may hold any number (a carrier's NAT).
    Connection_Table open;
    for (int port = 1; port <= 300; ++port) {
        ASSERT_TRUE(open.admit("10.0.0.1", port, 5).slot);
    }
}

TEST(ConnectionTable, OnlyAWholeFrameKeepsAConnectionPastTenSeconds)
{
    Connection_Table table;
    ASSERT_TRUE(table.admit("10.0.0.1", 1, 30).slot); // a long countdown without a frame
    ASSERT_TRUE(table.admit("10.0.0.1", 2, 30).slot);
    table.touch("10.0.0.1", 2, 30);
    EXPECT_TRUE(tick(table, 9).empty());
    EXPECT_EQ(tick(table), (Closed{{"10.0.0.1", 1}}));
    EXPECT_TRUE(tick(table, 19).empty());
    EXPECT_EQ(tick(table), (Closed{{"10.0.0.1", 2}}));
}

TEST(ConnectionTable, StaysConsistentThroughAnyMixOfConnectingFramingClosingAndTicking)
{
    // Few ports on two addresses, so the same connection comes back often and the table fills.
    Connection_Table table;
    std::uint32_t state = 12345;
    bool full = false;
    const auto next = [&] { return state = state * 1103515245u + 12345u, state >> 8; };
    for (int step = 0; step < 200000; ++step) {
        const std::string address = next() % 2 ? "10.0.0.1" : "10.0.0.2";
        const int port = int(next() % 5000);
        const unsigned op = next() % 1024;
        if (op < 560) {
            (void)table.admit(address, port, 5, next() % 4 == 0 ? 3 : 0);
        } else if (op < 880) {
            table.touch(address, port, int(next() % 4) * 10);
        } else if (op < 1020) {
            table.release(address, port);
        } else {
            tick(table);
        }
        full = full || table.inUse() == Connection_Table::kSlots;
    }
    EXPECT_TRUE(full); // the newcomers had to take slots from others
    // Every slot in use is found again by its connection, once; then nothing is left.
    std::size_t released = 0;
    for (std::size_t i = 0; i < Connection_Table::kSlots; ++i) {
        const Connection_Slot s = table.slot(i);
        if (s.seconds_left != 0) {
            ASSERT_TRUE(table.release(s.remote_address, s.remote_port)) << i;
            ASSERT_FALSE(table.release(s.remote_address, s.remote_port)) << i;
            ++released;
        }
    }
    EXPECT_GT(released, 1000u);
    EXPECT_EQ(table.inUse(), 0u);
    EXPECT_TRUE(tick(table, 30).empty());
}

TEST(ConnectionTable, ReleaseFreesTheSlotsOfAGoneConnection)
{
    Connection_Table table;
    table.touch("10.0.0.1", 4000, 30);
    table.touch("10.0.0.1", 4001, 30);
    EXPECT_TRUE(table.release("10.0.0.1", 4000));
    EXPECT_FALSE(table.release("10.0.0.1", 4000));
    EXPECT_EQ(table.inUse(), 1u);
    EXPECT_EQ(table.touch("10.0.0.9", 9, 5), 0u);
}

TEST(ConnectionTable, ACloseThatReportsTheConnectionGoneAtOnceLeavesTheSlotFree)
{
    Connection_Table table;
    table.touch("10.0.0.1", 4000, 1);
    table.tick([&](std::string_view address, int port) { EXPECT_FALSE(table.release(address, port)); });
    EXPECT_EQ(table.slot(0).seconds_left, 0);
    EXPECT_TRUE(tick(table, 3).empty());
}

TEST(ConnectionTable, AnAddressTooLongForItsFieldIsRecordedEmptyAndStillMatches)
{
    Connection_Table table;
    const std::string v6 = "2001:db8::1234:5678";
    EXPECT_EQ(table.touch(v6, 4000, 5), 0u);
    EXPECT_STREQ(table.slot(0).remote_address, "");
    EXPECT_EQ(table.touch(v6, 4000, 30), 0u);
    EXPECT_EQ(table.inUse(), 1u);
    EXPECT_EQ(tick(table, 30), (Closed{{"", 4000}}));
}

} // namespace
