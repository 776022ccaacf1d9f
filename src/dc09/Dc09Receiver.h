// The DC-09 listening port, its connections and connection slots, the receive path and the
// once-a-second receiver timer (which also drives the accounts' supervision countdown).
#pragma once

#include "config/Clock.h"
#include "config/ConfigRecord.h"
#include "dc09/ConnectionTable.h"
#include "dc09/Dc09Codec.h"
#include "dc09/EventIntake.h"
#include "dc09/FrameAssembler.h"
#include "log/LogSink.h"
#include "log/WarningLimiter.h"

#include <QAbstractSocket>
#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

class AccountKeys;
class AccountTable;
class EventStore;
class MetricsRegistry;
class Journal;
class QTcpServer;
class QTcpSocket;
class QUdpSocket;
class QTimer;

class Dc09Receiver : public QObject {
    Q_OBJECT
public:
    // The largest block one read takes (a connection keeps only what may still become a frame, less
    // than DC9_Max_Frame_Length); the largest datagram.
    static constexpr qint64 kMaxBlockBytes = 64 * 1024;
    // What one turn of the event loop takes from a connection that has not sent a whole frame yet: a
    // flood of garbage gets no larger share of the receiver than a panel's first frame needs.
    static constexpr qint64 kFirstFrameBlockBytes = 4096;
    // What all connections together may hold of frames still arriving; over it, the largest is dropped.
    static constexpr std::size_t kPartialFramesBudget = 32 * 1024 * 1024;
    // Answers waiting to be sent on one connection. A panel reads each answer before it sends
    // again; one that lets them pile up would grow the receiver's memory without bound.
    static constexpr qint64 kMaxUnsentBytes = 64 * 1024;
    // How long the orderly close waits for the event log's last commit.
    static constexpr std::chrono::milliseconds kCloseCommitWait{10000};
    // New connections taken in one turn of the event loop at most.
    static constexpr int kAcceptsPerTurn = 32;
    // Ticks between two attempts to open a port that failed to open.
    static constexpr int kOpenRetryTicks = 10;
    // Datagrams taken in one turn of the event loop; the rest are taken in the next turn, so a flood of
    // datagrams leaves the connected panels their turn.
    static constexpr int kMaxDatagramsPerRead = 64;
    // The kernel's queue for datagrams, asked for (the system may grant less): room for a burst.
    static constexpr int kDatagramQueueBytes = 4 * 1024 * 1024;

    // `store` must be started by its owner; this receiver takes its results.
    Dc09Receiver(const Config_Record& config, AccountTable& accounts, Journal& journal, EventStore& store,
                 const Clock& clock, LogSink log, QObject* parent = nullptr);
    ~Dc09Receiver() override;

    // What the receiver is told by whoever shows it; without a window the defaults hold.
    void setTraceEnabled(bool enabled) { m_traceEnabled = enabled; } // the "Data Log" window is shown
    // The host line waits until the log view shows; true (nothing to wait for) by default.
    void setLogViewVisible(bool visible) { m_logViewVisible = visible; }
    // The port as the operator sees it, for "Port ... closed."; empty means DC9_Port.
    void setPortText(const QString& text) { m_portText = text; }
    // DC9_Known_Accounts_Only: whether an account may report (it is answered DUH otherwise); set by the
    // owner, who knows the Object List. Empty: every account.
    AccountAdmission admitAccount;
    // The accounts' own keys and where to count, both owned by whoever owns the receiver; null: none.
    void setAccountKeys(const AccountKeys* keys) { m_keys = keys; }
    void setMetrics(MetricsRegistry* metrics) { m_metrics = metrics; }
    // For tests: a smaller budget for the frames still arriving.
    void setPartialFramesBudget(std::size_t bytes) { m_partialBudget = bytes; }
    // What the connections hold now of frames still arriving.
    [[nodiscard]] std::size_t partialFrameBytes() const { return m_partialBytes; }

