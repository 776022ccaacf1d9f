// The output link's timer tick (open, watch, close the TCP server, TCP client or serial port), its
// receive handlers, the forwarding thread's send, and the watchdog of the two background threads.
#include "output/OutputLink.h"

#include "output/MainThreadCall.h"
#include "output/OutputMessages.h"
#include "serial/TCommPort.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// An automation software answers one line at a time with one byte; anything longer is noise, and
// the bound keeps a peer that floods the port from growing memory.
constexpr qint64 kMaxReadBytes = 64 * 1024;
// Only the newest connection is used and the tick closes one older connection per second; a burst
// of connections beyond this many loses its oldest at once instead of holding descriptors for minutes.
constexpr qsizetype kMaxServerConnections = 16;

template <std::size_t N> QString fieldText(const char (&field)[N])
{
    return QString::fromLatin1(field, qsizetype(::strnlen(field, N)));
}

template <std::size_t N> std::string fieldString(const char (&field)[N])
{
    return std::string(field, ::strnlen(field, N));
}

bool validPort(std::int32_t port)
{
    return port >= 1 && port <= 65535;
}

// A copy of a socket's descriptor for the forwarding thread; -1 when none could be had.
int duplicateDescriptor(qintptr fd)
{
    return fd < 0 ? -1 : ::fcntl(int(fd), F_DUPFD_CLOEXEC, 0);
}

} // namespace

OutputLink::OutputLink(Config_Record& config, OutputShared& shared, TCommPort& port, LogSink log,
                       QObject* parent)
    : QObject(parent), m_config(config), m_shared(shared), m_port(port), m_log(std::move(log)),
      m_timer(new QTimer(this)), m_server(new QTcpServer(this)), m_client(new QTcpSocket(this))
{
    m_timer->setInterval(kFirstTickMs);
    connect(m_timer, &QTimer::timeout, this, &OutputLink::Timer_OutTimer);
    connect(m_server, &QTcpServer::newConnection, this, &OutputLink::acceptConnections);

    m_client->setReadBufferSize(kMaxReadBytes);
    connect(m_client, &QAbstractSocket::connected, this, [this] {
        m_client->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        const int fd = duplicateDescriptor(m_client->socketDescriptor());
        if (fd < 0) {
            // Without its own descriptor the forwarding thread could not send: as good as not connected.
            writeLog(QStringLiteral("Communication port error. ") +
                         QString::fromLocal8Bit(std::strerror(errno)),
                     LogColour::Red);
            closeClient();
            return;
        }
        {
            std::lock_guard lock(m_sendMutex);
            if (m_clientFd >= 0)
                ::close(m_clientFd);
            m_clientFd = fd;
        }
        ClientSocket_OutConnect();
    });
    connect(m_client, &QIODevice::readyRead, this, &OutputLink::ClientSocket_OutRead);
    connect(m_client, &QAbstractSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
        // The server's orderly close is no error: the next tick sees the link down and reconnects.
        if (error == QAbstractSocket::RemoteHostClosedError)
            return;
        int code = int(error);
        ClientSocket_OutError(code);
        if (m_client->state() != QAbstractSocket::ConnectedState)
            forgetClientFd();
    });
    connect(m_client, &QAbstractSocket::disconnected, this, &OutputLink::forgetClientFd);

    publishSettings();
}

OutputLink::~OutputLink()
{
    m_timer->stop();
    // Sockets report their closing on the way out; nothing of this object may hear it.
    QObject::disconnect(m_client, nullptr, this, nullptr);
    QObject::disconnect(m_server, nullptr, this, nullptr);
    for (QTcpSocket* connection : std::as_const(m_connections))
        QObject::disconnect(connection, nullptr, this, nullptr);
    {
        std::lock_guard lock(m_sendMutex);
        for (int fd : m_serverFds)
            if (fd >= 0)
                ::close(fd);
        m_serverFds.clear();
        if (m_clientFd >= 0)
            ::close(m_clientFd);
        m_clientFd = -1;
    }
    m_connections.clear();
    m_client->abort();
    delete m_server; // owns the accepted sockets
    m_server = nullptr;
}

void OutputLink::writeLog(const QString& text, LogColour colour)
{
    if (m_log) {
        const QByteArray bytes = text.toLocal8Bit();
        m_log(std::string_view(bytes.constData(), std::size_t(bytes.size())), colour);
    }
}

void OutputLink::setStatus(const QString& text)
{
    if (onStatusText)
        onStatusText(text);
}

