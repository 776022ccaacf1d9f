// The output link's timer tick (open, watch, close the TCP server, TCP client or serial port), its
// receive handlers, the forwarding thread's send, and the watchdog of the two background threads.
#include "output/OutputLink.h"

#include "config/AddressList.h"
#include "log/TraceText.h"
#include "output/MainThreadCall.h"
#include "output/OutputMessages.h"
#include "serial/TCommPort.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHostInfo>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

// Only the newest connection is used and the tick closes one older connection per second; a burst
// of connections beyond this many loses its oldest at once instead of holding descriptors for minutes.
constexpr std::size_t kMaxServerConnections = 16;

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

// The system's text for a socket error number, as the operator reads it.
QString systemText(int error)
{
    QString text = QString::fromLocal8Bit(std::strerror(error)).left(255);
    return text.isEmpty() ? QStringLiteral("?") : text;
}

// An orderly close or a reset by the peer is the peer going away, not a failure of the line.
bool isPeerClose(int error)
{
    return error == 0 || error == ECONNRESET || error == EPIPE;
}

struct Peer {
    QString address; // empty when the system cannot say
    quint16 port = 0;
    [[nodiscard]] QString text() const
    {
        return (address.isEmpty() ? QStringLiteral("?") : address) + QLatin1Char(':') + QString::number(port);
    }
};

Peer peerOf(int fd)
{
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&storage), &length) != 0)
        return {};
    QHostAddress address(reinterpret_cast<const sockaddr*>(&storage));
    bool mapped = false;
    const quint32 v4 = address.toIPv4Address(&mapped); // a dual-stack socket sees ::ffff:a.b.c.d
    if (mapped)
        address = QHostAddress(v4);
    Peer peer;
    peer.address = address.toString();
    if (storage.ss_family == AF_INET)
        peer.port = ntohs(reinterpret_cast<const sockaddr_in*>(&storage)->sin_port);
    else if (storage.ss_family == AF_INET6)
        peer.port = ntohs(reinterpret_cast<const sockaddr_in6*>(&storage)->sin6_port);
    return peer;
}

QString peerText(int fd)
{
    return peerOf(fd).text();
}

// What the socket layer said when a port could not be opened, with the port named: its own text
// ("The bound address is already in use") does not say which.
QString listenFailure(const QTcpServer& server, quint16 port)
{
    return QStringLiteral("Automation software port ") + QString::number(port) +
           QStringLiteral(" could not be opened: ") + server.errorString();
}

// Listens on the bind address of the settings; an empty one is every address, IPv4 and IPv6, or
// IPv4 alone on a system without IPv6. False with the reason in `failure`.
bool listenOn(QTcpServer& server, const QString& bindText, const char* setting, quint16 port,
              QString& failure)
{
    if (bindText.isEmpty()) {
        if (server.listen(QHostAddress::Any, port) || server.listen(QHostAddress::AnyIPv4, port))
            return true;
        failure = listenFailure(server, port);
        return false;
    }
    const QHostAddress address(bindText);
    if (address.isNull()) {
        failure = QLatin1String(setting) + QStringLiteral(" \"") + bindText +
                  QStringLiteral("\" is not an IPv4 or IPv6 address.");
        return false;
    }
    if (server.listen(address, port))
        return true;
    failure = listenFailure(server, port);
    return false;
}

// Lines are single small writes that wait for an answer each: Nagle's delay would only slow them.
void prepareConnection(int fd)
{
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0)
        (void)::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    (void)::fcntl(fd, F_SETFD, FD_CLOEXEC);
    const int one = 1;
    (void)::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// The listening socket of the server mode: it hands each accepted descriptor over as it is, so no
// Qt socket ever reads an automation connection.
class DescriptorServer : public QTcpServer {
public:
    std::function<void(int fd)> onIncoming;

protected:
    void incomingConnection(qintptr descriptor) override
    {
        if (onIncoming)
            onIncoming(int(descriptor));
        else
            ::close(int(descriptor));
    }
};

} // namespace

