// Receive path, connection supervision and the once-a-second receiver timer of the DC-09 port.
#include "dc09/Dc09Receiver.h"

#include "dc09/Dc09Codec.h"
#include "log/TraceText.h"
#include "metrics/MetricsRegistry.h"
#include "store/AccountTable.h"
#include "store/EventStore.h"
#include "store/Journal.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUdpSocket>
#include <algorithm>
#include <array>
#include <cstring>
#include <exception>
#include <functional>
#include <random>
#include <vector>

namespace {

constexpr int kFirstTickMs = 500;
constexpr int kTickMs = 1000;
constexpr int kListenBacklog = 1024; // bursts of panels reconnecting after a network outage
constexpr int kWsaConnectionAborted = 10053;

std::uint32_t paddingRandom()
{
    static std::mt19937 generator{std::random_device{}()};
    return generator();
}

QString latin1Text(const char* data, qsizetype size)
{
    return QString::fromLatin1(data, qsizetype(::strnlen(data, size_t(size))));
}

QString fromStd(const std::string& text)
{
    return QString::fromLatin1(text.data(), qsizetype(text.size()));
}

// Binds a socket to DC9_Bind_Address: an empty one is every address, IPv4 and IPv6, or IPv4 alone on
// a system without IPv6. False with the reason in `failure`.
bool bindToSetting(const Config_Record& config, const std::function<bool(const QHostAddress&)>& bind,
                   const std::function<QString()>& error, QString& failure)
{
    const QString text = latin1Text(config.DC9_Bind_Address, qsizetype(sizeof config.DC9_Bind_Address));
    if (text.isEmpty()) {
        if (bind(QHostAddress(QHostAddress::Any)) || bind(QHostAddress(QHostAddress::AnyIPv4)))
            return true;
        failure = error();
        return false;
    }
    const QHostAddress address(text);
    if (address.isNull()) {
        failure = QStringLiteral("DC9_Bind_Address \"") + text +
                  QStringLiteral("\" is not an IPv4 or IPv6 address.");
        return false;
    }
    if (bind(address))
        return true;
    failure = error();
    return false;
}

} // namespace

Dc09Receiver::Dc09Receiver(const Config_Record& config, AccountTable& accounts, Journal& journal,
                           EventStore& store, const Clock& clock, LogSink log, QObject* parent)
    : QObject(parent), m_config(config), m_accounts(accounts), m_store(store), m_clock(clock),
      m_log(std::move(log)), m_server(new QTcpServer(this)), m_timer(new QTimer(this)),
      m_readBuffer(std::size_t(kMaxBlockBytes)), m_intake(config, accounts, journal, store)
{
    m_server->setListenBacklogSize(kListenBacklog);
    // The server accepts no more than these before they are taken, and they are taken once a turn of
    // the event loop: a client that connects again as fast as it is closed would otherwise keep the
    // receiver accepting without end, and the frames of the panels among them unread.
    m_server->setMaxPendingConnections(kAcceptsPerTurn);
    connect(m_server, &QTcpServer::newConnection, this, &Dc09Receiver::scheduleAccept);
    connect(m_server, &QTcpServer::acceptError, this, [this](QAbstractSocket::SocketError error) {
        // The server stops accepting after such an error (out of descriptors, for instance);
        // the next tick resumes it. Reported once until a connection gets through again.
        if (!m_acceptErrorReported) {
            m_acceptErrorReported = true;
            writeLog(QStringLiteral("Receiver port error. ") + QString::number(winsockErrorCode(error)) +
                         m_server->errorString(),
                     LogColour::Red);
        }
    });
    m_timer->setInterval(kFirstTickMs);
    connect(m_timer, &QTimer::timeout, this, &Dc09Receiver::Timer_DC9Timer);
    // One hand-over at a time: it takes every result that is ready by then. The flag outlives this
    // object, and a hand-over queued to an object that has gone is dropped by Qt.
    const std::shared_ptr<std::atomic<bool>> posted = m_wakePosted;
    QPointer<Dc09Receiver> self(this);
    m_store.setWake([posted, self] {
        if (!posted->exchange(true))
            QMetaObject::invokeMethod(
                self.data(),
                [self] {
                    if (self)
                        self->deliverAnswers();
                },
                Qt::QueuedConnection);
    });
}

Dc09Receiver::~Dc09Receiver()
{
    m_timer->stop();
    m_store.setWake({});
    // Whatever was staged goes to the log; nobody is left to answer.
    m_intake.seal();
    // Sockets report their closing on the way out; nothing of this object may hear it.
    for (QTcpSocket* connection : std::as_const(m_connections)) {
        QObject::disconnect(connection, nullptr, this, nullptr);
    }
    m_connections.clear();
    if (m_udp != nullptr) {
        QObject::disconnect(m_udp, nullptr, this, nullptr);
    }
    QObject::disconnect(m_server, nullptr, this, nullptr);
    delete m_server; // owns the accepted sockets
    m_server = nullptr;
}

