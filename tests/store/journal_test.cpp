// The ring view: load, stage, the files after a commit, reports, wrap, clear, start-up agreement
// with the log, and the failure paths of its writes.
#include "config/Clock.h"
#include "store/EventLog.h"
#include "store/Journal.h"
#include "store/RecordText.h"
#include "store/StoreTestSupport.h"

#include <cstring>
#include <filesystem>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {
using ::testing::HasSubstr;
using ::testing::StartsWith;

// makeRecord("1234") as it must appear on disk, laid out by hand.
std::vector<std::uint8_t> goldenRecord(std::uint8_t status)
{
    std::vector<std::uint8_t> b(68, 0);
    b[0] = status;
    put(b, 1, "0001");
    put(b, 8, "02");
    put(b, 15, "1234");
    put(b, 32, "1130");
    put(b, 37, "01");
    put(b, 40, "015");
    putLe32(b, 44, std::uint32_t(kTestTime));
    put(b, 48, "10.0.0.7");
    putLe32(b, 64, 40123);
    return b;
}

std::size_t slotOffset(std::size_t i)
{
    return 4 + 68 * i;
}

class JournalTest : public ::testing::Test {
protected:
    explicit JournalTest(FileIo& io = FileIo::posix())
        : journal({dir.file("kalvor.dat"), dir.file("extevn.dat")}, log.sink(), io)
    {
        journal.onChanged = [this] { ++refreshes; };
        journal.setClock(&clock);
    }

    std::string journalPath() const { return dir.file("kalvor.dat"); }
    std::string extendedPath() const { return dir.file("extevn.dat"); }

    // Stages an event and has the log's commit of it come back, as the commit thread does.
    std::size_t commit(const JournalRecord& record, const char* extended = "")
    {
        const std::uint64_t stage = ++m_stage;
        const std::size_t slot = journal.stage(record, extended, stage);
        const Journal::CommittedSlot c{std::uint16_t(slot), stage, std::int64_t(stage)};
        journal.committed(std::span(&c, 1));
        return slot;
    }

    TempDir dir;
    LogRecorder log;
    ManualClock clock;
    int refreshes = 0;
    Journal journal;
    std::uint64_t m_stage = 0;
};

TEST_F(JournalTest, LoadCreatesZeroFilesOfExactSize)
{
    journal.load();
    EXPECT_EQ(readBytes(journalPath()), std::vector<std::uint8_t>(139268, 0));
    EXPECT_EQ(readBytes(extendedPath()), std::vector<std::uint8_t>(131072, 0));
    EXPECT_EQ(journal.nextSlot(), 0u);
}

TEST_F(JournalTest, LoadTakesDamagedFilesWithoutTrust)
{
    // Short journal with a next_slot far out of range and a slot full of 0xFF (no NUL anywhere);
    // an overlong extended file without NULs.
    std::vector<std::uint8_t> image(4 + 68 * 3, 0xFF);
    putLe32(image, 0, 5000);
    writeBytes(journalPath(), image);
    writeBytes(extendedPath(), std::vector<std::uint8_t>(200000, 'x'));

    journal.load();
    EXPECT_EQ(readBytes(journalPath()).size(), image.size()) << "an existing file is not rewritten at load";
    EXPECT_EQ(journal.nextSlot(), 5000u);
    EXPECT_EQ(journal.record(2).status, 0xFF);
    EXPECT_EQ(journal.record(3).status, 0) << "the rest of a short file stays zero";
    EXPECT_EQ(journal.extendedText(2047), std::string(63, 'x'));
    EXPECT_EQ(fieldText(journal.record(1).account).size(), 17u);

    journal.append(makeRecord("1234"), "");
    EXPECT_EQ(journal.record(5000 % 2048).status, journal::kStored);
    EXPECT_EQ(journal.nextSlot(), 5000u % 2048 + 1);
}

