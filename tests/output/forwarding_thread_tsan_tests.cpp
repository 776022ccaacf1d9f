// The real forwarding thread against a main thread that keeps storing events and running the
// supervision countdown, with answers arriving either from a third thread through the serial
// hand-off, or over the real output link's TCP server from an automation software that reconnects
// now and then, while the main thread accepts, ticks and drops connections. Built to run under
// ThreadSanitizer; in every build it checks that each event is reported exactly once and every
// supervision change is acknowledged.
#include "../support/QtWait.h"
#include "config/Clock.h"
#include "output/MonitoringThread.h"
#include "output/OutputLink.h"
#include "output/OutputMessages.h"
#include "serial/TCommPort.h"
#include "store/AccountTable.h"
#include "store/EventLog.h"
#include "store/Journal.h"
#include "store/StoreTestSupport.h"

#include <QCoreApplication>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <gtest/gtest.h>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

using namespace std::chrono_literals;

// Sends go into a queue; the answering thread ACKs them one by one.
class AnsweringTransport : public OutputTransport {
public:
    explicit AnsweringTransport(OutputShared& shared) : m_shared(shared)
    {
        m_answerer = std::thread([this] { answer(); });
    }
    ~AnsweringTransport() override
    {
        {
            std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_changed.notify_all();
        m_answerer.join();
    }

    static constexpr output::LinkId kConnection = 1;

    Exchange exchangeLine(const std::string& line, Kind kind, std::chrono::milliseconds wait) override
    {
        const output::AnswerSlot slot =
            kind == Kind::Heartbeat ? output::AnswerSlot::Heartbeat : output::AnswerSlot::Report;
        {
            std::lock_guard lock(m_mutex);
            m_sent.push_back(line);
            m_queue.push_back(line);
            Arm_Answer(m_shared.handoff, slot, kConnection);
        }
        m_changed.notify_all();
        return Exchange{SendResult::Sent, Await_Answer(m_shared.handoff, slot, wait)};
    }

    std::vector<std::string> sent() const
    {
        std::lock_guard lock(m_mutex);
        return m_sent;
    }

private:
    void answer()
    {
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_changed.wait(lock, [this] { return m_stop || !m_queue.empty(); });
            if (m_stop)
                return;
            m_queue.pop_front();
            lock.unlock();
            Deliver_Answer(m_shared.handoff, output::kAck, kConnection);
            lock.lock();
        }
    }

    OutputShared& m_shared;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<std::string> m_queue;
    std::vector<std::string> m_sent;
    bool m_stop = false;
    std::thread m_answerer;
};

// The output link as a TCP server on the main thread, and on a thread of its own an automation
// software (plain sockets) that acknowledges every line and, after every so many, closes its
// connection and connects again.
class TcpAutomation {
public:
    static constexpr int kLinesPerConnection = 200;

    TcpAutomation(OutputShared& shared, LogSink log, const std::string& dir)
        : m_port(dir), m_link(m_config, shared, m_port, std::move(log))
    {
        m_config.Mon_Port_Open = 1;
        m_config.Mon_Server = 1;
        m_config.Mon_Port = testsupport::freePort();
        m_link.publishSettings();
        m_link.Timer_OutTimer(); // listening from now on
        m_peer = std::thread([this, port = std::uint16_t(m_config.Mon_Port)] { run(port); });
    }
    ~TcpAutomation()
    {
        m_stop = true;
        m_peer.join();
    }

