// Storing accepted messages: one journal event per message, its account brought up to date first,
// and the row the event log keeps of it.
#include "dc09/StoreEvent.h"
#include "store/AccountTable.h"
#include "store/EventLog.h"
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
    setFieldText(m.token, "ADM-CID");
    setFieldText(m.content, std::string("[#") + account + "|" + event + " 01 015]" + extended);
    return m;
}

class StoreEventTest : public ::testing::Test {
protected:
    StoreEventTest() { EXPECT_TRUE(stack.open()); }

    void store(const DC9_Message& m, std::string_view address = "10.1.2.3", int port = 50001)
    {
        std::vector<StagedRow> rows;
        rows.push_back(
            Stage_DC9_Event(m, kReceived, EventSource{"tcp", address, port}, ++m_stage, accounts, journal));
        const FileFailure failed = stack.store.commitNow(std::move(rows));
        EXPECT_TRUE(failed.ok()) << failed.text();
    }

    StoreStack stack;
    LogRecorder& log = stack.log;
    TempDir& dir = stack.dir;
    Journal& journal = stack.journal;
    AccountTable& accounts = stack.accounts;
    std::uint64_t m_stage = 0;
};

TEST_F(StoreEventTest, ContactIdEventBecomesJournalSlotAndAccount)
{
    store(makeMessage("1234", "1130", "[Q87]"));

    JournalRecord expected;
    std::memset(&expected, 0, sizeof expected);
    expected.status = journal::kStored | journal::kSaved;
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

    // The log's row: everything the slot holds, and what the slot has no room for.
    const auto log = stack.store.connect(EventLog::Role::Reader);
    const std::vector<LoggedEvent> rows = log->pending(10);
    ASSERT_EQ(rows.size(), 1u);
    const LoggedEvent& row = rows[0];
    EXPECT_EQ(row.receivedUtc, kReceived);
    EXPECT_EQ(row.transport, "tcp");
    EXPECT_EQ(row.sourceAddress, "10.1.2.3");
    EXPECT_EQ(row.sourcePort, 50001);
    EXPECT_EQ(row.sequence, 12);
    EXPECT_EQ(row.token, "ADM-CID");
    EXPECT_EQ(row.content, "[#1234|1130 01 015][Q87]");
    EXPECT_EQ(row.extended, "[Q87]");
    EXPECT_EQ(row.journalSlot, 0);
    EXPECT_EQ(row.accountSlot, 0);
    expected.status = journal::kStored;
    EXPECT_EQ(std::memcmp(&row.record, &expected, sizeof expected), 0);
    EXPECT_EQ(journal.logIdOf(0), row.id);
    EXPECT_EQ(log->accounts().size(), 1u) << "the account's update is in the same commit";
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
    EXPECT_EQ(slot.status, journal::kStored | journal::kSaved);
    EXPECT_EQ(fieldText(slot.event), "NULL");
    EXPECT_EQ(stack.store.connect(EventLog::Role::Reader)->pendingCount(), 1)
        << "a link test is never forwarded";
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
        (void)Stage_DC9_Event(makeMessage("1234", "NULL"), kReceived, EventSource{"tcp", "10.1.2.3", 50001},
                              ++m_stage, accounts, journal);
    store(makeMessage("1234", "1401"));
    EXPECT_EQ(journal.nextSlot(), 1u);
    EXPECT_EQ(fieldText(journal.record(0).event), "1401");
    EXPECT_EQ(fieldText(journal.record(1).event), "NULL");
    EXPECT_TRUE(log.lines().empty()) << "overwriting link tests loses no alarm";
}
} // namespace
