// The forwarding thread: passes run on the test thread against a scripted automation software
// (heartbeat, supervision, reporting from the event log and every failure of the exchange), and the
// real thread that hands its log lines to the main thread and ends on request.
#include "../support/FaultInjection.h"
#include "../support/QtWait.h"
#include "config/Clock.h"
#include "output/MonitoringThread.h"
#include "output/OutputMessages.h"
#include "store/AccountTable.h"
#include "store/EventLog.h"
#include "store/Journal.h"
#include "store/StoreTestSupport.h"

#include <QObject>
#include <QThread>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using namespace std::chrono_literals;
using testsupport::waitUntil;

// The automation software as the thread sees it through the link: each line that goes out arms its
// slot for the one connection there is, and is answered at once, from inside the send, as the serial
// poll step would hand the byte over; the link's own wait on the hand-off decides.
class ScriptedTransport : public OutputTransport {
public:
    enum class Reply {
        Ack,
        Nak,
        Silent,
        Junk,
        SignalOnly,
        NoConnection,
        NotSent,
        AckAfterStray,
        AckDoubtful
    };
    static constexpr output::LinkId kConnection = 7;

    explicit ScriptedTransport(OutputShared& shared) : m_shared(shared) {}

    std::deque<Reply> script; // replies in order; then `otherwise`
    Reply otherwise = Reply::Ack;
    std::function<void(const std::string& line)> duringWait; // the world moving while a line is out
    std::vector<std::string> sent;
    int refused = 0;

    Exchange exchangeLine(const std::string& line, Kind kind, std::chrono::milliseconds wait) override
    {
        EXPECT_EQ(kind == Kind::Heartbeat, line[0] == '1') << line;
        const Reply reply = next();
        if (reply == Reply::NoConnection) {
            ++refused;
            return Exchange{SendResult::NoConnection, std::nullopt};
        }
        if (reply == Reply::NotSent) {
            // A late ACK turning up meanwhile finds nothing armed.
            ++refused;
            Deliver_Answer(m_shared.handoff, output::kAck, kConnection);
            return Exchange{SendResult::NothingSent, std::nullopt};
        }
        sent.push_back(line);
        const output::AnswerSlot slot =
            kind == Kind::Heartbeat ? output::AnswerSlot::Heartbeat : output::AnswerSlot::Report;
        Arm_Answer(m_shared.handoff, slot, kConnection);
        if (duringWait)
            duringWait(line);
        switch (reply) {
        case Reply::Ack:
        case Reply::AckAfterStray:
        case Reply::AckDoubtful:
            Deliver_Answer(m_shared.handoff, output::kAck, kConnection);
            break;
        case Reply::Nak:
            Deliver_Answer(m_shared.handoff, output::kNak, kConnection);
            break;
        case Reply::Junk:
            Deliver_Answer(m_shared.handoff, 'A', kConnection);
            break;
        case Reply::SignalOnly:
            m_shared.handoff.answer_event.set();
            break;
        case Reply::Silent:
        case Reply::NoConnection:
        case Reply::NotSent:
            break;
        }
        Exchange result{SendResult::Sent, Await_Answer(m_shared.handoff, slot, wait)};
        // An answer that came before this line, or a second, different one right after its answer.
        result.strayBefore = reply == Reply::AckAfterStray;
        result.doubtful = reply == Reply::AckDoubtful;
        return result;
    }

private:
    Reply next()
    {
        if (script.empty())
            return otherwise;
        const Reply r = script.front();
        script.pop_front();
        return r;
    }
    OutputShared& m_shared;
};

struct Logged {
    std::string text;
    LogColour colour;
    bool onMainThread;
};

const std::string kHeartbeat = Format_Heartbeat(1);

class ForwardingTest : public ::testing::Test {
protected:
    using Reply = ScriptedTransport::Reply;

