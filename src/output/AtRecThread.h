// AT_Rec_Thread: polls the serial port of the output link every 2 ms for the automation
// software's ACK and NAK bytes. The poll itself runs on the main thread, which owns the port.
#pragma once

#include "log/LogSink.h"
#include "output/OutputShared.h"
#include "output/WorkerThread.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

class TCommPort;
class QObject;

class AT_Rec_Thread {
public:
    // `mainContext` lives on the main thread; each poll step is run there with a blocking call.
    // `log` and `beep` are called on the main thread.
    AT_Rec_Thread(TCommPort& port, OutputShared& shared, QObject* mainContext, LogSink log,
                  std::function<void()> beep);
    ~AT_Rec_Thread(); // asks the thread to end and waits for it, serving its calls meanwhile
    AT_Rec_Thread(const AT_Rec_Thread&) = delete;
    AT_Rec_Thread& operator=(const AT_Rec_Thread&) = delete;

    void start();            // a new loop unless one runs; an ended thread is joined first
    void requestTerminate(); // the loop ends before its next poll
    // How its thread is created (see WorkerThread::Launcher); main thread, while it is not running.
    void setThreadLauncher(WorkerThread::Launcher launcher) { m_worker.setLauncher(std::move(launcher)); }
    [[nodiscard]] bool isRunning() const { return m_worker.isRunning(); }
    bool waitForEnd(int timeoutMs)
    {
        return m_worker.waitForEnd(timeoutMs);
    } // serves the poll calls meanwhile

    // The poll step: main thread only. Reads every waiting byte while the port is open and the link
    // is up (or a line is still out); ACK and NAK go to Deliver_Answer as answers of this opening of
    // the port. A port failure logs "Serial Port Error: " + errno, once while the same failure
    // repeats on every step; a device that has hung up is left to the output link.
    void pollStep();

    static constexpr std::chrono::milliseconds kPollInterval{2};

private:
    void run();

    TCommPort& m_port;
    OutputShared& m_shared;
    QObject* m_context;
    LogSink m_log;
    std::function<void()> m_beep;
    // The failure pollStep logged last, until a step succeeds again. Main thread only.
    std::optional<std::int32_t> m_lastError;
    WorkerThread m_worker{[this] { run(); }}; // last: it ends the thread before the rest goes
};
