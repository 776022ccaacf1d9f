// The output link to the automation software: TCP server on Mon_Port, TCP client to
// Out_IP:Mon_Port, or the serial port COM_Nr; opened, watched and closed by Timer_Out once a
// second, which also runs the watchdog of the two background threads.
//
// Shutdown, in this order (the main window's close):
//   1. stopTimer(), and the receiver's port closed;
//   2. the settings question;
//   3. the forwarding thread asked to stop and waited for (Monitoring_Thread::requestTerminate,
//      then waitForEnd): it finishes the line it has out, whose answer it reads itself (TCP) or
//      gets from the serial poll step, served by the wait;
//   4. deactivate(): closes the sockets and the serial port;
//   5. the serial receive thread stopped, then the port closed (already closed by 4).
// deactivate() never closes a connection under a line that is still out: called before the thread
// has ended, it first waits (serving events) until that line is answered or its wait has run out.
//
// TCP: the main thread accepts (QTcpServer hands over raw descriptors) and connects (a non-blocking
// connect completed through a socket notifier); the forwarding thread sends each line and reads its
// answer on the descriptor itself (AutomationConnections), so neither waits for a turn of the main
// thread. No Qt socket ever reads an automation connection. The main thread notices peers that
// closed at its tick, without reading; the forwarding thread notices them during an exchange.
#pragma once

#include "config/Clock.h"
#include "config/ConfigRecord.h"
#include "log/LogSink.h"
#include "log/LogThrottle.h"
#include "output/AutomationConnections.h"
#include "output/OutputShared.h"
#include "output/OutputTransport.h"

#include <QHostAddress>
#include <QObject>
#include <QString>
#include <atomic>
#include <cstddef>
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

class QSocketNotifier;
class QTcpServer;
class QTimer;
class TCommPort;

// A background thread as the watchdog sees it.
struct WatchedThread {
    std::function<bool()> isRunning;
    std::function<void()> requestTerminate;
    std::function<void()> start;
};

class OutputLink : public QObject, public OutputTransport {
    Q_OBJECT
public:
    static constexpr int kFirstTickMs = 2000;
    static constexpr int kTickMs = 1000;
    static constexpr int kSoonTickMs = 500;
    static constexpr int kServerRetryTicks = 10;
    static constexpr int kClientRetryTicks = 30;
    static constexpr int kClientErrorRetryTicks = 10;
    static constexpr int kWatchdogTicks = 10;
    static constexpr int kSerialRetryTicks = 10; // a serial device that went away is tried this often
    // How long deactivate() waits for a line still out: the forwarding thread's answer wait and more.
    static constexpr int kLineInFlightWaitMs = 2500;

    // The link only reads the settings record; its owner writes it (Mon_Port_Open falls back to 0
    // when the owner hears serialOpenFailed).
    OutputLink(const Config_Record& config, OutputShared& shared, TCommPort& port, LogSink log,
               QObject* parent = nullptr);
    ~OutputLink() override;

    // The "Data Log" window is shown: sent serial lines are traced. Off by default.
    void setTraceEnabled(bool enabled) { m_traceEnabled.store(enabled); }
    std::function<WallTime()> wallNow;          // time of trace lines; the system clock if empty
    std::function<std::int64_t()> steadyMillis; // paces the refused-connection lines; a system clock if empty
    WatchedThread monitoringThread;             // bit 0x1 of Thread_Alive
    WatchedThread serialThread;                 // bit 0x2 of Thread_Alive
    // The system's send on a connection's descriptor, never blocking; tests put in one that fails or
    // stops short. Returns the bytes sent, or -1 with errno. Called on the forwarding thread.
    AutomationConnections::SendFunction socketSend;

    void start();     // Timer_Out: first tick after 2000 ms, then every 1000 ms
    void stopTimer(); // shutdown
    // Shutdown (see the order above): no line starts any more, a line still out is waited for, then
    // the client is closed, the server stopped and the serial port closed.
    void deactivate();
    // The "Open" boxes: Out_Retry_Countdown = 0, and a tick within 500 ms when the timer runs at 1000 ms.
    void openSoon();

    // Handlers, public so tests call them directly. The error handlers take the socket's errno and
    // mark it handled (0).
    void Timer_OutTimer();
    void ServerSocket_OutClientError(int& errorCode);
    void ClientSocket_OutConnect();
    void ClientSocket_OutError(int& errorCode);

    // OutputTransport, called by the forwarding thread. TCP: the line and its answer on the
    // connection's descriptor, on the calling thread. Serial: the write runs on the main thread as a
    // blocking hand-over (every serial operation does), and the answer comes through the hand-off.
    [[nodiscard]] Exchange exchangeLine(const std::string& line, Kind kind,
                                        std::chrono::milliseconds answerWait) override;
    [[nodiscard]] bool strayAnswerWithin(std::chrono::milliseconds quiet) override;
    // The serial link's quiet time after an answer on probation: a base plus twice the line's time on
    // the wire at `baud`, since a second answer can only follow once the whole line has arrived.
    [[nodiscard]] static std::chrono::milliseconds serialQuiet(std::size_t lineBytes, std::int32_t baud);
    // The time a line takes to cross the wire at `baud`: no answer to it can come sooner.
    [[nodiscard]] static std::chrono::milliseconds serialWireTime(std::size_t lineBytes, std::int32_t baud);

    // The settings the forwarding thread reads, as published at the last tick or change.
    void publishSettings(); // main thread: after any change of the output settings
    [[nodiscard]] ForwardingSettings forwardingSettings() const; // any thread