void Dc09Receiver::traceReceived(const QByteArray& bytes)
{
    if (!m_traceEnabled) {
        return;
    }
    emit traceLine(QString());
    emit traceLine(fromStd(traceTimeText(m_clock.wallNow()) + "  " +
                           readableBytes(std::string_view(bytes.constData(), size_t(bytes.size())))));
}

void Dc09Receiver::traceNoAnswer(const QString& why)
{
    if (m_traceEnabled) {
        emit traceLine(fromStd(traceTimeText(m_clock.wallNow())) + QStringLiteral("  no answer: ") + why);
    }
}

void Dc09Receiver::writeLog(const QString& text, LogColour colour)
{
    if (m_log) {
        const QByteArray bytes = text.toLocal8Bit();
        m_log(std::string_view(bytes.constData(), size_t(bytes.size())), colour);
    }
}

void Dc09Receiver::setStatus(const QString& text)
{
    emit statusText(text);
}

void Dc09Receiver::start()
{
    loadRepeatMemory();
    m_timer->setInterval(kFirstTickMs);
    m_timer->start();
}

void Dc09Receiver::loadRepeatMemory()
{
    m_intake.loadRepeats(std::int64_t(m_clock.wallNow().seconds));
}

void Dc09Receiver::stopTimer()
{
    m_timer->stop();
}

void Dc09Receiver::deactivate()
{
    m_server->close();
    closeDatagramPort();
    const QList<QTcpSocket*> open = m_connections; // abort() reports the loss and edits the list
    for (QTcpSocket* connection : open) {
        connection->abort();
    }
    for (QTcpSocket* connection : open) {
        m_connections.removeAll(connection);
        forgetStream(connection);
        connection->deleteLater();
    }
    // Nothing may still be on its way to the log when the program ends; a disk that hangs is not
    // waited for without a bound.
    sealGroup();
    if (!m_store.waitForPendingAtMost(0, kCloseCommitWait)) {
        writeLog(
            QStringLiteral("The event log did not finish its last commit within %1 seconds: the events it "
                           "holds were not acknowledged.")
                .arg(kCloseCommitWait.count() / 1000),
            LogColour::Red);
    }
    deliverAnswers();
    m_waitingReads.clear();
}

void Dc09Receiver::retrySoon()
{
    m_openRetryWait = 0;
    m_timer->setInterval(kTickMs); // restarts a running timer with the new interval
}

bool Dc09Receiver::isActive() const
{
    return m_server->isListening();
}

int Dc09Receiver::activeConnections() const
{
    return int(m_connections.size());
}

bool Dc09Receiver::isDatagramBound() const
{
    return m_udp != nullptr && m_udp->state() == QAbstractSocket::BoundState;
}

void Dc09Receiver::closeDatagramPort()
{
    if (m_udp != nullptr) {
        QObject::disconnect(m_udp, nullptr, this, nullptr);
        m_udp->close();
        m_udp->deleteLater();
        m_udp = nullptr;
    }
    m_udpRetryWait = 0;
}

void Dc09Receiver::updateDatagramPort()
{
    if (m_config.DC9_UDP_Enable == 0 || !m_server->isListening()) {
        closeDatagramPort();
        return;
    }
    if (m_udp != nullptr) {
        return;
    }
    if (m_udpRetryWait > 0) {
        --m_udpRetryWait;
        return;
    }
    auto* udp = new QUdpSocket(this);
    QString failure;
    const quint16 port = m_server->serverPort();
    if (!bindToSetting(
            m_config, [udp, port](const QHostAddress& address) { return udp->bind(address, port); },
            [udp] { return udp->errorString(); }, failure)) {
        // TCP panels go on; the UDP side is tried again like a port that failed to open.
        writeLog(QStringLiteral("UDP port ") + QString::number(port) + QStringLiteral(": ") + failure,
                 LogColour::Red);
        emit beepRequested();
        delete udp;
        m_udpRetryWait = kOpenRetryTicks - 1;
        return;
    }
    m_udp = udp;
    // A burst of datagrams (panels calling again after an outage, or junk) waits in the kernel's queue
    // until it is read; a larger queue drops fewer of them.
    m_udp->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, kDatagramQueueBytes);
    connect(m_udp, &QUdpSocket::readyRead, this, &Dc09Receiver::ServerSocket_DC9DatagramRead);
    writeLog(QStringLiteral("UDP port ") + QString::number(m_server->serverPort()) +
                 QStringLiteral(" is open."),
             LogColour::Black);
}

