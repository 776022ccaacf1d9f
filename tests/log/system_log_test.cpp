// The system log writer: line shape, monthly files, the date form each file keeps, lines read back,
// the size limit, order of lines, the limit on repeated warnings, and the hidden key sequence.
#include "log/SystemLog.h"
#include "log/WarningLimiter.h"
#include "store/StoreTestSupport.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace {
constexpr std::time_t kNewYearsEve = 1798761598; // 2026-12-31 23:59:58 UTC

std::string readText(const std::string& path)
{
    const auto bytes = readBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

class SystemLogTest : public ::testing::Test {
protected:
    SystemLogTest() : log(dir.path(), clock)
    {
        log.onLine = [this](const std::string& line, LogColour colour) { shown.push_back({line, colour}); };
    }

    TempDir dir;
    ManualClock clock{kNewYearsEve};
    SystemLog log;
    std::vector<LoggedLine> shown;
};

TEST_F(SystemLogTest, FirstLineOfAMonthCreatesItsFileAndLinesAppendInOrder)
{
    EXPECT_TRUE(log.currentFileName().empty());
    const std::string december = dir.file("kalvor_2026_12.log");
    ASSERT_FALSE(std::filesystem::exists(december));

    log.write("Program started.", LogColour::Black);
    EXPECT_EQ(log.currentFileName(), december);
    EXPECT_EQ(readText(december), "2026-12-31 23:59:58  Program started.\r\n");

    clock.advance(1000);
    log.write("Port 7777 error.", LogColour::Red);
    // The file keeps the colour: " ! " in place of the two blanks.
    EXPECT_EQ(readText(december), "2026-12-31 23:59:58  Program started.\r\n"
                                  "2026-12-31 23:59:59 ! Port 7777 error.\r\n");
    // The view gets them in the same order and puts each new one on top.
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0].text, "2026-12-31 23:59:58  Program started.");
    EXPECT_EQ(shown[0].colour, LogColour::Black);
    EXPECT_EQ(shown[1].text, "2026-12-31 23:59:59  Port 7777 error.");
    EXPECT_EQ(shown[1].colour, LogColour::Red);
}

TEST_F(SystemLogTest, NewMonthSwitchesFilesAndLeavesTheOldOneAlone)
{
    log.write("old", LogColour::Black);
    const std::string december = log.currentFileName();
    const std::string before = readText(december);

    clock.advance(2000); // 2027-01-01 00:00:00
    log.write("new", LogColour::Black);
    EXPECT_EQ(log.currentFileName(), dir.file("kalvor_2027_01.log"));
    EXPECT_EQ(readText(log.currentFileName()), "2027-01-01 00:00:00  new\r\n");
    EXPECT_EQ(readText(december), before);
}

// A file begun in the older form (the user's date and time) keeps it to its end, so it reads alike;
// the next month's file, or one emptied meanwhile, is begun in the ISO form.
TEST_F(SystemLogTest, AFileKeepsTheFormItWasBegunInAndTheNextMonthIsIso)
{
    struct Row {
        const char* name;
        std::string before; // the file as the month began it
        const char* after;  // what one black and one red line add
    };
    const Row rows[] = {
        {"older form", "12/30/26 10:00:00  earlier\r\n",
         "12/31/26 23:59:58  black\r\n12/31/26 23:59:58  red\r\n"},
        {"ISO form", "2026-12-30 10:00:00  earlier\r\n",
         "2026-12-31 23:59:58  black\r\n2026-12-31 23:59:58 ! red\r\n"},
        {"empty", "", "2026-12-31 23:59:58  black\r\n2026-12-31 23:59:58 ! red\r\n"},
    };
    const std::string december = dir.file("kalvor_2026_12.log");
    for (const Row& row : rows) {
        writeBytes(december, std::vector<std::uint8_t>(row.before.begin(), row.before.end()));
        SystemLog fresh(dir.path(), clock); // a new run finds the file as it is
        fresh.write("black", LogColour::Black);
        fresh.write("red", LogColour::Red);
        EXPECT_EQ(readText(december), row.before + row.after) << row.name;
    }
    // Emptied ("Clear") while the run goes on: begun anew in the ISO form.
    SystemLog running(dir.path(), clock);
    running.write("old", LogColour::Black);
    writeBytes(december, {});
    running.write("new", LogColour::Black);
    EXPECT_EQ(readText(december), "2026-12-31 23:59:58  new\r\n");
    // December's file stays in the older form; January's is begun in the new one.
    writeBytes(december, std::vector<std::uint8_t>(rows[0].before.begin(), rows[0].before.end()));
    SystemLog later(dir.path(), clock);
    later.write("still", LogColour::Black);
    clock.advance(2000);
    later.write("january", LogColour::Red);
    EXPECT_EQ(readText(december), rows[0].before + "12/31/26 23:59:58  still\r\n");
    EXPECT_EQ(readText(dir.file("kalvor_2027_01.log")), "2027-01-01 00:00:00 ! january\r\n");
}

