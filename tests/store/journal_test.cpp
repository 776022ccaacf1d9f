// The journal images and files: load, append, persist, report, clear, and their failure paths.
#include "config/Clock.h"
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
        : journal(
              {dir.file("kalvor.dat"), dir.file("extevn.dat")}, log.sink(),
              [this](int seconds) { pauses.push_back(seconds); }, io)
    {
        journal.onChanged = [this] { ++refreshes; };
        journal.setClock(&clock);
    }

    std::string journalPath() const { return dir.file("kalvor.dat"); }
    std::string extendedPath() const { return dir.file("extevn.dat"); }

    TempDir dir;
    LogRecorder log;
    ManualClock clock;
    std::vector<int> pauses;
    int refreshes = 0;
    Journal journal;
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

TEST_F(JournalTest, SlotGoesStoredSavedReportedInMemoryAndOneThenSevenOnDisk)
{
    journal.load();
    journal.append(makeRecord("9999"), "[Q50]");
    auto record = makeRecord("1234");
    record.status = 0x55; // whatever the caller left there, the slot is marked stored
    journal.append(record, "[Q87][B192.168.1.20]");
    EXPECT_EQ(journal.record(1).status, 1);
    EXPECT_EQ(readBytes(journalPath()), std::vector<std::uint8_t>(139268, 0)) << "append is memory only";

    journal.persistPass();
    EXPECT_EQ(journal.record(1).status, 3);
    auto disk = readBytes(journalPath());
    EXPECT_EQ(slice(disk, slotOffset(1), 68), goldenRecord(1));
    EXPECT_EQ(slice(disk, 0, 4), (std::vector<std::uint8_t>{2, 0, 0, 0}));
    std::vector<std::uint8_t> ext(64, 0);
    put(ext, 0, "[Q87][B192.168.1.20]");
    EXPECT_EQ(slice(readBytes(extendedPath()), 64, 64), ext);
    EXPECT_EQ(refreshes, 1);

    {
        Journal::ReportPass pass(journal);
        EXPECT_TRUE(pass.markReported(1));
        EXPECT_EQ(refreshes, 1) << "refreshed when the pass ends";
    }
    EXPECT_EQ(refreshes, 2);
    EXPECT_EQ(journal.record(1).status, 7);
    disk = readBytes(journalPath());
    EXPECT_EQ(slice(disk, slotOffset(1), 68), goldenRecord(7));
    EXPECT_EQ(disk[slotOffset(0)], 1) << "only the reported slot's status byte changes";

    // A pass with nothing new writes nothing and refreshes nothing.
    journal.persistPass();
    EXPECT_EQ(refreshes, 2);
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(JournalTest, RingWrapsAfterSlot2047AndReportsLostAlarm)
{
    journal.load();
    for (int i = 0; i < 2048; ++i)
        journal.append(makeRecord("1234", i == 0 ? "1130" : "NULL", kTestTime + i), "");
    EXPECT_EQ(journal.nextSlot(), 0u);

    journal.append(makeRecord("5678", "3401"), "[Q1]");
    EXPECT_EQ(journal.nextSlot(), 1u);
    EXPECT_EQ(fieldText(journal.record(0).account), "5678");
    EXPECT_EQ(journal.extendedText(0), "[Q1]");

    // The unreported alarm in slot 0 was overwritten: the loss is logged in red, once.
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].colour, LogColour::Red);
    EXPECT_THAT(lines[0].text, HasSubstr("1234"));
    EXPECT_THAT(lines[0].text, HasSubstr("1130"));
    EXPECT_THAT(lines[0].text, HasSubstr("12/07/26 00:00:00"));

    // Overwriting link tests, or an event that was reported, loses nothing; the saved but
    // unreported alarm in slot 1 is the one loss of the next round.
    clock.advance(1000);
    journal.append(makeRecord("5678"), "");
    journal.persistPass();
    {
        Journal::ReportPass pass(journal);
        ASSERT_TRUE(pass.markReported(0));
    }
    for (int i = 0; i < 2048; ++i)
        journal.append(makeRecord("4321", "NULL"), "");
    const auto after = log.lines();
    ASSERT_EQ(after.size(), 2u);
    EXPECT_THAT(after[1].text, HasSubstr("5678"));
}