void OutputLink::start()
{
    m_timer->setInterval(kFirstTickMs);
    m_timer->start();
}

void OutputLink::stopTimer()
{
    m_timer->stop();
}

void OutputLink::deactivate()
{
    m_shared.Output_Link_State.store(0);
    closeClient();
    stopServer();
    closeSerialPort(false);
}

void OutputLink::openSoon()
{
    m_outRetryCountdown = 0;
    if (m_timer->isActive() && m_timer->interval() == kTickMs)
        m_timer->start(kSoonTickMs);
}

bool OutputLink::serverListening() const
{
    return m_server->isListening();
}

quint16 OutputLink::serverPort() const
{
    return m_server->isListening() ? m_server->serverPort() : 0;
}

bool OutputLink::clientConnected() const
{
    return m_client->state() == QAbstractSocket::ConnectedState;
}

void OutputLink::publishSettings()
{
    m_mode.store(m_config.Mon_Port_Open);
    m_monServer.store(m_config.Mon_Server);
    m_heartbeatPeriod.store(m_config.Test_Heartbeat_Period);
    m_testRecNr.store(m_config.Test_Rec_Nr);
    m_reportFormat.store(m_config.Report_Format);
    m_heartbeatLength.store(heartbeatLength(m_config));
}

ForwardingSettings OutputLink::forwardingSettings() const
{
    ForwardingSettings s;
    s.Test_Heartbeat_Period = m_heartbeatPeriod.load();
    s.Test_Rec_Nr = m_testRecNr.load();
    s.Report_Format = m_reportFormat.load();
    s.Heartbeat_Length = m_heartbeatLength.load();
    return s;
}

void OutputLink::Timer_OutTimer()
{
    m_timer->stop();
    m_timer->setInterval(kTickMs);
    publishSettings();

    switch (m_config.Mon_Port_Open) {
    case 1:
        if (m_outRetryCountdown == 0) {
            if (m_config.Mon_Server == 1)
                tcpServerBranch();
            else
                tcpClientBranch();
        }
        break;
    case 2:
        serialBranch();
        break;
    default:
        closedBranch();
        break;
    }
    // The serial branch may have fallen back to "closed".
    publishSettings();

    if (m_outRetryCountdown > 0)
        --m_outRetryCountdown;
    watchdog();
    m_timer->start();
}

void OutputLink::tcpServerBranch()
{
    closeClient();
    closeSerialPort(true);
    const std::int32_t port = m_config.Mon_Port;
    if (!m_server->isListening()) {
        writeLog(QStringLiteral("Opening automation software port ") + QString::number(port),
                 LogColour::Black);
        m_shared.Output_Link_State.store(0);
        QString failure;
        if (!validPort(port))
            // Port 0 would make the system pick any free port, which the automation software would never
            // find.
            failure = QStringLiteral("Automation software port ") + QString::number(port) +
                      QStringLiteral(" is not a valid port number.");
        else if (!m_server->listen(QHostAddress::AnyIPv4, quint16(port)))
            failure = m_server->errorString();
        if (failure.isEmpty()) {
            writeLog(QStringLiteral("Automation software port ") + QString::number(port) +
                         QStringLiteral(" is open. Waiting for connection..."),
                     LogColour::Black);
        } else {
            m_outRetryCountdown = kServerRetryTicks;
            writeLog(failure, LogColour::Red);
            if (beep)
                beep();
        }
        return;
    }

    const qsizetype count = m_connections.size();
    if (count > 0) {
        setStatus(QStringLiteral("Automation software: connected (") + QString::number(count) +
                  QStringLiteral(")."));
        m_shared.Output_Link_State.fetch_or(output::kLinkUp);
    } else {
        m_shared.Output_Link_State.store(0);
        setStatus(QStringLiteral("Automation software port is open. Listenning..."));
    }
    // One older connection goes per tick, so in the end only the newest remains.
    if (count > 1)
        dropServerConnection(m_connections.first());
}

