// The serial receive thread: a 2 ms heartbeat that has the main thread drain the port's waiting
// bytes into the answer hand-off.
#include "output/AtRecThread.h"

#include "output/MainThreadCall.h"
#include "serial/TCommPort.h"

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
    // The port outlives us only as long as we wait for the thread; its pending poll call is served
    // by the events processed meanwhile.
    m_worker.requestTerminate();
    while (m_worker.isRunning())
        (void)m_worker.waitForEnd(1000);
}

void AT_Rec_Thread::start()
{
    m_worker.start();
}

void AT_Rec_Thread::requestTerminate()
{
    m_worker.requestTerminate();
}

void AT_Rec_Thread::run()
{
    while (!m_worker.terminateRequested()) {
        runOnThreadOf(m_context, [this] { pollStep(); });
        m_shared.Thread_Alive.fetch_or(output::kSerialAlive);
        if (!m_worker.sleepFor(kPollInterval))
            break;
    }
}

void AT_Rec_Thread::pollStep()
{
    // A line still out when the link was switched off may yet be answered: its answer is read.
    if (!m_port.isOpen() ||
        (m_shared.Output_Link_State.load() == 0 && Answer_Pending(m_shared.handoff) == output::kNoLink)) {
        m_lastError.reset();
        return;
    }
    // A device that has gone fails every call from now on; the output link's tick closes it, says
    // so and opens it again, so there is nothing to read or to report here.
    if (m_port.lineLost()) {
        return;
    }
    try {
        const output::LinkId source = output::serialLinkId(m_port.openCount());
        int budget = kMaxBytesPerStep;
        while (budget-- > 0 && m_port.InQueueCount() != 0) {
            Deliver_Answer(m_shared.handoff, m_port.ReadByte(), source);
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
