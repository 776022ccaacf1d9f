// Known-answer tables for the lines sent to the automation software, and the answer hand-off that
// brings ACK and NAK back to the forwarding thread.
#include "output/OutputMessages.h"
#include "output/OutputShared.h"
#include "store/RecordText.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

const std::string kDc4(1, '\x14');
const std::string kHeartbeatTail = "000" + std::string(11, ' ') + "@" + std::string(4, ' ') + kDc4;

struct HeartbeatRow {
    std::int8_t receiverNumber;
    int length;
    std::string expected;
};

TEST(FormatHeartbeat, ReceiverNumberAtLeastTwoDigitsNeverSignedInBothLengths)
{
    // The SG MLR2-DG form: "1", receiver, line "1", 11 spaces, "@", 4 spaces.
    const std::string shortTail = "1" + std::string(11, ' ') + "@" + std::string(4, ' ') + kDc4;
    const HeartbeatRow rows[] = {
        {1, 22, "101" + kHeartbeatTail},
        {7, 22, "107" + kHeartbeatTail},
        {0, 22, "100" + kHeartbeatTail},
        {99, 22, "199" + kHeartbeatTail},
        {100, 22, "1100" + kHeartbeatTail}, // two digits are a minimum
        {127, 22, "1127" + kHeartbeatTail},
        {std::int8_t(-56), 22, "1200" + kHeartbeatTail}, // 200 typed, stored as a signed byte
        {std::int8_t(-1), 22, "1255" + kHeartbeatTail},
        {std::int8_t(-128), 22, "1128" + kHeartbeatTail},
        {1, 20, "1011           @    \x14"},
        {7, 20, "107" + shortTail},
        {std::int8_t(-56), 20, "1200" + shortTail},
        {1, 0, "101" + kHeartbeatTail}, // an unknown length is the usual one
    };
    for (const HeartbeatRow& row : rows) {
        const std::string line = Format_Heartbeat(row.receiverNumber, row.length);
        EXPECT_EQ(line, row.expected) << int(row.receiverNumber) << " " << row.length;
        const std::size_t characters = row.length == 20 ? 20 : 22;
        EXPECT_EQ(line.size(), characters + 1 + (std::uint8_t(row.receiverNumber) >= 100 ? 1 : 0));
    }
}

struct ReportRow {
    const char* name;
    const char* receiver;
    const char* line;
    const char* account;
    const char* event;
    const char* partition;
    const char* zone;
    std::int8_t format;
    std::string expected; // without the DC4
};

JournalRecord recordOf(const ReportRow& row)
{
    JournalRecord r;
    std::memset(&r, 0xAB, sizeof r); // the bytes after the 44 report bytes must not matter
    r.status = 0x03;
    setFieldText(r.receiver, row.receiver);
    setFieldText(r.line, row.line);
    setFieldText(r.account, row.account);
    setFieldText(r.event, row.event);
    setFieldText(r.partition, row.partition);
    setFieldText(r.zone, row.zone);
    return r;
}

TEST(FormatReport, FieldsCutConvertedAndQualifierLettered)
{
    const ReportRow rows[] = {
        {"worked example, SG MLR2-DG", "1", "1", "1234", "1401", "01", "015", 0, "5011 181234E40101015"},
        {"worked example, SG MLR2000", "1", "1", "1234", "1401", "01", "015", 1, "501001 181234E40101015"},
        {"empty receiver and line, format 0", "", "", "1234", "1401", "01", "015", 0, "5000 181234E40101015"},
        {"empty receiver and line, format 1", "", "", "1234", "1401", "01", "015", 1,
         "500000 181234E40101015"},
        {"receiver and line cut", "123", "1234", "1234", "1401", "01", "015", 0, "512123 181234E40101015"},
        {"receiver and line cut, format 1", "0001", "0002", "1234", "1401", "01", "015", 1,
         "500000 181234E40101015"},
        {"long account cut to four", "1", "1", "12345678", "1401", "01", "015", 0, "5011 181234E40101015"},
        {"short account not padded", "1", "1", "12", "1401", "01", "015", 0, "5011 1812E40101015"},
        {"restore", "1", "1", "1234", "3401", "01", "015", 0, "5011 181234R40101015"},
        {"new event", "1", "1", "1234", "1130", "01", "015", 0, "5011 181234E13001015"},
        {"previously reported", "1", "1", "1234", "6130", "01", "015", 0, "5011 181234P13001015"},
        {"other qualifier kept", "1", "1", "1234", "2130", "01", "015", 0,
         "5011 1812342130"
         "01015"},
        {"empty event", "1", "1", "1234", "", "01", "015", 0, "5011 18123401015"},
        {"short partition and zone", "1", "1", "1234", "1401", "1", "5", 0, "5011 181234E40115"},
        {"hex receiver counts as 0", "A1", "1", "1234", "1401", "01", "015", 0, "5001 181234E40101015"},
        {"hex digits end the number", "1B", "2F3", "1234", "1401", "01", "015", 1, "501002 181234E40101015"},
        {"unknown format is SG MLR2-DG", "1", "7", "1234", "1401", "01", "015", 2, "5017 181234E40101015"},
        {"negative format is SG MLR2-DG", "1", "7", "1234", "1401", "01", "015", -1, "5017 181234E40101015"},
    };
    for (const ReportRow& row : rows) {
        const JournalRecord record = recordOf(row);
        const JournalRecord before = record;
        EXPECT_EQ(Format_Report(record, row.format), row.expected + kDc4) << row.name;
        EXPECT_EQ(std::memcmp(&record, &before, sizeof record), 0) << row.name << ": record changed";
    }
}

