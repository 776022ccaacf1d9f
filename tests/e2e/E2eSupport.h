// Running the real receiver program in a temporary data directory for the end-to-end tests.
#pragma once

#include "../support/QtWait.h"

#include <QByteArray>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <functional>
#include <memory>

namespace e2e {

// A started program needs longer than an in-process socket.
inline bool waitUntil(const std::function<bool()>& done, int timeoutMs = 10000)
{
    return testsupport::waitUntil(done, timeoutMs);
}

using testsupport::freePort;

// The program's path (ARDENTEL_BIN) and the panel simulator's (DC09_SEND, may be empty).
QString programPath();
QString senderPath();
// The automation software simulator's path (AUTOMATION_SIM, may be empty).
QString automationSimPath();

// A one-shot run of the program (configuration, second copy); output is stdout and stderr together.
struct RunResult {
    int exitCode = -1;
    bool finished = false;
    QByteArray output;
};
RunResult runProgram(const QString& path, const QStringList& arguments, const QString& runtimeDir,
                     int timeoutMs = 30000);

// One data directory and one lock directory; the program runs headless in the one with the other.
class Installation {
public:
    Installation();
    ~Installation();

    [[nodiscard]] bool valid() const { return m_data.isValid() && m_runtime.isValid(); }
    [[nodiscard]] QString dir() const { return m_data.path(); }
    [[nodiscard]] QString runtimeDir() const { return m_runtime.path(); }
    [[nodiscard]] QString file(const QString& name) const { return m_data.filePath(name); }

    // ardentel --dir D --set DC9_Port_Enable=1 --set DC9_Port=P (and any more settings).
    bool configure(quint16 port, const QStringList& moreSettings = {});

    // Starts headless; true once `readyLine` (a log line) has been printed.
    bool start(const QString& readyLine);
    // Starts the desktop program (a display is claimed, Qt draws offscreen, message boxes are
    // real and nobody answers them); true once `readyLine` is in the month's log file.
    bool startDesktop(const QString& readyLine);
    // The month's log file as it is now (empty when there is none).
    [[nodiscard]] QByteArray logFile() const;
    [[nodiscard]] bool running() const;
    [[nodiscard]] qint64 pid() const; // 0 when it does not run
    [[nodiscard]] QByteArray output() const { return m_output; }
    bool waitForOutput(const QByteArray& text, int timeoutMs = 15000);
    // SIGTERM, then waits; the exit code, or -1 when it did not end normally.
    int terminate(int timeoutMs = 30000);
    // SIGKILL, as a power cut or a crash would end it, then waits until it has gone.
    void kill();

private:
    QTemporaryDir m_data;
    QTemporaryDir m_runtime;
    std::unique_ptr<QProcess> m_process;
    QByteArray m_output;
};

// The automation software simulator as a process; every line it receives goes to a record file.
class AutomationSim {
public:
    AutomationSim();
    ~AutomationSim();
    AutomationSim(const AutomationSim&) = delete;
    AutomationSim& operator=(const AutomationSim&) = delete;

    // Starts it with `arguments` plus --record; true once it runs (and, for --listen, listens).
    bool start(const QStringList& arguments);
    [[nodiscard]] bool running() const;
    // The lines received so far, without their DC4, in order.
    [[nodiscard]] QList<QByteArray> lines() const;
    // True once at least `count` lines have arrived.
    bool waitForLines(int count, int timeoutMs = 15000);
    // Standard output and error so far.
    [[nodiscard]] QByteArray output();
    [[nodiscard]] qint64 pid() const; // 0 when it does not run
    // SIGTERM (it prints its summary), then waits; the exit code, or -1 when it did not end normally.
    int finish(int timeoutMs = 10000);

private:
    QTemporaryDir m_dir;
    std::unique_ptr<QProcess> m_process;
    QByteArray m_output;
};

// Sends one frame on a connected panel socket and waits for the answer, up to its CR.
QByteArray exchange(QTcpSocket& panel, const QByteArray& frame);

// The three worked frames that are accepted, their exact answers, and one with an unknown token.
struct WorkedFrame {
    QByteArray frame;
    QByteArray answer;
};
extern const WorkedFrame kWorkedFrames[4];

} // namespace e2e