void Dc09Receiver::ServerSocket_DC9DatagramRead()
{
    // At most so many datagrams in one turn; the socket reports the rest again on the next turn,
    // since every read here re-arms its report. It is read at least once, even when it turns out to
    // hold nothing: a report left unanswered by a read would silence the socket for good.
    try {
        if (m_readsPaused) {
            m_datagramsWaiting = true; // the socket's queue holds them; the sender repeats what it loses
            return;
        }
        for (int n = 0; m_udp != nullptr && n < kMaxDatagramsPerRead; ++n) {
            // Read into the one buffer: a junk datagram costs one system call and no allocation.
            QHostAddress sender;
            quint16 senderPort = 0;
            const qint64 size = m_udp->readDatagram(m_readBuffer.data(), kMaxBlockBytes, &sender, &senderPort);
            if (size < 0) {
                break; // nothing more waits (or an error report from a sender that has gone)
            }
            const QByteArray data(m_readBuffer.data(), qsizetype(size));
            Peer peer;
            peer.datagramAddress = sender;
            peer.datagramPort = senderPort;
            peer.address = addressText(sender);
            peer.port = senderPort;
            traceReceived(data);
            (void)handleFrame(peer, data);
        }
    } catch (const std::exception& e) {
        reportException("Receiver read error: ", e.what());
    } catch (...) {
        reportException("Receiver read error: ", "unknown exception");
    }
}

void Dc09Receiver::logUnrecognisedDatagram(const QString& address, int port, const QString& detail)
{
    // A datagram's sender costs nothing to forge: nothing is kept per sender, and the line is
    // limited for all senders together.
    warn(Warning::UnrecognisedDatagram, address, port, detail);
}

QString Dc09Receiver::warningText(Warning kind) const
{
    switch (kind) {
    case Warning::Unrecognised:
    case Warning::UnrecognisedDatagram:
        return QStringLiteral("Unrecognised data received from IP: ");
    case Warning::TableFull:
        return QStringLiteral("Connection table full, connection closed. IP: ");
    case Warning::SlotTaken:
        return QStringLiteral("Connection table full, connection without a frame closed for a new one. IP: ");
    case Warning::AddressLimit:
        return QStringLiteral("Connections from one address over DC9_Max_Per_Address, connection closed. IP: ");
    case Warning::FrameTooLong:
        return QStringLiteral("Frame longer than ") + QString::number(m_longestDropped) +
               QStringLiteral(" bytes dropped. IP: ");
    case Warning::PartialBudget:
        return QStringLiteral("Frames still arriving over ") + QString::number(m_partialBudget / (1024 * 1024)) +
               QStringLiteral(" MiB, the largest dropped. IP: ");
    case Warning::Refused:
        return QStringLiteral("Message refused from IP: ");
    case Warning::Count:
        break;
    }
    return {};
}

void Dc09Receiver::warn(Warning kind, const QString& address, int port, const QString& detail,
                        const QString& lead)
{
    const auto index = std::size_t(kind);
    m_latestWarning[index] = WarningSource{address, port, lead, detail};
    std::uint64_t leftOut = 0;
    if (m_warnings.offer(index, m_clock.steadyMillis(), leftOut)) {
        writeWarning(kind, m_latestWarning[index], leftOut);
    }
}

void Dc09Receiver::writeWarning(Warning kind, const WarningSource& source, std::uint64_t leftOut)
{
    writeLog((source.lead.isEmpty() ? warningText(kind) : source.lead) + source.address +
                 QStringLiteral(", port: ") + QString::number(source.port) + source.detail +
                 QString::fromStdString(WarningLimiter::leftOutText(leftOut)),
             LogColour::Black);
}

QString Dc09Receiver::refusalDetail(const DC9_Refusal& refusal)
{
    if (refusal.kind == DC9_Refusal_Kind::None) {
        return {};
    }
    const QString account = latin1Text(refusal.account, sizeof refusal.account);
    return (account.isEmpty() ? QString() : QStringLiteral(", account ") + account) + QStringLiteral(": ") +
           fromStd(refusalText(refusal));
}

void Dc09Receiver::writeDueWarnings()
{
    // A count still waiting is written as the last warning of its kind, with the others it stood for.
    for (const WarningLimiter::Due& due : m_warnings.due(m_clock.steadyMillis())) {
        writeWarning(Warning(due.kind), m_latestWarning[due.kind], due.leftOut - 1);
    }
}

quint16 Dc09Receiver::listeningPort() const
{
    return m_server->isListening() ? m_server->serverPort() : 0;
}

QString Dc09Receiver::addressText(const QHostAddress& address)
{
    bool isIpv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIpv4); // also unwraps ::ffff:a.b.c.d
    if (isIpv4) {
        return QHostAddress(ipv4).toString();
    }
    return address.toString();
}

QString Dc09Receiver::remoteAddressText(const QTcpSocket* connection)
{
    return addressText(connection->peerAddress());
}