TEST_F(JournalTest, FloodOfOverwrittenAlarmsIsCountedNotLoggedOneByOne)
{
    journal.load();
    for (int i = 0; i < 2048 + 300; ++i)
        journal.append(makeRecord("1234", "1130", kTestTime + i), "");
    journal.persistPass(); // within the same second: nothing more to say yet
    ASSERT_EQ(log.lines().size(), 1u);

    clock.advance(1000);
    journal.persistPass();
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1].text, "Journal full: 299 more unreported events overwritten.");
    EXPECT_EQ(lines[1].colour, LogColour::Red);
}

TEST_F(JournalTest, ExtendedTextIsCutTo63CharactersAndTerminated)
{
    journal.load();
    char longText[64];
    std::memset(longText, 'Q', sizeof longText); // no NUL at all
    journal.append(makeRecord("1"), longText);
    journal.append(makeRecord("2"), nullptr);
    journal.persistPass();
    const auto ext = readBytes(extendedPath());
    EXPECT_EQ(slice(ext, 0, 64), [] {
        std::vector<std::uint8_t> v(64, 'Q');
        v[63] = 0;
        return v;
    }());
    EXPECT_EQ(slice(ext, 64, 64), std::vector<std::uint8_t>(64, 0));
}

TEST_F(JournalTest, UnwritableJournalKeepsSlotsUnsavedUntilItRecovers)
{
    journal.load();
    journal.append(makeRecord("1234"), "");
    // Running as root ignores permissions, so the file is replaced by a directory of that name.
    std::filesystem::remove(journalPath());
    std::filesystem::create_directory(journalPath());

    for (int pass = 0; pass < 2; ++pass)
        journal.persistPass();
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1u) << "one line for the whole failure, not one per retry";
    EXPECT_EQ(lines[0].text, "File open error. " + journalPath() + OS_Error_Text(EISDIR));
    EXPECT_EQ(lines[0].colour, LogColour::Red);
    EXPECT_EQ(pauses, (std::vector<int>{5, 5}));
    EXPECT_EQ(journal.record(0).status, 1);
    EXPECT_EQ(refreshes, 0);

    std::filesystem::remove(journalPath());
    writeBytes(journalPath(), std::vector<std::uint8_t>(139268, 0));
    journal.persistPass();
    EXPECT_EQ(journal.record(0).status, 3);
    EXPECT_TRUE(journal.isOnDisk(0));
    EXPECT_EQ(slice(readBytes(journalPath()), slotOffset(0), 68), goldenRecord(1));

    // A new failure after the recovery is a new episode and is logged again.
    journal.append(makeRecord("1234"), "");
    std::filesystem::remove(journalPath());
    std::filesystem::create_directory(journalPath());
    journal.persistPass();
    lines = log.lines();
    EXPECT_EQ(lines.size(), 2u);
}