    OutputTransport& transport() { return m_link; }
    // The main thread's turn: accepts, and the tick that notices closed peers and takes the link up.
    void mainTurn()
    {
        QCoreApplication::processEvents();
        m_link.Timer_OutTimer();
    }
    std::vector<std::string> acknowledged() const
    {
        std::lock_guard lock(m_mutex);
        return m_lines;
    }

private:
    void run(std::uint16_t port)
    {
        while (!m_stop.load()) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_port = htons(port);
            to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
                if (fd >= 0)
                    ::close(fd);
                std::this_thread::sleep_for(10ms);
                continue;
            }
            serve(fd);
            ::close(fd);
        }
    }
    void serve(int fd)
    {
        std::string line;
        int onThisConnection = 0;
        char buffer[512];
        while (!m_stop.load()) {
            pollfd look{fd, POLLIN, 0};
            if (::poll(&look, 1, 20) <= 0)
                continue;
            const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
            if (got <= 0)
                return;
            for (ssize_t i = 0; i < got; ++i) {
                if (buffer[i] != '\x14') {
                    line += buffer[i];
                    continue;
                }
                const char ack = char(output::kAck);
                if (::send(fd, &ack, 1, MSG_NOSIGNAL) != 1)
                    return;
                {
                    std::lock_guard lock(m_mutex);
                    m_lines.push_back(line);
                }
                line.clear();
                if (++onThisConnection == kLinesPerConnection)
                    return; // acknowledged, then gone
            }
        }
    }

    Config_Record m_config = defaultConfig();
    TCommPort m_port;
    OutputLink m_link;
    std::atomic<bool> m_stop{false};
    mutable std::mutex m_mutex;
    std::vector<std::string> m_lines; // acknowledged lines, without their DC4
    std::thread m_peer;
};

