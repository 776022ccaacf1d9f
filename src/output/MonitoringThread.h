// The forwarding thread of the output side. For now it is the journal's disk writer: it runs a
// persist pass about every 50 ms, so accepted events reach kalvor.dat and extevn.dat while the
// program runs. Sending to the automation software joins it later.
#pragma once

#include "log/LogSink.h"

#include <QPointer>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

class Journal;
class QObject;

// Runs `work` on the thread of `context` and waits for it. Called on that thread already, it runs
// at once (a blocking hand-over to one's own thread would never return). When `context` is gone
// the work is dropped.
void runOnThreadOf(QObject* context, const std::function<void()>& work);

// A log sink that may be called from any thread: lines are handed to `target` on the thread of
// `context` and the caller waits until they are written. Red lines are followed by `beep`.
[[nodiscard]] LogSink mainThreadLogSink(QObject* context, LogSink target, std::function<void()> beep = {});

class Monitoring_Thread {
public:
    // Create and control on the main thread. The journal's log sink should be a mainThreadLogSink,
    // and its `pause` this object's pause(), so that a termination request cuts a 5-second wait
    // after a file error short.
    explicit Monitoring_Thread(Journal& journal);
    ~Monitoring_Thread(); // asks the thread to end and waits for it, serving its calls meanwhile
    Monitoring_Thread(const Monitoring_Thread&) = delete;
    Monitoring_Thread& operator=(const Monitoring_Thread&) = delete;

    // Starts the loop unless it runs already; a thread that has ended is joined first.
    void start();
    // Terminate: the loop looks at the request before each pass; a pause in progress ends early.
    void requestTerminate();
    // False once the loop has ended; clearing it is the thread's last act.
    [[nodiscard]] bool isRunning() const { return m_running.load(); }
    // Waits until the thread has ended or `timeoutMs` have passed, processing the main thread's
    // events meanwhile. True when it has ended. Main thread only.
    bool waitForEnd(int timeoutMs);

    // The forwarding thread's pause after a file error; returns early on a termination request.
    void pause(int seconds);

    // Passes completed since the start; a sign of life for a watchdog and for tests.
    [[nodiscard]] std::uint64_t passes() const { return m_passes.load(); }

    static constexpr int kPassIntervalMs = 50;

private:
    void run();
    bool sleepFor(std::chrono::milliseconds duration); // false when termination was requested

    Journal& m_journal;
    std::thread m_thread;
    std::atomic<bool> m_running{false};
    std::atomic<std::uint64_t> m_passes{0};
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_terminate = false; // guarded by m_mutex
};