TEST(FormatReport, FieldsWithoutTheirNulStopAtTheirWidth)
{
    // A damaged file may fill every field to the brim; nothing beyond a field may be read into it.
    Report_Source source;
    std::memset(&source, '9', sizeof source);
    EXPECT_EQ(Format_Report(source, 0), "599999 18"
                                        "9999"
                                        "99999"
                                        "999"
                                        "9999" +
                                            kDc4);
    EXPECT_EQ(Format_Report(source, 1), "599999 18"
                                        "9999"
                                        "99999"
                                        "999"
                                        "9999" +
                                            kDc4);
}

TEST(SupervisionReport, MissingAccountIsE350AndRestoredIsR350)
{
    AccountRecord account;
    std::memset(&account, 0, sizeof account);
    setFieldText(account.account, "1234");
    setFieldText(account.receiver, "1");
    setFieldText(account.line, "1");
    setFieldText(account.event, "1401"); // the last event is not what is reported
    setFieldText(account.partition, "07");
    setFieldText(account.zone, "999");

    account.sup_flags = accounts::kMissing | accounts::kReportDue;
    const Report_Source missing = Make_Supervision_Source(account);
    EXPECT_EQ(Format_Report(missing, 0), "5011 181234E35001000" + kDc4);
    EXPECT_EQ(Format_Report(missing, 1), "501001 181234E35001000" + kDc4);

    account.sup_flags = accounts::kReportDue;
    EXPECT_EQ(Format_Report(Make_Supervision_Source(account), 0), "5011 181234R35001000" + kDc4);

    // A full account field still yields a terminated source; receiver and line come along as stored.
    std::memset(account.account, '8', sizeof account.account);
    setFieldText(account.receiver, "12");
    setFieldText(account.line, "345");
    const Report_Source full = Make_Supervision_Source(account);
    EXPECT_EQ(full.account[sizeof full.account - 1], '\0');
    EXPECT_EQ(full.status, 0);
    EXPECT_EQ(Format_Report(full, 0), "512345 188888R35001000" + kDc4);
}

