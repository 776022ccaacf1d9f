// The real forwarding thread against a main thread that keeps storing events and running the
// supervision countdown, with answers arriving from a third thread as the link's receive side would
// hand them over. Built to run under ThreadSanitizer; in every build it checks that each event is
// reported exactly once and every supervision change is acknowledged.
#include "config/Clock.h"
#include "output/MonitoringThread.h"
#include "output/OutputMessages.h"
#include "store/AccountTable.h"
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
#include <string>
#include <thread>
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

// Polls without any timing assumption beyond a generous deadline for a failure.
template <typename Done> bool waitFor(Done done)
{
    const auto deadline = std::chrono::steady_clock::now() + 120s;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

TEST(ForwardingThreads, EveryEventReportedExactlyOnceWhileTheMainThreadStoresAndSupervises)
{
    TempDir dir;
    LogRecorder log;
    OutputShared shared;
    SystemClock clock;
    Monitoring_Thread* self = nullptr;
    Journal journal({dir.file("kalvor.dat"), dir.file("extevn.dat")}, log.sink(), [&self](int seconds) {
        if (self)
            self->pause(seconds);
    });
    journal.load();
    AccountTable accounts(dir.file("latevn.dat"));
    accounts.load();

    constexpr int kEvents = 1500; // below the ring's size: nothing is overwritten unreported
    std::atomic<int> refreshes{0};
    MonitoringHooks hooks;
    hooks.log = log.sink();
    hooks.refreshEvents = [&] { ++refreshes; };
    {
        AnsweringTransport transport(shared);
        Monitoring_Thread thread(
            journal, accounts, shared, transport, clock, [] { return ForwardingSettings{}; }, hooks,
            MonitoringTiming{5000ms, 1ms, 1ms});
        self = &thread;
        shared.Output_Link_State = output::kLinkUp;
        thread.start();

        // Supervised accounts 9000..9009, each going missing and coming back while events flow.
        constexpr int kSupervised = 10;
        std::vector<std::size_t> supervisedSlots;
        for (int a = 0; a < kSupervised; ++a) {
            const std::string account = std::to_string(9000 + a);
            JournalRecord r = makeRecord(account.c_str());
            const auto slot = accounts.update(r, "");
            ASSERT_TRUE(slot.has_value());
            accounts.setPingMinutes(*slot, 1);
            supervisedSlots.push_back(*slot);
        }

        // Phase one: events flow while the countdown runs out for every supervised account. Phase
        // two, once those losses are acknowledged: some accounts report again while events flow on.
        const auto appendEvents = [&](int from, int to, int tickEvery) {
            for (int n = from; n < to; ++n) {
                char account[16];
                std::snprintf(account, sizeof account, "%04d", n);
                journal.append(makeRecord(account, n % 7 == 0 ? "NULL" : "1130"), "[Q50]");
                if (n % tickEvery == 0)
                    accounts.supervisionTick();
                if (n % 100 == 0) {
                    (void)journal.record(std::size_t(n)); // the events window reading along
                    shared.Thread_Alive.store(0);         // the watchdog's check
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
        ASSERT_TRUE(waitFor(noneDue));
        for (const int a : {0, 3, 6}) {
            JournalRecord r = makeRecord(std::to_string(9000 + a).c_str());
            (void)accounts.update(r, "");
        }
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
        ASSERT_TRUE(waitFor(allReported));
        EXPECT_NE(shared.Thread_Alive.load() & output::kMonitoringAlive, 0u);
        thread.requestTerminate();
        ASSERT_TRUE(thread.waitForEnd(10000));

        std::map<std::string, int> reports;     // event account -> times sent
        std::map<std::string, int> supervision; // account + E350/R350 -> times sent
        int heartbeats = 0;
        for (const std::string& line : transport.sent()) {
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
        EXPECT_GE(heartbeats, 1);
        EXPECT_EQ(reports.size(), std::size_t(kEvents - (kEvents + 6) / 7));
        for (const auto& [account, times] : reports)
            EXPECT_EQ(times, 1) << account;
        for (int a = 0; a < kSupervised; ++a) {
            const std::string account = std::to_string(9000 + a);
            EXPECT_EQ(supervision[account + "E350"], 1) << account;
            EXPECT_EQ(supervision[account + "R350"], (a == 0 || a == 3 || a == 6) ? 1 : 0) << account;
        }
        self = nullptr;
    }
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

} // namespace