    void start(); // takes the last minute's events from the log, enables Timer_DC9 (500 ms first)
    // The repeats' memory from the log's last minute, as after a restart.
    void loadRepeatMemory();
    void stopTimer(); // FormClose step 1
    // FormClose step 2: closes the port and every connection, and waits (at most kCloseCommitWait)
    // until every staged event's commit has ended (their answers have no connection left to go to).
    void deactivate();
    // Reading stops while too many events wait for the disk; the panels then wait in TCP.
    [[nodiscard]] bool readsPaused() const { return m_readsPaused; }
    void retrySoon(); // the "Open" box was clicked: try again at the next second

    // Handlers, public so tests call them directly.
    void Timer_DC9Timer();
    void ServerSocket_DC9ClientConnect(QTcpSocket* connection);
    void ServerSocket_DC9ClientRead(QTcpSocket* connection);
    void ServerSocket_DC9ClientError(QTcpSocket* connection, int& errorCode);
    // The datagrams waiting on the UDP side of the receiver port: each one is one frame.
    void ServerSocket_DC9DatagramRead();
    void Touch_Connection_Slot(QTcpSocket* connection, int seconds);

    [[nodiscard]] bool isActive() const;
    [[nodiscard]] int activeConnections() const;
    [[nodiscard]] quint16 listeningPort() const;
    [[nodiscard]] bool isDatagramBound() const; // the port is also bound for UDP
    [[nodiscard]] const ConnectionTable& connectionTable() const { return m_slots; }
    [[nodiscard]] ConnectionTable& connectionTable() { return m_slots; }
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
    // A repeat of a message stored within the last minute: answered as the first copy, not stored.
    void repeatReceived(const QString& account, int sequence, const QString& address, int port);

private:
    // An answer waits in its turn's batch until that batch's events are on disk; answers that need
    // no disk wait as well when an earlier batch does, so each connection's answers keep their order.
    struct Answer {
        std::uint64_t number = 0; // the intake's answer number
        QPointer<QTcpSocket> connection;
        QByteArray bytes;
        // A datagram's answer goes back to its sender (no connection then).
        QHostAddress datagramAddress;
        quint16 datagramPort = 0;
        // For the metrics: an "ACK" or "*ACK", and when its frame arrived.
        bool acknowledges = false;
        std::chrono::steady_clock::time_point arrived{};
        QString refusal; // why it is no acknowledgement, for the "Data Log"
    };
    // Where a frame came from: a connection, or a datagram's sender.
    struct Peer {
        QPointer<QTcpSocket> connection;
        QHostAddress datagramAddress;
        quint16 datagramPort = 0;
        QString address; // dotted IPv4 text
        int port = 0;
    };
    // What the receiver keeps of one connection: its bytes of a frame still arriving, and where it
    // comes from (the socket forgets its peer once it has closed).
    struct Stream {
        FrameAssembler frames;
        QString address;         // dotted IPv4 text
        QByteArray addressBytes; // the same as a slot records it
        int port = 0;
        bool framed = false; // a whole frame has come
    };
    // The warnings that an attack can repeat without end: one line a second each, with a count.
    enum class Warning : std::size_t {
        Unrecognised,
        UnrecognisedDatagram,
        TableFull,
        SlotTaken,
        AddressLimit,
        FrameTooLong,
        PartialBudget,
        Refused, // a frame answered "NAK" or "DUH"
        Count
    };
    struct WarningSource {
        QString address;
        int port = 0;
        QString lead;   // the line's beginning when it is not the kind's own
        QString detail; // after the port: the account and the reason
    };