void OutputLink::tcpClientBranch()
{
    stopServer();
    closeSerialPort(true);
    const std::int32_t port = m_config.Mon_Port;
    if (clientConnected()) {
        setStatus(QStringLiteral("Automation software server: connected."));
        if (m_shared.Output_Link_State.load() == 0) {
            writeLog(QStringLiteral("Port ") + QString::number(port) + QStringLiteral(" connected."),
                     LogColour::Black);
            m_shared.Output_Link_State.fetch_or(output::kLinkUp);
        }
        return;
    }

    m_shared.Output_Link_State.store(0);
    setStatus(QStringLiteral("Automation software server: not connected."));
    const QString address = fieldText(m_config.Out_IP);
    writeLog(QStringLiteral("Connecting to automation software server. IP: ") + address +
                 QStringLiteral("  Port: ") + QString::number(port),
             LogColour::Black);
    // An attempt still under way from the last time would refuse a new one.
    closeClient();
    m_connectFailureLogged = false;
    if (!validPort(port)) {
        writeLog(QStringLiteral("Automation software port ") + QString::number(port) +
                     QStringLiteral(" is not a valid port number."),
                 LogColour::Red);
        m_connectFailureLogged = true;
    } else {
        m_requestingConnection = true;
        m_client->connectToHost(address, quint16(port));
        m_requestingConnection = false;
    }
    if (!clientConnected()) {
        if (!m_connectFailureLogged)
            writeLog(QStringLiteral("Can't open port ") + QString::number(port), LogColour::Red);
        m_outRetryCountdown = kClientRetryTicks;
        if (beep)
            beep();
    }
}

void OutputLink::serialBranch()
{
    if (closeTcpLink())
        writeLog(QStringLiteral("Automation software port ") + QString::number(m_config.Mon_Port) +
                     QStringLiteral(" closed."),
                 LogColour::Black);
    const QString name = fieldText(m_config.COM_Nr);
    if (m_port.isOpen()) {
        setStatus(QStringLiteral("Automation software port ") + name + QStringLiteral(" is open."));
        return;
    }
    try {
        m_port.SetBaudRate(m_config.COM_Baud);
        const bool sevenEven = serialFraming(m_config) == SerialFraming::Bits7EvenParity;
        m_port.SetByteSize(sevenEven ? 7 : 8);
        m_port.SetParity(sevenEven ? 2 : 0);
        m_port.SetStopBits(0);
        m_port.SetPortName(std::string(comm::kDevicePrefix) + fieldString(m_config.COM_Nr));
        m_port.Open();
    } catch (const ECommError& e) {
        if (beep)
            beep();
        m_config.Mon_Port_Open = 0;
        if (messageBox)
            messageBox(e.code == comm::kOpenDevice ? QStringLiteral("Error opening ") + name +
                                                         QStringLiteral(". Port already in use?")
                                                   : QStringLiteral("COM port error"));
        if (refreshMonOut)
            refreshMonOut();
        return;
    }
    writeLog(QStringLiteral("Automation software port ") + name + QStringLiteral(" is open."),
             LogColour::Black);
    m_shared.Output_Link_State.fetch_or(output::kLinkUp);
}

void OutputLink::closedBranch()
{
    m_shared.Output_Link_State.store(0);
    closeSerialPort(true);
    if (closeTcpLink())
        writeLog(QStringLiteral("Automation software port ") + QString::number(m_config.Mon_Port) +
                     QStringLiteral(" closed."),
                 LogColour::Black);
    setStatus(QStringLiteral("Automation software port closed."));
}

bool OutputLink::closeTcpLink()
{
    const bool wasOpen = m_server->isListening() || clientConnected();
    stopServer();
    closeClient();
    return wasOpen;
}

void OutputLink::closeSerialPort(bool logClosed)
{
    if (!m_port.isOpen())
        return;
    try {
        m_port.Close();
    } catch (const ECommError& e) {
        // The port counts as closed all the same; the operator learns why the device may still be held.
        writeLog(QStringLiteral("Serial Port Error: ") + QString::number(e.os_error), LogColour::Red);
    }
    if (logClosed)
        writeLog(QStringLiteral("Automation software port ") + fieldText(m_config.COM_Nr) +
                     QStringLiteral(" closed."),
                 LogColour::Black);
}