OutputLink::OutputLink(const Config_Record& config, OutputShared& shared, TCommPort& port, LogSink log,
                       QObject* parent)
    : QObject(parent), m_config(config), m_shared(shared), m_port(port), m_log(std::move(log)),
      m_timer(new QTimer(this))
{
    auto* server = new DescriptorServer;
    server->setParent(this);
    server->onIncoming = [this](int fd) { takeConnection(fd); };
    m_server = server;
    m_timer->setInterval(kFirstTickMs);
    connect(m_timer, &QTimer::timeout, this, &OutputLink::Timer_OutTimer);
    publishSettings();
}

OutputLink::~OutputLink()
{
    m_timer->stop();
    abandonConnect();
    delete m_server;
    m_server = nullptr;
    // The connections close with m_connections; the forwarding thread has ended before (see above).
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

QString OutputLink::healthText(const QString& name, const QString& healthy) const
{
    const std::int64_t failedAt = m_shared.Link_Error_Time.load();
    if (failedAt == 0 || (m_shared.Output_Link_State.load() & output::kLinkUp) == 0)
        return healthy;
    const std::tm tm = localTimeOf(std::time_t(failedAt));
    return name + QStringLiteral(": failing, last error at ") +
           QString::asprintf("%02d:%02d:%02d.", tm.tm_hour, tm.tm_min, tm.tm_sec);
}

void OutputLink::setLinkUp()
{
    // A new link starts without the errors of the one before it, and with a heartbeat.
    if ((m_shared.Output_Link_State.load() & output::kLinkUp) == 0) {
        m_shared.Link_Error_Time.store(0);
        m_shared.Link_Generation.fetch_add(1);
    }
    m_shared.Output_Link_State.fetch_or(output::kLinkUp);
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
    // A TCP answer is read by the forwarding thread itself; a serial one comes through the poll step
    // handed over to this thread, and the thread's log and trace lines too, so the wait serves events.
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

bool OutputLink::lineInFlight() const
{
    return Answer_Pending(m_shared.handoff) != output::kNoLink || m_connections.inFlight() != output::kNoLink;
}

void OutputLink::publishSettings()
{
    m_mode.store(m_config.Mon_Port_Open);
    m_monServer.store(m_config.Mon_Server);
    m_heartbeatPeriod.store(m_config.Test_Heartbeat_Period);
    m_testRecNr.store(m_config.Test_Rec_Nr);
    m_reportFormat.store(m_config.Report_Format);
    m_heartbeatLength.store(heartbeatLength(m_config));
    m_accountQLines.store(m_config.Out_Account_Q_Lines != 0);
}

ForwardingSettings OutputLink::forwardingSettings() const
{
    ForwardingSettings s;
    s.Test_Heartbeat_Period = m_heartbeatPeriod.load();
    s.Test_Rec_Nr = m_testRecNr.load();
    s.Report_Format = m_reportFormat.load();
    s.Heartbeat_Length = m_heartbeatLength.load();
    s.Account_Q_Lines = m_accountQLines.load();
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
    // Peers that closed since the last tick, whatever the mode and its countdown: the link is down
    // at once, and the loss is said once.
    reapConnections();

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
        else
            (void)listenOn(*m_server, fieldText(m_config.Mon_Bind_Address), "Mon_Bind_Address", quint16(port),
                           failure);
        if (failure.isEmpty()) {
            writeLog(QStringLiteral("Automation software port ") + QString::number(port) +
                         QStringLiteral(" is open. Waiting for connection..."),
                     LogColour::Black);
            warnOfOpenServer(port);
        } else {
            m_outRetryCountdown = kServerRetryTicks;
            writeLog(failure, LogColour::Red);
            emit beepRequested();
        }
        return;
    }

    const std::size_t count = m_connections.serverCount();
    if (count > 0) {
        setLinkUp();
        setStatus(healthText(QStringLiteral("Automation software"),
                             QStringLiteral("Automation software: connected (") + QString::number(count) +
                                 QStringLiteral(").")));
    } else {
        m_shared.Output_Link_State.store(0);
        setStatus(QStringLiteral("Automation software port is open. Listening..."));
    }
    // One older connection goes per tick, so in the end only the newest remains; one that still
    // carries a line waiting for its answer (it was the newest when the line went) goes a tick later.
    const output::LinkId oldest = m_connections.oldestServer();
    if (count > 1 && oldest != m_connections.inFlight())
        logReplaced(m_connections.remove(oldest));
}

void OutputLink::warnOfOpenServer(std::int32_t port)
{
    const QString list = fieldText(m_config.Mon_Allowed_Addresses);
    const AddressListParse parsed = parseAddressList(list.toStdString());
    if (!parsed.error.empty())
        writeLog(
            QStringLiteral("Mon_Allowed_Addresses cannot be read (") + QString::fromStdString(parsed.error) +
                QStringLiteral("): every automation software connection is refused until it is corrected."),
            LogColour::Red);
    else if (parsed.ranges.empty())
        writeLog(
            QStringLiteral("Mon_Allowed_Addresses is empty: any host that reaches port ") +
                QString::number(port) +
                QStringLiteral(" can take the alarm lines. Set it to the automation software's address."),
            LogColour::Red);
}

bool OutputLink::allowedPeer(const QString& address) const
{
    const AddressListParse parsed = parseAddressList(fieldString(m_config.Mon_Allowed_Addresses));
    // A list that cannot be read lets nobody in: the alarms wait rather than go to a stranger.
    if (!parsed.error.empty())
        return false;
    return parsed.ranges.empty() || addressInRanges(parsed.ranges, address.toStdString());
}

void OutputLink::logReplaced(const std::string& peer)
{
    if (!peer.empty())
        writeLog(QStringLiteral("Automation software connection from ") + QString::fromStdString(peer) +
                     QStringLiteral(" closed: a newer connection took its place."),
                 LogColour::Black);
}

void OutputLink::tcpClientBranch()
{
    stopServer();
    closeSerialPort(true);
    const std::int32_t port = m_config.Mon_Port;
    if (clientConnected()) {
        if (m_shared.Output_Link_State.load() == 0)
            takeClientIntoUse();
        setStatus(healthText(QStringLiteral("Automation software server"),
                             QStringLiteral("Automation software server: connected.")));
        return;
    }

    m_shared.Output_Link_State.store(0);
    setStatus(QStringLiteral("Automation software server: not connected."));
    // The connection completes in the background and is taken into use as soon as it has; one
    // that has neither completed nor failed in all the time since is given up.
    if (m_connectUnderWay) {
        writeLog(QStringLiteral("Can't open port ") + QString::number(port), LogColour::Red);
        emit beepRequested();
    }
    const QString address = fieldText(m_config.Out_IP);
    writeLog(QStringLiteral("Connecting to automation software server. IP: ") + address +
                 QStringLiteral("  Port: ") + QString::number(port),
             LogColour::Black);
    // An attempt still under way from the last time would refuse a new one.
    closeClient();
    if (!validPort(port)) {
        writeLog(QStringLiteral("Automation software port ") + QString::number(port) +
                     QStringLiteral(" is not a valid port number."),
                 LogColour::Red);
        emit beepRequested();
    } else {
        m_requestingConnection = true;
        requestConnection(address, quint16(port));
        m_requestingConnection = false;
    }
    if (!clientConnected())
        m_outRetryCountdown = kClientRetryTicks;
}

void OutputLink::takeClientIntoUse()
{
    writeLog(QStringLiteral("Port ") + QString::number(m_config.Mon_Port) + QStringLiteral(" connected."),
             LogColour::Black);
    setLinkUp();
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
            setStatus(serialStatus(name));
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
        m_serialBaud.store(m_config.COM_Baud);
    } catch (const ECommError& e) {
        if (reopening)
            return; // not back yet
        emit beepRequested();
        if (e.code == comm::kNotADevice) {
            const QString refused =
                QStringLiteral("Automation software port ") + name + QStringLiteral(" refused: ") +
                QString::fromStdString(m_port.resolvedPath()) +
                QStringLiteral(" is not a serial device (a dosdevices link must lead to one).");
            writeLog(refused, LogColour::Red);
            emit serialOpenFailed(refused);
            return;
        }
        emit serialOpenFailed(e.code == comm::kOpenDevice ? QStringLiteral("Error opening ") + name +
                                                                QStringLiteral(". Port already in use?")
                                                          : QStringLiteral("COM port error"));
        return;
    }
    m_serialLost = false;
    writeLog(QStringLiteral("Automation software port ") + name + QStringLiteral(" is open."),
             LogColour::Black);
    setLinkUp();
    if (reopening)
        setStatus(serialStatus(name));
}

