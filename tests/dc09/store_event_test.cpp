// Storing accepted messages: one journal event per message, its account brought up to date first.
#include "dc09/StoreEvent.h"
#include "store/AccountTable.h"
#include "store/Journal.h"
#include "store/RecordText.h"
#include "store/StoreTestSupport.h"

#include <cstring>
#include <gtest/gtest.h>

namespace {
constexpr std::time_t kReceived = 1796601600; // 2026-12-07 00:00:00 UTC

DC9_Message makeMessage(const char* account, const char* event, const char* extended = "")
{
    DC9_Message m;
    m.sequence = 12;
    setFieldText(m.receiver, "R1");
    setFieldText(m.line, "L2");
    setFieldText(m.account, account);
    setFieldText(m.event, event);
    setFieldText(m.partition, "01");
    setFieldText(m.zone, "015");
    m.message_time = 42;
    setFieldText(m.extended, extended);
    return m;
}

class StoreEventTest : public ::testing::Test {
protected:
    StoreEventTest()
        : journal({dir.file("kalvor.dat"), dir.file("extevn.dat")}, log.sink(), [](int) {}),
          accounts(dir.file("latevn.dat"))
    {
        journal.load();
        accounts.load();
    }

    void store(const DC9_Message& m, std::string_view address = "10.1.2.3", int port = 50001)
    {
        const FileFailure failed = Store_DC9_Event(m, kReceived, address, port, accounts, journal);
        EXPECT_TRUE(failed.ok()) << failed.text();
    }

    TempDir dir;
    LogRecorder log;
    Journal journal;
    AccountTable accounts;
};

TEST_F(StoreEventTest, ContactIdEventBecomesJournalSlotAndAccount)
{
    store(makeMessage("1234", "1130", "[Q87]"));

    JournalRecord expected;
    std::memset(&expected, 0, sizeof expected);
    expected.status = journal::kStored;
    setFieldText(expected.receiver, "R1");
    setFieldText(expected.line, "L2");
    setFieldText(expected.account, "1234");
    setFieldText(expected.event, "1130");
    setFieldText(expected.partition, "01");
    setFieldText(expected.zone, "015");
    expected.time_received = std::int32_t(kReceived);
    setFieldText(expected.address, "10.1.2.3");
    expected.port = 50001;
    const JournalRecord slot = journal.record(0);
    EXPECT_EQ(std::memcmp(&slot, &expected, sizeof slot), 0);
    EXPECT_EQ(journal.extendedText(0), "[Q87]");
    EXPECT_EQ(journal.nextSlot(), 1u);

    const AccountRecord account = accounts.record(0);
    EXPECT_EQ(fieldText(account.account), "1234");
    EXPECT_EQ(fieldText(account.event), "1130");
    EXPECT_EQ(account.last_time, std::int32_t(kReceived));
    EXPECT_EQ(account.signal, 87);
    EXPECT_EQ(account.ping_minutes, 6);
    const auto file = readBytes(dir.file("latevn.dat"));
    EXPECT_EQ(std::memcmp(file.data(), &account, sizeof account), 0) << "the account slot is on disk";
}

TEST_F(StoreEventTest, AddressComesFromTheMessageOrTheConnection)
{
    struct Case {
        const char* extended;
        const char* remote;
        const char* stored;
    };
    const Case cases[] = {
        {"[B192.168.7.70]", "10.1.2.3", "192.168.7.70"},
        {"", "255.255.255.255", "255.255.255.255"}, // 15 characters fit
        {"", "::ffff:10.11.12.13", ""},             // too long for the field: left empty
        {"[B]", "10.1.2.3", "10.1.2.3"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.remote);
        const std::size_t slot = journal.nextSlotIndex();
        store(makeMessage("1234", "1130", c.extended), c.remote);
        EXPECT_EQ(fieldText(journal.record(slot).address), c.stored);
        EXPECT_EQ(fieldText(accounts.record(0).address), c.stored);
    }
}

TEST_F(StoreEventTest, LinkTestIsStoredLikeAnEvent)
{
    store(makeMessage("1234", "1130"));
    store(makeMessage("1234", "NULL"));
    const JournalRecord slot = journal.record(1);
    EXPECT_EQ(slot.status, journal::kStored);
    EXPECT_EQ(fieldText(slot.event), "NULL");
    EXPECT_EQ(fieldText(accounts.record(0).event), "NULL");
    EXPECT_EQ(fieldText(accounts.record(1).account), "") << "same account, same slot";
}

TEST_F(StoreEventTest, BadQualityValueNeverStopsTheMessage)
{
    store(makeMessage("A", "1130", "[Q12.5]"));
    store(makeMessage("B", "1130", "[Q1234567890123456]"));
    EXPECT_EQ(journal.nextSlot(), 2u);
    EXPECT_EQ(accounts.record(0).signal, 255);
    EXPECT_EQ(accounts.record(1).signal, 255);
}

TEST_F(StoreEventTest, UnterminatedMessageFieldsAreCutToTheirWidth)
{
    DC9_Message m = makeMessage("1", "1130");
    std::memset(m.receiver, '7', sizeof m.receiver);
    std::memset(m.account, '9', sizeof m.account);
    std::memset(m.extended, 'x', sizeof m.extended);
    store(m);
    EXPECT_EQ(fieldText(journal.record(0).receiver), "777777");
    EXPECT_EQ(journal.record(0).receiver[6], '\0');
    EXPECT_EQ(fieldText(journal.record(0).account), std::string(16, '9'));
    EXPECT_EQ(journal.extendedText(0), std::string(63, 'x'));
    EXPECT_EQ(fieldText(accounts.record(0).account), std::string(16, '9'));
}

TEST_F(StoreEventTest, The2049thMessageOverwritesSlotZero)
{
    // Staged only: a sync each would make the test slow without testing more.
    for (int i = 0; i < 2048; ++i)
        (void)Stage_DC9_Event(makeMessage("1234", "NULL"), kReceived, "10.1.2.3", 50001, accounts, journal);
    store(makeMessage("1234", "1401"));
    EXPECT_EQ(journal.nextSlot(), 1u);
    EXPECT_EQ(fieldText(journal.record(0).event), "1401");
    EXPECT_EQ(fieldText(journal.record(1).event), "NULL");
    EXPECT_TRUE(log.lines().empty()) << "overwriting link tests loses no alarm";
}
} // namespace
