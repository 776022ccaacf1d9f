// The DC-09 listening port, its connections and connection slots, the receive path and the
// once-a-second receiver timer (which also drives the accounts' supervision countdown).
#pragma once

#include "config/Clock.h"
#include "config/ConfigRecord.h"
#include "dc09/ConnectionTable.h"
#include "log/LogSink.h"

#include <QObject>
#include <QString>

#include <functional>
#include <string>

class AccountTable;
class Journal;
class QTcpServer;
class QTcpSocket;
class QTimer;

class Dc09Receiver : public QObject {
    Q_OBJECT
public:
    Dc09Receiver(Config_Record& config, AccountTable& accounts, Journal& journal, const Clock& clock, LogSink log,
                 QObject* parent = nullptr);
    ~Dc09Receiver() override;

    // Window hooks; each may be left empty.
    std::function<void(const QString&)> onStatusText; // panel 0 of the status bar
    std::function<void()> beep;
    std::function<bool()> traceVisible;                 // is the "Data Log" window shown?
    std::function<void(const QString&)> onTrace;        // one line for the "Data Log" window
    std::function<bool()> logViewVisible;               // the host line waits until the log view shows
    std::function<QString()> portText;                  // text of the port edit, for "Port ... closed."

    void start();        // enables Timer_DC9 with its first 500 ms interval
    void stopTimer();    // FormClose step 1
    void deactivate();   // FormClose step 2: closes the port and every connection
    void retrySoon();    // the "Open" box was clicked: try again at the next second

    // Handlers, public so tests call them directly.
    void Timer_DC9Timer();
    void ServerSocket_DC9ClientConnect(QTcpSocket* connection);
    void ServerSocket_DC9ClientRead(QTcpSocket* connection);
    void ServerSocket_DC9ClientError(QTcpSocket* connection, int& errorCode);
    void Touch_Connection_Slot(QTcpSocket* connection, int seconds);

    [[nodiscard]] bool isActive() const;
    [[nodiscard]] int activeConnections() const;
    [[nodiscard]] quint16 listeningPort() const;
    [[nodiscard]] const ConnectionTable& connectionTable() const { return m_slots; }
    [[nodiscard]] QTimer* timer() const { return m_timer; }

private:
    Config_Record& m_config;
    AccountTable& m_accounts;
    Journal& m_journal;
    const Clock& m_clock;
    LogSink m_log;
    QTcpServer* m_server = nullptr;
    QTimer* m_timer = nullptr;
    ConnectionTable m_slots;
    bool m_hostLineWritten = false;
};