    // A new data directory with its stores and a thread over them; events are committed to the log
    // on the test's thread.
    void make(MonitoringTiming timing = {20ms, 1ms, 1ms, 0ms})
    {
        m_thread.reset();
        faults::installLogLayer();
        m_stack = std::make_unique<StoreStack>(m_io);
        ASSERT_FALSE(m_stack->dir.path().empty());
        if (!m_prepare.empty()) {
            for (const auto& [name, bytes] : m_prepare)
                writeBytes(m_stack->file(name), bytes);
        }
        ASSERT_TRUE(m_stack->open());
        m_journal = &m_stack->journal;
        m_accounts = &m_stack->accounts;
        m_accounts->onNeedsCommit = [this] { (void)m_stack->store.commitNow({}); };
        LogSink target = [this](std::string_view text, LogColour colour) {
            m_logged.push_back({std::string(text), colour, QThread::currentThread() == m_context.thread()});
        };
        LogSink log = mainThreadLogSink(&m_context, target, [this] { ++m_beeps; });

        MonitoringHooks hooks;
        hooks.log = log;
        hooks.playNotify = [this] { runOnThreadOf(&m_context, [this] { ++m_notifies; }); };
        hooks.trace = [this](const std::string& line) {
            runOnThreadOf(&m_context, [this, line] { m_traces.push_back(line); });
        };
        hooks.refreshEvents = [this] { runOnThreadOf(&m_context, [this] { ++m_refreshes; }); };
        m_thread = std::make_unique<Monitoring_Thread>(
            *m_journal, *m_accounts, m_stack->store, m_shared, m_transport, m_clock,
            [this] { return m_settings; }, hooks, timing);
    }

    void TearDown() override
    {
        m_thread.reset(); // ends and joins the thread before the stores go
        m_stack.reset();
        faults::reset();
    }

    std::string journalPath() const { return m_stack->file("kalvor.dat"); }
    // An event accepted and in the log.
    void append(const char* account, const char* event = "1130")
    {
        const FileFailure f = m_stack->add(makeRecord(account, event));
        ASSERT_TRUE(f.ok()) << f.text();
    }
    std::int64_t pendingInLog() { return m_stack->store.connect(EventLog::Role::Reader)->pendingCount(); }
    std::uint8_t diskStatus(std::size_t slot) const
    {
        const std::vector<std::uint8_t> bytes = readBytes(journalPath());
        const std::size_t at = journal::kHeaderSize + slot * sizeof(JournalRecord);
        return at < bytes.size() ? bytes[at] : 0xEE;
    }
    std::string report(std::size_t slot) const { return Format_Report(m_journal->record(slot), 0); }
    std::uint32_t linkState() const { return m_shared.Output_Link_State.load(); }
    void pass(int n = 1)
    {
        for (int i = 0; i < n; ++i)
            m_thread->runPass();
    }
    std::vector<std::string> redLines() const
    {
        std::vector<std::string> out;
        for (const Logged& l : m_logged)
            if (l.colour == LogColour::Red)
                out.push_back(l.text);
        return out;
    }
    int count(const std::string& text) const
    {
        int n = 0;
        for (const Logged& l : m_logged)
            n += l.text == text;
        return n;
    }
    std::vector<std::string> takeSent() { return std::exchange(m_transport.sent, {}); }

    // An account that stopped reporting: created by an event, then one minute of supervision ticks.
    std::size_t missingAccount(const char* account)
    {
        JournalRecord r = makeRecord(account);
        const std::optional<std::size_t> slot = m_accounts->stage(r, "");
        EXPECT_TRUE(slot.has_value());
        m_accounts->setPingMinutes(*slot, 1);
        for (int i = 0; i < 60; ++i)
            m_accounts->supervisionTick();
        EXPECT_EQ(m_accounts->record(*slot).sup_flags, accounts::kMissing | accounts::kReportDue);
        return *slot;
    }
    void reportsAgain(const char* account)
    {
        JournalRecord r = makeRecord(account);
        (void)m_accounts->stage(r, "");
    }

    // Files the next make() finds in its new data directory, as a previous run left them.
    std::vector<std::pair<std::string, std::vector<std::uint8_t>>> m_prepare;
    QObject m_context;
    FailingFileIo m_io;
    OutputShared m_shared;
    ScriptedTransport m_transport{m_shared};
    ManualClock m_clock{kTestTime};
    ForwardingSettings m_settings;
    std::unique_ptr<StoreStack> m_stack;
    Journal* m_journal = nullptr;
    AccountTable* m_accounts = nullptr;
    std::unique_ptr<Monitoring_Thread> m_thread;
    std::vector<Logged> m_logged;
    std::vector<std::string> m_traces;
    int m_beeps = 0;
    int m_notifies = 0;
    int m_refreshes = 0;
};

const std::string kEstablished = "Connection with automation software established.";
const std::string kHeartbeatSilent = "Link error (heartbeat): no ACK from automation software.";
const std::string kHeartbeatNak = "Link error (heartbeat): negative ACK from automation software.";
const std::string kPingSilent = "Link error (ping): no ACK from automation software.";
const std::string kPingNak = "Link error (ping): negative ACK from automation software.";
const std::string kDataSilent = "Link error (data): no ACK from automation software.";
const std::string kDataNak = "Link error (data): negative ACK from automation software.";

