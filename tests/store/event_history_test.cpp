// The event log as history: what a filter finds and in which order, how far a text search reads,
// the days of the date fields, the CSV of the export, the events' descriptions, and a reader from
// outside that creates no file.
#include "store/EventCsv.h"
#include "store/EventLog.h"
#include "store/EventTexts.h"
#include "store/StoreTestSupport.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace {

// Event n of a small log: account, event code, time and the address it came from.
struct Sample {
    const char* account;
    const char* event;
    std::int64_t utc;
    const char* source;
    const char* content;
};

// Ids are given in this order; the fifth came after the clock was put back an hour.
const Sample kSamples[] = {
    {"1234", "1130", kTestTime, "10.0.0.1", "[#1234|1130 01 015]"},
    {"5678", "BA", kTestTime + 60, "10.0.0.2", "[#5678|Nri1/BA12][Vrooms 5% & 6]"},
    {"1234", "3130", kTestTime + 86400, "192.168.7.9", "[#1234|3130 01 015]"},
    {"1234", "NULL", kTestTime + 2 * 86400, "10.0.0.1", "[]"},
    {"5678", "1401", kTestTime + 2 * 86400 - 3600, "10.0.0.2", "[#5678|1401 02 007]"},
};

class EventHistory : public ::testing::Test {
protected:
    void SetUp() override
    {
        EventLog writer(dir.file("events.db"), EventLog::Role::Writer);
        ASSERT_TRUE(writer.isOpen());
        std::vector<LoggedEvent> rows;
        for (const Sample& s : kSamples) {
            LoggedEvent& e = rows.emplace_back();
            e.receivedUtc = s.utc;
            e.record = makeRecord(s.account, s.event, std::int32_t(s.utc));
            e.transport = "tcp";
            e.sourceAddress = s.source;
            e.sequence = int(rows.size());
            e.token = "ADM-CID";
            e.content = s.content;
        }
        ASSERT_TRUE(writer.commit(rows, {}).ok());
    }
    std::vector<std::int64_t> ids(const HistoryPage& page) const
    {
        std::vector<std::int64_t> out;
        for (const LoggedEvent& e : page.rows)
            out.push_back(e.id);
        return out;
    }

    TempDir dir;
};

TEST_F(EventHistory, FiltersFindTheirEventsNewestFirst)
{
    const auto filter = [](const char* account, const char* text, std::optional<std::int64_t> from = {},
                           std::optional<std::int64_t> before = {}) {
        EventFilter f;
        f.account = account;
        f.text = text;
        f.fromUtc = from;
        f.beforeUtc = before;
        return f;
    };
    struct Row {
        const char* name;
        EventFilter filter;
        std::size_t limit;
        std::optional<std::int64_t> textRows;
        std::vector<std::int64_t> ids;
        bool more;
        bool cut;
    };
    const Row rows[] = {
        // By the time received: the event from after the clock went back sorts after the fourth.
        {"one account", filter("1234", ""), 10, {}, {4, 3, 1}, false, false},
        {"dates",
         filter("", "", kTestTime + 60, kTestTime + 2 * 86400 + 1),
         10,
         {},
         {4, 5, 3, 2},
         false,
         false},
        // From is the first second taken, before the first left out.
        {"account and dates",
         filter("5678", "", kTestTime + 60, kTestTime + 2 * 86400 - 3600),
         10,
         {},
         {2},
         false,
         false},
        {"a limit", filter("1234", ""), 2, {}, {4, 3}, true, false},
        // Text alone walks the rows as received; letters in any case; % and & as they are.
        {"text, other case", filter("", "nri1/ba"), 10, {}, {2}, false, false},
        {"text with signs", filter("", "5% &"), 10, {}, {2}, false, false},
        {"text in the source address", filter("", "168.7"), 10, {}, {3}, false, false},
        {"text in the IP address shown", filter("", "10.0.0.7"), 10, {}, {5, 4, 3, 2, 1}, false, false},
        {"text nowhere", filter("", "zz"), 10, {}, {}, false, false},
        // A text search reads as many of the filter's newest events as it may, and says so.
        {"text read in part", filter("", "015"), 10, 2, {}, false, true},
        {"text read in part, by time", filter("1234", "015"), 10, 2, {3}, false, true},
        {"text read whole", filter("1234", "015"), 10, 3, {3, 1}, false, false},
        {"text and a limit", filter("", "0"), 1, 2, {5}, true, true},
    };
    EventLog log(dir.file("events.db"), EventLog::Role::Reader);
    for (const Row& row : rows) {
        const HistoryPage page = log.find(row.filter, row.limit, row.textRows);
        EXPECT_TRUE(page.failure.ok()) << row.name;
        EXPECT_EQ(ids(page), row.ids) << row.name;
        EXPECT_EQ(page.more, row.more) << row.name;
        EXPECT_EQ(page.textSearchCut, row.cut) << row.name;
    }
    // The export takes every match, with no text bound.
    std::vector<std::int64_t> all;
    ASSERT_TRUE(log.forEachMatch(filter("", "0"),
                                 [&](const LoggedEvent& e) {
                                     all.push_back(e.id);
                                     return true;
                                 })
                    .ok());
    EXPECT_EQ(all, (std::vector<std::int64_t>{5, 4, 3, 2, 1}));
}

