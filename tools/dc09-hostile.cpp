// dc09-hostile: the clients a receiver on the internet meets besides its panels, for checking that it
// keeps serving them: connections that send nothing, connections that trickle garbage or a frame that
// never ends, connections that flood garbage, and garbage datagrams from many forged senders. Every
// connection the receiver closes is opened again at once. Runs for the given time, then prints what
// it did.
#include "ToolCommandLine.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QHostAddress>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <QTimer>
#include <QUdpSocket>
#include <cstdio>
#include <memory>
#include <optional>
#include <sys/resource.h>
#include <vector>

namespace {

enum class Kind { Idle, Trickle, Flood, Udp };

struct Totals {
    qint64 connects = 0; // connections made, the first ones included
    qint64 closed = 0;   // connections the receiver ended
    qint64 bytes = 0;
    qint64 datagrams = 0;
};

void raiseOpenFileLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        (void)setrlimit(RLIMIT_NOFILE, &limit);
    }
}

QByteArray randomBytes(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (char& c : bytes) {
        c = char(QRandomGenerator::global()->bounded(256));
    }
    return bytes;
}

// One hostile connection. Half of the trickling ones send a byte of garbage a second, the other half
// a header that promises a 65,535-byte frame and then 512 bytes of it a second.
class Client : public QObject {
public:
    Client(Kind kind, int index, const QHostAddress& host, quint16 port, Totals& totals)
        : m_kind(kind), m_header(kind == Kind::Trickle && index % 2 == 1), m_host(host), m_port(port),
          m_totals(totals)
    {
        connect(&m_socket, &QTcpSocket::connected, this, [this] {
            ++m_totals.connects;
            if (m_header) {
                send("\n0000FFFF\"");
            }
            if (m_kind == Kind::Flood) {
                flood();
            }
        });
        connect(&m_socket, &QTcpSocket::readyRead, this, [this] { (void)m_socket.readAll(); });
        connect(&m_socket, &QTcpSocket::bytesWritten, this, [this] {
            if (m_kind == Kind::Flood) {
                flood();
            }
        });
        // As fast as the receiver closes it, it is back.
        connect(&m_socket, &QAbstractSocket::stateChanged, this, [this](QAbstractSocket::SocketState state) {
            if (state != QAbstractSocket::UnconnectedState) {
                return;
            }
            // A receiver that refuses is tried again a little later, not in a tight loop.
            const bool wasConnected = m_wasConnected;
            m_totals.closed += wasConnected ? 1 : 0;
            m_wasConnected = false;
            QTimer::singleShot(wasConnected ? 0 : 100, this, [this] { open(); });
        });
        connect(&m_socket, &QTcpSocket::connected, this, [this] { m_wasConnected = true; });
    }
    void open()
    {
        if (m_socket.state() == QAbstractSocket::UnconnectedState) {
            m_socket.connectToHost(m_host, m_port);
        }
    }
    // Once a second, at the client's own moment.
    void second()
    {
        if (m_socket.state() != QAbstractSocket::ConnectedState) {
            return;
        }
        if (m_kind == Kind::Trickle) {
            send(m_header ? QByteArray(512, 'x') : randomBytes(1).replace('\n', 'x'));
        }
    }

private:
    void send(const QByteArray& bytes) { m_totals.bytes += m_socket.write(bytes); }
    void flood()
    {
        static const QByteArray garbage = randomBytes(16 * 1024);
        while (m_socket.state() == QAbstractSocket::ConnectedState && m_socket.bytesToWrite() < 64 * 1024) {
            send(garbage);
        }
    }

    Kind m_kind;
    bool m_header;
    QHostAddress m_host;
    quint16 m_port;
    Totals& m_totals;
    QTcpSocket m_socket;
    bool m_wasConnected = false;
};