TEST_F(ForwardingTest, LinkUpSendsTheHeartbeatThenEveryEventInSlotOrderButNoLinkTest)
{
    make();
    append("1111");
    append("2222", "NULL");
    append("3333", "3401");
    m_shared.Output_Link_State = output::kLinkUp;
    pass();

    EXPECT_EQ(takeSent(), (std::vector<std::string>{kHeartbeat, report(0), report(2)}));
    EXPECT_EQ(linkState(), output::kLinkReady);
    EXPECT_EQ(m_logged.size(), 1u);
    EXPECT_EQ(count(kEstablished), 1);
    EXPECT_EQ(m_notifies, 1);
    EXPECT_EQ(m_traces.size(), 3u); // one RX line per answer
    EXPECT_EQ(diskStatus(0), 0x07);
    EXPECT_EQ(diskStatus(1), 0x01); // the link test: saved, never reported
    EXPECT_EQ(diskStatus(2), 0x07);
    EXPECT_EQ(m_journal->record(1).status, journal::kStored | journal::kSaved);
    EXPECT_EQ(pendingInLog(), 0) << "marked reported in the log at the end of the step";
    EXPECT_GE(m_refreshes, 1);
    EXPECT_EQ(m_shared.Thread_Alive.load(), output::kMonitoringAlive);

    // Nothing pending and no heartbeat due: a quiet pass; a later heartbeat ACK logs nothing.
    pass();
    EXPECT_TRUE(takeSent().empty());
    m_clock.advance(30000);
    pass();
    EXPECT_EQ(takeSent(), std::vector<std::string>{kHeartbeat});
    EXPECT_EQ(m_logged.size(), 1u);
    EXPECT_EQ(m_notifies, 1);
    EXPECT_EQ(m_shared.handoff.heartbeat_answer.load(), output::kSlotIdle);
    EXPECT_EQ(m_shared.handoff.report_answer.load(), output::kSlotIdle);
}

TEST_F(ForwardingTest, HeartbeatPeriodCountsFromOneSendingToTheNextInTheChosenLength)
{
    struct Row {
        std::int32_t periodSeconds;
        std::int64_t periodMs;
        int length;
    };
    for (const Row row : {Row{0, 30000, 22}, Row{5, 5000, 20}, Row{-3, 30000, 22}}) {
        SCOPED_TRACE(row.periodSeconds);
        m_settings.Test_Heartbeat_Period = row.periodSeconds;
        m_settings.Test_Rec_Nr = 7;
        m_settings.Heartbeat_Length = row.length;
        const std::string heartbeat = Format_Heartbeat(7, row.length);
        ASSERT_EQ(heartbeat.size(), std::size_t(row.length + 1));
        make();
        m_shared.Output_Link_State = output::kLinkUp;
        pass();
        EXPECT_EQ(takeSent(), std::vector<std::string>{heartbeat});
        m_clock.advance(row.periodMs - 1);
        pass();
        EXPECT_TRUE(takeSent().empty());
        m_clock.advance(1);
        pass();
        EXPECT_EQ(takeSent(), std::vector<std::string>{heartbeat});
        m_thread.reset();
    }
}

TEST_F(ForwardingTest, AnAccountTooLongForTheReportIsNamedInRedOncePerAccount)
{
    make();
    append("ABCDE");
    append("ABCDE", "3130");
    append("1234");
    append("ABCDF");
    missingAccount("ABCDE");
    m_shared.Output_Link_State = output::kLinkUp;
    pass();
    EXPECT_EQ(takeSent(), (std::vector<std::string>{kHeartbeat, "5002 18ABCDE35001000\x14",
                                                    "5002 18ABCDE13001015\x14", "5002 18ABCDR13001015\x14",
                                                    "5002 181234E13001015\x14", "5002 18ABCDE13001015\x14"}));
    const std::string tail = " does not fit the 4 account characters of the report format; the automation "
                             "software receives it as ABCD: ";
    EXPECT_EQ(redLines(), (std::vector<std::string>{"Account ABCDE" + tail + "5002 18ABCDE35001000",
                                                    "Account ABCDF" + tail + "5002 18ABCDE13001015"}));
    EXPECT_EQ(m_beeps, 2);
}