QString OutputLink::serialStatus(const QString& name) const
{
    const QString port = QStringLiteral("Automation software port ") + name;
    // Open is the port; connected is the automation software behind it, which answered a heartbeat.
    const bool answered = m_shared.Output_Link_State.load() == output::kLinkReady;
    return healthText(port,
                      answered ? port + QStringLiteral(": connected.") : port + QStringLiteral(" is open."));
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

void OutputLink::takeConnection(int fd)
{
    const Peer peer = peerOf(fd);
    // A stranger is turned away before it is a connection at all: it takes no line and displaces
    // nobody. Its address is said once a minute at most, however often it comes back.
    if (!allowedPeer(peer.address)) {
        ::close(fd);
        const std::int64_t now = steadyMillis ? steadyMillis()
                                              : std::chrono::duration_cast<std::chrono::milliseconds>(
                                                    std::chrono::steady_clock::now().time_since_epoch())
                                                    .count();
        if (m_refusedPeers.allow(peer.address.toStdString(), now))
            writeLog(QStringLiteral("Automation software connection from ") + peer.text() +
                         QStringLiteral(" refused: its address is not in Mon_Allowed_Addresses."),
                     LogColour::Red);
        return;
    }
    prepareConnection(fd);
    // A peer that closed just before its successor connected is seen now, not at the next tick: the
    // link it carried is down, so the new connection is greeted with a heartbeat first.
    reapConnections();
    (void)m_connections.addServer(fd, peer.text().toStdString());
    writeLog(QStringLiteral("Automation software connected from ") + peer.text() + QLatin1Char('.'),
             LogColour::Black);
    if (m_connections.serverCount() > kMaxServerConnections)
        logReplaced(m_connections.remove(m_connections.oldestServer()));
}

void OutputLink::reapConnections()
{
    for (const AutomationConnections::Gone& gone : m_connections.reap()) {
        // Without the connection that lines went to the link is down at once: the next connection to
        // carry lines gets the heartbeat before any report.
        if (gone.wasTarget)
            m_shared.Output_Link_State.store(0);
        int code = gone.error;
        if (gone.side == AutomationConnections::Side::Client) {
            if (!isPeerClose(code))
                ClientSocket_OutError(code);
            clientLost();
            continue;
        }
        const QString peer = QString::fromStdString(gone.peer);
        if (!isPeerClose(code))
            ServerSocket_OutClientError(code);
        writeLog(QStringLiteral("Connection with automation software lost (") + peer + QStringLiteral(")."),
                 LogColour::Black);
    }
}

void OutputLink::stopServer()
{
    m_server->close();
    for (const std::string& peer : m_connections.removeAll(AutomationConnections::Side::Server))
        writeLog(QStringLiteral("Automation software connection from ") + QString::fromStdString(peer) +
                     QStringLiteral(" closed."),
                 LogColour::Black);
}

void OutputLink::requestConnection(const QString& address, quint16 port)
{
    QHostAddress host;
    if (host.setAddress(address)) {
        connectTo(host, port);
        return;
    }
    // A name: looked up in the background, like the connection itself.
    const quint64 attempt = ++m_connectAttempt;
    m_connectUnderWay = true;
    QHostInfo::lookupHost(address, this, [this, attempt, port](const QHostInfo& info) {
        if (attempt != m_connectAttempt)
            return; // given up, or a newer attempt under way
        const QList<QHostAddress> addresses = info.addresses();
        if (info.error() != QHostInfo::NoError || addresses.isEmpty()) {
            clientError(info.errorString());
            return;
        }
        const auto v4 = std::find_if(addresses.begin(), addresses.end(), [](const QHostAddress& a) {
            return a.protocol() == QAbstractSocket::IPv4Protocol;
        });
        connectTo(v4 != addresses.end() ? *v4 : addresses.front(), port);
    });
}

void OutputLink::connectTo(const QHostAddress& address, quint16 port)
{
    sockaddr_storage storage{};
    socklen_t length = 0;
    if (address.protocol() == QAbstractSocket::IPv4Protocol) {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        v4->sin_addr.s_addr = htonl(address.toIPv4Address());
        length = sizeof *v4;
    } else {
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        const Q_IPV6ADDR bytes = address.toIPv6Address();
        std::memcpy(&v6->sin6_addr, &bytes, sizeof v6->sin6_addr);
        v6->sin6_scope_id = address.scopeId().toUInt();
        length = sizeof *v6;
    }
    const int fd = ::socket(storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        clientError(systemText(errno));
        return;
    }
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&storage), length) == 0) {
        clientConnectedOn(fd);
        return;
    }
    if (errno != EINPROGRESS && errno != EINTR) {
        const int error = errno;
        ::close(fd);
        clientError(systemText(error));
        return;
    }
    // Completes in the background: the descriptor becomes writable once it has, or has failed.
    m_connectUnderWay = true;
    m_connectingFd = fd;
    m_connectNotifier = new QSocketNotifier(qintptr(fd), QSocketNotifier::Write, this);
    connect(m_connectNotifier, &QSocketNotifier::activated, this, &OutputLink::finishConnect);
}

