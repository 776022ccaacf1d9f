// The account table: finding and creating accounts, supervision, deletion, and the file view that
// each commit of the log writes.
#include "store/AccountTable.h"
#include "store/RecordText.h"
#include "store/StoreTestSupport.h"

#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <limits>

namespace {
std::vector<std::uint8_t> slotBytes(const std::vector<std::uint8_t>& file, std::size_t slot)
{
    return slice(file, slot * 80, 80);
}

class AccountTableTest : public ::testing::Test {
protected:
    explicit AccountTableTest(FileIo& io = FileIo::posix()) : table(dir.file("latevn.dat"), io, log.sink())
    {
        table.onChanged = [this] { ++refreshes; };
        // What the store does a moment later: the changes go to the log, and the file follows.
        table.onNeedsCommit = [this] { commit(); };
    }

    void commit() { table.committed(table.takeChanged()); }
    std::optional<std::size_t> update(JournalRecord& r, const char* extended)
    {
        const auto slot = table.stage(r, extended);
        commit();
        return slot;
    }
    std::size_t store(const char* account, const char* extended = "", const char* event = "1130")
    {
        JournalRecord r = makeRecord(account, event);
        const auto slot = update(r, extended);
        EXPECT_TRUE(slot.has_value()) << account;
        return slot.value_or(0);
    }
    void acknowledgeReport(std::size_t slot)
    {
        const auto due = table.nextReportDue(slot);
        ASSERT_TRUE(due.has_value() && due->slot == slot);
        EXPECT_TRUE(table.clearReportDue(*due));
    }
    std::vector<std::uint8_t> file() const { return readBytes(dir.file("latevn.dat")); }

    TempDir dir;
    LogRecorder log;
    int refreshes = 0;
    AccountTable table;
};

TEST_F(AccountTableTest, NewAccountIsWrittenAsExpectedRecord)
{
    table.load();
    EXPECT_EQ(file(), std::vector<std::uint8_t>(163840, 0));

    JournalRecord r = makeRecord("1234");
    ASSERT_EQ(update(r, "[Q87]"), 0u);

    std::vector<std::uint8_t> golden(80, 0);
    putLe32(golden, 0, std::uint32_t(kTestTime));
    put(golden, 4, "1234");
    put(golden, 21, "0001");
    put(golden, 28, "02");
    put(golden, 35, "1130");
    put(golden, 40, "01");
    put(golden, 43, "015");
    put(golden, 47, "10.0.0.7");
    putLe32(golden, 64, 40123);
    golden[68] = 87;
    putLe32(golden, 72, 6);
    putLe32(golden, 76, 360);
    EXPECT_EQ(slotBytes(file(), 0), golden);
    EXPECT_EQ(refreshes, 1);
}

TEST_F(AccountTableTest, SignalAndTimeoutOfANewAccountFollowTheQualityTag)
{
    struct Case {
        const char* account;
        const char* extended;
        std::uint8_t signal;
        std::int32_t minutes;
    };
    const Case cases[] = {
        {"A1", "[Q87]", 87, 6},
        {"A2", "", 255, 70},
        {"A3", "[Q12.5]", 255, 6},             // a value with a point is no number
        {"A4", "[Q1234567890123456]", 255, 6}, // too long for an integer
        {"A5", "[Q300]", 44, 6},               // the low 8 bits
        {"A6", "[Q]", 255, 70},
        {"A7", "[QX9]", 255, 70},
        {"A8", "[Q0087]", 87, 6},
    };
    table.load();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.account);
        const AccountRecord rec = table.record(store(c.account, c.extended));
        EXPECT_EQ(rec.signal, c.signal);
        EXPECT_EQ(rec.ping_minutes, c.minutes);
        EXPECT_EQ(rec.ping_countdown, c.minutes * 60);
    }
}

TEST_F(AccountTableTest, AccountNumbersCompareAsWholeExactTexts)
{
    table.load();
    EXPECT_EQ(store("1234"), 0u);
    EXPECT_EQ(store("01234"), 1u);
    EXPECT_EQ(store("1234A"), 2u);
    EXPECT_EQ(store("123"), 3u);
    EXPECT_EQ(store("1234"), 0u);

    JournalRecord empty = makeRecord("");
    EXPECT_FALSE(update(empty, "").has_value()) << "an empty number is no account";
    EXPECT_EQ(fieldText(table.record(4).account), "");
}