int Dc09Receiver::winsockErrorCode(QAbstractSocket::SocketError error)
{
    struct Mapping {
        QAbstractSocket::SocketError error;
        int code;
    };
    static constexpr std::array kTable{
        Mapping{QAbstractSocket::RemoteHostClosedError, 0}, // an orderly close, not an error
        Mapping{QAbstractSocket::ConnectionRefusedError, 10061},
        Mapping{QAbstractSocket::HostNotFoundError, 11001},
        Mapping{QAbstractSocket::SocketAccessError, 10013},
        Mapping{QAbstractSocket::SocketResourceError, 10055},
        Mapping{QAbstractSocket::SocketTimeoutError, 10060},
        Mapping{QAbstractSocket::DatagramTooLargeError, 10040},
        Mapping{QAbstractSocket::NetworkError, 10054},
        Mapping{QAbstractSocket::AddressInUseError, 10048},
        Mapping{QAbstractSocket::SocketAddressNotAvailableError, 10049},
        Mapping{QAbstractSocket::UnsupportedSocketOperationError, 10045},
        Mapping{QAbstractSocket::UnfinishedSocketOperationError, 10036},
        Mapping{QAbstractSocket::OperationError, 10022},
        Mapping{QAbstractSocket::TemporaryError, 10035},
    };
    for (const Mapping& m : kTable) {
        if (m.error == error) {
            return m.code;
        }
    }
    return 10022; // invalid argument: the nearest general failure
}

QString Dc09Receiver::hostLine(const QString& hostName, const QHostAddress& address)
{
    const quint32 ip = address.toIPv4Address();
    return QStringLiteral("Program started. Hostname of this computer: \"") + hostName +
           QStringLiteral("\"  IP:") +
           QStringLiteral("%1.%2.%3.%4")
               .arg((ip >> 24) & 0xFF)
               .arg((ip >> 16) & 0xFF)
               .arg((ip >> 8) & 0xFF)
               .arg(ip & 0xFF);
}

void Dc09Receiver::scheduleAccept()
{
    if (m_acceptPosted) {
        return;
    }
    m_acceptPosted = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_acceptPosted = false;
            acceptPending();
        },
        Qt::QueuedConnection);
}

void Dc09Receiver::acceptPending()
{
    for (int n = 0; n < kAcceptsPerTurn && m_server->hasPendingConnections(); ++n) {
        QTcpSocket* connection = m_server->nextPendingConnection();
        if (connection == nullptr) {
            break;
        }
        m_acceptErrorReported = false;
        connection->setReadBufferSize(kFirstFrameBlockBytes);
        // Answers are single small frames; a panel that sends its next message before the last
        // answer was acknowledged must not wait for the delayed acknowledgement.
        connection->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        m_connections.append(connection);
        // The peer's address is gone once the socket has closed, so it is kept with the stream.
        Stream& stream = m_streams[connection];
        stream.address = remoteAddressText(connection);
        stream.addressBytes = stream.address.toLatin1();
        stream.port = connection->peerPort();
        m_partialBytes += stream.frames.footprint();
        m_byPort.emplace(stream.port, connection);
        const QByteArray address = stream.addressBytes;
        const int port = stream.port;
        connect(connection, &QTcpSocket::readyRead, this,
                [this, connection] { ServerSocket_DC9ClientRead(connection); });
        connect(connection, &QAbstractSocket::errorOccurred, this,
                [this, connection](QAbstractSocket::SocketError error) {
                    int code = winsockErrorCode(error);
                    if (code != 0) {
                        ServerSocket_DC9ClientError(connection, code);
                    }
                });
        connect(connection, &QAbstractSocket::disconnected, this, [this, connection, address, port] {
            m_connections.removeAll(connection);
            forgetStream(connection);
            m_slots.release(std::string_view(address.constData(), size_t(address.size())), port);
            connection->deleteLater();
        });
        ServerSocket_DC9ClientConnect(connection);
    }
    if (m_server->hasPendingConnections()) {
        scheduleAccept(); // the rest in the next turn, after the connections already open had theirs
    }
}

void Dc09Receiver::forgetStream(const QTcpSocket* connection)
{
    if (const auto it = m_streams.find(connection); it != m_streams.end()) {
        m_partialBytes -= std::min(m_partialBytes, it->second.frames.footprint());
        for (auto [at, end] = m_byPort.equal_range(it->second.port); at != end; ++at) {
            if (at->second == connection) {
                m_byPort.erase(at);
                break;
            }
        }
        m_streams.erase(it);
    }
}

QTcpSocket* Dc09Receiver::connectionAt(std::string_view address, int port) const
{
    for (auto [at, end] = m_byPort.equal_range(port); at != end; ++at) {
        const auto it = m_streams.find(at->second);
        if (it != m_streams.end() &&
            ConnectionTable::recordedAddress(
                std::string_view(it->second.addressBytes.constData(), size_t(it->second.addressBytes.size()))) ==
                address) {
            return at->second;
        }
    }
    return nullptr;
}