void OutputLink::acceptConnections()
{
    while (m_server->hasPendingConnections()) {
        QTcpSocket* connection = m_server->nextPendingConnection();
        if (connection == nullptr)
            break;
        const int fd = duplicateDescriptor(connection->socketDescriptor());
        if (fd < 0) {
            // Without its own descriptor the forwarding thread could not send here: refuse the connection.
            writeLog(QStringLiteral("Communication port error. ") +
                         QString::fromLocal8Bit(std::strerror(errno)),
                     LogColour::Red);
            connection->abort();
            connection->deleteLater();
            continue;
        }
        connection->setReadBufferSize(kMaxReadBytes);
        connection->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        {
            std::lock_guard lock(m_sendMutex);
            m_connections.append(connection);
            m_serverFds.push_back(fd);
        }
        connect(connection, &QIODevice::readyRead, this,
                [this, connection] { ServerSocket_OutClientRead(connection); });
        connect(connection, &QAbstractSocket::errorOccurred, this,
                [this, connection](QAbstractSocket::SocketError error) {
                    if (error != QAbstractSocket::RemoteHostClosedError) {
                        int code = int(error);
                        ServerSocket_OutClientError(connection, code);
                    }
                    if (connection->state() != QAbstractSocket::ConnectedState)
                        dropServerConnection(connection);
                });
        connect(connection, &QAbstractSocket::disconnected, this,
                [this, connection] { dropServerConnection(connection); });
        if (m_connections.size() > kMaxServerConnections)
            dropServerConnection(m_connections.first());
    }
}

void OutputLink::dropServerConnection(QTcpSocket* connection)
{
    {
        std::lock_guard lock(m_sendMutex);
        const qsizetype index = m_connections.indexOf(connection);
        if (index < 0)
            return; // already dropped
        const int fd = m_serverFds[std::size_t(index)];
        if (fd >= 0)
            ::close(fd);
        m_serverFds.erase(m_serverFds.begin() + index);
        m_connections.removeAt(index);
        // With the last connection gone the link is down at once, not at the next tick: a client
        // that reconnects before it would otherwise get reports without the heartbeat first.
        if (m_connections.isEmpty())
            m_shared.Output_Link_State.store(0);
    }
    QObject::disconnect(connection, nullptr, this, nullptr);
    connection->abort();
    connection->deleteLater();
}

void OutputLink::stopServer()
{
    m_server->close();
    const QList<QTcpSocket*> open = m_connections;
    for (QTcpSocket* connection : open)
        dropServerConnection(connection);
}

void OutputLink::forgetClientFd()
{
    std::lock_guard lock(m_sendMutex);
    if (m_clientFd >= 0)
        ::close(m_clientFd);
    m_clientFd = -1;
}

void OutputLink::closeClient()
{
    // Our descriptor goes first: while it is open the connection would outlive the socket's close.
    forgetClientFd();
    if (m_client->state() != QAbstractSocket::UnconnectedState)
        m_client->abort();
}

void OutputLink::ServerSocket_OutClientRead(QTcpSocket* connection)
{
    if (connection == nullptr || connection->bytesAvailable() <= 0)
        return;
    const QByteArray block = connection->read(kMaxReadBytes);
    if (!block.isEmpty())
        Deliver_Answer(m_shared.handoff, std::uint8_t(block.front())); // only the first byte counts
}

void OutputLink::ServerSocket_OutClientError(QTcpSocket* connection, int& errorCode)
{
    QString text = connection != nullptr ? connection->errorString().left(255) : QString();
    if (text.isEmpty())
        text = QStringLiteral("?");
    writeLog(QStringLiteral("Communication port error. ") + text, LogColour::Red);
    errorCode = 0;
}

void OutputLink::ClientSocket_OutConnect()
{
    if (playNotify)
        playNotify();
}

void OutputLink::ClientSocket_OutRead()
{
    if (m_client->bytesAvailable() <= 0)
        return;
    const QByteArray block = m_client->read(kMaxReadBytes);
    if (!block.isEmpty())
        Deliver_Answer(m_shared.handoff, std::uint8_t(block.front()));
}

void OutputLink::ClientSocket_OutError(int& errorCode)
{
    QString text = m_client->errorString().left(255);
    if (text.isEmpty())
        text = QStringLiteral("?");
    writeLog(QStringLiteral("Communication port error. ") + text, LogColour::Red);
    if (m_requestingConnection)
        m_connectFailureLogged = true;
    m_outRetryCountdown = kClientErrorRetryTicks;
    errorCode = 0;
}