TEST_F(JournalTest, ClearEmptiesImagesAndFiles)
{
    journal.load();
    for (int i = 0; i < 5; ++i)
        journal.append(makeRecord("1234"), "[Q9]");
    journal.persistPass();

    EXPECT_TRUE(journal.clear().empty());
    EXPECT_EQ(readBytes(journalPath()), std::vector<std::uint8_t>(139268, 0));
    EXPECT_EQ(readBytes(extendedPath()), std::vector<std::uint8_t>(131072, 0));
    EXPECT_EQ(std::memcmp(journal.image(), std::vector<std::uint8_t>(139268, 0).data(), 139268), 0);

    // An acknowledgement that arrives after the clear must not put a stray status byte in the file.
    {
        Journal::ReportPass pass(journal);
        EXPECT_TRUE(pass.markReported(2));
    }
    EXPECT_EQ(journal.record(2).status, 0);
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

// Seek and write failures need a file layer that fails on purpose.
class FailingJournalTest : public JournalTest {
protected:
    FailingJournalTest() : JournalTest(io) {}
    static inline FailingFileIo io;
    void TearDown() override { io.heal(); }
};

TEST_F(FailingJournalTest, PersistErrorsAreLoggedWithTheFileAndTheSlotStaysUnsaved)
{
    struct Case {
        FailingFileIo::Op op;
        bool onExtended;
        const char* message;
        int refreshes; // the events window is refreshed once files were opened
    };
    const Case cases[] = {
        {FailingFileIo::Op::Open, false, "File open error. ", 0},
        {FailingFileIo::Op::Open, true, "File open error. ", 0},
        {FailingFileIo::Op::Seek, false, "File seek error. ", 1},
        {FailingFileIo::Op::Seek, true, "File seek error. ", 1},
        {FailingFileIo::Op::Write, false, "Disk write error. ", 1},
        {FailingFileIo::Op::Write, true, "Disk write error. ", 1},
        {FailingFileIo::Op::Sync, false, "Disk write error. ", 1},
        {FailingFileIo::Op::Sync, true, "Disk write error. ", 1},
    };
    journal.load();
    std::size_t slot = 0;
    int expectedRefreshes = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.message) + (c.onExtended ? "extevn" : "kalvor"));
        journal.append(makeRecord("1234"), "");
        const std::string path = c.onExtended ? extendedPath() : journalPath();
        io.failOn(path, c.op, ENOSPC);
        journal.persistPass();
        io.heal();
        expectedRefreshes += c.refreshes;
        const auto lines = log.lines();
        ASSERT_EQ(lines.size(), slot + 1);
        EXPECT_EQ(lines.back().text, c.message + path + OS_Error_Text(ENOSPC));
        EXPECT_EQ(journal.record(slot).status, 1);
        EXPECT_FALSE(journal.isOnDisk(slot));
        EXPECT_EQ(pauses.size(), slot + 1);
        EXPECT_EQ(refreshes, expectedRefreshes);
        if (c.op != FailingFileIo::Op::Sync) {
            EXPECT_EQ(std::size_t(readBytes(journalPath())[0]), slot) << "no header after a failed pass";
        }

        // The next pass works: the slot is saved and the failure's episode is over.
        journal.persistPass();
        EXPECT_EQ(journal.record(slot).status, 3);
        EXPECT_EQ(std::size_t(readBytes(journalPath())[0]), slot + 1);
        ++expectedRefreshes;
        ++slot;
    }
}

TEST_F(FailingJournalTest, CommittedSlotsAreSyncedAndThePersistPassOnlyMarksThem)
{
    journal.load();
    const std::uint16_t first = std::uint16_t(journal.stage(makeRecord("1234"), "[Q87]"));
    const std::uint16_t second = std::uint16_t(journal.stage(makeRecord("5678"), ""));
    // While the commit is outstanding the persist pass leaves the slots to it.
    io.failOn(journalPath(), FailingFileIo::Op::Open, EACCES);
    journal.persistPass();
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(journal.record(first).status, 1);
    io.heal();

    const int syncsBefore = io.syncs;
    const std::uint16_t slots[] = {first, second};
    ASSERT_TRUE(journal.commitSlots(slots).ok());
    EXPECT_EQ(io.syncs - syncsBefore, 2) << "one sync per file for the whole group";
    EXPECT_TRUE(journal.isOnDisk(first));
    const auto disk = readBytes(journalPath());
    EXPECT_EQ(slice(disk, slotOffset(first), 68), goldenRecord(1));
    EXPECT_EQ(slice(disk, 0, 4), (std::vector<std::uint8_t>{2, 0, 0, 0}));
    EXPECT_EQ(slice(readBytes(extendedPath()), 0, 5), (std::vector<std::uint8_t>{'[', 'Q', '8', '7', ']'}));

    // Already on disk: saved without a write (the files cannot even be opened now).
    io.failOn(journalPath(), FailingFileIo::Op::Open, EACCES);
    journal.persistPass();
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(journal.record(first).status, 3);
    EXPECT_EQ(journal.record(second).status, 3);
    EXPECT_EQ(readBytes(journalPath())[slotOffset(first)], 1) << "status 1 on disk until reported";
}