TEST(EventHistoryDays, DatesAreLocalDaysAndNothingElse)
{
    ::setenv("TZ", "Europe/Berlin", 1);
    ::tzset();
    struct Row {
        const char* date;
        int laterDays;
        std::optional<std::int64_t> start;
    };
    const Row rows[] = {
        {"2026-12-07", 0, 1796601600 - 3600}, {"2026-12-31", 1, 1798758000}, // into the next year
        {"2028-02-29", 0, 1835391600},                                       // a leap day
        {"2026-03-29", 1, 1774821600}, // after the day summer time starts: 23 hours later
        {"2026-03-29", 0, 1774738800},        {"2027-02-29", 0, std::nullopt},
        {"2026-04-31", 0, std::nullopt},      {"2026-13-01", 0, std::nullopt},
        {"2026-00-10", 0, std::nullopt},      {"2026-1-01", 0, std::nullopt},
        {"2026/01/01", 0, std::nullopt},      {"2026-01-0x", 0, std::nullopt},
        {"1969-12-31", 0, std::nullopt},      {"", 0, std::nullopt},
    };
    for (const Row& row : rows)
        EXPECT_EQ(EventLog::localDayStart(row.date, row.laterDays), row.start) << row.date;
    ::setenv("TZ", "UTC", 1);
    ::tzset();
}

// Fields from the network and from damaged files: one field each, one row each, and nothing a
// spreadsheet would run.
TEST(EventCsv, FieldsStayInTheirRowAndColumn)
{
    struct Row {
        std::string field;
        const char* csv;
    };
    const Row rows[] = {
        {"1234", "1234"},
        {"a,b", "\"a,b\""},
        {"say \"hi\"", "\"say \"\"hi\"\"\""},
        {"two\nlines", "\"two\nlines\""},
        {"cr\r", "\"cr\r\""},
        {"tab\there", "tab\there"},
        {std::string("nul\0here", 8), "nul\xEF\xBF\xBDhere"},
        {"bell\x07 del\x7F c1\x85", "bell\xEF\xBF\xBD del\xEF\xBF\xBD c1\xEF\xBF\xBD"},
        {"caf\xE9 \xFF", "caf\xC3\xA9 \xC3\xBF"},
        {"=1+1", "'=1+1"},
        {"@SUM(A1)", "'@SUM(A1)"},
        {"-2,+3", "\"'-2,+3\""},
        {"", ""},
    };
    for (const Row& row : rows) {
        std::string out;
        csv::appendField(out, row.field);
        EXPECT_EQ(out, row.csv) << row.field;
    }
    LoggedEvent e;
    e.record = makeRecord("1234", "1130");
    e.receivedLocal = "2026-12-07 01:00:00";
    e.extended = "[Q87]";
    e.sourceAddress = "10.0.0.99";
    e.sequence = 42;
    e.token = "ADM-CID";
    e.state = ForwardState::Reported;
    std::string text = csv::headerRow();
    csv::appendRow(text, e);
    e.record = makeRecord("1234", "NULL");
    e.sequence = -1;
    e.state = ForwardState::Pending;
    e.extended.clear();
    csv::appendRow(text, e);
    EXPECT_EQ(
        text,
        "Time Received,Receiver Number,Line Number,Account Number,Qualifier + Event,Group / Partition,"
        "Zone / User,IP Address,Signal Quality,Status,Source Address,Sequence Number,Token,"
        "Event Description\r\n"
        "2026-12-07 01:00:00,0001,02,1234,1   130,01,015,10.0.0.7,87 %,Reported,10.0.0.99,42,ADM-CID,"
        "Burglary\r\n"
        "2026-12-07 01:00:00,0001,02,1234,PING,01,015,10.0.0.7,,Not reportable,10.0.0.99,,ADM-CID,\r\n");
}

