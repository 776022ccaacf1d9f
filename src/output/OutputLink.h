// The output link to the automation software: TCP server on Mon_Port, TCP client to
// Out_IP:Mon_Port, or the serial port COM_Nr; opened, watched and closed by Timer_Out once a
// second, which also runs the watchdog of the two background threads.
#pragma once

#include "config/Clock.h"
#include "config/ConfigRecord.h"
#include "log/LogSink.h"
#include "output/OutputShared.h"
#include "output/OutputTransport.h"

#include <QAbstractSocket>
#include <QList>
#include <QObject>
#include <QString>
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

class QTcpServer;
class QTcpSocket;
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

    OutputLink(Config_Record& config, OutputShared& shared, TCommPort& port, LogSink log,
               QObject* parent = nullptr);
    ~OutputLink() override;

    // Window hooks, called on the main thread; each may be left empty.
    std::function<void(const QString&)> onStatusText; // panel 1 of the status bar
    std::function<void()> beep;
    std::function<void()> playNotify;                    // notify.wav
    std::function<void(const QString& text)> messageBox; // serial open failures
    std::function<void()> refreshMonOut;                 // Refresh_Mon_Out after a failed serial open
    std::function<bool()> traceVisible;                  // is the "Data Log" window shown?
    std::function<void(const QString&)> onTrace;         // one "Data Log" line
    std::function<WallTime()> wallNow;                   // time of trace lines; the system clock if empty
    WatchedThread monitoringThread;                      // bit 0x1 of Thread_Alive
    WatchedThread serialThread;                          // bit 0x2 of Thread_Alive

    void start();      // Timer_Out: first tick after 2000 ms, then every 1000 ms
    void stopTimer();  // shutdown
    void deactivate(); // shutdown: closes the client, stops the server, closes the serial port
    // The "Open" boxes: Out_Retry_Countdown = 0, and a tick within 500 ms when the timer runs at 1000 ms.
    void openSoon();

    // Handlers, public so tests call them directly.
    void Timer_OutTimer();
    void ServerSocket_OutClientRead(QTcpSocket* connection);
    void ServerSocket_OutClientError(QTcpSocket* connection, int& errorCode);
    void ClientSocket_OutConnect();
    void ClientSocket_OutRead();
    void ClientSocket_OutError(int& errorCode);

    // OutputTransport, called by the forwarding thread.
    [[nodiscard]] SendResult sendLine(const std::string& line, Kind kind) override;

    // The settings the forwarding thread reads, as published at the last tick or change.
    void publishSettings(); // main thread: after any change of the output settings
    [[nodiscard]] ForwardingSettings forwardingSettings() const; // any thread

    [[nodiscard]] int outRetryCountdown() const { return m_outRetryCountdown; }
    [[nodiscard]] int watchdogCountdown() const { return m_watchdogCountdown; }
    [[nodiscard]] QTimer* timer() const { return m_timer; }
    [[nodiscard]] bool serverListening() const;
    [[nodiscard]] quint16 serverPort() const;
    [[nodiscard]] const QList<QTcpSocket*>& serverConnections() const { return m_connections; }
    [[nodiscard]] QTcpSocket* clientSocket() const { return m_client; }
    [[nodiscard]] bool clientConnected() const;

private:
    void tcpServerBranch();
    void tcpClientBranch();
    void serialBranch();
    void closedBranch();
    void watchdog();
    void writeLog(const QString& text, LogColour colour);
    void setStatus(const QString& text);
    void acceptConnections();
    void dropServerConnection(QTcpSocket* connection); // closes our descriptor first, then the socket
    void stopServer();
    void closeClient();
    void forgetClientFd();
    void closeSerialPort(bool logClosed);
    [[nodiscard]] bool closeTcpLink(); // true when a listening server or a connected client was closed
    void replaceIfSilent(WatchedThread& thread, bool silent, bool& pending, bool& stuckReported,
                         const char* stuckText);

    Config_Record& m_config;
    OutputShared& m_shared;
    TCommPort& m_port;
    LogSink m_log;
    QTimer* m_timer = nullptr;
    QTcpServer* m_server = nullptr;
    QList<QTcpSocket*> m_connections; // oldest first
    QTcpSocket* m_client = nullptr;
    int m_outRetryCountdown = 0;
    int m_watchdogCountdown = 0;
    bool m_monitoringReplacePending = false;
    bool m_serialReplacePending = false;
    bool m_monitoringStuckReported = false;
    bool m_serialStuckReported = false;
    bool m_requestingConnection = false; // inside connectToHost: an error now is an immediate failure
    bool m_connectFailureLogged = false;

    // The forwarding thread sends on duplicates of the sockets' descriptors, so a descriptor it uses
    // is never closed (and reused) under it: the main thread changes these only under m_sendMutex.
    mutable std::mutex m_sendMutex;
    std::vector<int> m_serverFds; // one per server connection, oldest first
    int m_clientFd = -1;          // while the client is connected
    // Mode and forwarding settings as the forwarding thread sees them.
    std::atomic<int> m_mode{0};      // Mon_Port_Open
    std::atomic<int> m_monServer{1}; // Mon_Server
    std::atomic<std::int32_t> m_heartbeatPeriod{0};
    std::atomic<std::int8_t> m_testRecNr{1};
    std::atomic<std::int8_t> m_reportFormat{0};
    std::atomic<int> m_heartbeatLength{22};
};
