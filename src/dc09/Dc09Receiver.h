// The DC-09 listening port, its connections and connection slots, the receive path and the
// once-a-second receiver timer (which also drives the accounts' supervision countdown).
#pragma once

#include "config/Clock.h"
#include "config/ConfigRecord.h"
#include "dc09/ConnectionTable.h"
#include "log/LogSink.h"

#include <QAbstractSocket>
#include <QList>
#include <QObject>
#include <QString>
#include <string>

class AccountTable;
class Journal;
class QHostAddress;
class QTcpServer;
class QTcpSocket;
class QTimer;

class Dc09Receiver : public QObject {
    Q_OBJECT
public:
    // The largest block one read handles; a DC-09 frame is a few hundred bytes, anything this
    // long is garbage, and the bound keeps a flood from growing memory.
    static constexpr qint64 kMaxBlockBytes = 64 * 1024;
    // Answers waiting to be sent on one connection. A panel reads each answer before it sends
    // again; one that lets them pile up would grow the receiver's memory without bound.
    static constexpr qint64 kMaxUnsentBytes = 64 * 1024;

    Dc09Receiver(const Config_Record& config, AccountTable& accounts, Journal& journal, const Clock& clock,
                 LogSink log, QObject* parent = nullptr);
    ~Dc09Receiver() override;

    // What the receiver is told by whoever shows it; without a window the defaults hold.
    void setTraceEnabled(bool enabled) { m_traceEnabled = enabled; } // the "Data Log" window is shown
    // The host line waits until the log view shows; true (nothing to wait for) by default.
    void setLogViewVisible(bool visible) { m_logViewVisible = visible; }
    // The port as the operator sees it, for "Port ... closed."; empty means DC9_Port.
    void setPortText(const QString& text) { m_portText = text; }

    void start();      // enables Timer_DC9 with its first 500 ms interval
    void stopTimer();  // FormClose step 1
    void deactivate(); // FormClose step 2: closes the port and every connection
    void retrySoon();  // the "Open" box was clicked: try again at the next second

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
    // The accepted connections, oldest first.
    [[nodiscard]] const QList<QTcpSocket*>& connections() const { return m_connections; }

    // Dotted IPv4 text of an address; an IPv4-mapped IPv6 address is shown as its IPv4 part.
    [[nodiscard]] static QString addressText(const QHostAddress& address);
    [[nodiscard]] static QString remoteAddressText(const QTcpSocket* connection);
    // The Windows Sockets number the log shows for a socket error; 0 for the panel's own orderly
    // close, which is no error.
    [[nodiscard]] static int winsockErrorCode(QAbstractSocket::SocketError error);
    // "Program started. Hostname of this computer: ..." for the given name and first IPv4 address.
    [[nodiscard]] static QString hostLine(const QString& hostName, const QHostAddress& address);

signals:
    void statusText(const QString& text); // panel 0 of the status bar
    void beepRequested();
    void traceLine(const QString& line); // one line for the "Data Log" window, only while enabled

private:
    void acceptPending();
    void openPort();
    void closeExpired(std::string_view address, int port);
    void writeLog(const QString& text, LogColour colour);
    void setStatus(const QString& text);

    const Config_Record& m_config;
    AccountTable& m_accounts;
    Journal& m_journal;
    const Clock& m_clock;
    LogSink m_log;
    QTcpServer* m_server = nullptr;
    QTimer* m_timer = nullptr;
    ConnectionTable m_slots;
    QList<QTcpSocket*> m_connections;
    bool m_traceEnabled = false;
    bool m_logViewVisible = true;
    QString m_portText;
    bool m_hostLineWritten = false;
    bool m_acceptErrorReported = false;
};
