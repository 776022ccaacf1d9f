// The output link's timer tick (open, watch, close the TCP server, TCP client or serial port), its
// receive handlers, the forwarding thread's send, and the watchdog of the two background threads.
#include "output/OutputLink.h"

#include "output/MainThreadCall.h"
#include "output/OutputMessages.h"
#include "serial/TCommPort.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <sys/socket.h>

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

QString peerText(const QTcpSocket* socket)
{
    QHostAddress address = socket->peerAddress();
    bool mapped = false;
    const quint32 v4 = address.toIPv4Address(&mapped); // a dual-stack socket sees ::ffff:a.b.c.d
    if (mapped)
        address = QHostAddress(v4);
    return address.toString() + QLatin1Char(':') + QString::number(socket->peerPort());
}

// Answer bytes that are already waiting on a connection when a line is about to go out belong to
// some earlier line (a second ACK, one that came after its wait ran out): they are thrown away, from
// the socket's own buffer and from the system's. Main thread, between two read handlers.
void discardWaiting(QTcpSocket& socket)
{
    (void)socket.readAll();
    const int fd = int(socket.socketDescriptor());
    if (fd < 0)
        return;
    char sink[4096];
    for (int budget = 16; budget > 0; --budget) {
        const ssize_t got = ::recv(fd, sink, sizeof sink, MSG_DONTWAIT);
        if (got > 0)
            continue;
        if (got < 0 && errno == EINTR)
            continue;
        break; // nothing more waits, the peer has closed, or an error that the socket reports itself
    }
}

ssize_t systemSend(int fd, const char* data, std::size_t size)
{
    // Never blocks: a peer that stops reading costs this line its answer, not the main thread.
    return ::send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
}

} // namespace

OutputLink::OutputLink(const Config_Record& config, OutputShared& shared, TCommPort& port, LogSink log,
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
        m_clientId = m_nextLinkId++;
        ClientSocket_OutConnect();
    });
    connect(m_client, &QIODevice::readyRead, this, &OutputLink::ClientSocket_OutRead);
    connect(m_client, &QAbstractSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
        // The server's orderly close is no error: the next tick sees the link down and reconnects.
        if (error != QAbstractSocket::RemoteHostClosedError) {
            int code = int(error);
            ClientSocket_OutError(code);
        }
        if (m_client->state() != QAbstractSocket::ConnectedState)
            clientLost();
    });
    connect(m_client, &QAbstractSocket::disconnected, this, &OutputLink::clientLost);
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
    m_connections.clear();
    m_connectionInfo.clear();
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
    emit statusText(text);
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
    m_mode.store(0); // a line the forwarding thread has not sent yet does not go out any more
    m_shared.Output_Link_State.store(0);
    waitForLineInFlight();
    closeClient();
    stopServer();
    closeSerialPort(false);
    m_serialLost = false;
}