TEST_F(JournalTest, ACommittedSlotIsSavedAndReadsOneOnDiskThenSevenOnceReported)
{
    journal.load();
    (void)commit(makeRecord("9999"), "[Q50]");
    auto record = makeRecord("1234");
    record.status = 0x55; // whatever the caller left there, the slot is marked stored
    const std::size_t slot = journal.stage(record, "[Q87][B192.168.1.20]", 77);
    EXPECT_EQ(journal.record(slot).status, 1);
    EXPECT_EQ(readBytes(journalPath())[slotOffset(slot)], 0) << "staging is memory only";

    const Journal::CommittedSlot c{std::uint16_t(slot), 77, 501};
    journal.committed(std::span(&c, 1));
    EXPECT_EQ(journal.record(slot).status, 3);
    EXPECT_EQ(journal.logIdOf(slot), 501);
    auto disk = readBytes(journalPath());
    EXPECT_EQ(slice(disk, slotOffset(1), 68), goldenRecord(1));
    EXPECT_EQ(slice(disk, 0, 4), (std::vector<std::uint8_t>{2, 0, 0, 0}));
    std::vector<std::uint8_t> ext(64, 0);
    put(ext, 0, "[Q87][B192.168.1.20]");
    EXPECT_EQ(slice(readBytes(extendedPath()), 64, 64), ext);

    EXPECT_FALSE(journal.markReported(slot, 999)) << "another event's acknowledgement";
    EXPECT_TRUE(journal.markReported(slot, 501));
    EXPECT_EQ(journal.record(slot).status, 7);
    disk = readBytes(journalPath());
    EXPECT_EQ(slice(disk, slotOffset(1), 68), goldenRecord(7));
    EXPECT_EQ(disk[slotOffset(0)], 1) << "only the reported slot's status byte changes";

    // A doubtful acknowledgement makes it pending again, on disk as well.
    journal.markPending(slot, 501);
    EXPECT_EQ(journal.record(slot).status, 3);
    EXPECT_EQ(readBytes(journalPath())[slotOffset(1)], 1);

    // The forwarder can read a row from the log before the commit thread has told the view its id.
    const std::size_t early = journal.stage(makeRecord("4321"), "", 78);
    EXPECT_TRUE(journal.markReported(early, 502));
    const Journal::CommittedSlot late{std::uint16_t(early), 78, 502};
    journal.committed(std::span(&late, 1));
    EXPECT_EQ(journal.record(early).status, 7);
    EXPECT_EQ(readBytes(journalPath())[slotOffset(early)], 7);
    EXPECT_TRUE(journal.checkpoint().ok());
    EXPECT_TRUE(log.lines().empty());
    EXPECT_GE(refreshes, 3);
}

TEST_F(JournalTest, OnlyEventsTheLogHoldsReachTheFiles)
{
    journal.load();
    // Staged and never committed (its commit failed): memory shows it, the files never do.
    const std::size_t waiting = journal.stage(makeRecord("5555"), "[X]", 1);
    EXPECT_TRUE(journal.checkpoint().ok());
    EXPECT_EQ(readBytes(journalPath())[slotOffset(waiting)], 0);
    EXPECT_EQ(journal.record(waiting).status, 1);

    // Refilled before its commit came back: the commit is the old event's and marks nothing.
    ASSERT_TRUE(journal.clear().empty());
    const std::size_t first = journal.stage(makeRecord("1234"), "", 10);
    for (int i = 0; i < 2048; ++i)
        (void)journal.stage(makeRecord("4321", "NULL"), "", 11 + std::uint64_t(i));
    const Journal::CommittedSlot late{std::uint16_t(first), 10, 1};
    journal.committed(std::span(&late, 1));
    EXPECT_EQ(fieldText(journal.record(first).account), "4321");
    EXPECT_EQ(journal.record(first).status, 1);
    EXPECT_EQ(journal.logIdOf(first), 0);
    EXPECT_EQ(readBytes(journalPath())[slotOffset(first)], 0);
}

TEST_F(JournalTest, WrappingOverEventsNotYetForwardedIsSaidOnceASecondWithACount)
{
    journal.load();
    for (int i = 0; i < 2048; ++i)
        (void)commit(makeRecord("1234", i < 300 ? "1130" : "NULL", kTestTime + i));
    EXPECT_EQ(journal.nextSlot(), 0u);
    EXPECT_TRUE(journal.markReported(1, 2)) << "slot 1's event is forwarded";

    // 300 events cover the 299 unforwarded alarms and the forwarded one, in the same second.
    for (int i = 0; i < 300; ++i)
        (void)commit(makeRecord("5678", "3401"), "[Q1]");
    EXPECT_EQ(fieldText(journal.record(0).account), "5678");
    EXPECT_EQ(journal.extendedText(0), "[Q1]");
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1u) << "one line at once, the rest counted";
    EXPECT_EQ(lines[0].colour, LogColour::Red);
    EXPECT_THAT(lines[0].text, StartsWith("Journal full: the view wrapped over an event not yet forwarded."));
    EXPECT_THAT(lines[0].text, HasSubstr("Account: 1234, event: 1130, received: 2026-12-07 00:00:00."));
    EXPECT_THAT(lines[0].text, HasSubstr("stays in the event log"));

    clock.advance(1000);
    (void)commit(makeRecord("5678", "NULL"));
    lines = log.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1].text,
              "Journal full: the view wrapped over 298 more events not yet forwarded; they stay in "
              "the event log.");
}

