// Start, stop and wait for a background loop.
#include "output/WorkerThread.h"

#include <QCoreApplication>

WorkerThread::WorkerThread(std::function<void()> body) : m_body(std::move(body)) {}

WorkerThread::~WorkerThread()
{
    requestTerminate();
    while (isRunning())
        waitForEnd(1000);
    if (m_thread.joinable())
        m_thread.join();
}

void WorkerThread::start()
{
    if (isRunning())
        return;
    if (m_thread.joinable())
        m_thread.join(); // it has cleared its flag, so it is at its very end
    {
        std::lock_guard lock(m_mutex);
        m_terminate = false;
    }
    m_running = true;
    try {
        std::function<void()> run = [this] {
            m_body();
            m_running = false; // last act: after this the owner may be joined and what it used released
            m_wake.notify_all();
        };
        m_thread = m_launcher ? m_launcher(std::move(run)) : std::thread(std::move(run));
    } catch (...) {
        // No thread (out of resources): not running, so the next start may try again.
        m_running = false;
        throw;
    }
}

void WorkerThread::requestTerminate()
{
    {
        std::lock_guard lock(m_mutex);
        m_terminate = true;
    }
    m_wake.notify_all();
}

bool WorkerThread::terminateRequested() const
{
    std::lock_guard lock(m_mutex);
    return m_terminate;
}

bool WorkerThread::sleepFor(std::chrono::milliseconds duration)
{
    std::unique_lock lock(m_mutex);
    return !m_wake.wait_for(lock, duration, [this] { return m_terminate; });
}

bool WorkerThread::waitForEnd(int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (isRunning()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        // The loop's hand-overs arrive as posted events; serve them, then rest briefly.
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        std::unique_lock lock(m_mutex);
        m_wake.wait_for(lock, std::chrono::milliseconds(2));
    }
    return true;
}