void OutputLink::waitForLineInFlight()
{
    // The answer comes through this thread's read handlers (or the serial poll step handed over to
    // it), so the wait serves events.
    QElapsedTimer waited;
    waited.start();
    while (lineInFlight() && waited.elapsed() < kLineInFlightWaitMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
}

void OutputLink::openSoon()
{
    m_outRetryCountdown = 0;
    m_serialLost = false; // the operator's own open or close: a failure to open is news again
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

output::LinkId OutputLink::connectionId(const QTcpSocket* connection) const
{
    if (connection == m_client)
        return m_clientId;
    const qsizetype index = m_connections.indexOf(const_cast<QTcpSocket*>(connection));
    return index < 0 ? output::kNoLink : m_connectionInfo[std::size_t(index)].id;
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
    // Whatever fails in one tick, the timer runs on: a timer left stopped would forward, persist and
    // supervise nothing for the rest of the run, without a word.
    try {
        tick();
    } catch (const std::exception& e) {
        writeLog(QStringLiteral("Output timer error: ") + QString::fromLocal8Bit(e.what()), LogColour::Red);
        emit beepRequested();
    } catch (...) {
        writeLog(QStringLiteral("Output timer error."), LogColour::Red);
        emit beepRequested();
    }
    m_timer->start();
}

void OutputLink::tick()
{
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
            emit beepRequested();
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
    // One older connection goes per tick, so in the end only the newest remains; one that still
    // carries a line waiting for its answer (it was the newest when the line went) goes a tick later.
    if (count > 1 && m_connectionInfo.front().id != Answer_Pending(m_shared.handoff))
        dropServerConnection(m_connections.first(), Drop::Ours);
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
        emit beepRequested();
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
        if (!m_port.lineLost()) {
            setStatus(QStringLiteral("Automation software port ") + name + QStringLiteral(" is open."));
            return;
        }
        serialLineLost();
    }
    // A device that vanished while open is the operator's choice still: it is opened again, quietly,
    // every retry period, from the same device (a dosdevices link that is gone would lead elsewhere).
    const bool reopening = m_serialLost;
    if (reopening) {
        setStatus(QStringLiteral("Automation software port ") + name + QStringLiteral(" lost. Reopening..."));
        if (--m_serialRetryCountdown > 0)
            return;
        m_serialRetryCountdown = kSerialRetryTicks;
        if (m_port.resolvedPath() != m_serialLostPath)
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
        if (reopening)
            return; // not back yet
        emit beepRequested();
        emit serialOpenFailed(e.code == comm::kOpenDevice ? QStringLiteral("Error opening ") + name +
                                                                QStringLiteral(". Port already in use?")
                                                          : QStringLiteral("COM port error"));
        return;
    }
    m_serialLost = false;
    writeLog(QStringLiteral("Automation software port ") + name + QStringLiteral(" is open."),
             LogColour::Black);
    if (reopening)
        setStatus(QStringLiteral("Automation software port ") + name + QStringLiteral(" is open."));
    m_shared.Output_Link_State.fetch_or(output::kLinkUp);
}

void OutputLink::serialLineLost()
{
    m_serialLostPath = m_port.openedPath();
    closeSerialPort(false);
    m_shared.Output_Link_State.store(0);
    m_serialLost = true;
    m_serialRetryCountdown = kSerialRetryTicks;
    writeLog(QStringLiteral("Automation software port ") + fieldText(m_config.COM_Nr) +
                 QStringLiteral(" lost; it is opened again when it is back."),
             LogColour::Black);
    setStatus(QStringLiteral("Automation software port ") + fieldText(m_config.COM_Nr) +
              QStringLiteral(" lost. Reopening..."));
}

void OutputLink::closedBranch()
{
    m_shared.Output_Link_State.store(0);
    m_serialLost = false;
    // A line that is out keeps its connection until it is answered or its wait has run out: closing
    // under it would throw away an answer on its way and log the silence as the automation
    // software's fault. The link closes on a later tick, within a few at most.
    if (!lineInFlight() || ++m_closeDeferredTicks > kMaxCloseDeferTicks) {
        m_closeDeferredTicks = 0;
        closeSerialPort(true);
        if (closeTcpLink())
            writeLog(QStringLiteral("Automation software port ") + QString::number(m_config.Mon_Port) +
                         QStringLiteral(" closed."),
                     LogColour::Black);
    }
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
        connection->setReadBufferSize(kMaxReadBytes);
        connection->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        m_connections.append(connection);
        m_connectionInfo.push_back(ConnectionInfo{m_nextLinkId++, peerText(connection)});
        connect(connection, &QIODevice::readyRead, this,
                [this, connection] { ServerSocket_OutClientRead(connection); });
        connect(connection, &QAbstractSocket::errorOccurred, this,
                [this, connection](QAbstractSocket::SocketError error) {
                    if (error != QAbstractSocket::RemoteHostClosedError) {
                        int code = int(error);
                        ServerSocket_OutClientError(connection, code);
                    }
                    if (connection->state() != QAbstractSocket::ConnectedState)
                        dropServerConnection(connection, Drop::Lost);
                });
        connect(connection, &QAbstractSocket::disconnected, this,
                [this, connection] { dropServerConnection(connection, Drop::Lost); });
        if (m_connections.size() > kMaxServerConnections)
            dropServerConnection(m_connections.first(), Drop::Ours);
    }
}

void OutputLink::dropServerConnection(QTcpSocket* connection, Drop why)
{
    const qsizetype index = m_connections.indexOf(connection);
    if (index < 0)
        return; // already dropped
    const bool wasNewest = index == m_connections.size() - 1;
    const QString peer = m_connectionInfo[std::size_t(index)].peer;
    m_connectionInfo.erase(m_connectionInfo.begin() + index);
    m_connections.removeAt(index);
    // Without the connection that lines went to the link is down at once, not at the next tick: the
    // next connection to carry lines, a client that reconnects before the tick or an older one
    // still open, gets the heartbeat before any report.
    if (wasNewest)
        m_shared.Output_Link_State.store(0);
    QObject::disconnect(connection, nullptr, this, nullptr);
    connection->abort();
    connection->deleteLater();
    if (why == Drop::Lost)
        writeLog(QStringLiteral("Connection with automation software lost (") + peer + QStringLiteral(")."),
                 LogColour::Black);
}

