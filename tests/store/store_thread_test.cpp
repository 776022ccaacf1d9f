// The receiving thread against the forwarding thread on the shared images: built to run under
// ThreadSanitizer, and checked for lost or half-written slots in every build.
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

TEST(StoreThreads, AppenderAgainstPersistAndReportPasses)
{
    TempDir dir;
    LogRecorder log;
    Journal journal({dir.file("kalvor.dat"), dir.file("extevn.dat")}, log.sink(), [](int) {});
    std::atomic<int> refreshes{0};
    journal.onChanged = [&] { ++refreshes; };
    journal.load();

    constexpr int kEvents = 20000; // wraps the ring several times
    std::atomic<bool> done{false};
    std::atomic<bool> started{false};
    std::thread receiver([&] {
        while (!started) // make sure both sides really overlap
            std::this_thread::yield();
        // Half the events are staged and committed in groups of eight, as the receiver does; the
        // persist pass must leave those to their commit and only mark them once they are on disk.
        std::vector<std::uint16_t> group;
        for (int n = 1; n <= kEvents; ++n) {
            const std::string ext = "[Q" + std::to_string(n % 100) + "]";
            if ((n / 64) % 2 == 0) {
                journal.append(makeRecord(n), ext.c_str());
            } else {
                group.push_back(std::uint16_t(journal.stage(makeRecord(n), ext.c_str())));
                if (group.size() == 8) {
                    ASSERT_TRUE(journal.commitSlots(group).ok());
                    group.clear();
                }
            }
            if (n % 64 == 0)
                (void)journal.record(std::size_t(n) % journal::kSlots); // a view reading along
        }
        ASSERT_TRUE(journal.commitSlots(group).ok());
        done = true;
    });
    std::thread forwarder([&] {
        auto pass = [&] {
            journal.persistPass();
            Journal::ReportPass report(journal);
            for (std::size_t i = 0; i < journal::kSlots; ++i) {
                const JournalRecord r = journal.record(i);
                if ((r.status & journal::kSaved) && !(r.status & journal::kReported) &&
                    fieldText(r.event) != "NULL") {
                    ASSERT_TRUE(report.markReported(i));
                }
            }
        };
        started = true;
        while (!done)
            pass();
        pass();
    });
    receiver.join();
    forwarder.join();

    EXPECT_EQ(journal.nextSlot(), std::uint32_t(kEvents % journal::kSlots));
    const auto disk = readBytes(dir.file("kalvor.dat"));
    ASSERT_EQ(disk.size(), journal::kImageSize);
    for (std::size_t i = 0; i < journal::kSlots; ++i) {
        SCOPED_TRACE(i);
        const JournalRecord mem = journal.record(i);
        const bool linkTest = fieldText(mem.event) == "NULL";
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
    TempDir dir;
    AccountTable table(dir.file("latevn.dat"));
    table.load();
    constexpr int kAccounts = 64;
    constexpr int kRounds = 20;
    for (int n = 0; n < kAccounts; ++n) {
        JournalRecord r = makeRecord(n);
        (void)table.update(r, "");
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
                (void)table.update(r, "");
            }
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
}
} // namespace