void Dc09Receiver::ServerSocket_DC9ClientConnect(QTcpSocket* connection)
{
    const auto it = m_streams.find(connection);
    const QString address = it != m_streams.end() ? it->second.address : remoteAddressText(connection);
    const int port = it != m_streams.end() ? it->second.port : int(connection->peerPort());
    const QByteArray bytes = address.toLatin1();
    const ConnectionTable::Admission admission =
        m_slots.admit(std::string_view(bytes.constData(), size_t(bytes.size())), port,
                      ConnectionTable::kShortSeconds, m_config.DC9_Max_Per_Address);
    const Warning why =
        admission.reason == ConnectionTable::Reason::AddressLimit ? Warning::AddressLimit : Warning::TableFull;
    if (admission.displaced) {
        // A connection that never sent a frame gives way, so a panel always gets through.
        const Connection_Slot& gone = *admission.displaced;
        const std::string_view goneAddress(gone.remote_address, ::strnlen(gone.remote_address, sizeof gone.remote_address));
        warn(why == Warning::TableFull ? Warning::SlotTaken : why,
             QString::fromLatin1(goneAddress.data(), qsizetype(goneAddress.size())), gone.remote_port);
        if (QTcpSocket* displaced = connectionAt(goneAddress, gone.remote_port); displaced != nullptr) {
            displaced->abort(); // reports the loss at once; the socket is deleted later
        }
    }
    if (admission.slot) {
        return;
    }
    // Every slot holds a connection that sent a whole frame: a connection nobody supervises would
    // stay open for ever, so it is refused now and the panel tries again later.
    warn(why, address, port);
    connection->abort(); // reports the loss at once; the socket is deleted later
}

void Dc09Receiver::reportException(const char* where, const char* what)
{
    writeLog(QString::fromLatin1(where) + QString::fromLocal8Bit(what), LogColour::Red);
    emit beepRequested();
}

void Dc09Receiver::ServerSocket_DC9ClientRead(QTcpSocket* connection)
{
    // A handler that throws must not take the event loop (and every other panel) with it.
    try {
        readBlock(connection);
    } catch (const std::exception& e) {
        reportException("Receiver read error: ", e.what());
    } catch (...) {
        reportException("Receiver read error: ", "unknown exception");
    }
}

void Dc09Receiver::readBlock(QTcpSocket* connection)
{
    if (connection->bytesAvailable() <= 0) {
        return;
    }
    if (m_readsPaused) {
        // The bytes stay in the socket (whose buffer is bounded, so TCP holds the panel back) until
        // the disk has caught up.
        if (!m_waitingReads.contains(connection)) {
            m_waitingReads.append(connection);
        }
        return;
    }
    if (connection->bytesToWrite() > kMaxUnsentBytes) {
        // Nothing is answered or stored: a panel that reads again resends what went unanswered.
        writeLog(QStringLiteral("Answers not read, connection closed. IP: ") + remoteAddressText(connection) +
                     QStringLiteral(", port: ") + QString::number(connection->peerPort()),
                 LogColour::Black);
        connection->abort(); // reports the loss at once; the socket is deleted later
        return;
    }
    // Bytes that come after the connection was given up belong to no stream.
    const auto found = m_streams.find(connection);
    if (found == m_streams.end()) {
        return;
    }
    Peer peer;
    peer.connection = connection;
    peer.address = found->second.address;
    peer.port = found->second.port;
    bool framed = false;
    int seconds = ConnectionTable::kShortSeconds;
    // The socket holds at most a block; whatever it has is taken, since frames may follow in it.
    while (connection->bytesAvailable() > 0) {
        // Looked up afresh: answering may have dropped the connection, and its stream with it.
        const auto it = m_streams.find(connection);
        if (it == m_streams.end()) {
            break;
        }
        FrameAssembler& stream = it->second.frames;
        const qint64 size = connection->read(m_readBuffer.data(), kMaxBlockBytes);
        if (size <= 0) {
            break;
        }
        if (m_traceEnabled) {
            traceReceived(QByteArray::fromRawData(m_readBuffer.data(), qsizetype(size)));
        }
        const std::size_t before = stream.footprint();
        const FrameAssembler::Output out = stream.feed(m_readBuffer.data(), size_t(size), m_config);
        m_partialBytes = m_partialBytes - std::min(m_partialBytes, before) + stream.footprint();
        if (out.tooLong) {
            m_longestDropped = FrameAssembler::longestFrame(m_config);
            warn(Warning::FrameTooLong, peer.address, peer.port);
        }
        if (out.garbageBegan) {
            logUnrecognised(peer.address, peer.port);
        }
        for (const DC9_Refusal& dropped : out.dropped) {
            const QString detail = refusalDetail(dropped);
            logUnrecognised(peer.address, peer.port, detail);
            traceNoAnswer(detail.mid(2));
        }
        for (const std::string& frame : out.frames) {
            seconds = handleFrame(peer, QByteArray(frame.data(), qsizetype(frame.size())));
            framed = true;
        }
    }
    if (m_partialBytes > m_partialBudget) {
        dropLargestPartialFrames();
    }
    // Only a whole frame, accepted or refused, renews the slot: bytes that make no frame keep a
    // connection no longer than it had.
    if (framed) {
        Touch_Connection_Slot(connection, seconds);
        if (const auto it = m_streams.find(connection); it != m_streams.end() && !it->second.framed) {
            it->second.framed = true;
            connection->setReadBufferSize(kMaxBlockBytes); // a panel: its reads may be as large as they come
        }
    }
}