TEST_F(AccountTableTest, KnownAccountTakesLastMessageAndReportedAddress)
{
    table.load();
    const std::size_t slot = store("1234", "[Q50]");
    table.setPingMinutes(slot, 3);
    for (int i = 0; i < 100; ++i)
        table.supervisionTick();
    EXPECT_EQ(table.record(slot).ping_countdown, 80);

    JournalRecord r = makeRecord("1234", "NULL", kTestTime + 100);
    r.port = 5555;
    ASSERT_EQ(update(r, "[B172.16.254.123456]"), slot);
    const AccountRecord rec = table.record(slot);
    EXPECT_EQ(fieldText(rec.event), "NULL");
    EXPECT_EQ(rec.last_time, kTestTime + 100);
    EXPECT_EQ(rec.port, 5555);
    EXPECT_EQ(rec.signal, 255) << "no quality in this message";
    EXPECT_EQ(rec.ping_minutes, 3);
    EXPECT_EQ(rec.ping_countdown, 180);
    EXPECT_EQ(fieldText(rec.address), "172.16.254.1234") << "cut to 15 characters";
    EXPECT_EQ(fieldText(r.address), "172.16.254.1234") << "the journal record takes it too";

    JournalRecord plain = makeRecord("1234");
    ASSERT_EQ(update(plain, ""), slot);
    EXPECT_EQ(fieldText(table.record(slot).address), "10.0.0.7");
    EXPECT_EQ(slotBytes(file(), slot),
              slotBytes(std::vector<std::uint8_t>(table.image(), table.image() + 163840), slot));
}

TEST_F(AccountTableTest, SilentAccountGoesMissingOnceAndIsRestoredByTheNextMessage)
{
    table.load();
    const std::size_t slot = store("1234");
    store("5678"); // supervised at 70 minutes, stays healthy throughout
    table.setPingMinutes(slot, 1);
    EXPECT_EQ(table.record(slot).ping_countdown, 60);

    for (int tick = 1; tick < 60; ++tick)
        table.supervisionTick();
    EXPECT_EQ(table.record(slot).sup_flags, 0);
    EXPECT_FALSE(table.nextReportDue().has_value());

    table.supervisionTick(); // the 60th
    AccountRecord rec = table.record(slot);
    EXPECT_EQ(rec.sup_flags, accounts::kMissing | accounts::kReportDue);
    EXPECT_EQ(rec.ping_countdown, 0);
    EXPECT_EQ(slotBytes(file(), slot)[69], accounts::kMissing | accounts::kReportDue)
        << "written with the report that is due";
    auto due = table.nextReportDue();
    ASSERT_TRUE(due.has_value());
    EXPECT_EQ(due->slot, slot);
    EXPECT_EQ(due->account, "1234");
    EXPECT_EQ(due->receiver, "0001");
    EXPECT_EQ(due->line, "02");
    EXPECT_TRUE(due->missing);

    EXPECT_TRUE(table.clearReportDue(*due));
    EXPECT_EQ(slotBytes(file(), slot)[69], accounts::kMissing) << "the acknowledged report is written off";
    const std::vector<std::uint8_t> before = file();
    for (int tick = 0; tick < 300; ++tick)
        table.supervisionTick();
    EXPECT_EQ(table.record(slot).sup_flags, accounts::kMissing) << "declared missing only once";
    EXPECT_EQ(file(), before);

    store("1234");
    rec = table.record(slot);
    EXPECT_EQ(rec.sup_flags, accounts::kReportDue);
    EXPECT_EQ(rec.ping_countdown, 60);
    EXPECT_EQ(slotBytes(file(), slot)[69], accounts::kReportDue);
    due = table.nextReportDue();
    ASSERT_TRUE(due.has_value());
    EXPECT_FALSE(due->missing);
}

TEST_F(AccountTableTest, ReportStillDueAfterARestart)
{
    // Missing (1350) and restored (3350) reports that were due when the program stopped are still
    // due when it starts again; an acknowledged one is not.
    table.load();
    const std::size_t lost = store("1234");
    const std::size_t back = store("5678");
    const std::size_t acknowledged = store("9999");
    for (const std::size_t slot : {lost, back, acknowledged})
        table.setPingMinutes(slot, 1);
    for (int tick = 0; tick < 60; ++tick)
        table.supervisionTick();
    store("5678");
    acknowledgeReport(acknowledged);

    AccountTable restarted(dir.file("latevn.dat"));
    restarted.load();
    const auto first = restarted.nextReportDue();
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->slot, lost);
    EXPECT_TRUE(first->missing);
    const auto second = restarted.nextReportDue(first->slot + 1);
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ(second->slot, back);
    EXPECT_FALSE(second->missing);
    EXPECT_FALSE(restarted.nextReportDue(second->slot + 1).has_value());
}

