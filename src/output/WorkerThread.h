// A background loop run and stopped from the main thread. While the main thread waits for it to
// end it keeps serving the loop's blocking hand-overs, so a loop in the middle of one can finish.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

class WorkerThread {
public:
    // Creates the thread that runs the body; std::thread by default. Like std::thread it throws
    // std::system_error when no thread can be had, which tests use to stand in for exhaustion.
    using Launcher = std::function<std::thread(std::function<void()> run)>;

    // `body` runs on the new thread each time start() is called; it should return soon after
    // terminateRequested() turns true (sleepFor() returns false then).
    explicit WorkerThread(std::function<void()> body);
    // Asks the loop to end and waits however long it takes: what the body uses must outlive it.
    ~WorkerThread();
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    // A new loop unless one runs; one that has ended is joined first. Main thread only.
    void start();
    void requestTerminate();
    void setLauncher(Launcher launcher) { m_launcher = std::move(launcher); } // main thread
    // False once the body has returned; clearing it is the thread's last act.
    [[nodiscard]] bool isRunning() const { return m_running.load(); }
    // Waits until the loop has ended or `timeoutMs` have passed, processing the main thread's events
    // meanwhile. True when it has ended. Main thread only.
    bool waitForEnd(int timeoutMs);

    // For the body.
    [[nodiscard]] bool terminateRequested() const;
    bool sleepFor(std::chrono::milliseconds duration); // false when termination was requested

private:
    std::function<void()> m_body;
    Launcher m_launcher;
    std::thread m_thread;
    std::atomic<bool> m_running{false};
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_terminate = false; // guarded by m_mutex
};