// Lines read back in either form: their time, their colour and their text.
TEST(LogLines, BothFormsAreRead)
{
    struct Row {
        const char* line;
        bool dated;
        const char* iso;
        LogColour colour;
        const char* text;
    };
    const Row rows[] = {
        {"2026-12-09 15:13:48  Program started.", true, "2026-12-09 15:13:48", LogColour::Black,
         "Program started."},
        {"2026-12-09 15:13:48 ! Can't open port", true, "2026-12-09 15:13:48", LogColour::Red,
         "Can't open port"},
        {"12/09/26 15:13:48  Program started.", true, "2026-12-09 15:13:48", LogColour::Black,
         "Program started."},
        {"01/01/27 00:00:00  ! not a mark", true, "2027-01-01 00:00:00", LogColour::Black, "! not a mark"},
        {"2026-12-09 15:13:48 x", false, "", LogColour::Black, "2026-12-09 15:13:48 x"},
        {"13/45/26 15:13:48  no such day", false, "", LogColour::Black, "13/45/26 15:13:48  no such day"},
        {"Log file reached", false, "", LogColour::Black, "Log file reached"},
        {"", false, "", LogColour::Black, ""},
    };
    for (const Row& row : rows) {
        const LogLineParts parts = parseLogLine(row.line);
        EXPECT_EQ(parts.dated, row.dated) << row.line;
        if (row.dated) {
            EXPECT_EQ(isoDateTime(parts.time), row.iso) << row.line;
        }
        EXPECT_EQ(parts.colour, row.colour) << row.line;
        EXPECT_EQ(parts.text, row.text) << row.line;
    }
}

TEST_F(SystemLogTest, AppendsToAnExistingFileAndSurvivesAnUnwritableDirectory)
{
    writeBytes(dir.file("kalvor_2026_12.log"), {'x', '\r', '\n'});
    log.write("more", LogColour::Black);
    EXPECT_EQ(readText(dir.file("kalvor_2026_12.log")), "x\r\n12/31/26 23:59:58  more\r\n");

    SystemLog nowhere(dir.file("missing/dir"), clock);
    int lines = 0;
    nowhere.onLine = [&](const std::string&, LogColour) { ++lines; };
    nowhere.write("still shown", LogColour::Red);
    EXPECT_EQ(lines, 1);
    EXPECT_EQ(nowhere.currentFileName(), dir.file("missing/dir/kalvor_2026_12.log"));
    EXPECT_EQ(nowhere.formatLine("t"), "2026-12-31 23:59:58  t");
}