// Polls without any timing assumption beyond a generous deadline for a failure.
template <typename Done> bool waitFor(Done done, const std::function<void()>& mainTurn)
{
    const auto deadline = std::chrono::steady_clock::now() + 120s;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        mainTurn();
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

enum class Answers { Handoff, TcpLink };

class ForwardingThreads : public ::testing::TestWithParam<Answers> {};

TEST_P(ForwardingThreads, EveryEventReportedExactlyOnceWhileTheMainThreadStoresAndSupervises)
{
    StoreStack stack;
    TempDir& dir = stack.dir;
    LogRecorder& log = stack.log;
    OutputShared shared;
    SystemClock clock;
    Journal& journal = stack.journal;
    AccountTable& accounts = stack.accounts;
    ASSERT_TRUE(stack.open());
    // The commit thread takes the events and every supervision change, as in the program.
    accounts.onNeedsCommit = [&] { (void)stack.store.requestCommit(); };
    stack.store.start();

    constexpr int kEvents = 1500; // below the ring's size: nothing is overwritten unreported
    std::atomic<int> refreshes{0};
    MonitoringHooks hooks;
    hooks.log = log.sink();
    hooks.refreshEvents = [&] { ++refreshes; };
    {
        std::unique_ptr<AnsweringTransport> handoff;
        std::unique_ptr<TcpAutomation> tcp;
        std::function<void()> mainTurn = [] { QCoreApplication::processEvents(); };
        if (GetParam() == Answers::Handoff) {
            handoff = std::make_unique<AnsweringTransport>(shared);
            shared.Output_Link_State = output::kLinkUp;
        } else {
            tcp = std::make_unique<TcpAutomation>(shared, log.sink(), dir.path());
            mainTurn = [&tcp] { tcp->mainTurn(); };
        }
        OutputTransport& transport = handoff ? static_cast<OutputTransport&>(*handoff) : tcp->transport();
        Monitoring_Thread thread(
            journal, accounts, stack.store, shared, transport, clock, [] { return ForwardingSettings{}; },
            hooks, MonitoringTiming{5000ms, 1ms, 1ms, 1ms});
        thread.start();

        // Supervised accounts 9000..9009, each going missing and coming back while events flow.
        constexpr int kSupervised = 10;
        std::vector<std::size_t> supervisedSlots;
        for (int a = 0; a < kSupervised; ++a) {
            const std::string account = std::to_string(9000 + a);
            JournalRecord r = makeRecord(account.c_str());
            const auto slot = accounts.stage(r, "");
            ASSERT_TRUE(slot.has_value());
            accounts.setPingMinutes(*slot, 1);
            supervisedSlots.push_back(*slot);
        }

        // Phase one: events flow while the countdown runs out for every supervised account. Phase
        // two, once those losses are acknowledged: some accounts report again while events flow on.
        std::vector<StagedRow> group;
        const auto appendEvents = [&](int from, int to, int tickEvery) {
            for (int n = from; n < to; ++n) {
                char account[16];
                std::snprintf(account, sizeof account, "%04d", n);
                group.push_back(stack.stage(makeRecord(account, n % 7 == 0 ? "NULL" : "1130"), "[Q50]"));
                if (group.size() == 8 || n + 1 == to) // a turn of the receiver's event loop
                    (void)stack.store.submit(std::exchange(group, {}));
                if (n % tickEvery == 0)
                    accounts.supervisionTick();
                if (n % 100 == 0) {
                    (void)journal.record(std::size_t(n)); // the events window reading along
                    shared.Thread_Alive.store(0);         // the watchdog's check
                    mainTurn();
                }
                if (n % 50 == 0)
                    std::this_thread::yield();
            }
        };
        appendEvents(0, 600, 10); // 60 ticks: the countdown of one minute runs out
        const auto noneDue = [&] {
            for (const std::size_t slot : supervisedSlots)
                if (accounts.record(slot).sup_flags != accounts::kMissing)
                    return false;
            return true;
        };
        ASSERT_TRUE(waitFor(noneDue, mainTurn));
        for (const int a : {0, 3, 6}) {
            JournalRecord r = makeRecord(std::to_string(9000 + a).c_str());
            (void)accounts.stage(r, "");
        }
        (void)stack.store.requestCommit();
        appendEvents(600, kEvents, 20); // 45 ticks: those back stay back

        const auto allReported = [&] {
            for (int n = 0; n < kEvents; ++n) {
                const JournalRecord r = journal.record(std::size_t(n));
                const bool linkTest = n % 7 == 0;
                if ((r.status & journal::kReported) == (linkTest ? journal::kReported : 0))
                    return false;
            }
            for (const std::size_t slot : supervisedSlots)
                if (accounts.record(slot).sup_flags & accounts::kReportDue)
                    return false;
            return true;
        };
        ASSERT_TRUE(waitFor(allReported, mainTurn));
        EXPECT_NE(shared.Thread_Alive.load() & output::kMonitoringAlive, 0u);
        thread.requestTerminate();
        ASSERT_TRUE(thread.waitForEnd(10000));
        EXPECT_EQ(stack.store.connect(EventLog::Role::Reader)->pendingCount(), 0)
            << "every mark is in the log";

        std::map<std::string, int> reports;     // event account -> times sent
        std::map<std::string, int> supervision; // account + E350/R350 -> times sent
        int heartbeats = 0;
        for (const std::string& line : handoff ? handoff->sent() : tcp->acknowledged()) {
            if (line[0] == '1') {
                ++heartbeats;
                continue;
            }
            ASSERT_GE(line.size(), 15u) << line;
            const std::string account = line.substr(7, 4); // "5002 18" then the account
            const std::string event = line.substr(11, 4);
            if (event == "E350" || event == "R350")
                ++supervision[account + event];
            else
                ++reports[account];
        }
        EXPECT_GE(heartbeats, tcp ? int(reports.size()) / TcpAutomation::kLinesPerConnection : 1);
        EXPECT_EQ(reports.size(), std::size_t(kEvents - (kEvents + 6) / 7));
        for (const auto& [account, times] : reports)
            EXPECT_EQ(times, 1) << account;
        for (int a = 0; a < kSupervised; ++a) {
            const std::string account = std::to_string(9000 + a);
            EXPECT_EQ(supervision[account + "E350"], 1) << account;
            EXPECT_EQ(supervision[account + "R350"], (a == 0 || a == 3 || a == 6) ? 1 : 0) << account;
        }
    }
    ASSERT_TRUE(stack.store.finish(std::chrono::seconds(30)));
    for (const LoggedLine& line : log.lines())
        EXPECT_EQ(line.colour, LogColour::Black) << line.text;
    EXPECT_GT(refreshes.load(), 0);

    // What was reported reached the file as well.
    const std::vector<std::uint8_t> disk = readBytes(dir.file("kalvor.dat"));
    ASSERT_EQ(disk.size(), journal::kImageSize);
    for (int n = 0; n < kEvents; ++n)
        EXPECT_EQ(disk[journal::kHeaderSize + std::size_t(n) * sizeof(JournalRecord)],
                  n % 7 == 0 ? 0x01 : 0x07)
            << n;
}

INSTANTIATE_TEST_SUITE_P(Answers, ForwardingThreads, ::testing::Values(Answers::Handoff, Answers::TcpLink));

} // namespace