// Datagrams of garbage from `count` senders, each on its own local address where the system has them
// (127.0.0.0/8 all reaches the loopback), else on its own port.
class DatagramSenders {
public:
    DatagramSenders(int count, const QHostAddress& host, quint16 port, Totals& totals)
        : m_host(host), m_port(port), m_totals(totals)
    {
        for (int i = 0; i < count; ++i) {
            auto socket = std::make_unique<QUdpSocket>();
            const bool loopback = host.isLoopback() && host.protocol() == QAbstractSocket::IPv4Protocol;
            const QHostAddress own = loopback ? QHostAddress(quint32(0x7F000000u | quint32(1 + i / 250) << 8 |
                                                                     quint32(1 + i % 250)))
                                              : QHostAddress(QHostAddress::AnyIPv4);
            if (!socket->bind(own, 0)) {
                (void)socket->bind(QHostAddress::AnyIPv4, 0);
            }
            m_sockets.push_back(std::move(socket));
        }
        m_garbage = randomBytes(48);
    }
    // A round of datagrams, one from each of the next `perRound` senders.
    void round(int perRound)
    {
        for (int k = 0; k < perRound && !m_sockets.empty(); ++k) {
            QUdpSocket& s = *m_sockets[m_next++ % m_sockets.size()];
            m_garbage[QRandomGenerator::global()->bounded(int(m_garbage.size()))] ^= 0x5A;
            if (s.writeDatagram(m_garbage, m_host, m_port) > 0) {
                ++m_totals.datagrams;
            }
        }
    }

private:
    QHostAddress m_host;
    quint16 m_port;
    Totals& m_totals;
    std::vector<std::unique_ptr<QUdpSocket>> m_sockets;
    QByteArray m_garbage;
    std::size_t m_next = 0;
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Hostile clients against a DC-09 receiver, to check that its panels still get through.\n"
                       "Kinds: idle (connections that send nothing), trickle (half a byte of garbage a second,\n"
                       "half a header promising a 65,535-byte frame, then 512 bytes a second), flood (garbage as\n"
                       "fast as the receiver takes it), udp (garbage datagrams from many senders)."));
    parser.addHelpOption();
    parser.addOptions({
        {QStringLiteral("host"), QStringLiteral("Receiver address (default 127.0.0.1)."), QStringLiteral("ip")},
        {QStringLiteral("port"), QStringLiteral("Receiver port (default 7777)."), QStringLiteral("port")},
        {QStringLiteral("kind"), QStringLiteral("idle, trickle, flood or udp."), QStringLiteral("kind")},
        {QStringLiteral("count"), QStringLiteral("Connections, or datagram senders (default 100)."),
         QStringLiteral("n")},
        {QStringLiteral("rate"), QStringLiteral("udp: datagrams a second in all (default 20000)."),
         QStringLiteral("n")},
        {QStringLiteral("seconds"), QStringLiteral("How long to run (default 10)."), QStringLiteral("s")},
    });
    parseCommandLineOrExit(parser, "dc09-hostile");
    const auto number = [&](const char* name, int low, int high, int fallback) {
        if (!parser.isSet(QString::fromLatin1(name))) {
            return fallback;
        }
        bool ok = false;
        const int value = parser.value(QString::fromLatin1(name)).toInt(&ok);
        if (!ok || value < low || value > high) {
            std::fprintf(stderr, "dc09-hostile: --%s takes %d..%d (see --help)\n", name, low, high);
            std::exit(2);
        }
        return value;
    };
    const QHostAddress host(parser.isSet(QStringLiteral("host")) ? parser.value(QStringLiteral("host"))
                                                                 : QStringLiteral("127.0.0.1"));
    const QString kindName = parser.value(QStringLiteral("kind"));
    const std::vector<std::pair<QString, Kind>> kinds = {{QStringLiteral("idle"), Kind::Idle},
                                                         {QStringLiteral("trickle"), Kind::Trickle},
                                                         {QStringLiteral("flood"), Kind::Flood},
                                                         {QStringLiteral("udp"), Kind::Udp}};
    std::optional<Kind> kind;
    for (const auto& [name, k] : kinds) {
        kind = name == kindName ? std::optional<Kind>(k) : kind;
    }
    if (!kind || host.isNull()) {
        std::fprintf(stderr, "dc09-hostile: give --kind idle, trickle, flood or udp, and a valid --host\n");
        return 2;
    }
    const auto port = quint16(number("port", 1, 65535, 7777));
    const int count = number("count", 1, 100000, 100);
    const int rate = number("rate", 1, 10000000, 20000);
    const int seconds = number("seconds", 1, 86400, 10);
    raiseOpenFileLimit();

    Totals totals;
    std::vector<std::unique_ptr<Client>> clients;
    std::unique_ptr<DatagramSenders> senders;
    constexpr int kStepMs = 10;
    QTimer step;
    int stepIndex = 0;
    if (*kind == Kind::Udp) {
        senders = std::make_unique<DatagramSenders>(count, host, port, totals);
        QObject::connect(&step, &QTimer::timeout, &step, [&] { senders->round(rate / (1000 / kStepMs)); });
    } else {
        for (int i = 0; i < count; ++i) {
            clients.push_back(std::make_unique<Client>(*kind, i, host, port, totals));
            clients.back()->open();
        }
        // Each client has its second at its own step, so the bytes come evenly.
        QObject::connect(&step, &QTimer::timeout, &step, [&] {
            constexpr int kStepsPerSecond = 1000 / kStepMs;
            for (std::size_t i = std::size_t(stepIndex % kStepsPerSecond); i < clients.size(); i += kStepsPerSecond) {
                clients[i]->second();
            }
            ++stepIndex;
        });
    }
    step.start(kStepMs);
    QTimer::singleShot(seconds * 1000, &app, &QCoreApplication::quit);
    (void)QCoreApplication::exec();
    std::printf("%s: %lld connections made, %lld closed by the receiver, %lld bytes, %lld datagrams\n",
                qPrintable(kindName), static_cast<long long>(totals.connects), static_cast<long long>(totals.closed),
                static_cast<long long>(totals.bytes), static_cast<long long>(totals.datagrams));
    std::fflush(stdout);
    return 0;
}