void OutputLink::finishConnect()
{
    const int fd = m_connectingFd;
    if (fd < 0)
        return;
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        error = errno;
    if (error == EINPROGRESS || error == EALREADY)
        return; // not yet
    m_connectNotifier->setEnabled(false);
    m_connectNotifier->deleteLater();
    m_connectNotifier = nullptr;
    m_connectingFd = -1;
    if (error != 0) {
        ::close(fd);
        int code = error;
        ClientSocket_OutError(code);
        return;
    }
    clientConnectedOn(fd);
}

void OutputLink::clientConnectedOn(int fd)
{
    prepareConnection(fd);
    (void)m_connections.setClient(fd, peerText(fd).toStdString());
    m_connectUnderWay = false;
    // In use at once, not after the attempt's rest: the forwarding thread greets the server with a
    // heartbeat on its next pass, and the tick watches the connection from the next second on. (A
    // mode changed meanwhile closes it at the next tick instead.)
    if (m_mode.load() == 1 && m_monServer.load() == 0) {
        m_outRetryCountdown = 0;
        m_shared.Output_Link_State.store(0);
        takeClientIntoUse();
        setStatus(healthText(QStringLiteral("Automation software server"),
                             QStringLiteral("Automation software server: connected.")));
    }
    ClientSocket_OutConnect();
}