// Which line an event becomes: Contact ID accounts of 5 to 10 characters whole on a Q line when the
// setting asks for it, SIA messages on S lines with their block as received, the rest as before.
TEST(EventLines, QLinesForLongAccountsAndSLinesForSiaBlocks)
{
    struct Row {
        const char* name;
        const char* account;
        const char* event;
        const char* token;
        std::string content;
        std::int8_t format;
        bool qLines;
        std::vector<std::string> expected; // without their DC4
    };
    const std::string sixtySix = "[#1234|Nri1/BA01^" + std::string(66 - 19, 'x') + "^]";
    const Row rows[] = {
        {"7 characters, Q line", "1234567", "1130", "ADM-CID", "", 0, true, {"Q011 580001234567E13001015"}},
        {"Q line, SG MLR2000", "1234567", "3401", "*ADM-CID", "", 1, true, {"Q01001 580001234567R40101015"}},
        {"10 characters fill the field",
         "ABCDEF0123",
         "1130",
         "ADM-CID",
         "",
         0,
         true,
         {"Q011 58ABCDEF0123E13001015"}},
        {"5 characters", "12345", "1130", "ADM-CID", "", 0, true, {"Q011 580000012345E13001015"}},
        {"4 characters stay a report line", "1234", "1130", "ADM-CID", "", 0, true, {"5011 181234E13001015"}},
        {"over 10 keeps the cut", "12345678901", "1130", "ADM-CID", "", 0, true, {"5011 181234E13001015"}},
        {"setting off keeps the cut", "1234567", "1130", "ADM-CID", "", 0, false, {"5011 181234E13001015"}},
        {"SIA block as received",
         "1234",
         "BA",
         "SIA-DCS",
         "[#1234|Nri1/BA12][X1]_10:00:00,01-01-2025",
         0,
         false,
         {"S011[#1234|Nri1/BA12]"}},
        {"SIA, SG MLR2000, long account",
         "080027E62A64",
         "HB",
         "*SIA-DCS",
         "[#080027E62A64|NHB0003]",
         1,
         true,
         {"S01001[#080027E62A64|NHB0003]"}},
        {"SIA block of 66 bytes is one line",
         "1234",
         "BA",
         "SIA-DCS",
         sixtySix,
         0,
         false,
         {"S011" + sixtySix}},
        {"SIA over 66 bytes: a line per code with the modifiers in force",
         "1234",
         "BA",
         "SIA-DCS",
         "[#1234|Nri1/BA01/BA02/ri2/id7/BR03^door^/CL501/TA04/TA05/TA06/TA07/TA08]",
         0,
         false,
         {"S011[#1234|Nri1/BA01]", "S011[#1234|Nri1/BA02]", "S011[#1234|Nri2/id7/BR03^door^]",
          "S011[#1234|Nri2/id7/CL501]", "S011[#1234|Nri2/id7/TA04]", "S011[#1234|Nri2/id7/TA05]",
          "S011[#1234|Nri2/id7/TA06]", "S011[#1234|Nri2/id7/TA07]", "S011[#1234|Nri2/id7/TA08]"}},
        {"a code's text too long for a line is left out",
         "1234",
         "BA",
         "SIA-DCS",
         "[#1234|Nri1BA01^" + std::string(60, 't') + "^/BA02]",
         0,
         false,
         {"S011[#1234|Nri1/BA01]", "S011[#1234|Nri1/BA02]"}},
        {"one code that does not fit is cut",
         "1234",
         "BA",
         "SIA-DCS",
         "[#1234|" + std::string(70, 'N') + "]",
         0,
         false,
         {"S011[#1234|" + std::string(58, 'N') + "]"}},
        {"control bytes never reach the line",
         "1234",
         "BA",
         "SIA-DCS",
         std::string("[#1234|NBA1\x14\x00]", 14),
         0,
         false,
         {"S011[#1234|NBA1??]"}},
        {"no content: the block from the stored fields",
         "1234",
         "BA",
         "SIA-DCS",
         "",
         0,
         false,
         {"S011[#1234|Nri01/BA015]"}},
    };
    for (const Row& row : rows) {
        ReportRow fields{row.name, "1", "1", row.account, row.event, "01", "015", row.format, ""};
        const JournalRecord record = recordOf(fields);
        std::vector<std::string> expected;
        for (const std::string& line : row.expected)
            expected.push_back(line + kDc4);
        EXPECT_EQ(Format_Event_Lines(record, row.token, row.content, ReportOptions{row.format, row.qLines}),
                  expected)
            << row.name;
        for (const std::string& line : expected) {
            EXPECT_TRUE(Account_Cut_Warning(row.account, line).empty() || line[0] == '5') << row.name;
            if (line[0] == 'S') {
                EXPECT_LE(line.size() - 1 - 4, kSLineBlockWidth) << row.name;
            }
        }
    }
    EXPECT_FALSE(Account_Cut_Warning("12345678901", "5011 181234E13001015").empty());
    EXPECT_EQ(SIA_Data_Block("[#1|NBA1^a]b^][X]"), "[#1|NBA1^a]b^]");
    EXPECT_EQ(SIA_Data_Block("no block"), "");
}

TEST(Answers, OnlyAckAndNakAreAnswerBytes)
{
    for (int b = 0; b < 256; ++b)
        EXPECT_EQ(Is_Answer_Byte(std::uint8_t(b)), b == 0x06 || b == 0x15) << b;
}

// Only an answer from the connection a line went out on, while its slot is armed, counts and wakes
// the thread; one nobody waits for (late, doubled, from another connection) changes nothing.
TEST(Answers, DeliverFillsOnlySlotsArmedForThatConnection)
{
    constexpr output::LinkId kLine = 5;
    struct Row {
        std::uint8_t byte;
        output::LinkId source;
        bool taken;
    };
    for (const Row row : {Row{output::kNak, kLine, true}, Row{'A', kLine, false}, Row{output::kAck, 6, false},
                          Row{output::kAck, output::kNoLink, false}}) {
        SCOPED_TRACE(int(row.byte));
        Answer_Handoff handoff;
        Deliver_Answer(handoff, output::kAck, kLine); // nothing armed yet
        Arm_Answer(handoff, output::AnswerSlot::Report, kLine);
        EXPECT_EQ(Answer_Pending(handoff), kLine);
        Deliver_Answer(handoff, row.byte, row.source);
        EXPECT_EQ(handoff.answer_event.isSet(), row.taken);
        EXPECT_EQ(handoff.heartbeat_answer.load(), output::kSlotIdle);
        Deliver_Answer(handoff, output::kAck, kLine); // a second answer does not overwrite the first
        EXPECT_EQ(Disarm_Answer(handoff, output::AnswerSlot::Report), row.taken ? row.byte : output::kAck);
        EXPECT_EQ(Answer_Pending(handoff), output::kNoLink);
    }
}

TEST(Answers, ManualResetEventStaysSetUntilReset)
{
    ManualResetEvent event;
    EXPECT_FALSE(event.waitFor(std::chrono::milliseconds(0)));
    event.set();
    EXPECT_TRUE(event.waitFor(std::chrono::milliseconds(0)));
    EXPECT_TRUE(event.waitFor(std::chrono::milliseconds(0))); // manual reset: still set
    event.reset();
    EXPECT_FALSE(event.isSet());
}

} // namespace