void OutputLink::stopServer()
{
    m_server->close();
    const QList<QTcpSocket*> open = m_connections;
    for (QTcpSocket* connection : open)
        dropServerConnection(connection, Drop::Ours);
}

void OutputLink::clientLost()
{
    if (m_clientId == output::kNoLink)
        return; // never connected, or closed by us
    m_clientId = output::kNoLink;
    m_shared.Output_Link_State.store(0);
    writeLog(QStringLiteral("Connection with automation software server lost."), LogColour::Black);
}

void OutputLink::closeClient()
{
    m_clientId = output::kNoLink; // our own close is no loss
    if (m_client->state() != QAbstractSocket::UnconnectedState)
        m_client->abort();
}

void OutputLink::ServerSocket_OutClientRead(QTcpSocket* connection)
{
    if (connection == nullptr || connection->bytesAvailable() <= 0)
        return;
    const QByteArray block = connection->read(kMaxReadBytes);
    if (!block.isEmpty()) // only the first byte counts, and only for a line sent on this connection
        Deliver_Answer(m_shared.handoff, std::uint8_t(block.front()), connectionId(connection));
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
    emit notifyRequested();
}

void OutputLink::ClientSocket_OutRead()
{
    if (m_client->bytesAvailable() <= 0)
        return;
    const QByteArray block = m_client->read(kMaxReadBytes);
    if (!block.isEmpty())
        Deliver_Answer(m_shared.handoff, std::uint8_t(block.front()), m_clientId);
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

OutputTransport::SendResult OutputLink::sendLine(const std::string& line, Kind kind)
{
    SendResult result = SendResult::NothingSent;
    runOnThreadOf(this, [&] { result = sendOnMainThread(line, kind); });
    return result;
}

OutputTransport::SendResult OutputLink::sendOnMainThread(const std::string& line, Kind kind)
{
    const output::AnswerSlot slot =
        kind == Kind::Heartbeat ? output::AnswerSlot::Heartbeat : output::AnswerSlot::Report;
    switch (m_mode.load()) {
    case 1:
        return sendTcp(line, slot, kind);
    case 2:
        return sendSerial(line, slot);
    default:
        return SendResult::NothingSent; // closed, or switched off since the thread looked
    }
}

OutputTransport::SendResult OutputLink::sendTcp(const std::string& line, output::AnswerSlot slot, Kind kind)
{
    QTcpSocket* socket = nullptr;
    output::LinkId id = output::kNoLink;
    if (m_monServer.load() == 1) {
        if (m_connections.isEmpty())
            return SendResult::NoConnection;
        socket = m_connections.last(); // only the newest connection is used
        id = m_connectionInfo.back().id;
    } else {
        if (!clientConnected() || m_clientId == output::kNoLink)
            return kind == Kind::Heartbeat ? SendResult::NothingSent : SendResult::NoConnection;
        socket = m_client;
        id = m_clientId;
    }
    const int fd = int(socket->socketDescriptor());
    if (fd < 0)
        return SendResult::NothingSent;
    discardWaiting(*socket);
    if (socket->state() != QAbstractSocket::ConnectedState)
        return SendResult::NothingSent; // the discarding found it closed; its handlers have run
    ssize_t sent = -1;
    do {
        sent =
            socketSend ? socketSend(fd, line.data(), line.size()) : systemSend(fd, line.data(), line.size());
    } while (sent < 0 && errno == EINTR);
    const int error = errno;
    if (sent == ssize_t(line.size())) {
        Arm_Answer(m_shared.handoff, slot, id);
        return SendResult::Sent;
    }
    // Nothing went out because the peer is not reading: the connection stays, the line is not sent.
    if (sent < 0 && (error == EAGAIN || error == EWOULDBLOCK))
        return SendResult::NothingSent;
    // A part of a line, or a connection that failed: the fragment must not stay on the wire to run
    // into the next line, so the connection goes. The automation software (or our client) connects
    // again and is greeted with a heartbeat first.
    if (socket == m_client) {
        clientLost();
        closeClient();
    } else {
        dropServerConnection(socket, Drop::Lost);
    }
    return SendResult::NothingSent;
}

OutputTransport::SendResult OutputLink::sendSerial(const std::string& line, output::AnswerSlot slot)
{
    if (!m_port.isOpen()) {
        m_shared.Output_Link_State.store(0);
        return SendResult::NothingSent;
    }
    // Nothing that came before this line can be its answer: a second ACK to the last line, say,
    // still waiting in the port. Reads and the poll step both run on this thread, so after this only
    // bytes that follow the line count.
    try {
        int budget = 4096;
        while (budget-- > 0 && m_port.InQueueCount() != 0)
            (void)m_port.ReadByte();
    } catch (const ECommError&) {
        // The poll step meets the same failure and logs it.
    }
    const std::size_t length = std::min(line.find('\0'), line.size());
    std::size_t written = 0;
    try {
        // Each write waits at most the port's write time-out; a write that takes nothing ends it.
        while (written < length) {
            const std::size_t n = m_port.WriteText(line.substr(written, length - written));
            if (n == 0)
                break;
            written += n;
        }
    } catch (const ECommError& e) {
        writeLog(QStringLiteral("Serial Port Error: ") + QString::number(e.os_error), LogColour::Red);
        emit beepRequested();
        if (m_port.lineLost())
            serialLineLost();
        return SendResult::NothingSent;
    }
    if (written < length)
        return SendResult::NothingSent;
    Arm_Answer(m_shared.handoff, slot, output::serialLinkId(m_port.openCount()));
    if (m_traceEnabled.load()) {
        static const SystemClock systemClock;
        const WallTime now = wallNow ? wallNow() : systemClock.wallNow();
        const std::tm tm = localTimeOf(now.seconds);
        emit traceLine(QString::asprintf("%02u:%02u:%02u:%u", unsigned(tm.tm_hour), unsigned(tm.tm_min),
                                         unsigned(tm.tm_sec), unsigned(now.millis)) +
                       QStringLiteral("  TX: ") + QString::fromLatin1(line.data(), qsizetype(length)));
    }
    return SendResult::Sent;
}

bool OutputLink::startThread(WatchedThread& thread, const char* name)
{
    // A thread that cannot be created (no resources) is not running, so the next check tries again.
    try {
        thread.start();
        return true;
    } catch (const std::exception& e) {
        writeLog(QStringLiteral("The %1 could not be started: %2")
                     .arg(QLatin1String(name), QString::fromLocal8Bit(e.what())),
                 LogColour::Red);
    } catch (...) {
        writeLog(QStringLiteral("The %1 could not be started.").arg(QLatin1String(name)), LogColour::Red);
    }
    emit beepRequested();
    return false;
}

void OutputLink::replaceIfSilent(WatchedThread& thread, bool silent, bool& pending, bool& stuckReported,
                                 const char* stuckText, const char* name)
{
    if (!thread.isRunning || !thread.start)
        return;
    if (!silent)
        return;
    if (!thread.isRunning()) {
        pending = false;
        stuckReported = false;
        (void)startThread(thread, name);
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
        (void)startThread(thread, name);
    }
}

void OutputLink::watchdog()
{
    static constexpr const char* kForwarding = "forwarding thread";
    static constexpr const char* kSerial = "serial receive thread";
    // A replacement starts as soon as the thread it replaces has ended, never beside it.
    const auto startIfEnded = [this](WatchedThread& thread, bool& pending, bool& stuckReported,
                                     const char* name) {
        if (pending && thread.isRunning && thread.start && !thread.isRunning()) {
            pending = false;
            stuckReported = false;
            (void)startThread(thread, name);
        }
    };
    startIfEnded(monitoringThread, m_monitoringReplacePending, m_monitoringStuckReported, kForwarding);
    startIfEnded(serialThread, m_serialReplacePending, m_serialStuckReported, kSerial);

    if (m_watchdogCountdown > 0) {
        --m_watchdogCountdown;
        return;
    }
    // Read and cleared in one step, so a sign of life given in between is not lost.
    const std::uint32_t alive = m_shared.Thread_Alive.exchange(0);
    replaceIfSilent(
        monitoringThread, (alive & output::kMonitoringAlive) == 0, m_monitoringReplacePending,
        m_monitoringStuckReported,
        "The forwarding thread does not respond and does not end; it is not restarted while it runs.",
        kForwarding);
    replaceIfSilent(
        serialThread, (alive & output::kSerialAlive) == 0, m_serialReplacePending, m_serialStuckReported,
        "The serial receive thread does not respond and does not end; it is not restarted while it "
        "runs.",
        kSerial);
    m_watchdogCountdown = kWatchdogTicks;
}