    void readBlock(QTcpSocket* connection);
    void logUnrecognised(const QString& address, int port, const QString& detail = {});
    // An event filed under the account inside its data rather than the header's: logged once per
    // account, or once per address when the header named none.
    void noteFiledAccount(const Peer& peer, const DC9_Message& message);
    void logUnrecognisedDatagram(const QString& address, int port, const QString& detail = {});
    void warn(Warning kind, const QString& address, int port, const QString& detail = {},
              const QString& lead = {});
    // ", account 1234: CRC mismatch ..." for a warning's line.
    [[nodiscard]] static QString refusalDetail(const DC9_Refusal& refusal);
    void traceNoAnswer(const QString& why);
    void writeWarning(Warning kind, const WarningSource& source, std::uint64_t leftOut);
    void writeDueWarnings();
    [[nodiscard]] QString warningText(Warning kind) const;
    // The connection that holds (or held) this slot's address and port, if it is still open.
    [[nodiscard]] QTcpSocket* connectionAt(std::string_view address, int port) const;
    void forgetStream(const QTcpSocket* connection);
    void dropLargestPartialFrames(); // while all of them together are over the budget

    void updateDatagramPort(); // binds or closes the UDP side as the setting says
    void closeDatagramPort();
    // One frame: answer queued (and, when accepted, the event staged) behind the connection's
    // earlier ones; returns the seconds the connection's slot gets.
    [[nodiscard]] int handleFrame(const Peer& peer, const QByteArray& frame);
    void tick(); // host line and port state; the countdowns run apart from it
    void queueAnswer(Answer answer);
    void reportRepeat(const Peer& peer, const DC9_Message& message);
    void sealGroup(); // end of the turn: the staged events go to the commit thread
    void deliverAnswers();
    void resumeReads(); // the disk has caught up: what waited in the sockets is read now
    void reportException(const char* where, const char* what);
    void scheduleAccept(); // once a turn of the event loop, the connections accepted meanwhile are taken
    void acceptPending();
    void openPort();
    void closeExpired(std::string_view address, int port);
    void traceReceived(const QByteArray& bytes); // a "Data Log" line of what was read, when shown
    void writeLog(const QString& text, LogColour colour);
    void setStatus(const QString& text);

    const Config_Record& m_config;
    AccountTable& m_accounts;
    EventStore& m_store;
    const Clock& m_clock;
    LogSink m_log;
    QTcpServer* m_server = nullptr;
    QTimer* m_timer = nullptr;
    ConnectionTable m_slots;
    QList<QTcpSocket*> m_connections;
    std::unordered_map<const QTcpSocket*, Stream> m_streams;
    std::unordered_multimap<int, QTcpSocket*> m_byPort; // the open connections by remote port
    std::size_t m_partialBytes = 0; // the streams' footprints together
    std::size_t m_partialBudget = kPartialFramesBudget;
    std::vector<char> m_readBuffer; // one read or datagram at a time, allocated once
    WarningLimiter m_warnings{std::size_t(Warning::Count)};
    std::array<WarningSource, std::size_t(Warning::Count)> m_latestWarning; // the last of each kind
    std::size_t m_longestDropped = 0; // the longest frame taken when one was last dropped, for its line
    bool m_traceEnabled = false;
    bool m_logViewVisible = true;
    QString m_portText;
    bool m_hostLineWritten = false;
    bool m_acceptErrorReported = false;
    bool m_acceptPosted = false;
    int m_openRetryWait = 0; // ticks left before the next attempt to open the port
    QUdpSocket* m_udp = nullptr;
    int m_udpRetryWait = 0;
    const AccountKeys* m_keys = nullptr;
    MetricsRegistry* m_metrics = nullptr;
    std::unordered_set<std::string> m_prefixAccountsLogged;
    std::unordered_set<std::string> m_headerlessAddressesLogged;

    EventIntake m_intake;
    std::deque<Answer> m_answers; // taken and not yet decided, in the intake's order
    bool m_sealPosted = false;
    // Shared with the store's wake, which may come from its thread after this object has gone.
    std::shared_ptr<std::atomic<bool>> m_wakePosted = std::make_shared<std::atomic<bool>>(false);
    bool m_readsPaused = false;
    QList<QPointer<QTcpSocket>> m_waitingReads; // connections that had bytes while reads were paused
    bool m_datagramsWaiting = false;
};