TEST_F(AccountTableTest, AcknowledgementOfAnOutdatedReportKeepsTheNewerOneDue)
{
    table.load();
    const std::size_t slot = store("1234");
    table.setPingMinutes(slot, 1);
    for (int tick = 0; tick < 60; ++tick)
        table.supervisionTick();
    const auto missingReport = table.nextReportDue();
    ASSERT_TRUE(missingReport.has_value());

    store("1234"); // the panel is back while the missing report waits for its answer
    EXPECT_FALSE(table.clearReportDue(*missingReport));
    const auto restoreReport = table.nextReportDue();
    ASSERT_TRUE(restoreReport.has_value());
    EXPECT_FALSE(restoreReport->missing);

    AccountTable::DueReport moved = *restoreReport;
    moved.account = "9999"; // the slot now holds another account, e.g. after a deletion
    EXPECT_FALSE(table.clearReportDue(moved));
    EXPECT_TRUE(table.clearReportDue(*restoreReport));
    EXPECT_FALSE(table.nextReportDue().has_value());
}

TEST_F(AccountTableTest, ZeroTimeoutStopsSupervisionButKeepsMissing)
{
    table.load();
    const std::size_t slot = store("1234");
    table.setPingMinutes(slot, 1);
    for (int tick = 0; tick < 60; ++tick)
        table.supervisionTick();
    acknowledgeReport(slot);

    table.setPingMinutes(slot, 0);
    for (int tick = 0; tick < 200; ++tick)
        table.supervisionTick();
    AccountRecord rec = table.record(slot);
    EXPECT_EQ(rec.sup_flags, accounts::kMissing);
    EXPECT_EQ(rec.ping_countdown, 0);

    store("1234");
    rec = table.record(slot);
    EXPECT_EQ(rec.sup_flags, accounts::kReportDue);
    EXPECT_EQ(rec.ping_countdown, 0) << "an unsupervised account keeps its countdown stopped";
    EXPECT_EQ(rec.ping_minutes, 0);
}

TEST_F(AccountTableTest, DeletingCompactsAndRewritesTheWholeFile)
{
    table.load();
    store("A");
    store("B");
    store("C");
    // Something stray in the file beyond the used slots is overwritten by the whole-image write.
    auto bytes = file();
    bytes[80 * 100] = 0x5A;
    writeBytes(dir.file("latevn.dat"), bytes);
    const int refreshesBefore = refreshes;

    table.deleteAccount(0);
    EXPECT_EQ(fieldText(table.record(0).account), "B");
    EXPECT_EQ(fieldText(table.record(1).account), "C");
    const AccountRecord empty = table.record(2);
    EXPECT_EQ(std::vector<std::uint8_t>(reinterpret_cast<const std::uint8_t*>(&empty),
                                        reinterpret_cast<const std::uint8_t*>(&empty) + 80),
              std::vector<std::uint8_t>(80, 0));
    EXPECT_EQ(file(), std::vector<std::uint8_t>(table.image(), table.image() + 163840));
    EXPECT_EQ(refreshes, refreshesBefore + 1);

    table.deleteAccount(2047);
    table.deleteAccount(5000); // out of range: ignored
    EXPECT_EQ(fieldText(table.record(1).account), "C");

    // Lookups follow the moved slots; the deleted account comes back in the first free one.
    EXPECT_EQ(store("C"), 1u);
    EXPECT_EQ(store("B"), 0u);
    EXPECT_EQ(store("A"), 2u);
}

TEST_F(AccountTableTest, FullTableLeavesNewAccountsOut)
{
    table.load();
    for (int i = 0; i < 2048; ++i)
        store(std::to_string(i).c_str());
    JournalRecord r = makeRecord("new");
    EXPECT_FALSE(update(r, "[B1.2.3.4]").has_value());
    EXPECT_EQ(fieldText(r.address), "10.0.0.7") << "the journal keeps the connection's address";
    EXPECT_EQ(fieldText(table.record(2047).account), "2047");
}