TEST_F(SystemLogTest, AFileAtItsSizeLimitIsSetAsideOnceAndTheNewPartSaysSo)
{
    Config_Record config = defaultConfig();
    config.Log_File_Max_MiB = 1;
    SystemLog limited(dir.path(), clock, &config);
    limited.onLine = [this](const std::string& line, LogColour colour) { shown.push_back({line, colour}); };
    const std::string current = dir.file("kalvor_2026_12.log");
    const std::string setAside = dir.file("kalvor_2026_12.1.log");
    const std::string text(1000, 'x');
    const std::size_t lineBytes = std::string("2026-12-31 23:59:58  ").size() + text.size() + 2;
    const std::size_t perFile = (1024 * 1024) / lineBytes; // whole lines that fit under the limit

    for (std::size_t i = 0; i < perFile; ++i)
        limited.write(text, LogColour::Black);
    EXPECT_EQ(std::filesystem::file_size(current), perFile * lineBytes);
    EXPECT_FALSE(std::filesystem::exists(setAside));

    // The line that would pass the limit begins the new part, after the note that says where the rest is.
    limited.write("over", LogColour::Red);
    EXPECT_EQ(std::filesystem::file_size(setAside), perFile * lineBytes);
    const std::string note =
        "2026-12-31 23:59:58  Log file reached 1 MiB; its earlier part is kept as kalvor_2026_12.1.log";
    EXPECT_EQ(readText(current), note + "\r\n2026-12-31 23:59:58 ! over\r\n");
    ASSERT_GE(shown.size(), 2u);
    EXPECT_EQ(shown[shown.size() - 2].text, note);
    EXPECT_EQ(shown.back().text, "2026-12-31 23:59:58  over");

    // Set aside once: the next time replaces the older part, so a month never holds more than two.
    writeBytes(current, std::vector<std::uint8_t>(1024 * 1024, 'y'));
    limited.write("again", LogColour::Black);
    EXPECT_EQ(std::filesystem::file_size(setAside), 1024u * 1024u);
    EXPECT_EQ(readText(current), note + "\r\n2026-12-31 23:59:58  again\r\n");
    EXPECT_EQ(SystemLog::maxFileBytes(nullptr), 64u * 1024 * 1024); // 0 or no record: 64 MiB
}

TEST(WarningLimiter, OneLineASecondPerKindWithACountOfWhatWasLeftOut)
{
    WarningLimiter limiter(2);
    std::uint64_t leftOut = 99;
    struct Step {
        std::size_t kind;
        std::int64_t atMs;
        bool written;
        std::uint64_t leftOut;
    };
    const Step steps[] = {
        {0, 0, true, 0},     {0, 1, false, 0}, {0, 999, false, 0}, // the rest of that second is counted
        {1, 500, true, 0},                                         // another kind has its own second
        {0, 1000, true, 2},                                        // the next line carries the count
        {0, 1200, false, 0}, {0, 1300, false, 0}, {0, 1400, false, 0},
    };
    for (const Step& s : steps) {
        EXPECT_EQ(limiter.offer(s.kind, s.atMs, leftOut), s.written) << s.atMs;
        if (s.written) {
            EXPECT_EQ(leftOut, s.leftOut) << s.atMs;
        }
    }
    // Nothing more comes: the count is still written once its second is over, and only then.
    EXPECT_TRUE(limiter.due(1999).empty());
    const auto due = limiter.due(2000);
    ASSERT_EQ(due.size(), 1u);
    EXPECT_EQ(due[0].kind, 0u);
    EXPECT_EQ(due[0].leftOut, 3u);
    EXPECT_TRUE(limiter.due(5000).empty());
    EXPECT_FALSE(limiter.offer(0, 2500, leftOut)); // the due line began a new second

    EXPECT_EQ(WarningLimiter::leftOutText(0), "");
    EXPECT_EQ(WarningLimiter::leftOutText(7), " \u2026 and 7 more in the last second");
    EXPECT_EQ(WarningLimiter::leftOutText(3412), " \u2026 and 3,412 more in the last second");
    EXPECT_EQ(WarningLimiter::leftOutText(1234567), " \u2026 and 1,234,567 more in the last second");
}

TEST(KeyRing, SequenceCountsOnlyInTheFirstSixPlacesOfEachSixteen)
{
    struct Case {
        std::string typed;
        int firstMatchAt; // 1-based keystroke that first completes the sequence, 0 for never
    };
    const Case cases[] = {
        {"dbg go", 6},
        {"xdbg go", 0}, // shifted by one place
        {"dbg gx", 0},
        {"0123456789abcdefdbg go", 22}, // keystrokes 17..22
        {"0123456789abcdedbg go", 0},   // one short of the block start
        {"DBG GO", 0},
        {"dbg go!", 6},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed);
        KeyRing ring;
        int first = 0;
        for (std::size_t i = 0; i < c.typed.size(); ++i) {
            if (ring.type(c.typed[i]) && first == 0)
                first = int(i + 1);
        }
        EXPECT_EQ(first, c.firstMatchAt);
    }
}
} // namespace