TEST_F(JournalTest, ExtendedTextIsCutTo63CharactersAndTerminated)
{
    journal.load();
    char longText[64];
    std::memset(longText, 'Q', sizeof longText); // no NUL at all
    (void)commit(makeRecord("1"), longText);
    (void)commit(makeRecord("2"), nullptr);
    const auto ext = readBytes(extendedPath());
    EXPECT_EQ(slice(ext, 0, 64), [] {
        std::vector<std::uint8_t> v(64, 'Q');
        v[63] = 0;
        return v;
    }());
    EXPECT_EQ(slice(ext, 64, 64), std::vector<std::uint8_t>(64, 0));
}

TEST_F(JournalTest, ClearEmptiesImagesAndFiles)
{
    journal.load();
    for (int i = 0; i < 5; ++i)
        (void)commit(makeRecord("1234"), "[Q9]");

    EXPECT_TRUE(journal.clear().empty());
    EXPECT_EQ(readBytes(journalPath()), std::vector<std::uint8_t>(139268, 0));
    EXPECT_EQ(readBytes(extendedPath()), std::vector<std::uint8_t>(131072, 0));
    EXPECT_EQ(std::memcmp(journal.image(), std::vector<std::uint8_t>(139268, 0).data(), 139268), 0);

    // An acknowledgement that arrives after the clear must not put a stray status byte in the file.
    EXPECT_FALSE(journal.markReported(2, 3));
    EXPECT_EQ(readBytes(journalPath()), std::vector<std::uint8_t>(139268, 0));

    journal.append(makeRecord("77"), "");
    EXPECT_EQ(fieldText(journal.record(0).account), "77");
}

TEST_F(JournalTest, ClearReportsEachFileThatCannotBeRewritten)
{
    journal.load();
    journal.append(makeRecord("1234"), "");
    std::filesystem::remove(extendedPath());
    std::filesystem::create_directory(extendedPath());

    const auto failures = journal.clear();
    ASSERT_EQ(failures.size(), 2u);
    EXPECT_EQ(failures[0].text, "File creation error 2");
    EXPECT_EQ(failures[1].text, "File opening error 2");
    EXPECT_EQ(journal.record(0).status, 0) << "memory is cleared in any case";
    EXPECT_EQ(readBytes(journalPath()), std::vector<std::uint8_t>(139268, 0));
}

// The view agrees with the log after a start-up, whatever a kill left in the files.
TEST_F(JournalTest, StartUpRewritesWhatDisagreesWithTheLogAndEmptiesWhatItDoesNotHold)
{
    journal.load();
    for (int i = 0; i < 4; ++i)
        (void)commit(makeRecord("1234"), "[Q1]");
    std::vector<std::uint8_t> disk = readBytes(journalPath());
    disk[slotOffset(1) + 20] ^= 0x40; // torn by a power cut
    disk[slotOffset(3)] = 7;          // reported on disk, but the log's mark was lost: sent again
    writeBytes(journalPath(), disk);
    journal.load();

    // The log holds slots 0..2 (newest first); slot 3 came after a Clear that the log knows of.
    std::vector<LoggedEvent> newest(3);
    for (int i = 0; i < 3; ++i) {
        LoggedEvent& e = newest[std::size_t(i)];
        e.id = 30 - i;
        e.journalSlot = 2 - i;
        e.record = makeRecord("1234");
        e.extended = "[Q1]";
        e.state = i == 0 ? ForwardState::Reported : ForwardState::Pending;
    }
    EXPECT_EQ(journal.reconcile(newest, false), 3u) << "slot 1 torn, slot 2 reported, slot 3 not the log's";
    disk = readBytes(journalPath());
    EXPECT_EQ(slice(disk, slotOffset(0), 68), goldenRecord(1));
    EXPECT_EQ(slice(disk, slotOffset(1), 68), goldenRecord(1));
    EXPECT_EQ(slice(disk, slotOffset(2), 68), goldenRecord(7));
    EXPECT_EQ(slice(disk, slotOffset(3), 68), std::vector<std::uint8_t>(68, 0));
    EXPECT_EQ(slice(disk, 0, 4), (std::vector<std::uint8_t>{4, 0, 0, 0}))
        << "past empty slots only: it stays";
    EXPECT_EQ(journal.record(0).status, 3);
    EXPECT_EQ(journal.record(2).status, 7);
    EXPECT_EQ(journal.logIdOf(0), 28);

    // A second start finds nothing to rewrite; a log that knows nothing of the view leaves it alone.
    journal.load();
    EXPECT_EQ(journal.reconcile(newest, false), 0u);
    EXPECT_EQ(journal.reconcile({}, false), 0u);
    EXPECT_EQ(journal.record(0).status, 3);
}

