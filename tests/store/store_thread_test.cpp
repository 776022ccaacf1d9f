// The receiving thread, the commit and housekeeping threads and the forwarding thread on the shared
// images and the log: built to run under ThreadSanitizer, and checked for lost or half-written slots
// in every build.
#include "store/AccountTable.h"
#include "store/Journal.h"
#include "store/RecordText.h"
#include "store/StoreTestSupport.h"

#include <atomic>
#include <cstring>
#include <gtest/gtest.h>
#include <thread>

namespace {
JournalRecord makeRecord(int n)
{
    JournalRecord r;
    std::memset(&r, 0, sizeof r);
    const std::string account = std::to_string(n);
    setFieldText(r.account, account);
    setFieldText(r.event, n % 5 == 0 ? "NULL" : "1130");
    setFieldText(r.receiver, "1");
    setFieldText(r.line, "1");
    r.time_received = n;
    r.port = n;
    return r;
}

TEST(StoreThreads, ReceiverCommitsAgainstTheForwardersMarksAndTheHousekeeping)
{
    StoreStack stack;
    std::atomic<int> refreshes{0};
    stack.journal.onChanged = [&] { ++refreshes; };
    ASSERT_TRUE(stack.open());
    stack.store.setKeepDays(100 * 365); // the records' times are years old: the count must not move
    stack.store.start(); // the commit and housekeeping threads
    std::atomic<int> committed{0};
    stack.store.onStored = [&](std::span<const JournalRecord> records) { committed += int(records.size()); };

    constexpr int kEvents = 6000; // wraps the ring
    std::atomic<bool> done{false};
    std::atomic<bool> started{false};
    std::thread receiver([&] {
        while (!started) // make sure both sides really overlap
            std::this_thread::yield();
        std::vector<StagedRow> group;
        for (int n = 1; n <= kEvents; ++n) {
            const std::string ext = "[Q" + std::to_string(n % 100) + "]";
            group.push_back(stack.stage(makeRecord(n), ext.c_str()));
            if (group.size() == 16 || n == kEvents) {
                (void)stack.store.submit(std::move(group));
                group.clear();
                // The receiver never lets more wait for the disk than this.
                (void)stack.store.waitForPendingAtMost(1024, std::chrono::seconds(30));
            }
            if (n % 64 == 0)
                (void)stack.journal.record(std::size_t(n) % journal::kSlots); // a view reading along
        }
        done = true;
    });
    std::int64_t marks = 0;
    std::thread forwarder([&] {
        const auto log = stack.store.connect(EventLog::Role::Forwarder);
        auto pass = [&] {
            std::vector<ReportMark> batch;
            for (const LoggedEvent& e : log->pending(64)) {
                batch.push_back(ReportMark{e.id, 1, "line"});
                (void)stack.journal.markReported(std::size_t(e.journalSlot), e.id);
            }
            ASSERT_TRUE(log->markReported(batch).ok());
            marks += std::int64_t(batch.size());
        };
        started = true;
        while (!done)
            pass();
        ASSERT_TRUE(stack.store.waitForPendingAtMost(0, std::chrono::seconds(30)));
        while (log->pendingCount() > 0)
            pass();
    });
    receiver.join();
    forwarder.join();
    ASSERT_TRUE(stack.store.finish(std::chrono::seconds(30)));

    const auto log = stack.store.connect(EventLog::Role::Reader);
    EXPECT_EQ(log->rowCount(), kEvents);
    EXPECT_EQ(log->pendingCount(), 0);
    EXPECT_EQ(marks, kEvents - kEvents / 5) << "every event but the link tests, each marked once";
    EXPECT_EQ(committed.load(), kEvents);
    EXPECT_EQ(stack.journal.nextSlot(), std::uint32_t(kEvents % journal::kSlots));
    const auto disk = readBytes(stack.file("kalvor.dat"));
    ASSERT_EQ(disk.size(), journal::kImageSize);
    for (std::size_t i = 0; i < journal::kSlots; ++i) {
        SCOPED_TRACE(i);
        const JournalRecord mem = stack.journal.record(i);
        const bool linkTest = fieldText(mem.event) == "NULL";
        // Marks may come before the view's write of the slot; either way the slot ends reported.
        ASSERT_EQ(mem.status, linkTest ? 3 : 7);
        // Every slot on disk is the very event that memory holds, never an older or torn one.
        JournalRecord onDisk;
        std::memcpy(&onDisk, disk.data() + journal::kHeaderSize + i * sizeof onDisk, sizeof onDisk);
        EXPECT_EQ(onDisk.status, linkTest ? 1 : 7);
        onDisk.status = mem.status;
        EXPECT_EQ(std::memcmp(&onDisk, &mem, sizeof mem), 0);
        EXPECT_EQ(std::to_string(mem.port), fieldText(mem.account));
    }
    EXPECT_GT(refreshes.load(), 0);
}

TEST(StoreThreads, SupervisionTickAgainstReportAcknowledgements)
{
    StoreStack stack;
    AccountTable& table = stack.accounts;
    ASSERT_TRUE(stack.open());
    // Every change is committed by the store's thread, as in the receiver.
    table.onNeedsCommit = [&] { (void)stack.store.requestCommit(); };
    stack.store.start();
    constexpr int kAccounts = 64;
    constexpr int kRounds = 20;
    for (int n = 0; n < kAccounts; ++n) {
        JournalRecord r = makeRecord(n);
        (void)table.stage(r, "");
        table.setPingMinutes(std::size_t(n), 1);
    }

    std::atomic<bool> done{false};
    std::atomic<bool> started{false};
    std::atomic<int> acknowledged{0};
    std::vector<int> lastAcknowledged(kAccounts, -1); // forwarder's own: 1 missing, 0 restored
    std::thread receiver([&] {
        while (!started)
            std::this_thread::yield();
        for (int round = 0; round < kRounds; ++round) {
            for (int tick = 0; tick < 60; ++tick)
                table.supervisionTick();
            for (int n = 0; n < kAccounts; ++n) { // every account comes back
                JournalRecord r = makeRecord(n);
                (void)table.stage(r, "");
            }
            (void)stack.store.requestCommit();
        }
        done = true;
    });
    std::thread forwarder([&] {
        auto scan = [&] {
            for (auto due = table.nextReportDue(); due; due = table.nextReportDue(due->slot + 1)) {
                if (table.clearReportDue(*due)) {
                    ++acknowledged;
                    lastAcknowledged[due->slot] = due->missing ? 1 : 0;
                }
                for (int i = 0; i < 20; ++i) // the next exchange's wait, away from the table
                    std::this_thread::yield();
            }
        };
        started = true;
        while (!done)
            scan();
        scan();
    });
    receiver.join();
    forwarder.join();

    // A loss and return between two scans may fold into one report, but the last change of every
    // account (its return) must be the last one acknowledged, never swallowed by a late answer.
    EXPECT_GE(acknowledged.load(), kAccounts);
    EXPECT_LE(acknowledged.load(), kRounds * 2 * kAccounts);
    for (int n = 0; n < kAccounts; ++n) {
        EXPECT_EQ(table.record(std::size_t(n)).sup_flags, 0);
        EXPECT_EQ(lastAcknowledged[std::size_t(n)], 0) << n;
    }
    // The log holds the table as memory does, once the last commit is in.
    ASSERT_TRUE(stack.store.finish(std::chrono::seconds(30)));
    const auto log = stack.store.connect(EventLog::Role::Reader);
    const std::vector<LoggedAccount> logged = log->accounts();
    ASSERT_EQ(logged.size(), std::size_t(kAccounts));
    for (const LoggedAccount& a : logged) {
        const AccountRecord memory = table.record(std::size_t(a.slot));
        EXPECT_EQ(std::memcmp(&a.record, &memory, offsetof(AccountRecord, ping_countdown)), 0);
    }
}
} // namespace
