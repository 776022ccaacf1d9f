// The serial receive thread: a 2 ms heartbeat that has the main thread drain the port's waiting
// bytes into the answer hand-off.
#include "serial/AtRecThread.h"

#include "output/MainThreadCall.h"
#include "serial/TCommPort.h"

#include <QCoreApplication>
#include <string>

namespace {
// A flood of bytes must not hold the main thread; the rest waits in the driver for the next step.
constexpr int kMaxBytesPerStep = 4096;
} // namespace

AT_Rec_Thread::AT_Rec_Thread(TCommPort& port, OutputShared& shared, QObject* mainContext, LogSink log,
                             std::function<void()> beep)
    : m_port(port), m_shared(shared), m_context(mainContext), m_log(std::move(log)), m_beep(std::move(beep))
{
}

AT_Rec_Thread::~AT_Rec_Thread()
{
    requestTerminate();
    // The port outlives us only as long as we wait for the thread; its pending poll call is served
    // by the events processed here.
    while (isRunning()) {
        waitForEnd(1000);
    }
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

void AT_Rec_Thread::start()
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

void AT_Rec_Thread::requestTerminate()
{
    {
        std::lock_guard lock(m_mutex);
        m_terminate = true;
    }
    m_wake.notify_all();
}

bool AT_Rec_Thread::waitForEnd(int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (isRunning()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        // The poll step arrives as a posted blocking call; serve it, then rest briefly.
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        std::unique_lock lock(m_mutex);
        m_wake.wait_for(lock, std::chrono::milliseconds(2));
    }
    return true;
}

void AT_Rec_Thread::run()
{
    for (;;) {
        {
            std::lock_guard lock(m_mutex);
            if (m_terminate) {
                break;
            }
        }
        runOnThreadOf(m_context, [this] { pollStep(); });
        m_shared.Thread_Alive.fetch_or(output::kSerialAlive);
        std::unique_lock lock(m_mutex);
        if (m_wake.wait_for(lock, kPollInterval, [this] { return m_terminate; })) {
            break;
        }
    }
    m_running = false; // last act: after this the object may be joined and the port released
    m_wake.notify_all();
}

void AT_Rec_Thread::pollStep()
{
    if (m_shared.Output_Link_State.load() == 0 || !m_port.isOpen()) {
        m_lastError.reset();
        return;
    }
    try {
        int budget = kMaxBytesPerStep;
        while (budget-- > 0 && m_port.InQueueCount() != 0) {
            Deliver_Answer(m_shared.handoff, m_port.ReadByte());
        }
        m_lastError.reset();
    } catch (const ECommError& error) {
        // A port that has gone away fails on every step; one line per failure, not 500 a second.
        if (m_lastError == error.os_error) {
            return;
        }
        m_lastError = error.os_error;
        if (m_log) {
            m_log("Serial Port Error: " + std::to_string(error.os_error), LogColour::Red);
        }
        if (m_beep) {
            m_beep();
        }
    }
}