// Killed between a slot's write and the header's: the header still points at the newest event,
// which the next event would cover although the ring is far from full.
TEST_F(JournalTest, StartUpMovesAHeaderLeftOnTheNewestEventPastIt)
{
    for (const int events : {1, 3}) {
        journal.load();
        ASSERT_TRUE(journal.clear().empty());
        for (int i = 0; i < events; ++i)
            (void)commit(makeRecord("1234"), "[Q1]");
        std::vector<std::uint8_t> disk = readBytes(journalPath());
        disk[0] = std::uint8_t(events - 1);
        writeBytes(journalPath(), disk);
        journal.load();
        std::vector<LoggedEvent> newest(static_cast<std::size_t>(events));
        for (int i = 0; i < events; ++i) {
            newest[std::size_t(i)].journalSlot = events - 1 - i;
            newest[std::size_t(i)].record = makeRecord("1234");
            newest[std::size_t(i)].extended = "[Q1]";
        }
        (void)journal.reconcile(newest, false);
        EXPECT_EQ(journal.nextSlotIndex(), std::size_t(events)) << events << " events";
        EXPECT_EQ(slice(readBytes(journalPath()), 0, 4),
                  (std::vector<std::uint8_t>{std::uint8_t(events), 0, 0, 0}));
    }
}

TEST_F(JournalTest, ANewLogTakesOverTheRingOldestFirst)
{
    journal.load();
    for (const char* event : {"1130", "NULL", "3130"})
        (void)commit(makeRecord("1234", event), "[Q5]");
    ASSERT_TRUE(journal.markReported(2, 3));
    for (int i = 0; i < 2046; ++i) // the ring wraps over slot 0: slot 1 is the oldest now
        (void)commit(makeRecord("7", "NULL"));
    const std::vector<LoggedEvent> rows = journal.takeOverRows();
    ASSERT_EQ(rows.size(), 2048u);
    EXPECT_EQ(rows[0].journalSlot, 1);
    EXPECT_EQ(rows[0].state, ForwardState::NotReportable);
    EXPECT_EQ(rows[1].journalSlot, 2);
    EXPECT_EQ(rows[1].state, ForwardState::Reported);
    EXPECT_EQ(rows[1].extended, "[Q5]");
    EXPECT_EQ(rows[1].transport, "ring");
    EXPECT_EQ(rows[1].sequence, -1);
    EXPECT_EQ(rows.back().journalSlot, 0);
}

// Write failures of the view need a file layer that fails on purpose.
class FailingJournalTest : public JournalTest {
protected:
    FailingJournalTest() : JournalTest(io) {}
    static inline FailingFileIo io;
    void TearDown() override { io.heal(); }
};

TEST_F(FailingJournalTest, ViewWriteFailuresAreSaidOncePerFileAndTheSlotsFollowOnceItWorks)
{
    struct Case {
        FailingFileIo::Op op;
        bool onExtended;
        const char* message;
    };
    const Case cases[] = {
        {FailingFileIo::Op::Open, false, "File open error. "},
        {FailingFileIo::Op::Open, true, "File open error. "},
        {FailingFileIo::Op::Write, false, "Disk write error. "},
        {FailingFileIo::Op::Write, true, "Disk write error. "},
        {FailingFileIo::Op::Sync, false, "Disk write error. "},
        {FailingFileIo::Op::Sync, true, "Disk write error. "},
    };
    journal.load();
    std::size_t lines = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.message) + (c.onExtended ? "extevn" : "kalvor"));
        const std::string path = c.onExtended ? extendedPath() : journalPath();
        io.failOn(path, c.op, ENOSPC);
        if (c.op == FailingFileIo::Op::Open) {
            // Descriptors stay open for the run: an open comes again only for a file that went short.
            std::filesystem::resize_file(path, 10);
            (void)journal.checkpoint();
        }
        const std::size_t slot = commit(makeRecord("1234"));
        (void)commit(makeRecord("1234")); // the same episode: no second line
        EXPECT_FALSE(journal.checkpoint().ok());
        EXPECT_EQ(journal.record(slot).status, 3) << "in the log, so saved, whatever the view's file says";
        ASSERT_EQ(log.lines().size(), ++lines);
        EXPECT_EQ(log.lines().back().text, c.message + path + OS_Error_Text(ENOSPC));
        io.heal();
        EXPECT_TRUE(journal.checkpoint().ok());
        EXPECT_EQ(slice(readBytes(journalPath()), slotOffset(slot), 68), goldenRecord(1));
        EXPECT_EQ(std::size_t(readBytes(journalPath())[0]), slot + 2);
    }
}