// The forwarding thread sends on its own duplicates of the sockets' descriptors, taken under
// m_sendMutex, which the main thread also holds while it adds or drops a connection. A duplicate is
// closed only under that lock, so its number can never be reused for another socket (a panel's
// connection, say) while a send is in progress: a line can only reach the automation software.
OutputTransport::SendResult OutputLink::sendLine(const std::string& line, Kind kind)
{
    const int mode = m_mode.load();
    if (mode == 1) {
        std::lock_guard lock(m_sendMutex);
        int fd = -1;
        if (m_monServer.load() == 1) {
            if (m_serverFds.empty())
                return SendResult::NoConnection;
            fd = m_serverFds.back(); // only the newest connection is used
        } else {
            if (m_clientFd < 0)
                return kind == Kind::Heartbeat ? SendResult::NothingSent : SendResult::NoConnection;
            fd = m_clientFd;
        }
        // Never blocks: a peer that stops reading costs this line its answer, not the thread.
        const ssize_t sent = ::send(fd, line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        return sent == ssize_t(line.size()) ? SendResult::Sent : SendResult::NothingSent;
    }
    if (mode == 2) {
        SendResult result = SendResult::NothingSent;
        runOnThreadOf(this, [&] {
            if (!m_port.isOpen()) {
                m_shared.Output_Link_State.store(0);
                return;
            }
            // Nothing that came before this line can be its answer: a second ACK to the last line,
            // say, whether still waiting in the port or already handed over by a poll step since
            // the thread armed its slot. Reads and the poll step both run on this thread, so after
            // this only bytes that follow the line count.
            try {
                int budget = 4096;
                while (budget-- > 0 && m_port.InQueueCount() != 0)
                    (void)m_port.ReadByte();
            } catch (const ECommError&) {
                // The poll step meets the same failure and logs it.
            }
            std::atomic<std::uint8_t>& slot =
                kind == Kind::Heartbeat ? m_shared.handoff.heartbeat_answer : m_shared.handoff.report_answer;
            if (slot.load() != output::kSlotIdle) {
                slot.store(output::kSlotWaiting);
                m_shared.handoff.answer_event.reset();
            }
            try {
                m_port.WriteText(line);
            } catch (const ECommError& e) {
                writeLog(QStringLiteral("Serial Port Error: ") + QString::number(e.os_error), LogColour::Red);
                if (beep)
                    beep();
                return;
            }
            result = SendResult::Sent;
            if (traceVisible && traceVisible() && onTrace) {
                static const SystemClock systemClock;
                const WallTime now = wallNow ? wallNow() : systemClock.wallNow();
                const std::tm tm = localTimeOf(now.seconds);
                onTrace(QString::asprintf("%02u:%02u:%02u:%u", unsigned(tm.tm_hour), unsigned(tm.tm_min),
                                          unsigned(tm.tm_sec), unsigned(now.millis)) +
                        QStringLiteral("  TX: ") +
                        QString::fromLatin1(line.data(), qsizetype(::strnlen(line.c_str(), line.size()))));
            }
        });
        return result;
    }
    return SendResult::NothingSent;
}

void OutputLink::replaceIfSilent(WatchedThread& thread, bool silent, bool& pending, bool& stuckReported,
                                 const char* stuckText)
{
    if (!thread.isRunning || !thread.start)
        return;
    if (!silent)
        return;
    if (!thread.isRunning()) {
        pending = false;
        stuckReported = false;
        thread.start();
        return;
    }
    if (pending) {
        // Asked to end a whole check ago and still silent: starting another beside it would make two.
        if (!stuckReported) {
            stuckReported = true;
            writeLog(QLatin1String(stuckText), LogColour::Red);
        }
        return;
    }
    if (thread.requestTerminate)
        thread.requestTerminate();
    pending = true;
    if (!thread.isRunning()) {
        pending = false;
        thread.start();
    }
}

void OutputLink::watchdog()
{
    // A replacement starts as soon as the thread it replaces has ended, never beside it.
    const auto startIfEnded = [](WatchedThread& thread, bool& pending, bool& stuckReported) {
        if (pending && thread.isRunning && thread.start && !thread.isRunning()) {
            pending = false;
            stuckReported = false;
            thread.start();
        }
    };
    startIfEnded(monitoringThread, m_monitoringReplacePending, m_monitoringStuckReported);
    startIfEnded(serialThread, m_serialReplacePending, m_serialStuckReported);

    if (m_watchdogCountdown > 0) {
        --m_watchdogCountdown;
        return;
    }
    // Read and cleared in one step, so a sign of life given in between is not lost.
    const std::uint32_t alive = m_shared.Thread_Alive.exchange(0);
    replaceIfSilent(
        monitoringThread, (alive & output::kMonitoringAlive) == 0, m_monitoringReplacePending,
        m_monitoringStuckReported,
        "The forwarding thread does not respond and does not end; it is not restarted while it runs.");
    replaceIfSilent(
        serialThread, (alive & output::kSerialAlive) == 0, m_serialReplacePending, m_serialStuckReported,
        "The serial receive thread does not respond and does not end; it is not restarted while it "
        "runs.");
    m_watchdogCountdown = kWatchdogTicks;
}