void Dc09Receiver::dropLargestPartialFrames()
{
    while (m_partialBytes > m_partialBudget) {
        Stream* largest = nullptr;
        for (auto& [connection, stream] : m_streams) {
            if (stream.frames.heldBytes() != 0 &&
                (largest == nullptr || stream.frames.footprint() > largest->frames.footprint())) {
                largest = &stream;
            }
        }
        if (largest == nullptr) {
            return;
        }
        m_partialBytes -= std::min(m_partialBytes, largest->frames.footprint());
        largest->frames.dropHeld();
        m_partialBytes += largest->frames.footprint();
        warn(Warning::PartialBudget, largest->address, largest->port);
    }
}

void Dc09Receiver::logUnrecognised(const QString& address, int port, const QString& detail)
{
    warn(Warning::Unrecognised, address, port, detail);
}

void Dc09Receiver::noteFiledAccount(const Peer& peer, const DC9_Message& message)
{
    // Enough for every panel of a large centre; a flood of forged headers must not grow memory.
    constexpr std::size_t kMaxRemembered = 4096;
    if (!message.account_from_data) {
        return;
    }
    const QString account = latin1Text(message.account, sizeof message.account);
    if (message.header_account[0] == '\0') {
        if (m_headerlessAddressesLogged.size() >= kMaxRemembered ||
            !m_headerlessAddressesLogged.insert(peer.address.toStdString()).second) {
            return;
        }
        writeLog(QStringLiteral("Message without an account in its header from IP: ") + peer.address +
                     (account.isEmpty() ? QStringLiteral("; it names no account and is filed under none.")
                                        : QStringLiteral("; filed under account ") + account +
                                              QStringLiteral(", the account inside its data.")),
                 LogColour::Black);
        return;
    }
    if (m_prefixAccountsLogged.size() >= kMaxRemembered ||
        !m_prefixAccountsLogged.insert(account.toStdString()).second) {
        return;
    }
    writeLog(QStringLiteral("Header account ") +
                 latin1Text(message.header_account, sizeof message.header_account) +
                 QStringLiteral(" is only the beginning of account ") + account +
                 QStringLiteral(" inside the data (IP: ") + peer.address +
                 QStringLiteral("); the events are filed under ") + account + QStringLiteral("."),
             LogColour::Black);
}

int Dc09Receiver::handleFrame(const Peer& peer, const QByteArray& frame)
{
    const auto arrived = std::chrono::steady_clock::now(); // metrics only: no decision depends on it
    const std::time_t received = m_clock.wallNow().seconds;
    const DC9_Judgement judged = Judge_DC9_Frame(frame.constData(), size_t(frame.size()), received, m_config,
                                                 paddingRandom, m_keys, admitAccount);
    if (m_metrics) {
        using A = MetricsRegistry::Answer;
        m_metrics->answered(!judged.kind                         ? A::None
                            : judged.accepted()                  ? A::Ack
                            : *judged.kind == Response_Kind::NAK ? A::Nak
                                                                 : A::Duh);
        if (judged.accepted()) {
            m_metrics->eventReceived(peer.connection ? MetricsRegistry::Transport::Tcp
                                                     : MetricsRegistry::Transport::Udp,
                                     judged.message.token);
        }
    }
    int seconds = ConnectionTable::kShortSeconds;
    const QString refusal = refusalDetail(judged.refusal);
    if (!judged.kind) {
        if (peer.connection) {
            logUnrecognised(peer.address, peer.port, refusal);
        } else {
            logUnrecognisedDatagram(peer.address, peer.port, refusal);
        }
        traceNoAnswer(refusal.mid(2));
        return seconds;
    }
    Answer answer{0,
                  peer.connection,
                  QByteArray(judged.response.data(), qsizetype(judged.response.size())),
                  peer.datagramAddress,
                  peer.datagramPort,
                  judged.accepted(),
                  arrived,
                  {}};
    if (!judged.accepted()) {
        // One line a second for every refusal together: a panel set up wrongly refuses every message.
        const QString lead = QStringLiteral("Message answered ") +
                             QLatin1String(responseToken(*judged.kind)) + QStringLiteral(" from IP: ");
        warn(Warning::Refused, peer.address, peer.port, refusal, lead);
        answer.refusal = refusal.mid(2);
    }
    if (judged.accepted()) {
        noteFiledAccount(peer, judged.message);
        seconds = m_config.DC9_Conn_Timeout;
        // The acknowledgement leaves only once the event is in the log: the panel that sees it
        // forgets the alarm, so the receiver must not be able to lose it any more.
        const QByteArray addressBytes = peer.address.toLatin1();
        const EventSource source{peer.connection ? std::string_view("tcp") : std::string_view("udp"),
                                 std::string_view(addressBytes.constData(), size_t(addressBytes.size())),
                                 peer.port};
        const EventIntake::Taken taken = m_intake.accepted(judged.message, received, source);
        if (taken.repeat) {
            reportRepeat(peer, judged.message);
        }
        answer.number = taken.answer;
    } else {
        answer.number = m_intake.unstored();
    }
    queueAnswer(std::move(answer));
    return seconds;
}