TEST_F(FailingJournalTest, ACheckpointSyncsOnlyWhatWasWritten)
{
    journal.load();
    const int before = io.syncs;
    EXPECT_TRUE(journal.checkpoint().ok());
    EXPECT_EQ(io.syncs, before);
    (void)commit(makeRecord("1234"));
    (void)commit(makeRecord("1234"));
    EXPECT_EQ(io.syncs, before) << "commits of the log do not sync the view";
    EXPECT_TRUE(journal.checkpoint().ok());
    EXPECT_EQ(io.syncs, before + 2) << "one sync per file";
    EXPECT_TRUE(journal.checkpoint().ok());
    EXPECT_EQ(io.syncs, before + 2);
}

// A file that is missing or short (it could not be made whole at start-up, or it was deleted or cut
// while the receiver ran) is made whole again from memory at the next write after a checkpoint
// noticed; a saved, unreported slot reads 1 there as ever, a reported one 7.
TEST_F(JournalTest, AMissingOrShortFileIsMadeWholeAgainFromMemory)
{
    for (const char* file : {"kalvor.dat", "extevn.dat"}) {
        for (const bool shortened : {false, true}) {
            SCOPED_TRACE(std::string(file) + (shortened ? " short" : " missing"));
            ASSERT_TRUE(journal.clear().empty());
            journal.load();
            const std::size_t reported = commit(makeRecord("1234"), "[A]");
            const std::size_t saved = commit(makeRecord("5678"), "[B]");
            ASSERT_TRUE(journal.markReported(reported, std::int64_t(m_stage - 1)));
            const std::size_t staged = journal.stage(makeRecord("4444"), "[D]", 999); // not committed
            if (shortened)
                std::filesystem::resize_file(dir.file(file), 10);
            else
                std::filesystem::remove(dir.file(file));
            (void)journal.checkpoint();
            (void)commit(makeRecord("9999"), "[C]");
            const auto disk = readBytes(journalPath());
            const auto ext = readBytes(extendedPath());
            ASSERT_EQ(disk.size(), 139268u);
            ASSERT_EQ(ext.size(), 131072u);
            EXPECT_EQ(disk[slotOffset(reported)], 7);
            EXPECT_EQ(disk[slotOffset(saved)], 1);
            EXPECT_EQ(disk[slotOffset(staged)], 0) << "an event not in the log is not the view's";
            EXPECT_EQ(disk[slotOffset(3)], 1);
            EXPECT_EQ(slice(disk, 0, 4), (std::vector<std::uint8_t>{4, 0, 0, 0}));
            EXPECT_EQ(slice(ext, 64 * saved, 3), (std::vector<std::uint8_t>{'[', 'B', ']'}));
            EXPECT_EQ(slice(ext, 64 * 3, 3), (std::vector<std::uint8_t>{'[', 'C', ']'}));
        }
    }
    for (const LoggedLine& l : log.lines())
        ADD_FAILURE() << l.text;
}

TEST(FindTagValue, ReadsDigitsAndPointsAfterTheTag)
{
    struct Case {
        const char* tag;
        const char* text;
        bool found;
        const char* value;
    };
    const Case cases[] = {
        {"[Q", "[Q87]", true, "87"},     {"[Q", "[Q]", false, ""},
        {"[Q", "[QA5]", false, ""},      {"[Q", "[Q123456789012345678]", true, "1234567890123456"},
        {"[Q", "[Q12.5]", true, "12.5"}, {"[B", "[Q87][B192.168.1.20]", true, "192.168.1.20"},
        {"[Q", "[q87]", false, ""},      {"[Q", "[B1][Q2][Q3]", true, "2"},
        {"[Q", "", false, ""},           {"[Q", "[Q9", true, "9"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        char out[17];
        std::memset(out, '#', sizeof out);
        EXPECT_EQ(Find_Tag_Value(c.tag, c.text, out), c.found);
        EXPECT_STREQ(out, c.value) << "the value is always NUL-terminated within 17 bytes";
    }
    char out[17];
    EXPECT_FALSE(Find_Tag_Value("[Q", nullptr, out));
}

TEST(OsErrorText, NumberThenSystemText)
{
    EXPECT_EQ(OS_Error_Text(ENOENT), " Error: 2. No such file or directory");
    EXPECT_THAT(OS_Error_Text(99999), StartsWith(" Error: 99999. "));
}
} // namespace