void OutputLink::abandonConnect()
{
    ++m_connectAttempt; // a look-up still under way is dropped when it comes back
    m_connectUnderWay = false;
    if (m_connectNotifier != nullptr) {
        m_connectNotifier->setEnabled(false);
        m_connectNotifier->deleteLater();
        m_connectNotifier = nullptr;
    }
    if (m_connectingFd >= 0)
        ::close(m_connectingFd);
    m_connectingFd = -1;
}

void OutputLink::clientLost()
{
    m_shared.Output_Link_State.store(0);
    writeLog(QStringLiteral("Connection with automation software server lost."), LogColour::Black);
}

void OutputLink::closeClient()
{
    // Our own close is no loss: nothing is said.
    abandonConnect();
    m_connections.removeAll(AutomationConnections::Side::Client);
}

void OutputLink::ServerSocket_OutClientError(int& errorCode)
{
    writeLog(QStringLiteral("Communication port error. ") + systemText(errorCode), LogColour::Red);
    errorCode = 0;
}

void OutputLink::ClientSocket_OutConnect()
{
    emit notifyRequested();
}

void OutputLink::ClientSocket_OutError(int& errorCode)
{
    clientError(systemText(errorCode));
    errorCode = 0;
}

void OutputLink::clientError(const QString& text)
{
    // The server's address and port follow the system's text, which names neither.
    writeLog(QStringLiteral("Communication port error. ") + text +
                 QStringLiteral(" (automation software server ") + fieldText(m_config.Out_IP) +
                 QLatin1Char(':') + QString::number(m_config.Mon_Port) + QStringLiteral(")"),
             LogColour::Red);
    // A failed attempt sounds like one that could not start.
    if (m_connectUnderWay || m_requestingConnection)
        emit beepRequested();
    m_connectUnderWay = false;
    m_outRetryCountdown = kClientErrorRetryTicks;
}

