// The system log writer: line shape, monthly files, order of lines, and the hidden key sequence.
#include "log/SystemLog.h"
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
    EXPECT_EQ(readText(december), "12/31/26 23:59:58  Program started.\r\n");

    clock.advance(1000);
    log.write("Port 7777 error.", LogColour::Red);
    EXPECT_EQ(readText(december), "12/31/26 23:59:58  Program started.\r\n"
                                  "12/31/26 23:59:59  Port 7777 error.\r\n");
    // The view gets them in the same order and puts each new one on top.
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0].text, "12/31/26 23:59:58  Program started.");
    EXPECT_EQ(shown[0].colour, LogColour::Black);
    EXPECT_EQ(shown[1].text, "12/31/26 23:59:59  Port 7777 error.");
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
    EXPECT_EQ(readText(log.currentFileName()), "01/01/27 00:00:00  new\r\n");
    EXPECT_EQ(readText(december), before);
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
    EXPECT_EQ(nowhere.formatLine("t"), "12/31/26 23:59:58  t");
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
