// The service's traffic lines: their text for each kind of event, and how they leave the process.
#include "app/TrafficLines.h"
#include "store/RecordText.h"

#include <QCoreApplication>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

namespace {

JournalRecord record(const char* account, const char* event, const char* zone, const char* address, int port)
{
    JournalRecord r;
    std::memset(&r, 0, sizeof r);
    r.status = journal::kStored;
    setFieldText(r.account, account);
    setFieldText(r.event, event);
    setFieldText(r.zone, zone);
    setFieldText(r.address, address);
    r.port = port;
    return r;
}

TEST(TrafficLines, StoredEventLineNamesAccountQualifierCodeZoneAndSender)
{
    struct Case {
        JournalRecord r;
        const char* line;
    };
    const Case cases[] = {
        {record("1234", "1130", "015", "10.0.0.5", 40123), "event 1234 E130 zone 015 from 10.0.0.5:40123"},
        {record("5678", "3401", "003", "10.0.0.6", 1), "event 5678 R401 zone 003 from 10.0.0.6:1"},
        {record("ABCD", "6570", "100", "192.168.1.20", 9), "event ABCD P570 zone 100 from 192.168.1.20:9"},
        {record("1234", "2130", "001", "10.0.0.5", 2), "event 1234 2130 zone 001 from 10.0.0.5:2"},
        {record("1234", "NULL", "", "10.0.0.5", 3), "event 1234 NULL zone - from 10.0.0.5:3"},
        {record("1234", "", "", "", 0), "event 1234 - zone - from :0"},
        // Bytes from the network never break the line or reach the terminal as control codes.
        {record("12\n4",
                "1\x1b"
                "30",
                "0\r1", "1.2.3.4", 5),
         "event 12?4 E?30 zone 0?1 from 1.2.3.4:5"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(TrafficLines::storedLine(c.r), c.line);
    }
}

TEST(TrafficLines, ReportedLineIsTheLineAsSentWithoutItsDc4AndARepeatNamesItsMessageAndSender)
{
    EXPECT_EQ(TrafficLines::reportedLine("5011 181234E13001015\x14"), "reported 5011 181234E13001015");
    EXPECT_EQ(TrafficLines::reportedLine("5011 181234E35001000"), "reported 5011 181234E35001000");
    EXPECT_EQ(TrafficLines::reportedLine(""), "reported ");
    EXPECT_EQ(TrafficLines::repeatLine("1234", 2, "10.0.0.5", 40123),
              "repeat 1234 sequence 0002 from 10.0.0.5:40123, answered, not stored again");
}

// Lines from any thread are written by the writer, whole and in order; a flood beyond the bound is
// counted rather than held, and a reader that stops reading holds up nobody but the writer.
TEST(TrafficLines, QueuedLinesAreWrittenInOrderAndAFloodIsCounted)
{
    int argc = 1;
    char name[] = "traffic_lines_tests";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    ManualClock clock(1'699'920'000 + 15 * 3600 + 13 * 60 + 48); // 2023-11-14 15:13:48 UTC
    clock.set(clock.wallNow().seconds, 915);
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* out = ::open_memstream(&text, &size);
    ASSERT_NE(out, nullptr);
    {
        QObject context;
        TrafficLines lines(&context, out, &clock);
        const JournalRecord r = record("1234", "1130", "015", "10.0.0.5", 40123);
        lines.stored(std::span<const JournalRecord>(&r, 1));
        lines.repeat("1234", 2, "10.0.0.5", 40123);
        lines.reported("5011 181234E13001015\x14");
        ASSERT_TRUE(lines.flush());
        EXPECT_EQ(std::string(text, size),
                  "2023-11-14 15:13:48.915  event 1234 E130 zone 015 from 10.0.0.5:40123\n"
                  "2023-11-14 15:13:48.915  repeat 1234 sequence 0002 from 10.0.0.5:40123, answered, not "
                  "stored again\n"
                  "2023-11-14 15:13:48.915  reported 5011 181234E13001015\n");

        const std::string many(TrafficLines::kMaxPendingBytes / 2, 'x');
        std::string all;
        for (int tries = 0; tries < 50 && all.find("not shown") == std::string::npos; ++tries) {
            // Queued faster than one write of them can take: what does not fit is counted.
            lines.reported(many);
            lines.reported(many);
            lines.reported(many);
            lines.line("last");
            ASSERT_TRUE(lines.flush());
            all.assign(text, size);
        }
        EXPECT_NE(all.find("traffic lines not shown (output too slow)\n"), std::string::npos) << all.size();
        EXPECT_EQ(all.find("\nlast\n") == std::string::npos, false);
    }
    std::fclose(out);
    std::free(text);
}

} // namespace