TEST_F(FailingJournalTest, MarkReportedErrorsAndTheSyncAtTheEndOfThePass)
{
    journal.load();
    journal.append(makeRecord("1234"), "");
    journal.append(makeRecord("5678"), "");
    journal.persistPass();

    io.failOn(journalPath(), FailingFileIo::Op::Open, EACCES);
    {
        Journal::ReportPass pass(journal);
        EXPECT_FALSE(pass.markReported(0));
    }
    EXPECT_EQ(journal.record(0).status, 3) << "an open failure leaves the event unreported";
    EXPECT_EQ(refreshes, 1) << "a pass that never opened the file refreshes nothing";
    io.heal();

    io.failOn(journalPath(), FailingFileIo::Op::Write, EIO);
    {
        Journal::ReportPass pass(journal);
        EXPECT_FALSE(pass.markReported(0));
    }
    EXPECT_EQ(journal.record(0).status, 7) << "memory keeps reported after a failed write";
    EXPECT_EQ(readBytes(journalPath())[slotOffset(0)], 1);
    io.heal();

    // The mark works, but its sync at the end of the pass does not: a new episode after the success.
    const int syncsBefore = io.syncs;
    io.beforeWrite = [&] { io.failOn(journalPath(), FailingFileIo::Op::Sync, EIO); };
    {
        Journal::ReportPass pass(journal);
        EXPECT_TRUE(pass.markReported(1));
    }
    EXPECT_EQ(io.syncs - syncsBefore, 1);
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 2u) << "the write failure came in the open failure's episode";
    EXPECT_EQ(lines[0].text, "File open error. " + journalPath() + OS_Error_Text(EACCES));
    EXPECT_EQ(lines[1].text, "Disk write error. " + journalPath() + OS_Error_Text(EIO));
    EXPECT_EQ(pauses, (std::vector<int>{5, 5}));
}