OutputTransport::Exchange OutputLink::exchangeLine(const std::string& line, Kind kind,
                                                   std::chrono::milliseconds answerWait)
{
    const output::AnswerSlot slot =
        kind == Kind::Heartbeat ? output::AnswerSlot::Heartbeat : output::AnswerSlot::Report;
    switch (m_mode.load()) {
    case 1:
        return exchangeTcp(line, kind, answerWait);
    case 2:
        return exchangeSerial(line, slot, answerWait);
    default:
        return Exchange{}; // closed, or switched off since the thread looked
    }
}

std::chrono::milliseconds OutputLink::serialWireTime(std::size_t lineBytes, std::int32_t baud)
{
    // Ten bits a character, 8N1 or 7E1 alike.
    const std::int64_t bitsPerSecond = baud > 0 ? baud : 9600;
    return std::chrono::milliseconds((std::int64_t(lineBytes) * 10 * 1000 + bitsPerSecond - 1) /
                                     bitsPerSecond);
}

std::chrono::milliseconds OutputLink::serialQuiet(std::size_t lineBytes, std::int32_t baud)
{
    return std::chrono::milliseconds(10) + 2 * serialWireTime(lineBytes, baud);
}

OutputLink::StrayCounts OutputLink::takeStrays()
{
    const StrayCounts now{m_shared.handoff.stray_acks.load(), m_shared.handoff.stray_naks.load()};
    const StrayCounts delta{now.acks - m_straysSeen.acks, now.naks - m_straysSeen.naks};
    m_straysSeen = now;
    return delta;
}

OutputTransport::Exchange OutputLink::exchangeSerial(const std::string& line, output::AnswerSlot slot,
                                                     std::chrono::milliseconds wait)
{
    SendResult sent = SendResult::NothingSent;
    bool drained = false;
    std::uint64_t opening = 0;
    runOnThreadOf(this, [&] {
        sent = sendSerial(line, slot, drained);
        opening = m_port.openCount();
    });
    // What came since the last line and was no line's answer: the last answer is in doubt.
    const StrayCounts before = takeStrays();
    Exchange result{sent, std::nullopt};
    result.strayBefore = drained || before.acks + before.naks > 0;
    if (opening != m_serialOpening) {
        m_serialOpening = opening; // a new opening of the port is on probation again
        m_serialAnswered = 0;
        m_serialDoubles = false;
        m_serialExtraQuiet = std::chrono::milliseconds{0};
    }
    if (result.strayBefore) {
        m_serialDoubles = true;
        m_serialExtraQuiet = std::min(std::chrono::milliseconds{320},
                                      std::max(m_serialExtraQuiet * 2, std::chrono::milliseconds{10}));
    }
    if (sent != SendResult::Sent)
        return result;
    m_serialLastLine = line.size();
    const auto armed = std::chrono::steady_clock::now();
    result.answer = Await_Answer(m_shared.handoff, slot, wait);
    // An answer sooner than the line can have crossed the wire may not be its own: a second ACK to the
    // line before that came a few milliseconds late looks just like it. The quiet time lets the line's
    // own answer show itself. (A pseudo-terminal passes a line at once: there every answer is early
    // and every line has its quiet time.)
    const bool early = result.answer && std::chrono::steady_clock::now() - armed <
                                            serialWireTime(line.size(), m_serialBaud.load());
    if (!result.answer || (!early && !m_serialDoubles && ++m_serialAnswered >= 8))
        return result;
    // On probation, early, or known to answer twice: a quiet time in which a second answer shows itself.
    std::this_thread::sleep_for(serialQuiet(line.size(), m_serialBaud.load()) + m_serialExtraQuiet);
    const StrayCounts after = takeStrays();
    const std::uint32_t same = *result.answer == output::kAck ? after.acks : after.naks;
    const std::uint32_t other = *result.answer == output::kAck ? after.naks : after.acks;
    m_serialDoubles = m_serialDoubles || same + other > 0;
    result.doubtful = other > 0;
    result.settled = same + other == 0;
    return result;
}