void Dc09Receiver::reportRepeat(const Peer& peer, const DC9_Message& message)
{
    const QString account = latin1Text(message.account, sizeof message.account);
    if (m_traceEnabled) {
        emit traceLine(fromStd(traceTimeText(m_clock.wallNow())) + QStringLiteral("  repeat of #") + account +
                       QString::asprintf(" sequence %04d, answered, not stored again", message.sequence));
    }
    emit repeatReceived(account, message.sequence, peer.address, peer.port);
}

void Dc09Receiver::queueAnswer(Answer answer)
{
    m_answers.push_back(std::move(answer));
    if (m_intake.groupFull()) {
        sealGroup();
        return;
    }
    // Everything read in this turn of the event loop shares one commit: the call below runs once
    // the loop has served every socket that was ready, before it reads anything new.
    if (!m_sealPosted) {
        m_sealPosted = true;
        QMetaObject::invokeMethod(
            this,
            [this] {
                m_sealPosted = false;
                sealGroup();
            },
            Qt::QueuedConnection);
    }
}

void Dc09Receiver::sealGroup()
{
    m_intake.seal();
    // The disk is slower than the panels: reading waits, and TCP holds the panels back.
    if (!m_readsPaused && m_intake.overloaded()) {
        m_readsPaused = true;
    }
    deliverAnswers();
}

void Dc09Receiver::deliverAnswers()
{
    m_wakePosted->store(false); // before taking: a result that comes after this posts a new hand-over
    const EventIntake::Decided decided = m_intake.decide();
    for (const FileFailure& failure : decided.failed) {
        // The events stay in memory and are committed once the disk works again; the panels get no
        // answer and send them again.
        writeLog(QString::fromLocal8Bit(failure.text()), LogColour::Red);
        emit beepRequested();
    }
    for (const EventIntake::Decision& decision : decided.answers) {
        while (!m_answers.empty() && m_answers.front().number < decision.answer) {
            m_answers.pop_front(); // never the case; an answer is never sent out of its turn
        }
        if (m_answers.empty() || m_answers.front().number != decision.answer) {
            continue;
        }
        const Answer answer = std::move(m_answers.front());
        m_answers.pop_front();
        if (!decision.send) {
            traceNoAnswer(QStringLiteral("the event could not be stored"));
            continue;
        }
        if (answer.datagramPort != 0) {
            if (m_udp == nullptr) {
                continue;
            }
            (void)m_udp->writeDatagram(answer.bytes, answer.datagramAddress, answer.datagramPort);
        } else {
            QTcpSocket* connection = answer.connection.data();
            if (connection == nullptr || connection->state() != QAbstractSocket::ConnectedState) {
                continue;
            }
            // A failed write means the panel has gone and will send again.
            (void)connection->write(answer.bytes);
            // The answer leaves now, not after every other ready connection has been served.
            (void)connection->flush();
        }
        if (answer.bytes.isEmpty()) {
            traceNoAnswer(QStringLiteral("the acknowledgement could not be encrypted"));
        } else if (m_traceEnabled) {
            emit traceLine(fromStd(traceTimeText(m_clock.wallNow()) + "  TX: " +
                                   readableBytes(std::string_view(answer.bytes.constData(),
                                                                  size_t(answer.bytes.size())))) +
                           (answer.refusal.isEmpty() ? QString() : QStringLiteral("  ") + answer.refusal));
        }
        if (m_metrics && answer.acknowledges) {
            m_metrics->acknowledged(
                std::chrono::duration<double>(std::chrono::steady_clock::now() - answer.arrived).count());
        }
    }
    if (m_readsPaused && !m_intake.overloaded()) {
        resumeReads();
    }
}

void Dc09Receiver::resumeReads()
{
    m_readsPaused = false;
    const QList<QPointer<QTcpSocket>> waiting = std::exchange(m_waitingReads, {});
    for (const QPointer<QTcpSocket>& connection : waiting) {
        if (connection && !m_readsPaused) {
            ServerSocket_DC9ClientRead(connection.data());
        } else if (connection) {
            m_waitingReads.append(connection);
        }
    }
    if (m_datagramsWaiting && !m_readsPaused) {
        m_datagramsWaiting = false;
        QMetaObject::invokeMethod(this, &Dc09Receiver::ServerSocket_DC9DatagramRead, Qt::QueuedConnection);
    }
}

void Dc09Receiver::ServerSocket_DC9ClientError(QTcpSocket* connection, int& errorCode)
{
    if (errorCode != kWsaConnectionAborted) {
        const QString systemText = connection != nullptr ? connection->errorString() : QString();
        writeLog(QStringLiteral("Receiver port error. ") + QString::number(errorCode) + systemText.left(255),
                 LogColour::Red);
    }
    errorCode = 0;
}