TEST_F(AccountTableTest, DamagedFileLoadsAndStaysWithinBounds)
{
    // Short file: slots 0..11 all 0xFF (no NUL in any text, ping_minutes -1), slot 12 partly
    // present; slot 1 claims an enormous timeout.
    std::vector<std::uint8_t> bytes(1000, 0xFF);
    putLe32(bytes, 80 + 72, std::uint32_t(std::numeric_limits<std::int32_t>::max()));
    writeBytes(dir.file("latevn.dat"), bytes);
    table.load();
    EXPECT_EQ(file().size(), 1000u) << "an existing file is not rewritten at load";
    EXPECT_EQ(table.record(0).ping_countdown, 0);
    EXPECT_EQ(table.record(1).ping_countdown, std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(fieldText(table.record(0).account).size(), 17u);

    for (int tick = 0; tick < 3; ++tick)
        table.supervisionTick();
    EXPECT_EQ(store("1234"), 13u);
    EXPECT_EQ(table.record(13).ping_minutes, 70);
}

class FailingAccountTableTest : public AccountTableTest {
protected:
    FailingAccountTableTest() : AccountTableTest(io) {}
    static inline FailingFileIo io;
    void TearDown() override { io.heal(); }
};

TEST_F(FailingAccountTableTest, WriteFailuresAreSaidOnceAndTheFileCatchesUpOnceItWorks)
{
    table.load();
    io.failOn(dir.file("latevn.dat"), FailingFileIo::Op::Open, EACCES);
    const std::size_t slot = store("1234");
    (void)store("1234");
    EXPECT_EQ(refreshes, 2) << "the view shows the update even when the file did not take it";
    EXPECT_EQ(fieldText(table.record(slot).account), "1234");
    EXPECT_EQ(file(), std::vector<std::uint8_t>(163840, 0));
    ASSERT_EQ(log.lines().size(), 1u) << "once for the whole failure";
    EXPECT_EQ(log.lines()[0].text, "File open error. " + dir.file("latevn.dat") + OS_Error_Text(EACCES));
    EXPECT_EQ(log.lines()[0].colour, LogColour::Red);

    io.heal();
    EXPECT_TRUE(table.checkpoint().ok());
    EXPECT_EQ(slotBytes(file(), slot),
              slotBytes(std::vector<std::uint8_t>(table.image(), table.image() + 163840), slot));
    io.failOn(dir.file("latevn.dat"), FailingFileIo::Op::Sync, EIO);
    (void)store("5678");
    EXPECT_FALSE(table.checkpoint().ok());
    EXPECT_EQ(log.lines().size(), 2u) << "a new episode after it worked";
}
} // namespace

// A table file deleted or cut short while the receiver runs is made again whole from memory: the
// accounts stored before stay in it beside the one written now.
TEST_F(AccountTableTest, AMissingFileIsMadeAgainWholeAtTheNextCommit)
{
    for (const bool shortened : {false, true}) {
        table.load();
        const std::size_t earlier = store("1234");
        if (shortened)
            std::filesystem::resize_file(dir.file("latevn.dat"), 100);
        else
            std::filesystem::remove(dir.file("latevn.dat"));
        (void)table.checkpoint();
        const std::size_t later = store(shortened ? "6789" : "5678");
        const auto bytes = file();
        ASSERT_EQ(bytes.size(), 163840u);
        EXPECT_EQ(fieldText(reinterpret_cast<const AccountRecord*>(bytes.data() + 80 * earlier)->account),
                  "1234");
        EXPECT_EQ(fieldText(reinterpret_cast<const AccountRecord*>(bytes.data() + 80 * later)->account),
                  shortened ? "6789" : "5678");
    }
}

// At start-up the log's slots are the table: what a kill or a torn sector left different is
// rewritten; a slot the log does not hold is empty.
TEST_F(AccountTableTest, StartUpMakesTheTableAgreeWithTheLog)
{
    table.load();
    store("1234", "[Q50]");
    store("5678");
    auto bytes = file();
    bytes[80 * 1 + 10] ^= 0x20; // a torn record
    bytes[80 * 7 + 4] = '9';    // a phantom account
    writeBytes(dir.file("latevn.dat"), bytes);
    const std::vector<LoggedAccount> fromLog{{0, table.record(0)}, {1, table.record(1)}};
    table.load();
    EXPECT_EQ(table.reconcile(fromLog), 2u);
    EXPECT_EQ(file(), std::vector<std::uint8_t>(table.image(), table.image() + 163840));
    EXPECT_EQ(fieldText(table.record(7).account), "");
    EXPECT_EQ(table.record(0).ping_countdown, 360) << "the countdown is the timeout again";
    EXPECT_EQ(table.slotOf("5678"), 1u);
    EXPECT_EQ(table.reconcile(fromLog), 0u);
}
