// The event log and its commit path: what a new log takes over from older files, a log that can
// only be made late, a failed commit carried into the next, the results' order, a Clear that the
// next start remembers, rows past their keeping time, and a commit that hangs.
#include "../support/FaultInjection.h"
#include "config/Clock.h"
#include "store/EventLog.h"
#include "store/StoreTestSupport.h"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>

namespace {

using namespace std::chrono_literals;

class EventStoreTest : public ::testing::Test {
protected:
    void SetUp() override { faults::installLogLayer(); }
    void TearDown() override { faults::reset(); }

    std::unique_ptr<EventLog> reader(StoreStack& s) { return s.store.connect(EventLog::Role::Reader); }
};

// Files of an older version hold events (one reported, one not, a link test) and accounts: the new
// log takes them over once, so the pending one is forwarded and a second start takes nothing more.
TEST_F(EventStoreTest, ANewLogTakesOverTheOlderFilesOnce)
{
    TempDir dir;
    {
        StoreStack old(FileIo::posix(), dir.path());
        old.journal.load();
        old.accounts.load();
        for (const char* event : {"1130", "3130", "NULL"}) {
            const StagedRow r = old.stage(makeRecord("1234", event), "[Q9]");
            const Journal::CommittedSlot c{std::uint16_t(r.row.journalSlot), r.stage,
                                           100 + r.row.journalSlot};
            old.journal.committed(std::span(&c, 1));
        }
        ASSERT_TRUE(old.journal.markReported(1, 101));
        old.accounts.committed(old.accounts.takeChanged());
        ASSERT_TRUE(old.journal.checkpoint().ok());
    }
    for (int start = 0; start < 2; ++start) {
        SCOPED_TRACE(start);
        StoreStack stack(FileIo::posix(), dir.path());
        ASSERT_TRUE(stack.open());
        const auto log = reader(stack);
        EXPECT_EQ(log->rowCount(), 3);
        const std::vector<LoggedEvent> pending = log->pending(10);
        ASSERT_EQ(pending.size(), 1u);
        EXPECT_EQ(fieldText(pending[0].record.event), "1130");
        EXPECT_EQ(pending[0].extended, "[Q9]");
        EXPECT_EQ(pending[0].transport, "ring");
        ASSERT_EQ(log->accounts().size(), 1u);
        EXPECT_EQ(fieldText(log->accounts()[0].record.account), "1234");
        EXPECT_EQ(stack.journal.record(0).status, journal::kStored | journal::kSaved);
        EXPECT_EQ(stack.journal.record(1).status, journal::kStored | journal::kSaved | journal::kReported);
        EXPECT_NE(stack.journal.logIdOf(2), 0);
    }
}

// A directory that cannot hold the log at start-up (here: a directory where the file should be):
// nothing is acknowledged, the events wait, and the first commit once it works takes the older
// files over first and then them.
TEST_F(EventStoreTest, ALogThatCanOnlyBeMadeLateTakesOverTheFilesFirst)
{
    StoreStack stack;
    std::filesystem::create_directory(stack.file("events.db"));
    stack.journal.load();
    stack.accounts.load();
    // The ring file holds an event from an older run.
    const StagedRow older = stack.stage(makeRecord("9999"));
    const Journal::CommittedSlot c{std::uint16_t(older.row.journalSlot), older.stage, 1};
    stack.journal.committed(std::span(&c, 1));
    EXPECT_FALSE(stack.store.open());
    ASSERT_FALSE(stack.log.lines().empty());
    EXPECT_EQ(stack.log.lines().back().text.rfind("File open error. " + stack.file("events.db"), 0), 0u);
    EXPECT_FALSE(stack.add(makeRecord("1111")).ok());
    EXPECT_EQ(stack.store.pendingEvents(), 1u) << "carried, not lost";

    std::filesystem::remove(stack.file("events.db"));
    ASSERT_TRUE(stack.add(makeRecord("2222")).ok());
    const std::vector<LoggedEvent> rows = reader(stack)->receivedSince(0);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(fieldText(rows[0].record.account), "9999") << "taken over first";
    EXPECT_EQ(fieldText(rows[1].record.account), "1111") << "then what waited";
    EXPECT_EQ(fieldText(rows[2].record.account), "2222");
    EXPECT_EQ(stack.store.pendingEvents(), 0u);
}

// A commit that fails keeps its events for the next one, before the new ones; a success reports
// every ticket up to it as committed, and the results come in ticket order.
TEST_F(EventStoreTest, AFailedCommitIsCarriedIntoTheNextInItsPlace)
{
    StoreStack stack;
    ASSERT_TRUE(stack.open());
    faults::failSyncs("events.db", EIO);
    std::vector<StagedRow> first;
    first.push_back(stack.stage(makeRecord("1111")));
    const std::uint64_t failedTicket = stack.store.submit(std::move(first));
    stack.store.commitQueued();
    EXPECT_EQ(stack.store.committedThrough(), 0u);
    faults::heal();
    std::vector<StagedRow> second;
    second.push_back(stack.stage(makeRecord("2222")));
    const std::uint64_t okTicket = stack.store.submit(std::move(second));
    stack.store.commitQueued();
    const std::vector<EventStore::Result> results = stack.store.takeResults();
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(results[0].ticket, failedTicket);
    EXPECT_FALSE(results[0].failure.ok());
    EXPECT_TRUE(results[0].failure.newEpisode);
    EXPECT_EQ(results[1].ticket, okTicket);
    EXPECT_TRUE(results[1].failure.ok());
    EXPECT_EQ(stack.store.committedThrough(), okTicket);
    const std::vector<LoggedEvent> rows = reader(stack)->pending(10);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(fieldText(rows[0].record.account), "1111");
    EXPECT_EQ(stack.journal.logIdOf(0), rows[0].id);
}

// "Clear Events" empties the view and the next start keeps it empty, while the log keeps its rows.
TEST_F(EventStoreTest, AClearLastsOverARestartAndTheLogKeepsItsHistory)
{
    TempDir dir;
    {
        StoreStack stack(FileIo::posix(), dir.path());
        ASSERT_TRUE(stack.open());
        for (int i = 0; i < 3; ++i)
            ASSERT_TRUE(stack.add(makeRecord("1234")).ok());
        EXPECT_TRUE(stack.store.clearView().empty());
        ASSERT_TRUE(stack.add(makeRecord("5678")).ok());
    }
    StoreStack stack(FileIo::posix(), dir.path());
    ASSERT_TRUE(stack.open());
    EXPECT_EQ(reader(stack)->rowCount(), 4);
    EXPECT_EQ(fieldText(stack.journal.record(0).account), "5678");
    EXPECT_EQ(stack.journal.record(1).status, 0);
    EXPECT_EQ(stack.journal.nextSlot(), 1u);
}

// Rows past their keeping time go in small batches, never one not yet forwarded.
TEST_F(EventStoreTest, RowsPastTheirKeepingTimeAreDeletedButPendingOnesStay)
{
    StoreStack stack;
    ManualClock clock(kTestTime + 3 * 86400 + 10);
    stack.store.setClock(&clock);
    stack.store.setKeepDays(2);
    ASSERT_TRUE(stack.open());
    for (const char* event : {"1130", "1131", "NULL"})
        ASSERT_TRUE(stack.add(makeRecord("1234", event)).ok());
    ASSERT_TRUE(stack.add(makeRecord("1234", "1132", std::int32_t(clock.wallNow().seconds))).ok());
    const auto log = stack.store.connect(EventLog::Role::Forwarder);
    ASSERT_TRUE(log->markReported(std::vector<ReportMark>{{1, 1, "x"}}).ok());
    stack.store.housekeep();
    const std::vector<LoggedEvent> left = reader(stack)->receivedSince(0);
    ASSERT_EQ(left.size(), 2u);
    EXPECT_EQ(fieldText(left[0].record.event), "1131") << "old, but not yet forwarded";
    EXPECT_EQ(fieldText(left[1].record.event), "1132") << "within its keeping time";
}

// Commits that never pause keep a checkpoint beside them from ever reaching the WAL's last frame;
// the WAL must still be written from its start again, not grow for as long as the load lasts.
TEST_F(EventStoreTest, UnderCommitsThatNeverPauseTheWalStartsAgain)
{
    StoreStack stack;
    stack.store.setWalRestartFrames(64);
    ASSERT_TRUE(stack.open());
    stack.store.start();
    std::atomic<bool> loaded{true};
    std::thread housekeeping([&] {
        while (loaded) {
            stack.store.housekeep();
            std::this_thread::sleep_for(2ms); // the thread's own round, shortened
        }
    });
    constexpr int kGroups = 1000;
    constexpr int kGroupEvents = 16;
    std::uintmax_t largest = 0;
    for (int g = 0; g < kGroups; ++g) {
        std::vector<StagedRow> rows;
        for (int i = 0; i < kGroupEvents; ++i)
            rows.push_back(stack.stage(makeRecord(std::to_string(1000 + (g * kGroupEvents + i) % 64).c_str())));
        (void)stack.store.submit(std::move(rows));
        // A few groups ahead of the commits, so that the next always waits.
        ASSERT_TRUE(stack.store.waitForPendingAtMost(4 * kGroupEvents, 10s));
        std::error_code ec;
        largest = std::max(largest, std::filesystem::file_size(stack.file("events.db-wal"), ec));
    }
    loaded = false;
    housekeeping.join();
    ASSERT_TRUE(stack.store.finish(10s));
    EXPECT_EQ(reader(stack)->rowCount(), kGroups * kGroupEvents);
    EXPECT_LT(largest, 16u << 20) << "about 40 MiB when it never starts again";
}

// A disk that stops answering: the commit hangs, is said in red once after five seconds, and a
// bounded close gives up rather than wait for ever.
TEST_F(EventStoreTest, ACommitThatHangsIsSaidOnceAndTheCloseDoesNotWaitForEver)
{
    auto stack = std::make_unique<StoreStack>();
    ManualClock clock(kTestTime);
    stack->store.setClock(&clock);
    ASSERT_TRUE(stack->open());
    stack->store.start();
    faults::stallSyncs(true);
    std::vector<StagedRow> rows;
    rows.push_back(stack->stage(makeRecord("1234")));
    (void)stack->store.submit(std::move(rows));
    EXPECT_FALSE(stack->store.waitForPendingAtMost(0, 100ms));
    clock.advance(4999);
    stack->store.housekeep();
    EXPECT_TRUE(stack->log.lines().empty());
    clock.advance(1);
    stack->store.housekeep();
    stack->store.housekeep();
    ASSERT_EQ(stack->log.lines().size(), 1u);
    EXPECT_EQ(stack->log.lines()[0].colour, LogColour::Red);
    EXPECT_EQ(stack->log.lines()[0].text.rfind("The event log has not finished a commit for 5 seconds: ", 0),
              0u);
    EXPECT_FALSE(stack->store.finish(200ms));
    faults::stallSyncs(false);
    EXPECT_TRUE(stack->store.finish(10s));
    EXPECT_EQ(reader(*stack)->rowCount(), 1);
}

TEST_F(EventStoreTest, TheLogIsNotOpenedThroughALink)
{
    StoreStack stack;
    const std::string target = stack.file("elsewhere.db");
    ASSERT_EQ(::symlink(target.c_str(), stack.file("events.db").c_str()), 0);
    EXPECT_FALSE(stack.open());
    EXPECT_FALSE(std::filesystem::exists(target));
}

} // namespace
