// The forwarding thread of the output side: the sender of heartbeats, supervision reports and the
// event log's pending events to the automation software, one line at a time, each waiting for its
// ACK or NAK, and the one that marks events reported in the log.
#pragma once

#include "log/LogSink.h"
#include "output/MainThreadCall.h"
#include "output/OutputMessages.h"
#include "output/OutputShared.h"
#include "output/OutputTransport.h"
#include "output/WorkerThread.h"
#include "store/AccountTable.h"
#include "store/EventLog.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <variant>
#include <vector>

class Clock;
class EventStore;
class Journal;

// Everything the thread hands to the main thread. Each member may be left empty; each must be
// callable from the forwarding thread and must return only after the main thread has done it.
struct MonitoringHooks {
    LogSink log;                                        // red lines are followed by the beep
    std::function<void()> playNotify;                   // notify.wav, asynchronously
    std::function<void(const std::string& line)> trace; // "Data Log" line, only while that window shows
    // Refresh_Log_Grid of the events window, called after a reporting step that marked events.
    std::function<void()> refreshEvents;
    // A supervision or event report line (with its DC4) that the automation software acknowledged.
    // Unlike the others it must not wait for the main thread: it comes once per report under load.
    std::function<void(const std::string& line)> reported;
};

struct MonitoringTiming {
    std::chrono::milliseconds answerWait{2000};
    std::chrono::milliseconds errorPause{5000}; // after a NAK to a report
    std::chrono::milliseconds passInterval{50}; // after a pass that got no report acknowledged
    // Before the marks of a step are written: a quiet time in which an answer that comes late would
    // still show the last line's answer as doubtful.
    std::chrono::milliseconds markQuiet{10};
};

class Monitoring_Thread {
public:
    // `settings` is called from the forwarding thread and must be safe there. The thread opens its
    // own connection to the store's log.
    Monitoring_Thread(Journal& journal, AccountTable& accounts, EventStore& store, OutputShared& shared,
                      OutputTransport& transport, const Clock& clock,
                      std::function<ForwardingSettings()> settings, MonitoringHooks hooks,
                      MonitoringTiming timing = {});
    ~Monitoring_Thread(); // asks the thread to end and waits for it, serving its calls meanwhile
    Monitoring_Thread(const Monitoring_Thread&) = delete;
    Monitoring_Thread& operator=(const Monitoring_Thread&) = delete;

    // Starts a new loop unless one runs already; a thread that has ended is joined first. The new
    // loop begins with the next heartbeat time 0.
    void start();
    // Terminate: the loop looks at the request before each pass; a pause in progress ends early
    // (an answer wait runs its at most 2 s).
    void requestTerminate();
    // How its thread is created (see WorkerThread::Launcher); main thread, while it is not running.
    void setThreadLauncher(WorkerThread::Launcher launcher) { m_worker.setLauncher(std::move(launcher)); }
    // False once the loop has ended; clearing it is the thread's last act (the "global handle").
    [[nodiscard]] bool isRunning() const { return m_worker.isRunning(); }
    // Waits until the thread has ended or `timeoutMs` have passed, processing the main thread's
    // events meanwhile. True when it has ended. Main thread only.
    bool waitForEnd(int timeoutMs) { return m_worker.waitForEnd(timeoutMs); }

    // The forwarding thread's pause after a file error; returns early on a termination request.
    void pause(int seconds);

    // One pass (heartbeat, supervision, reporting) on the caller's thread, without the pause that
    // follows it. The loop runs this; tests call it directly with no thread running.
    void runPass();
    // Writes the marks still held (the loop's end does it; tests call it after their last pass).
    void flushMarks();

    // Passes completed since construction; a sign of life for tests.
    [[nodiscard]] std::uint64_t passes() const { return m_passes.load(); }

private:
    enum class Outcome { Unanswered, Ack, Nak, Other, NoConnection, NotSent };
    // A line an answer was credited to: should that answer turn out doubtful, it is sent again.
    struct CreditedEvent {
        std::int64_t id = 0;
        int slot = -1;
    };
    using Credited = std::variant<CreditedEvent, AccountTable::DueReport>;

    void run();
    [[nodiscard]] Outcome exchange(const std::string& line, OutputTransport::Kind kind);
    // An answer came that no line waited for (`stray`), or two to one line: the answers credited since
    // the link was last seen quiet may each have been meant for the line before, and their lines go
    // out again. A stray may also be a late second answer to the line credited last.
    void doubtUnverifiedAnswers(bool stray);
    void credit(Credited line);
    [[nodiscard]] bool ensureLog();
    [[nodiscard]] bool flushMarksNow();
    void heartbeatStep();
    void supervisionStep();
    void reportingStep();
    void markAlive();
    void errorPause(); // after a NAK to a report
    [[nodiscard]] bool terminateRequested() const { return m_worker.terminateRequested(); }
    [[nodiscard]] bool linkReady() const;
    // Sets `established` unless the link dropped meanwhile; true when it was clear before.
    [[nodiscard]] bool setEstablished();
    void clearEstablished();
    void dropLink(); // no connection found at sending time
    // An unanswered or unsent line: logged while the link is still up, and `established` cleared.
    void linkError(const char* text);
    void linkNak(const char* text); // a red line and the link error's time, for the status bar
    void noteLinkError();
    void log(const char* text, LogColour colour);
    // `line` as it is; an account that it carries cut short is logged in red, once per account.
    [[nodiscard]] ReportOptions reportOptions() const;
    [[nodiscard]] std::string warnIfCut(std::string line, std::string_view account);
    void traceAnswer(std::uint8_t value);

    Journal& m_journal;
    AccountTable& m_accounts;
    EventStore& m_store;
    std::unique_ptr<EventLog> m_log; // the thread's own connection, opened when first needed
    OutputShared& m_shared;
    OutputTransport& m_transport;
    const Clock& m_clock;
    std::function<ForwardingSettings()> m_settings;
    MonitoringHooks m_hooks;
    MonitoringTiming m_timing;
    std::int64_t m_nextHeartbeat = 0;  // steady milliseconds; 0 at the start of a loop
    std::uint64_t m_greetedLink = 0;   // the Link_Generation its last heartbeat went to
    ForwardingSettings m_passSettings; // read once at the start of each pass
    bool m_passAcknowledged = false;   // the automation software acknowledged a report in this pass
    std::atomic<std::uint64_t> m_passes{0};
    // Accounts already named for being cut in a report line; forwarding thread only.
    std::unordered_set<std::string> m_cutAccountsLogged;
    // Acknowledged events whose marks are not in the log yet (written in batches); forwarding thread.
    std::vector<ReportMark> m_marks;
    std::unordered_set<std::int64_t> m_marked;
    // The lines credited with an answer since a quiet time last showed the link in step. One answer
    // byte out of step shifts every answer after it onto the next line until that shows, so all of
    // them are in doubt then, not only the last. Bounded: beyond it the oldest count as verified.
    std::deque<Credited> m_unverified;
    std::optional<Credited> m_lastCredited; // until the next exchange
    static constexpr std::size_t kMostUnverified = 4096;
    bool m_strayBefore = false; // the last exchange found an answer nobody waited for
    FailureEpisodes m_logEpisodes;
    std::int64_t m_doubtLineMs = -1'000'000;  // the doubt's log line, at most one a minute
    WorkerThread m_worker{[this] { run(); }}; // last: it ends the thread before the rest goes
};