TEST_F(FailingJournalTest, SlotRefilledDuringItsWriteIsNotTakenAsSaved)
{
    journal.load();
    journal.append(makeRecord("1234"), "");
    // While slot 0 is on its way to disk the receiver wraps the ring and refills it: the lock must
    // not be held across the write, and the new event must not be marked saved unwritten.
    bool refilled = false;
    io.beforeWrite = [&] {
        if (refilled)
            return;
        refilled = true;
        for (int i = 0; i < 2048; ++i)
            journal.append(makeRecord("5678", "NULL"), "");
    };
    journal.persistPass();
    io.heal();
    ASSERT_TRUE(refilled);
    EXPECT_EQ(fieldText(journal.record(0).account), "5678");
    EXPECT_EQ(journal.record(0).status, 1);
    // Slots stored while a pass runs wait for the next one, so none overtakes an earlier slot.
    EXPECT_EQ(journal.record(1).status, 1);

    journal.persistPass();
    EXPECT_EQ(journal.record(0).status, 3);
    EXPECT_EQ(journal.record(1).status, 3);
    JournalRecord onDisk;
    std::memcpy(&onDisk, readBytes(journalPath()).data() + slotOffset(0), sizeof onDisk);
    EXPECT_EQ(fieldText(onDisk.account), "5678");
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

// Each event of this run is announced once, when it reached the disk, whichever way it got there.
TEST_F(FailingJournalTest, StoredEventsAreAnnouncedOnceWhenOnDisk)
{
    // A slot of status 1 left by an earlier run is written again by the first pass, but not announced.
    std::vector<std::uint8_t> image(139268, 0);
    const std::vector<std::uint8_t> earlier = goldenRecord(1);
    std::copy(earlier.begin(), earlier.end(), image.begin() + 4);
    image[0] = 1;
    writeBytes(journalPath(), image);
    std::vector<std::string> announced;
    journal.onStored = [&](std::span<const JournalRecord> records) {
        for (const JournalRecord& r : records)
            announced.push_back(std::string(fieldText(r.account)));
    };
    journal.load();

    const std::uint16_t committed = std::uint16_t(journal.stage(makeRecord("2001"), ""));
    const std::uint16_t failed = std::uint16_t(journal.stage(makeRecord("2002"), ""));
    journal.append(makeRecord("2003"), ""); // no commit of its own: the persist pass writes it
    const std::uint16_t first[] = {committed};
    ASSERT_TRUE(journal.commitSlots(first).ok());
    io.failOn(journalPath(), FailingFileIo::Op::Sync, ENOSPC);
    const std::uint16_t second[] = {failed};
    EXPECT_FALSE(journal.commitSlots(second).ok());
    EXPECT_EQ(announced, (std::vector<std::string>{"2001"})) << "not on disk, not announced";
    journal.persistPass(); // the disk is still full
    EXPECT_EQ(announced.size(), 1u);
    io.heal();
    journal.persistPass();
    journal.persistPass();
    EXPECT_EQ(announced, (std::vector<std::string>{"2001", "2002", "2003"}));
}

// A journal file that is missing or short when a group is written (it could not be made whole at
// start-up, or it was deleted) is made whole again from memory, so the commit goes through and nothing memory holds is
// lost from the file; a saved, unreported slot reads 1 there as ever, a reported one 7.
TEST_F(JournalTest, AMissingOrShortFileIsMadeWholeAgainFromMemoryWhenWritten)
{
    struct Case {
        const char* file;
        bool byPersistPass;
        bool shortened; // left at 10 bytes (made on a full disk) rather than missing
    };
    const Case cases[] = {{"kalvor.dat", false, false}, {"extevn.dat", false, false},
                          {"kalvor.dat", true, false},  {"extevn.dat", true, false},
                          {"kalvor.dat", false, true},  {"extevn.dat", true, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.file) + (c.byPersistPass ? " persist pass" : " commit") +
                     (c.shortened ? " short" : " missing"));
        ASSERT_TRUE(journal.clear().empty());
        journal.load();
        const std::uint16_t reported = std::uint16_t(journal.stage(makeRecord("1234"), "[A]"));
        const std::uint16_t saved = std::uint16_t(journal.stage(makeRecord("5678"), "[B]"));
        const std::uint16_t first[] = {reported, saved};
        ASSERT_TRUE(journal.commitSlots(first).ok());
        journal.persistPass();
        {
            Journal::ReportPass pass(journal);
            ASSERT_TRUE(pass.markReported(reported));
        }
        if (c.shortened)
            std::filesystem::resize_file(dir.file(c.file), 10);
        else
            std::filesystem::remove(dir.file(c.file));
        if (c.byPersistPass) {
            journal.append(makeRecord("9999"), "[C]");
            journal.persistPass();
        } else {
            const std::uint16_t next[] = {std::uint16_t(journal.stage(makeRecord("9999"), "[C]"))};
            ASSERT_TRUE(journal.commitSlots(next).ok());
        }
        const auto disk = readBytes(journalPath());
        const auto ext = readBytes(extendedPath());
        ASSERT_EQ(disk.size(), 139268u);
        ASSERT_EQ(ext.size(), 131072u);
        EXPECT_EQ(disk[slotOffset(reported)], 7);
        EXPECT_EQ(disk[slotOffset(saved)], 1);
        EXPECT_EQ(disk[slotOffset(2)], 1);
        EXPECT_EQ(slice(disk, 0, 4), (std::vector<std::uint8_t>{3, 0, 0, 0}));
        EXPECT_EQ(slice(ext, 64 * saved, 3), (std::vector<std::uint8_t>{'[', 'B', ']'}));
        EXPECT_EQ(slice(ext, 64 * 2, 3), (std::vector<std::uint8_t>{'[', 'C', ']'}));
        EXPECT_TRUE(journal.isOnDisk(2));
    }
    EXPECT_TRUE(log.lines().empty());
}
