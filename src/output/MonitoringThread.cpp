// The forwarding thread's loop and its hand-over of work to the main thread.
#include "output/MonitoringThread.h"

#include "store/Journal.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QThread>
#include <chrono>
#include <string>

Monitoring_Thread::Monitoring_Thread(Journal& journal) : m_journal(journal) {}

Monitoring_Thread::~Monitoring_Thread()
{
    requestTerminate();
    // The journal must outlive the thread, so wait however long its last pass takes; the events
    // keep being served, so a hand-over in progress can finish.
    while (isRunning()) {
        waitForEnd(1000);
    }
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

void Monitoring_Thread::start()
{
    if (isRunning()) {
        return;
    }
    if (m_thread.joinable()) {
        m_thread.join(); // it has cleared its flag, so it is at its very end
    }
    {
        std::lock_guard lock(m_mutex);
        m_terminate = false;
    }
    m_running = true;
    m_thread = std::thread([this] { run(); });
}

void Monitoring_Thread::requestTerminate()
{
    {
        std::lock_guard lock(m_mutex);
        m_terminate = true;
    }
    m_wake.notify_all();
}

bool Monitoring_Thread::waitForEnd(int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (isRunning()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        // The thread's hand-overs arrive as posted events; serve them, then rest briefly.
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        std::unique_lock lock(m_mutex);
        m_wake.wait_for(lock, std::chrono::milliseconds(2));
    }
    return true;
}

bool Monitoring_Thread::sleepFor(std::chrono::milliseconds duration)
{
    std::unique_lock lock(m_mutex);
    return !m_wake.wait_for(lock, duration, [this] { return m_terminate; });
}

void Monitoring_Thread::pause(int seconds)
{
    (void)sleepFor(std::chrono::seconds(seconds));
}

void Monitoring_Thread::run()
{
    for (;;) {
        {
            std::lock_guard lock(m_mutex);
            if (m_terminate) {
                break;
            }
        }
        m_journal.persistPass();
        ++m_passes;
        if (!sleepFor(std::chrono::milliseconds(kPassIntervalMs))) {
            break;
        }
    }
    m_running = false; // last act: after this the object may be joined and the journal released
    m_wake.notify_all();
}