bool OutputLink::strayAnswerWithin(std::chrono::milliseconds quiet)
{
    switch (m_mode.load()) {
    case 1:
        return m_connections.strayAnswerWithin(m_monServer.load() == 1 ? AutomationConnections::Side::Server
                                                                       : AutomationConnections::Side::Client,
                                               quiet);
    case 2: {
        const std::chrono::milliseconds serial =
            serialQuiet(m_serialLastLine, m_serialBaud.load()) + m_serialExtraQuiet;
        std::this_thread::sleep_for(std::max(quiet, serial));
        const StrayCounts strays = takeStrays();
        if (strays.acks + strays.naks == 0)
            return false;
        m_serialDoubles = true;
        m_serialExtraQuiet = std::min(std::chrono::milliseconds{320},
                                      std::max(m_serialExtraQuiet * 2, std::chrono::milliseconds{10}));
        return true;
    }
    default:
        return false;
    }
}

OutputTransport::Exchange OutputLink::exchangeTcp(const std::string& line, Kind kind,
                                                  std::chrono::milliseconds wait)
{
    const bool server = m_monServer.load() == 1;
    const AutomationConnections::Exchange done = m_connections.exchange(
        server ? AutomationConnections::Side::Server : AutomationConnections::Side::Client, line, wait,
        socketSend);
    if (done.targetLost) {
        // The connection lines go to is gone (the peer closed it, it failed, or a part of a line cost
        // it): no line can go out until the next one is greeted with a heartbeat. The loss itself is
        // said by the tick that takes it off the list, so no "no ACK" line blames the automation
        // software for it.
        m_shared.Output_Link_State.store(0);
        return Exchange{SendResult::NoConnection, std::nullopt};
    }
    switch (done.sent) {
    case AutomationConnections::Exchange::Sent::Whole: {
        Exchange result{SendResult::Sent, done.answer};
        result.strayBefore = done.strayBefore;
        result.doubtful = done.doubtful;
        result.settled = done.settled;
        return result;
    }
    case AutomationConnections::Exchange::Sent::NoConnection:
        // A heartbeat on a client that is not connected simply goes nowhere and is not answered.
        return Exchange{!server && kind == Kind::Heartbeat ? SendResult::NothingSent
                                                           : SendResult::NoConnection,
                        std::nullopt};
    case AutomationConnections::Exchange::Sent::NotWhole:
        break;
    }
    return Exchange{};
}

OutputTransport::SendResult OutputLink::sendSerial(const std::string& line, output::AnswerSlot slot,
                                                   bool& strayDrained)
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
            strayDrained = Is_Answer_Byte(std::uint8_t(m_port.ReadByte())) || strayDrained;
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
        const std::string text =
            traceTimeText(now) + "  TX: " + readableBytes(std::string_view(line).substr(0, length));
        emit traceLine(QString::fromLatin1(text.data(), qsizetype(text.size())));
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