TEST_F(ForwardingTest, WhileTheLinkIsDownEventsAreOnlySavedAndAReturningLinkIsGreetedAtOnce)
{
    make();
    append("1111");
    pass();
    EXPECT_TRUE(takeSent().empty());
    EXPECT_EQ(diskStatus(0), 0x01);
    EXPECT_EQ(m_journal->record(0).status, journal::kStored | journal::kSaved);

    m_shared.Output_Link_State = output::kLinkUp;
    pass();
    EXPECT_EQ(takeSent(), (std::vector<std::string>{kHeartbeat, report(0)}));

    // Lost and back within the heartbeat period: the new link gets its heartbeat first anyway.
    m_shared.Output_Link_State = 0;
    pass();
    m_shared.Output_Link_State = output::kLinkUp;
    append("2222");
    pass();
    EXPECT_EQ(takeSent(), (std::vector<std::string>{kHeartbeat, report(1)}));
    EXPECT_EQ(count(kEstablished), 2);
}

TEST_F(ForwardingTest, HeartbeatOutcomes)
{
    struct Row {
        Reply reply;
        std::uint32_t stateAfter;
        std::vector<std::string> red;
        std::vector<std::string> traces;
    };
    const Row rows[] = {
        {Reply::Ack, output::kLinkReady, {}, {"13:05:09.042  RX: 6"}},
        {Reply::Silent, output::kLinkUp, {kHeartbeatSilent}, {}},
        {Reply::Junk, output::kLinkUp, {kHeartbeatSilent}, {}}, // not an answer byte at all
        {Reply::Nak, output::kLinkReady, {kHeartbeatNak}, {"13:05:09.042  RX: 21"}},
        {Reply::SignalOnly, output::kLinkReady, {}, {"13:05:09.042  RX: 255"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(int(row.reply));
        m_logged.clear();
        m_traces.clear();
        m_notifies = 0;
        m_beeps = 0;
        make();
        m_clock.set(kTestTime + 13 * 3600 + 5 * 60 + 9, 42);
        m_shared.Output_Link_State = output::kLinkReady; // already established
        m_transport.script = {row.reply};
        pass();
        EXPECT_EQ(takeSent(), std::vector<std::string>{kHeartbeat});
        EXPECT_EQ(linkState(), row.stateAfter);
        EXPECT_EQ(redLines(), row.red);
        EXPECT_EQ(m_beeps, int(row.red.size()));
        EXPECT_EQ(m_traces, row.traces);
        EXPECT_TRUE(m_logged.size() == row.red.size()); // an ACK while established logs nothing
        EXPECT_EQ(m_notifies, 0);
        EXPECT_EQ(m_shared.handoff.heartbeat_answer.load(), output::kSlotIdle);
        m_thread.reset();
    }
}

TEST_F(ForwardingTest, NakToAReportPausesAndSendsItAgainNextPassWhileLaterEventsWait)
{
    make();
    append("1111");
    append("2222");
    append("3333");
    m_shared.Output_Link_State = output::kLinkUp;
    m_transport.script = {Reply::Ack, Reply::Ack, Reply::Nak};
    pass();
    EXPECT_EQ(takeSent(), (std::vector<std::string>{kHeartbeat, report(0), report(1)}));
    EXPECT_EQ(redLines(), std::vector<std::string>{kDataNak});
    EXPECT_EQ(linkState(), output::kLinkReady); // a NAK is an answer: the link stays established
    EXPECT_EQ(diskStatus(1), 0x01);

    pass();
    EXPECT_EQ(takeSent(), (std::vector<std::string>{report(1), report(2)}));
    EXPECT_EQ(diskStatus(1), 0x07);
    EXPECT_EQ(diskStatus(2), 0x07);
}

TEST_F(ForwardingTest, UnansweredReportStopsReportingUntilTheNextHeartbeatAck)
{
    make();
    append("1111");
    append("2222");
    m_shared.Output_Link_State = output::kLinkUp;
    m_transport.script = {Reply::Ack, Reply::Silent};
    pass();
    EXPECT_EQ(takeSent(), (std::vector<std::string>{kHeartbeat, report(0)}));
    EXPECT_EQ(redLines(), std::vector<std::string>{kDataSilent});
    EXPECT_EQ(linkState(), output::kLinkUp);

    pass(3);
    EXPECT_TRUE(takeSent().empty());
    m_clock.advance(30000);
    pass();
    EXPECT_EQ(takeSent(), (std::vector<std::string>{kHeartbeat, report(0), report(1)}));
    EXPECT_EQ(count(kEstablished), 2);
    EXPECT_EQ(m_notifies, 2);
}

TEST_F(ForwardingTest, SupervisionReportsGoFirstAndStayDueUntilAcknowledged)
{
    make();
    const std::size_t slot = missingAccount("1234");
    append("5555");
    m_shared.Output_Link_State = output::kLinkUp;
    pass();
    EXPECT_EQ(takeSent(), (std::vector<std::string>{kHeartbeat, "5002 181234E35001000\x14", report(0)}));
    EXPECT_EQ(m_accounts->record(slot).sup_flags, accounts::kMissing);

    // Back again: R350. A NAK keeps it due, pauses, and the reporting step still runs.
    reportsAgain("1234");
    append("6666");
    m_transport.script = {Reply::Nak};
    pass();
    EXPECT_EQ(takeSent(), (std::vector<std::string>{"5002 181234R35001000\x14", report(1)}));
    EXPECT_EQ(redLines(), std::vector<std::string>{kPingNak});
    EXPECT_EQ(m_accounts->record(slot).sup_flags, accounts::kReportDue);

    // Unanswered: still due, established cleared, no event reports in this pass.
    append("7777");
    m_transport.script = {Reply::Silent};
    pass();
    EXPECT_EQ(takeSent(), std::vector<std::string>{"5002 181234R35001000\x14"});
    EXPECT_EQ(redLines(), (std::vector<std::string>{kPingNak, kPingSilent}));
    EXPECT_EQ(linkState(), output::kLinkUp);
    EXPECT_EQ(m_accounts->record(slot).sup_flags, accounts::kReportDue);

    m_clock.advance(30000);
    pass();
    EXPECT_EQ(takeSent(), (std::vector<std::string>{kHeartbeat, "5002 181234R35001000\x14", report(2)}));
    EXPECT_EQ(m_accounts->record(slot).sup_flags, 0);
}

TEST_F(ForwardingTest, AccountThatChangesStateDuringTheWaitIsReportedAgain)
{
    make();
    const std::size_t slot = missingAccount("1234");
    m_shared.Output_Link_State = output::kLinkUp;
    m_transport.duringWait = [&](const std::string& line) {
        if (line.find("E350") != std::string::npos)
            reportsAgain("1234");
    };
    pass();
    EXPECT_EQ(takeSent(), (std::vector<std::string>{kHeartbeat, "5002 181234E35001000\x14"}));
    EXPECT_EQ(m_accounts->record(slot).sup_flags, accounts::kReportDue);
    pass();
    EXPECT_EQ(takeSent(), std::vector<std::string>{"5002 181234R35001000\x14"});
    EXPECT_EQ(m_accounts->record(slot).sup_flags, 0);
}

// A line that did not go out (no connection, or a send that failed or stopped short) never waits for
// an answer and is never marked, whatever answer turns up meanwhile.
TEST_F(ForwardingTest, LineNotSentEndsTheStepAtOnceUnmarked)
{
    struct Row {
        Reply reply;
        std::uint32_t stateAfter;
        std::vector<std::string> red;
        std::int64_t untilHeartbeat; // the link is greeted again at once once it is back, or when due
    };
    for (const Row& row :
         {Row{Reply::NoConnection, 0u, {}, 0}, Row{Reply::NotSent, output::kLinkUp, {kDataSilent}, 30000}}) {
        SCOPED_TRACE(int(row.reply));
        m_logged.clear();
        // An answer wait that would hold the test for a minute if the thread waited after a failed send.
        make({60s, 1ms, 1ms, 0ms});
        append("1111");
        m_shared.Output_Link_State = output::kLinkUp;
        m_transport.script = {Reply::Ack, row.reply};
        m_transport.refused = 0;
        const auto started = std::chrono::steady_clock::now();
        pass();
        EXPECT_LT(std::chrono::steady_clock::now() - started, 30s);
        EXPECT_EQ(takeSent(), std::vector<std::string>{kHeartbeat});
        EXPECT_EQ(m_transport.refused, 1);
        EXPECT_EQ(linkState(), row.stateAfter);
        EXPECT_EQ(redLines(), row.red);
        EXPECT_EQ(m_shared.handoff.report_answer.load(), output::kSlotIdle);
        EXPECT_EQ(diskStatus(0), 0x01);

        // The link comes back: a heartbeat first, then the event.
        m_shared.Output_Link_State |= output::kLinkUp;
        m_clock.advance(row.untilHeartbeat);
        pass();
        EXPECT_EQ(takeSent(), (std::vector<std::string>{kHeartbeat, report(0)}));
        EXPECT_EQ(diskStatus(0), 0x07);
        m_thread.reset();
    }
}

TEST_F(ForwardingTest, LinkLostDuringAnExchangeStopsTheStepAndIsNotTakenAsEstablished)
{
    make();
    append("1111");
    append("2222");
    m_shared.Output_Link_State = output::kLinkUp;
    m_transport.duringWait = [&](const std::string& line) {
        if (line == kHeartbeat)
            m_shared.Output_Link_State = 0;
    };
    pass();
    EXPECT_EQ(takeSent(), std::vector<std::string>{kHeartbeat});
    EXPECT_EQ(linkState(), 0u); // the ACK came, but the link it came on is gone
    EXPECT_EQ(count(kEstablished), 0);

    m_shared.Output_Link_State = output::kLinkUp;
    m_transport.duringWait = [&](const std::string& line) {
        if (line == report(0))
            m_shared.Output_Link_State = 0;
    };
    pass();
    EXPECT_EQ(takeSent(), (std::vector<std::string>{kHeartbeat, report(0)}));
    EXPECT_EQ(diskStatus(0), 0x07); // its ACK still counts
    EXPECT_EQ(diskStatus(1), 0x01);
}

TEST_F(ForwardingTest, EventsGoOutInTheOrderTheyCameAndUnreportedSlotsOfOldFilesAreSentAfterAStart)
{
    // A file as a previous run left it: next_slot 2046, slot 5 saved but never reported. A new log
    // takes it over first.
    std::vector<std::uint8_t> image(journal::kImageSize, 0);
    putLe32(image, 0, 2046);
    JournalRecord old = makeRecord("0005");
    old.status = journal::kStored;
    std::memcpy(image.data() + journal::kHeaderSize + 5 * sizeof(JournalRecord), &old, sizeof old);
    m_prepare = {{"kalvor.dat", image},
                 {"extevn.dat", std::vector<std::uint8_t>(journal::kExtendedImageSize, 0)}};

    make();
    append("2046");
    append("2047");
    append("0000"); // wraps to slot 0
    m_shared.Output_Link_State = output::kLinkUp;
    pass();
    EXPECT_EQ(takeSent(),
              (std::vector<std::string>{kHeartbeat, report(5), report(2046), report(2047), report(0)}));
    EXPECT_NE(report(0).find("0000"), std::string::npos);
    for (std::size_t slot : {0u, 5u, 2046u, 2047u})
        EXPECT_EQ(diskStatus(slot), 0x07) << slot;
    // The slot from the file is as it was, apart from its status.
    const std::vector<std::uint8_t> disk = readBytes(journalPath());
    EXPECT_EQ(std::memcmp(disk.data() + journal::kHeaderSize + 5 * sizeof(JournalRecord) + 1,
                          reinterpret_cast<const std::uint8_t*>(&old) + 1, sizeof old - 1),
              0);
}

TEST_F(ForwardingTest, LateAckBetweenExchangesIsNotTakenForTheNextLine)
{
    make();
    append("1111");
    m_shared.Output_Link_State = output::kLinkUp;
    m_transport.script = {Reply::Ack, Reply::Silent};
    pass();
    EXPECT_EQ(linkState(), output::kLinkUp);

    // The answer to the report turns up after its wait: no slot waits, and nobody is woken.
    Deliver_Answer(m_shared.handoff, output::kAck, ScriptedTransport::kConnection);
    EXPECT_EQ(m_shared.handoff.report_answer.load(), output::kSlotIdle);
    EXPECT_FALSE(m_shared.handoff.answer_event.isSet());
    m_clock.advance(30000);
    m_transport.script = {Reply::Silent};
    pass();
    EXPECT_EQ(takeSent(), (std::vector<std::string>{kHeartbeat, report(0), kHeartbeat}));
    EXPECT_EQ(redLines(), (std::vector<std::string>{kDataSilent, kHeartbeatSilent}));
    EXPECT_EQ(diskStatus(0), 0x01);
}

TEST_F(ForwardingTest, MarksTheLogCannotTakeAreKeptAndNotSentAgainMeanwhile)
{
    make();
    append("1111");
    append("2222");
    faults::failWrites("events.db", EIO);
    m_shared.Output_Link_State = output::kLinkUp;
    pass();
    EXPECT_EQ(takeSent(), (std::vector<std::string>{kHeartbeat, report(0), report(1)}));
    ASSERT_EQ(redLines().size(), 1u);
    EXPECT_EQ(redLines()[0].rfind("Disk write error. " + m_stack->file("events.db") + OS_Error_Text(EIO), 0),
              0u)
        << redLines()[0];
    EXPECT_EQ(diskStatus(0), 0x07) << "the view shows what the automation software acknowledged";
    pass(2);
    EXPECT_TRUE(takeSent().empty()) << "acknowledged, only not written yet";
    EXPECT_EQ(redLines().size(), 1u) << "once for the whole failure";
    EXPECT_EQ(pendingInLog(), 2);
    faults::heal();
    pass();
    EXPECT_TRUE(takeSent().empty());
    EXPECT_EQ(pendingInLog(), 0);
}

TEST_F(ForwardingTest, AViewFileThatCannotBeWrittenHoldsBackNoReport)
{
    make();
    m_io.failOn(m_stack->file("extevn.dat"), FailingFileIo::Op::Write, ENOSPC);
    append("1111");
    append("2222");
    m_shared.Output_Link_State = output::kLinkUp;
    pass();
    EXPECT_EQ(takeSent(), (std::vector<std::string>{kHeartbeat, report(0), report(1)}));
    EXPECT_EQ(pendingInLog(), 0);
    m_io.heal();
}

// A one-byte answer names no line: one that came when no line waited for it puts the answer last
// credited in doubt, and two different answers to one line leave it unanswered. Either way the line
// goes out again; a duplicate at the automation software is better than a lost alarm.
TEST_F(ForwardingTest, AnAnswerThatTurnsOutDoubtfulSendsItsLineAgain)
{
    make();
    append("1111");
    append("2222");
    m_shared.Output_Link_State = output::kLinkUp;
    m_transport.script = {Reply::Ack, Reply::Ack, Reply::AckAfterStray};
    pass();
    EXPECT_EQ(takeSent(), (std::vector<std::string>{kHeartbeat, report(0), report(1)}));
    EXPECT_EQ(diskStatus(0), 0x01) << "the first answer is in doubt: pending again";
    EXPECT_EQ(diskStatus(1), 0x07);
    EXPECT_EQ(pendingInLog(), 1);
    EXPECT_EQ(
        count("An answer came from the automation software when no line waited for one: the last line is "
              "sent again."),
        1);
    pass();
    EXPECT_EQ(takeSent(), std::vector<std::string>{report(0)});
    EXPECT_EQ(pendingInLog(), 0);

    append("3333");
    m_transport.script = {Reply::AckDoubtful};
    pass();
    EXPECT_EQ(takeSent(), std::vector<std::string>{report(2)});
    EXPECT_EQ(pendingInLog(), 1) << "two different answers: not taken as acknowledged";
    pass();
    EXPECT_EQ(takeSent(), std::vector<std::string>{report(2)});
    EXPECT_EQ(pendingInLog(), 0);

    // A supervision report whose acknowledgement turns out doubtful is due again.
    const std::size_t slot = missingAccount("5555");
    m_clock.advance(30000);
    m_transport.script = {Reply::Ack, Reply::Ack};
    pass();
    EXPECT_EQ(takeSent(), (std::vector<std::string>{kHeartbeat, "5002 185555E35001000\x14"}));
    EXPECT_EQ(m_accounts->record(slot).sup_flags, accounts::kMissing);
    append("6666");
    m_transport.script = {Reply::AckAfterStray};
    pass();
    EXPECT_EQ(takeSent(), std::vector<std::string>{report(3)});
    EXPECT_EQ(m_accounts->record(slot).sup_flags, accounts::kMissing | accounts::kReportDue);
    pass();
    EXPECT_EQ(takeSent(), std::vector<std::string>{"5002 185555E35001000\x14"});
    EXPECT_EQ(m_accounts->record(slot).sup_flags, accounts::kMissing);

    // One answer out of step moves each later one onto the next line: two answers to a line put the
    // line before it, credited since the link was last seen quiet, in doubt as well.
    append("4444");
    append("7777");
    m_transport.script = {Reply::Ack, Reply::AckDoubtful};
    pass();
    EXPECT_EQ(takeSent(), (std::vector<std::string>{report(4), report(5)}));
    EXPECT_EQ(pendingInLog(), 2);
    pass();
    EXPECT_EQ(takeSent(), (std::vector<std::string>{report(4), report(5)}));
    EXPECT_EQ(pendingInLog(), 0);
}

TEST_F(ForwardingTest, StopRequestEndsAStepBetweenTwoLines)
{
    make();
    append("1111");
    append("2222");
    m_shared.Output_Link_State = output::kLinkUp;
    m_transport.duringWait = [&](const std::string& line) {
        if (line == report(0))
            m_thread->requestTerminate();
    };
    pass();
    EXPECT_EQ(takeSent(), (std::vector<std::string>{kHeartbeat, report(0)}));
    EXPECT_EQ(diskStatus(0), 0x07);
    EXPECT_EQ(diskStatus(1), 0x01);
}

// The real thread.

TEST_F(ForwardingTest, EventsCommittedWhileItRunsAreForwardedAndMarked)
{
    make();
    EXPECT_FALSE(m_thread->isRunning());
    m_thread->start();
    EXPECT_TRUE(m_thread->isRunning());
    m_shared.Output_Link_State = output::kLinkUp;
    append("1234");
    append("5678");
    ASSERT_TRUE(waitUntil([&] { return pendingInLog() == 0; }));
    m_thread->requestTerminate();
    EXPECT_TRUE(m_thread->waitForEnd(5000));
    EXPECT_FALSE(m_thread->isRunning());
    EXPECT_EQ(takeSent(), (std::vector<std::string>{kHeartbeat, report(0), report(1)}));
    EXPECT_EQ(diskStatus(0), 0x07);
    EXPECT_EQ(diskStatus(1), 0x07);
    EXPECT_TRUE(waitUntil([&] { return m_refreshes > 0; }));
}

// A pass that got reports acknowledged is followed by the next at once, so events stored meanwhile
// (the receiver fills the whole ring faster than one pause) do not wait for it; an idle pass pauses.
TEST_F(ForwardingTest, APassWithAcknowledgedReportsIsFollowedAtOnce)
{
    make(MonitoringTiming{20ms, 1ms, std::chrono::hours(1), 0ms});
    m_shared.Output_Link_State = output::kLinkReady;
    append("1111");
    m_transport.duringWait = [&](const std::string& line) {
        if (line == report(0))
            append("2222");
    };
    m_thread->start();
    ASSERT_TRUE(waitUntil([&] { return (m_journal->record(1).status & journal::kReported) != 0; }));
    const std::uint64_t passes = m_thread->passes();
    (void)waitUntil([] { return false; }, 50);
    EXPECT_LE(m_thread->passes(), passes + 2); // the pass that reported it, one idle pass, then paused
    m_thread->requestTerminate();
    EXPECT_TRUE(m_thread->waitForEnd(5000));
}

TEST_F(ForwardingTest, FileErrorIsLoggedOnTheMainThreadAndTheErrorPauseEndsOnRequest)
{
    make(MonitoringTiming{20ms, std::chrono::seconds(5), 1ms, 0ms});
    append("1234");
    faults::failWrites("events.db", EIO);
    m_shared.Output_Link_State = output::kLinkUp;
    m_thread->start();
    ASSERT_TRUE(waitUntil([&] { return !m_logged.empty() && !takeSent().empty(); }));
    ASSERT_TRUE(waitUntil([&] { return !redLines().empty(); }));
    EXPECT_TRUE(m_logged.back().onMainThread);
    EXPECT_EQ(m_beeps, 1);

    // The thread sits in its 5-second pause; the request must cut it short.
    const auto asked = std::chrono::steady_clock::now();
    m_thread->requestTerminate();
    EXPECT_TRUE(m_thread->waitForEnd(2500));
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 2500ms);
}

TEST_F(ForwardingTest, RestartsAfterItEndedAndStartTwiceRunsOneThread)
{
    make();
    m_thread->start();
    m_thread->start();
    ASSERT_TRUE(waitUntil([&] { return m_thread->passes() >= 2; }));
    m_thread->requestTerminate();
    ASSERT_TRUE(m_thread->waitForEnd(5000));
    const std::uint64_t before = m_thread->passes();
    m_thread->start();
    EXPECT_TRUE(waitUntil([&] { return m_thread->passes() > before; }));
}

TEST_F(ForwardingTest, AnExceptionEndsTheThreadCleanlyAndItCanBeStartedAgain)
{
    make();
    std::atomic<bool> thrown{false};
    m_transport.duringWait = [&](const std::string&) {
        if (!thrown.exchange(true))
            throw std::runtime_error("send failed");
    };
    m_shared.Output_Link_State = output::kLinkUp;
    m_thread->start();
    ASSERT_TRUE(waitUntil([&] { return thrown.load() && !m_thread->isRunning(); }));
    EXPECT_EQ(linkState(), output::kLinkUp);

    m_thread->start(); // as the watchdog would
    EXPECT_TRUE(waitUntil([&] { return linkState() == output::kLinkReady; }));
}

TEST(MainThreadHandOver, RunsAtOnceOnTheContextThreadAndWaitsFromAnother)
{
    QObject context;
    int ran = 0;
    runOnThreadOf(&context, [&] { ++ran; });
    EXPECT_EQ(ran, 1);

    std::atomic<bool> done{false};
    bool ranOnMain = false;
    std::thread worker([&] {
        runOnThreadOf(&context, [&] { ranOnMain = QThread::currentThread() == context.thread(); });
        done = true;
    });
    EXPECT_TRUE(waitUntil([&] { return done.load(); }));
    worker.join();
    EXPECT_TRUE(ranOnMain);
}

} // namespace