    [[nodiscard]] int outRetryCountdown() const { return m_outRetryCountdown; }
    [[nodiscard]] int watchdogCountdown() const { return m_watchdogCountdown; }
    [[nodiscard]] QTimer* timer() const { return m_timer; }
    [[nodiscard]] bool serverListening() const;
    [[nodiscard]] quint16 serverPort() const;
    [[nodiscard]] std::size_t serverConnectionCount() const { return m_connections.serverCount(); }
    [[nodiscard]] bool clientConnected() const { return m_connections.clientConnected(); }
    [[nodiscard]] bool serialLost() const { return m_serialLost; }
    // A line is out and waits for its answer, on a TCP connection or the serial port.
    [[nodiscard]] bool lineInFlight() const;

signals:
    void statusText(const QString& text); // panel 1 of the status bar
    void beepRequested();
    void notifyRequested(); // notify.wav: the client's connection has completed
    // The serial port could not be opened: the message the operator must see. The owner sets
    // Mon_Port_Open to 0 (so the next tick closes the link instead of trying again) and shows the page.
    void serialOpenFailed(const QString& message);
    void traceLine(const QString& line); // one "Data Log" line, only while enabled

private:
    void tick();
    void tcpServerBranch();
    void tcpClientBranch();
    void serialBranch();
    void closedBranch();
    void watchdog();
    void writeLog(const QString& text, LogColour colour);
    void setStatus(const QString& text);
    // `healthy`, unless the forwarding thread logged a link error since the link came up or its last
    // acknowledged heartbeat: then "<name>: failing, last error at HH:MM:SS.".
    [[nodiscard]] QString healthText(const QString& name, const QString& healthy) const;
    [[nodiscard]] QString serialStatus(const QString& name) const;
    void setLinkUp(); // link_up, and a new link's error time cleared
    void takeClientIntoUse();
    void takeConnection(int fd);
    [[nodiscard]] bool allowedPeer(const QString& address) const; // Mon_Allowed_Addresses
    void warnOfOpenServer(std::int32_t port);
    void logReplaced(const std::string& peer);
    void reapConnections();
    void stopServer();
    void requestConnection(const QString& address, quint16 port);
    void connectTo(const QHostAddress& address, quint16 port);
    void finishConnect();
    void clientConnectedOn(int fd);
    void clientError(const QString& text);
    void abandonConnect();
    void closeClient();
    void clientLost();
    void closeSerialPort(bool logClosed);
    void serialLineLost();
    [[nodiscard]] bool closeTcpLink(); // true when a listening server or a connected client was closed
    void waitForLineInFlight();
    [[nodiscard]] Exchange exchangeTcp(const std::string& line, Kind kind, std::chrono::milliseconds wait);
    [[nodiscard]] SendResult sendSerial(const std::string& line, output::AnswerSlot slot, bool& strayDrained);
    [[nodiscard]] Exchange exchangeSerial(const std::string& line, output::AnswerSlot slot,
                                          std::chrono::milliseconds wait);
    // Stray answers counted by the hand-off since the forwarding thread last looked.
    struct StrayCounts {
        std::uint32_t acks = 0;
        std::uint32_t naks = 0;
    };
    [[nodiscard]] StrayCounts takeStrays();
    void replaceIfSilent(WatchedThread& thread, bool silent, bool& pending, bool& stuckReported,
                         const char* stuckText, const char* name);
    bool startThread(WatchedThread& thread, const char* name);

    const Config_Record& m_config;
    OutputShared& m_shared;
    TCommPort& m_port;
    LogSink m_log;
    QTimer* m_timer = nullptr;
    QTcpServer* m_server = nullptr;
    AutomationConnections m_connections; // the server's connections and the client's
    // The client's connection under way: its descriptor until it completes, and the notifier that
    // says when it has. `m_connectAttempt` tells a name look-up that finishes late from the current one.
    int m_connectingFd = -1;
    QSocketNotifier* m_connectNotifier = nullptr;
    quint64 m_connectAttempt = 0;
    int m_outRetryCountdown = 0;
    int m_watchdogCountdown = 0;
    bool m_monitoringReplacePending = false;
    bool m_serialReplacePending = false;
    bool m_monitoringStuckReported = false;
    bool m_serialStuckReported = false;
    bool m_requestingConnection = false; // inside connectToHost: an error now is an immediate failure
    bool m_connectUnderWay = false;      // a look-up or connect started and neither done nor failed
    // A serial device that went away while open: it is opened again every kSerialRetryTicks ticks,
    // from the same device path, until it is back.
    bool m_serialLost = false;
    int m_serialRetryCountdown = 0;
    std::string m_serialLostPath;
    // Ticks the closed branch has waited for a line in flight; an answer wait is 2 s.
    static constexpr int kMaxCloseDeferTicks = 3;
    int m_closeDeferredTicks = 0;
    std::atomic<bool> m_traceEnabled{false};
    LogThrottle m_refusedPeers{60'000, 1024}; // a refused address is logged once a minute

    // Mode and forwarding settings as published at the last tick or change.
    std::atomic<int> m_mode{0};      // Mon_Port_Open
    std::atomic<int> m_monServer{1}; // Mon_Server
    std::atomic<std::int32_t> m_heartbeatPeriod{0};
    std::atomic<std::int8_t> m_testRecNr{1};
    std::atomic<std::int8_t> m_reportFormat{0};
    std::atomic<int> m_heartbeatLength{22};
    std::atomic<std::int32_t> m_serialBaud{9600}; // as the port was opened

    // The serial link's answers, forwarding thread only: probation per opening of the port, as for a
    // TCP connection, and the stray answers seen so far.
    std::uint64_t m_serialOpening = 0;
    std::uint32_t m_serialAnswered = 0;
    bool m_serialDoubles = false;
    std::chrono::milliseconds m_serialExtraQuiet{0};
    std::size_t m_serialLastLine = 0;
    StrayCounts m_straysSeen;
    std::atomic<bool> m_accountQLines{false};
};