void Dc09Receiver::Touch_Connection_Slot(QTcpSocket* connection, int seconds)
{
    // The address kept with the stream: a connection that closed meanwhile has none, and must not
    // take a slot in the name of an empty address.
    const auto it = m_streams.find(connection);
    if (it == m_streams.end()) {
        return;
    }
    const QByteArray& address = it->second.addressBytes;
    (void)m_slots.touch(std::string_view(address.constData(), size_t(address.size())), it->second.port, seconds);
}

void Dc09Receiver::closeExpired(std::string_view address, int port)
{
    QTcpSocket* connection = connectionAt(address, port);
    if (connection == nullptr || connection->state() != QAbstractSocket::ConnectedState) {
        return;
    }
    // Bytes that were waiting for the rest of a frame never became one.
    DC9_Refusal why;
    if (const auto it = m_streams.find(connection);
        it != m_streams.end() && it->second.frames.takeUnreported(&why)) {
        logUnrecognised(it->second.address, port, refusalDetail(why));
    }
    connection->close();
}

void Dc09Receiver::openPort()
{
    const int port = m_config.DC9_Port;
    writeLog(QStringLiteral("Opening receiver port ") + QString::number(port), LogColour::Black);
    QString failure;
    if (port < 1 || port > 65535) {
        // Port 0 would make the system pick any free port, which no panel would ever find.
        failure = QStringLiteral("Receiver port ") + QString::number(port) +
                  QStringLiteral(" is not a valid port number.");
    } else {
        // The socket layer's text ("The bound address is already in use") does not name the port.
        (void)bindToSetting(
            m_config,
            [this, port](const QHostAddress& address) { return m_server->listen(address, quint16(port)); },
            [this, port] {
                return QStringLiteral("Receiver port %1 could not be opened: %2")
                    .arg(port)
                    .arg(m_server->errorString());
            },
            failure);
    }
    if (failure.isEmpty()) {
        writeLog(QStringLiteral("Port ") + QString::number(port) + QStringLiteral(" is open."),
                 LogColour::Black);
        // Shown at once, not a second later: the log already says it is open.
        setStatus(QStringLiteral("Receiver port is open.  Connections: ") +
                  QString::number(activeConnections()));
        return;
    }
    const std::tm tm = localTimeOf(m_clock.wallNow().seconds);
    setStatus(QStringLiteral("Receiver port ") + QString::number(port) +
              QStringLiteral(": failing, last error at ") +
              QString::asprintf("%02d:%02d:%02d.", tm.tm_hour, tm.tm_min, tm.tm_sec));
    // The next attempt waits ten ticks; the tick itself stays at one second, since it also counts
    // down the connection slots and the accounts' supervision.
    m_openRetryWait = kOpenRetryTicks - 1;
    writeLog(failure, LogColour::Red);
    emit beepRequested();
}

void Dc09Receiver::Timer_DC9Timer()
{
    m_timer->stop();
    m_timer->setInterval(kTickMs);
    // Whatever goes wrong in one part of a tick, the rest of it and the next tick still run: the
    // connection slots and the accounts' supervision must not stop for the rest of the run.
    const auto guarded = [this](const std::function<void()>& part) {
        try {
            part();
        } catch (const std::exception& e) {
            reportException("Receiver timer error: ", e.what());
        } catch (...) {
            reportException("Receiver timer error: ", "unknown exception");
        }
    };
    guarded([this] { tick(); });
    guarded([this] {
        m_slots.tick([this](std::string_view address, int port) { closeExpired(address, port); });
        writeDueWarnings();
        m_accounts.supervisionTick();
    });
    m_timer->start();
}

void Dc09Receiver::tick()
{
    if (!m_hostLineWritten && m_logViewVisible) {
        m_hostLineWritten = true;
        QString host = QHostInfo::localHostName();
        if (host.isEmpty()) {
            host = QStringLiteral("unknown");
        }
        QHostAddress first(QHostAddress::LocalHost);
        const QList<QHostAddress> all = QNetworkInterface::allAddresses();
        for (const QHostAddress& a : all) {
            if (a.protocol() == QAbstractSocket::IPv4Protocol && !a.isLoopback()) {
                first = a;
                break;
            }
        }
        writeLog(hostLine(host, first), LogColour::Black);
    }

    if (m_config.DC9_Port_Enable != 0) {
        if (!m_server->isListening()) {
            if (m_openRetryWait > 0) {
                --m_openRetryWait;
            } else {
                openPort();
            }
            updateDatagramPort();
        } else {
            updateDatagramPort();
            if (m_acceptErrorReported) {
                m_server->resumeAccepting();
            }
            setStatus(QStringLiteral("Receiver port is open.  Connections: ") +
                      QString::number(activeConnections()));
        }
    } else {
        m_openRetryWait = 0;
        if (m_server->isListening()) {
            deactivate();
            const QString text = m_portText.isEmpty() ? QString::number(m_config.DC9_Port) : m_portText;
            writeLog(QStringLiteral("Port ") + text + QStringLiteral(" closed."), LogColour::Black);
        }
        setStatus(QStringLiteral("Receiver port closed."));
    }
}