// The lists and the export name a Contact ID code by the code table; what is no Contact ID code
// (a link test, a SIA code, a damaged field) gets no description or "unknown", never another's.
TEST(EventDescriptions, CommonCodesAreNamedAndOthersAreUnknown)
{
    struct Row {
        const char* event;
        const char* description;
        const char* shown;
    };
    const Row rows[] = {
        {"1100", "Medical", " 1   100 Medical"},
        {"1110", "Fire", " 1   110 Fire"},
        {"1120", "Panic", " 1   120 Panic"},
        {"1121", "Duress", " 1   121 Duress"},
        {"1130", "Burglary", " 1   130 Burglary"},
        {"3131", "Perimeter", " 3   131 Perimeter"}, // a restore is named as its event
        {"1137", "Tamper", " 1   137 Tamper"},
        {"1301", "AC loss", " 1   301 AC loss"},
        {"1302", "Low system battery", " 1   302 Low system battery"},
        {"3401", "Open/close by user", " 3   401 Open/close by user"},
        {"1570", "Zone/sensor bypass", " 1   570 Zone/sensor bypass"},
        {"1602", "Periodic test report", " 1   602 Periodic test report"},
        {"1929", "Log-off", " 1   929 Log-off"}, // the last of the table
        {"1999", "unknown", " 1   999 unknown"},
        {"1099", "unknown", " 1   099 unknown"},
        {"1164", "unknown", " 1   164 unknown"}, // a gap inside a group
        {"113A", "unknown", " 1   13A unknown"},
        {"113", "unknown", " 1   13 unknown"},
        {"NULL", "", " PING"},
        {"BA", "", " BA"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(eventlist::eventDescription(row.event), row.description) << row.event;
        EXPECT_EQ(eventlist::describedEventText(row.event), row.shown) << row.event;
    }
}

// Another process reads the log without creating a file: through the receiver's WAL files while
// it runs, the file alone when it does not, and it notices a receiver that starts meanwhile.
TEST_F(EventHistory, AVisitorCreatesNoFileAndNoticesAWriter)
{
    const auto files = [this] {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    };
    const std::vector<std::string> closed = files(); // the writer of SetUp has closed the log
    ASSERT_EQ(closed, std::vector<std::string>{"events.db"});
    {
        EventLog visitor(dir.file("events.db"), EventLog::Role::Visitor);
        ASSERT_TRUE(visitor.isOpen()) << visitor.lastFailure().text();
        EXPECT_EQ(visitor.rowCount(), 5);
        EXPECT_FALSE(visitor.changedSinceOpen());
        EXPECT_EQ(files(), closed);
        // A receiver starts: what the visitor read may be of two moments.
        EventLog writer(dir.file("events.db"), EventLog::Role::Writer);
        ASSERT_TRUE(writer.isOpen());
        EXPECT_TRUE(visitor.changedSinceOpen());

        // Beside it, a visitor reads what is only in the WAL yet.
        std::vector<LoggedEvent> more(1);
        more[0].record = makeRecord("9999");
        ASSERT_TRUE(writer.commit(more, {}).ok());
        EventLog beside(dir.file("events.db"), EventLog::Role::Visitor);
        EXPECT_EQ(beside.rowCount(), 6);
        EXPECT_FALSE(beside.changedSinceOpen());
    }
    EventLog none(dir.file("nothing.db"), EventLog::Role::Visitor);
    EXPECT_FALSE(none.isOpen());
    EXPECT_EQ(none.lastFailure().error, ENOENT);
    EXPECT_FALSE(std::filesystem::exists(dir.file("nothing.db")));
}

} // namespace
