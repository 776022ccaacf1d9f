// End-to-end figures of the real receiver, run headless: panels in this process send Contact ID
// events to it, and a simulator in this process plays the automation software, acknowledging at once.
#include "dc09/Dc09Codec.h"
#include "store/JournalRecord.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <csignal>
#include <sys/resource.h>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#ifndef ARDENTEL_BIN_DEFAULT
#define ARDENTEL_BIN_DEFAULT ""
#endif

namespace {

std::int64_t nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// What the automation simulator received since the last look, handed over on the main thread.
std::function<void()> g_takeLines;

bool serveUntil(const std::function<bool()>& done, int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    for (;;) {
        if (g_takeLines)
            g_takeLines();
        if (done())
            return true;
        if (t.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
}

quint16 freePort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

double percentile(std::vector<std::int64_t> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const auto index = std::size_t(p * double(values.size() - 1) + 0.5);
    return double(values[std::min(index, values.size() - 1)]) / 1e6; // milliseconds
}

// What identifies one event on both sides: the panel's account, and its message number spread over
// the partition (hundreds of thousands) and zone digits.
struct EventId {
    int panel = 0;
    int number = 0;
    bool operator<(const EventId& o) const { return panel != o.panel ? panel < o.panel : number < o.number; }
    bool operator==(const EventId& o) const { return panel == o.panel && number == o.number; }
};

QByteArray accountOf(int panel)
{
    return QByteArray::number(0x1000 + panel, 16).toUpper();
}

QByteArray partitionOf(int number)
{
    return QByteArray::number(number / 1000 % 100).rightJustified(2, '0');
}

QByteArray zoneOf(int number)
{
    return QByteArray::number(number % 1000).rightJustified(3, '0');
}

// A plain ADM-CID frame (or a NULL link test), LF to CR, built the way a panel builds it.
QByteArray buildFrame(int panel, int number, bool linkTest = false)
{
    const QByteArray account = accountOf(panel);
    const QByteArray sequence = QByteArray::number(number % 9999 + 1).rightJustified(4, '0');
    const QByteArray body = linkTest ? "\"NULL\"" + sequence + "R1L1#" + account + "[]"
                                     : "\"ADM-CID\"" + sequence + "R1L1#" + account + "[#" + account +
                                           "|1130 " + partitionOf(number) + " " + zoneOf(number) + "]";
    const std::uint16_t crc =
        DC9_CRC16(reinterpret_cast<const std::uint8_t*>(body.constData()), size_t(body.size()));
    return "\n" + QByteArray::number(crc, 16).toUpper().rightJustified(4, '0') +
           QByteArray::number(body.size(), 16).toUpper().rightJustified(4, '0') + body + "\r";
}

// "5011 18" + account + "E130" + partition + zone, as format 0 carries the events above.
std::optional<EventId> idOfLine(const QByteArray& line)
{
    static const QByteArray prefix = "5011 18";
    if (!line.startsWith(prefix) || line.size() != prefix.size() + 4 + 4 + 2 + 3)
        return std::nullopt;
    bool ok1 = false;
    bool ok2 = false;
    bool ok3 = false;
    const int account = line.mid(prefix.size(), 4).toInt(&ok1, 16);
    const int partition = line.mid(prefix.size() + 8, 2).toInt(&ok2);
    const int zone = line.mid(prefix.size() + 10, 3).toInt(&ok3);
    if (!ok1 || !ok2 || !ok3)
        return std::nullopt;
    return EventId{account - 0x1000, partition * 1000 + zone};
}

// Where the receivers' temporary data directories go (--data-dir); the system's temporary
// directory when empty. The journal is synced before every answer, so the answer times depend on it.
QString g_dataParent;

QString dataTemplate()
{
    const QString parent = g_dataParent.isEmpty() ? QDir::tempPath() : g_dataParent;
    return parent + QStringLiteral("/ardentel-bench-XXXXXX");
}

// The receiver program in a temporary data directory.
class Receiver {
public:
    explicit Receiver(QString program) : m_program(std::move(program)), m_data(dataTemplate()) {}
    ~Receiver() { stop(); }

    [[nodiscard]] QString dir() const { return m_data.path(); }
    [[nodiscard]] qint64 pid() const { return m_process ? m_process->processId() : 0; }

    bool configure(const QStringList& settings)
    {
        QStringList args{QStringLiteral("--dir"), dir()};
        for (const QString& s : settings)
            args << QStringLiteral("--set") << s;
        QProcess p;
        p.setProcessEnvironment(environment());
        p.start(m_program, args);
        return p.waitForFinished(30000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    }

    // `windows`: the whole window on the offscreen platform with the Event List and the Object List
    // open, instead of the service.
    bool start(const QByteArray& readyLine, bool windows = false)
    {
        m_process = std::make_unique<QProcess>();
        QProcessEnvironment env = environment();
        if (windows) {
            // No display: the window is drawn offscreen and nobody is asked anything.
            env.remove(QStringLiteral("DISPLAY"));
            env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        }
        m_process->setProcessEnvironment(env);
        m_process->setProcessChannelMode(QProcess::MergedChannels);
        // Always drained: a full pipe would stall the receiver's log and so the receiver.
        QObject::connect(m_process.get(), &QProcess::readyRead, m_process.get(), [this] {
            const QByteArray chunk = m_process->readAll();
            m_overwritten += chunk.count("Journal full: the view wrapped over ");
            m_output += chunk;
            if (m_output.size() > 1 << 20)
                m_output = m_output.right(1 << 16);
        });
        const QStringList face = windows
                                     ? QStringList{QStringLiteral("--show"), QStringLiteral("events,objects")}
                                     : QStringList{QStringLiteral("--headless")};
        m_process->start(m_program, face + QStringList{QStringLiteral("--dir"), dir()});
        if (!m_process->waitForStarted(10000))
            return false;
        return waitForOutput(readyLine, 20000);
    }

    bool waitForOutput(const QByteArray& text, int timeoutMs)
    {
        return serveUntil([&] { return m_output.contains(text) || m_process->state() != QProcess::Running; },
                          timeoutMs) &&
               m_output.contains(text);
    }

    // User and system CPU time of the process so far in milliseconds, from /proc, or -1.
    [[nodiscard]] double cpuMillis() const
    {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(m_process ? m_process->processId() : 0));
        if (!m_process || !stat.open(QIODevice::ReadOnly))
            return -1;
        const QByteArray text = stat.readAll();
        // The fields after the command name, which may hold spaces, start behind its ")".
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        if (fields.size() < 13)
            return -1;
        return double(fields[11].toLongLong() + fields[12].toLongLong()) * 1000.0 /
               double(::sysconf(_SC_CLK_TCK));
    }

    // Resident memory in KiB from /proc, or -1.
    [[nodiscard]] long residentKib() const
    {
        QFile status(QStringLiteral("/proc/%1/status").arg(m_process ? m_process->processId() : 0));
        if (!m_process || !status.open(QIODevice::ReadOnly))
            return -1;
        for (const QByteArray& line : status.readAll().split('\n')) {
            if (line.startsWith("VmRSS:"))
                return line.mid(6).trimmed().split(' ').value(0).toLong();
        }
        return -1;
    }

    void stop()
    {
        if (!m_process || m_process->state() == QProcess::NotRunning)
            return;
        m_process->terminate();
        if (!serveUntil([&] { return m_process->state() == QProcess::NotRunning; }, 30000)) {
            m_process->kill();
            m_process->waitForFinished();
        }
    }

    [[nodiscard]] const QByteArray& output() const { return m_output; }
    // Log lines about the ring view wrapping over events not yet forwarded, which the log still holds
    // (a line split between two reads is missed, so this may be a little low).
    [[nodiscard]] qint64 overwrittenLines() const { return m_overwritten; }

private:
    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("ARDENTEL_RUNTIME_DIR"), m_runtime.path());
        return env;
    }

    QString m_program;
    QTemporaryDir m_data;
    QTemporaryDir m_runtime;
    std::unique_ptr<QProcess> m_process;
    QByteArray m_output;
    qint64 m_overwritten = 0;
};

// The automation software: connects to the receiver's server port and acknowledges every line at once.
// It runs on a thread of its own, as a real one is a process of its own: in the panels' event loop
// each answer would wait for the panels' turn, and the simulator, not the receiver, would set the pace
// of forwarding. What it receives is handed to `onLine` on the main thread, from serveUntil.
class AutomationSim {
public:
    struct Line {
        QByteArray text;
        std::int64_t atNs;
    };

    AutomationSim()
    {
        m_worker.moveToThread(&m_thread);
        m_thread.start();
        g_takeLines = [this] { takeLines(); };
    }
    ~AutomationSim()
    {
        g_takeLines = nullptr;
        QMetaObject::invokeMethod(
            &m_worker, [this] { m_worker.stop(); }, Qt::BlockingQueuedConnection);
        m_thread.quit();
        m_thread.wait();
    }
    AutomationSim(const AutomationSim&) = delete;
    AutomationSim& operator=(const AutomationSim&) = delete;

    void connectTo(quint16 port)
    {
        QMetaObject::invokeMethod(&m_worker, [this, port] { m_worker.connectTo(port); });
    }

    std::vector<Line> lines;
    std::function<void(const Line&)> onLine;

private:
    class Worker : public QObject {
    public:
        explicit Worker(AutomationSim& sim) : m_sim(sim) {}

        void connectTo(quint16 port)
        {
            m_port = port;
            m_socket = new QTcpSocket(this);
            connect(m_socket, &QTcpSocket::connected, this,
                    [this] { m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1); });
            connect(m_socket, &QTcpSocket::readyRead, this, [this] { read(); });
            connect(m_socket, &QTcpSocket::disconnected, this,
                    [this] { QTimer::singleShot(200, this, [this] { retry(); }); });
            connect(m_socket, &QAbstractSocket::errorOccurred, this, [this](QAbstractSocket::SocketError) {
                if (m_socket->state() == QAbstractSocket::UnconnectedState)
                    QTimer::singleShot(200, this, [this] { retry(); });
            });
            retry();
        }
        void stop()
        {
            if (m_socket == nullptr)
                return;
            QObject::disconnect(m_socket, nullptr, this, nullptr);
            m_socket->abort();
            delete m_socket;
            m_socket = nullptr;
        }

    private:
        void retry()
        {
            if (m_socket != nullptr && m_socket->state() == QAbstractSocket::UnconnectedState)
                m_socket->connectToHost(QHostAddress::LocalHost, m_port);
        }

        void read()
        {
            const QByteArray bytes = m_socket->readAll();
            const std::int64_t at = nowNs();
            QByteArray acks;
            std::vector<Line> got;
            for (const char c : bytes) {
                if (c != 0x14) {
                    m_pending += c;
                    continue;
                }
                got.push_back({m_pending, at});
                m_pending.clear();
                acks += '\x06';
            }
            // One answer per line; the receiver waits for each before the next, so this is one byte.
            if (!acks.isEmpty()) {
                m_socket->write(acks);
                m_socket->flush();
            }
            if (!got.empty()) {
                std::lock_guard lock(m_sim.m_mutex);
                m_sim.m_received.insert(m_sim.m_received.end(), got.begin(), got.end());
            }
        }

        AutomationSim& m_sim;
        quint16 m_port = 0;
        QTcpSocket* m_socket = nullptr;
        QByteArray m_pending;
    };

    void takeLines()
    {
        std::vector<Line> got;
        {
            std::lock_guard lock(m_mutex);
            got.swap(m_received);
        }
        for (Line& line : got) {
            lines.push_back(std::move(line));
            if (onLine)
                onLine(lines.back());
        }
    }

    std::mutex m_mutex;
    std::vector<Line> m_received; // guarded by m_mutex
    Worker m_worker{*this};
    QThread m_thread;
};

// One panel: one connection, one message at a time, each sent when asked.
class Panel : public QObject {
public:
    Panel(int id, quint16 port, bool linkTests = false) : m_id(id), m_linkTests(linkTests)
    {
        connect(&m_socket, &QTcpSocket::connected, this,
                [this] { m_socket.setSocketOption(QAbstractSocket::LowDelayOption, 1); });
        connect(&m_socket, &QTcpSocket::readyRead, this, [this] { read(); });
        m_socket.connectToHost(QHostAddress::LocalHost, port);
    }

    [[nodiscard]] bool connected() const { return m_socket.state() == QAbstractSocket::ConnectedState; }
    [[nodiscard]] bool busy() const { return m_busy; }
    [[nodiscard]] int id() const { return m_id; }

    void send()
    {
        m_busy = true;
        m_sentNs = nowNs();
        m_socket.write(buildFrame(m_id, m_next, m_linkTests));
        m_socket.flush();
    }

    // (panel, number, accepted, latency ns, send time ns)
    std::function<void(Panel&, int number, bool accepted, std::int64_t latencyNs, std::int64_t sentNs)>
        onAnswer;

private:
    void read()
    {
        m_buffer += m_socket.readAll();
        const qsizetype cr = m_buffer.indexOf('\r');
        if (cr < 0)
            return;
        const QByteArray answer = m_buffer.left(cr + 1);
        m_buffer.remove(0, cr + 1);
        const std::int64_t latency = nowNs() - m_sentNs;
        const int number = m_next++;
        m_busy = false;
        if (onAnswer)
            onAnswer(*this, number, answer.contains("\"ACK\""), latency, m_sentNs);
    }

    int m_id;
    bool m_linkTests;
    int m_next = 0;
    bool m_busy = false;
    std::int64_t m_sentNs = 0;
    QTcpSocket m_socket;
    QByteArray m_buffer;
};

struct Row {
    QByteArray phase;
    QByteArray figure;
    QByteArray value;
    QByteArray target;
    QByteArray verdict; // "ok", "MISSED", "" for figures without a target
};

std::vector<Row> g_rows;
bool g_faults = false;

QByteArray fixed(double v, int decimals)
{
    return QByteArray::number(v, 'f', decimals);
}

void addRow(const char* phase, const char* figure, const QByteArray& value, const char* target = "",
            std::optional<bool> met = std::nullopt)
{
    g_rows.push_back({phase, figure, value, target, met ? (*met ? "ok" : "MISSED") : ""});
}

void fault(const QByteArray& what)
{
    g_faults = true;
    std::fprintf(stderr, "FAULT: %s\n", what.constData());
}

QStringList baseSettings(quint16 port, quint16 monPort)
{
    return {QStringLiteral("DC9_Port_Enable=1"),         QStringLiteral("DC9_Port=%1").arg(port),
            QStringLiteral("Mon_Port_Open=1"),           QStringLiteral("Mon_Server=1"),
            QStringLiteral("Mon_Port=%1").arg(monPort),  QStringLiteral("Report_Format=0"),
            QStringLiteral("Test_Heartbeat_Period=600"), QStringLiteral("Test_Rec_Nr=1"),
            QStringLiteral("DC9_Max_Per_Address=0")}; // every panel comes from 127.0.0.1
}

std::pair<quint16, quint16> twoPorts()
{
    const quint16 a = freePort();
    quint16 b = freePort();
    while (b == a)
        b = freePort();
    return {a, b};
}

// Starts the receiver with the simulator connected and its first heartbeat acknowledged.
bool bringUp(Receiver& receiver, AutomationSim& sim, quint16 port, quint16 monPort, bool windows = false)
{
    if (!receiver.start("Port " + QByteArray::number(port) + " is open.", windows)) {
        fault("the receiver did not start: " + receiver.output().right(2000));
        return false;
    }
    sim.connectTo(monPort);
    if (!serveUntil([&] { return !sim.lines.empty(); }, 20000)) {
        fault("no heartbeat from the receiver: " + receiver.output().right(2000));
        return false;
    }
    return true;
}

// `count` panels connected to the receiver; none (and a fault) when they do not all connect.
std::vector<std::unique_ptr<Panel>> connectPanels(int count, quint16 port, bool linkTests)
{
    std::vector<std::unique_ptr<Panel>> panels;
    for (int i = 0; i < count; ++i)
        panels.push_back(std::make_unique<Panel>(i, port, linkTests));
    if (!serveUntil(
            [&] { return std::all_of(panels.begin(), panels.end(), [](auto& p) { return p->connected(); }); },
            20000)) {
        fault("the panels did not all connect");
        return {};
    }
    return panels;
}

// Garbage datagrams to the receiver port from a thread of its own, at `perSecond`, from four source
// ports, until stopped: what a misconfigured or hostile network throws at the UDP side.
class UdpFlood {
public:
    UdpFlood(quint16 port, int perSecond) : m_thread([this, port, perSecond] { run(port, perSecond); }) {}
    ~UdpFlood()
    {
        m_stop = true;
        m_thread.join();
    }
    UdpFlood(const UdpFlood&) = delete;
    UdpFlood& operator=(const UdpFlood&) = delete;
    [[nodiscard]] qint64 sent() const { return m_sent; }

private:
    void run(quint16 port, int perSecond)
    {
        int fds[4];
        for (int& fd : fds)
            fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const QByteArray garbage = "\n0000FFFF\"flood " + QByteArray(200, 'x') + "\r";
        constexpr int kTickMs = 5;
        const int perTick = std::max(1, perSecond * kTickMs / 1000);
        auto next = std::chrono::steady_clock::now();
        while (!m_stop) {
            for (int i = 0; i < perTick; ++i) {
                if (::sendto(fds[i % 4], garbage.constData(), size_t(garbage.size()), 0,
                             reinterpret_cast<const sockaddr*>(&to), sizeof to) > 0)
                    ++m_sent;
            }
            next += std::chrono::milliseconds(kTickMs);
            std::this_thread::sleep_until(next);
        }
        for (const int fd : fds)
            ::close(fd);
    }

    std::atomic<bool> m_stop{false};
    std::atomic<qint64> m_sent{0};
    std::thread m_thread;
};

// What a load of panels got back: answers by kind and their latencies.
struct Load {
    qint64 accepted = 0;
    qint64 refused = 0;
    std::vector<std::int64_t> latencies;
    double seconds = 0;
    [[nodiscard]] double perSecond() const { return seconds > 0 ? double(accepted) / seconds : 0; }
};

// Drives `panels` for `seconds`: each sends its next message as soon as the last is answered, or,
// with a `pace` (messages per second over all panels), when its turn comes as well. Accepted events
// go to `acceptedIds` when given.
Load runPanels(std::vector<std::unique_ptr<Panel>>& panels, int seconds, int pace,
               std::vector<EventId>* acceptedIds)
{
    const int count = int(panels.size());
    Load load;
    load.latencies.reserve(std::size_t(seconds) * 40000);
    bool running = true;
    for (auto& p : panels) {
        p->onAnswer = [&](Panel& panel, int number, bool ok, std::int64_t latency, std::int64_t) {
            ++(ok ? load.accepted : load.refused);
            if (ok && acceptedIds != nullptr)
                acceptedIds->push_back(EventId{panel.id(), number});
            load.latencies.push_back(latency);
            if (running && pace == 0)
                panel.send();
        };
    }
    QElapsedTimer clock;
    clock.start();
    // Paced: panel i's n-th message is due at start + (n * panels + i) / pace seconds.
    const std::int64_t intervalNs = pace > 0 ? std::int64_t(count) * 1'000'000'000 / pace : 0;
    std::vector<std::int64_t> due(static_cast<std::size_t>(count));
    const std::int64_t startNs = nowNs();
    for (int i = 0; i < count; ++i)
        due[std::size_t(i)] = startNs + intervalNs * i / count;
    QTimer pacer;
    pacer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&pacer, &QTimer::timeout, [&] {
        const std::int64_t now = nowNs();
        for (int i = 0; i < count && running; ++i) {
            Panel& panel = *panels[std::size_t(i)];
            if (!panel.busy() && now >= due[std::size_t(i)]) {
                due[std::size_t(i)] += intervalNs;
                panel.send();
            }
        }
    });
    if (pace > 0)
        pacer.start(1);
    else
        for (auto& p : panels)
            p->send();
    serveUntil([&] { return clock.elapsed() >= seconds * 1000; }, seconds * 1000 + 1000);
    running = false;
    pacer.stop();
    load.seconds = double(clock.elapsed()) / 1000.0;
    serveUntil([&] { return std::none_of(panels.begin(), panels.end(), [](auto& p) { return p->busy(); }); },
               5000);
    for (auto& p : panels)
        p->onAnswer = nullptr;
    return load;
}

// A bare ACK server on a thread of its own: every frame is answered with a fixed ACK as soon as its
// CR arrives, with no check and no disk. What the panels and this machine allow at most, which the
// receiver is measured against in the same run.
class BareAckServer {
public:
    BareAckServer()
    {
        m_worker.moveToThread(&m_thread);
        m_thread.start();
        QMetaObject::invokeMethod(&m_worker, [this] { m_worker.listen(); }, Qt::BlockingQueuedConnection);
    }
    ~BareAckServer()
    {
        QMetaObject::invokeMethod(&m_worker, [this] { m_worker.stop(); }, Qt::BlockingQueuedConnection);
        m_thread.quit();
        m_thread.wait();
    }
    BareAckServer(const BareAckServer&) = delete;
    BareAckServer& operator=(const BareAckServer&) = delete;
    [[nodiscard]] quint16 port() const { return m_worker.port(); }

private:
    class Worker : public QObject {
    public:
        void listen()
        {
            m_server = new QTcpServer(this);
            m_server->setMaxPendingConnections(4096);
            connect(m_server, &QTcpServer::newConnection, this, [this] {
                while (QTcpSocket* socket = m_server->nextPendingConnection()) {
                    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
                    connect(socket, &QTcpSocket::readyRead, socket, [socket] {
                        static const QByteArray kAck = "\nD6730014\"ACK\"0002R1L1#1234[]\r";
                        const qsizetype frames = socket->readAll().count('\r');
                        for (qsizetype i = 0; i < frames; ++i)
                            socket->write(kAck);
                    });
                }
            });
            m_port = m_server->listen(QHostAddress::LocalHost, 0) ? m_server->serverPort() : 0;
        }
        void stop()
        {
            delete m_server; // its sockets with it
            m_server = nullptr;
        }
        [[nodiscard]] quint16 port() const { return m_port; }

    private:
        QTcpServer* m_server = nullptr;
        std::atomic<quint16> m_port{0};
    };
    Worker m_worker;
    QThread m_thread;
};

std::optional<std::string> scrapeMetrics(quint16 port);

// A figure from the metrics text: the value of the line that starts with `name` and a space.
double metricValue(const std::string& text, const std::string& name)
{
    std::size_t at = 0;
    while ((at = text.find(name + ' ', at)) != std::string::npos) {
        if (at == 0 || text[at - 1] == '\n')
            return std::atof(text.c_str() + at + name.size() + 1);
        at += name.size();
    }
    return -1;
}

// 1. Panels (64, 512, 2,048), each sending its next event as soon as the last is answered. Link tests, which are
// stored but never forwarded, show the receive path without the forwarding side's share. With a
// `pace` (messages per second over all panels) each panel waits for its turn as well, which shows
// the answer time at a given load rather than at saturation.
// Paced, every accepted event must also reach the simulator exactly once; with `windows` the receiver
// runs with the Event List and the Object List open.
// With `floodPerSecond`, the receiver port is also bound for UDP and garbage datagrams flood it.
// Unpaced and without the flood, a bare ACK server takes the same load right after, and the ratio to
// it is the receiver's cost; the metrics say how many ACKs each commit (one sync) carried.
void receiving(const QString& program, int seconds, bool linkTests, int pace = 0, bool windows = false,
               int floodPerSecond = 0, int panelCount = 64)
{
    Receiver receiver(program);
    const auto [port, monPort] = twoPorts();
    quint16 metricsPort = freePort();
    while (metricsPort == port || metricsPort == monPort)
        metricsPort = freePort();
    AutomationSim sim;
    std::map<EventId, int> forwarded;
    sim.onLine = [&](const AutomationSim::Line& line) {
        if (const std::optional<EventId> id = idOfLine(line.text))
            ++forwarded[*id];
    };
    std::vector<EventId> acceptedIds;
    QStringList settings = baseSettings(port, monPort);
    settings << QStringLiteral("Metrics_Port=%1").arg(metricsPort);
    if (floodPerSecond > 0)
        settings << QStringLiteral("DC9_UDP_Enable=1");
    if (!receiver.configure(settings) || !bringUp(receiver, sim, port, monPort, windows))
        return;
    if (floodPerSecond > 0 &&
        !receiver.waitForOutput("UDP port " + QByteArray::number(port) + " is open.", 5000)) {
        fault("the UDP side did not open: " + receiver.output().right(2000));
        return;
    }
    std::vector<std::unique_ptr<Panel>> panels = connectPanels(panelCount, port, linkTests);
    if (panels.empty())
        return;
    const std::optional<std::string> metricsBefore = scrapeMetrics(metricsPort);
    std::unique_ptr<UdpFlood> flood;
    if (floodPerSecond > 0)
        flood = std::make_unique<UdpFlood>(port, floodPerSecond);
    const Load load = runPanels(panels, seconds, pace, pace > 0 ? &acceptedIds : nullptr);
    const qint64 flooded = flood ? flood->sent() : 0;
    flood.reset();
    const std::optional<std::string> metricsAfter = scrapeMetrics(metricsPort);
    const double perSecond = load.perSecond();
    const double p99 = percentile(load.latencies, 0.99);
    const QByteArray panelsText = QByteArray::number(panelCount) + " panels";
    const QByteArray title = floodPerSecond > 0 ? "4 paced, UDP garbage flood"
                             : windows          ? "1d paced, windows open"
                             : pace > 0         ? "1c paced, " + QByteArray::number(pace) + "/s offered"
                             : linkTests        ? "1b link tests, " + panelsText
                                                : "1 receiving, " + panelsText;
    if (pace > 0)
        addRow(title, "accepted/s", fixed(perSecond, 0), QByteArray::number(pace), perSecond >= pace * 0.98);
    else
        addRow(title, "accepted/s", fixed(perSecond, 0), ">= 60000", perSecond >= 60000);
    addRow("", "ACK latency p50 (ms)", fixed(percentile(load.latencies, 0.50), 3));
    addRow("", "ACK latency p99 (ms)", fixed(p99, 3), "<= 5", p99 <= 5.0);
    if (metricsBefore && metricsAfter) {
        const double commits = metricValue(*metricsAfter, "ardentel_commit_seconds_count") -
                               metricValue(*metricsBefore, "ardentel_commit_seconds_count");
        if (commits > 0) {
            const double perCommit = double(load.accepted) / commits;
            addRow("", "ACKs per commit (mean)", fixed(perCommit, 1), "<= 256", perCommit <= 256.5);
        }
    }
    if (floodPerSecond > 0) {
        addRow("", "garbage datagrams/s", fixed(double(flooded) / load.seconds, 0),
               QByteArray::number(floodPerSecond));
        // One line per sender address in 5 s at most: the four source ports share one address.
        const qint64 lines = receiver.output().count("Unrecognised data received from IP: ");
        const qint64 allowed = qint64(load.seconds / 5.0) + 2;
        addRow("", "unrecognised lines logged", QByteArray::number(lines),
               "<= " + QByteArray::number(allowed), lines <= allowed);
    }
    if (!linkTests && pace == 0)
        addRow("", "view wrapped over unforwarded", QByteArray::number(receiver.overwrittenLines()));
    if (pace > 0) {
        // The forwarding thread works off what is left; it is done once nothing new arrives for 2 s.
        std::size_t seen = forwarded.size();
        QElapsedTimer quiet;
        quiet.start();
        serveUntil(
            [&] {
                if (forwarded.size() != seen) {
                    seen = forwarded.size();
                    quiet.restart();
                }
                return forwarded.size() >= acceptedIds.size() || quiet.elapsed() > 2000;
            },
            120000);
        int once = 0;
        int duplicated = 0;
        for (const EventId& id : acceptedIds) {
            const auto it = forwarded.find(id);
            once += it != forwarded.end() && it->second == 1;
            duplicated += it != forwarded.end() && it->second > 1;
        }
        const qint64 lost = qint64(acceptedIds.size()) - once - duplicated;
        addRow("", "forwarded once", QByteArray::number(once), "accepted",
               once == qint64(acceptedIds.size()));
        addRow("", "forwarded twice or more", QByteArray::number(duplicated), "0", duplicated == 0);
        addRow("", "never forwarded", QByteArray::number(lost), "0", lost == 0);
        addRow("", "view wrapped over unforwarded", QByteArray::number(receiver.overwrittenLines()));
    }
    if (load.refused > 0)
        fault(QByteArray::number(load.refused) + " messages were not answered with ACK while receiving");
    receiver.stop();
    panels.clear();
    if (pace > 0 || floodPerSecond > 0 || windows)
        return;

    BareAckServer bare;
    std::vector<std::unique_ptr<Panel>> barePanels = connectPanels(panelCount, bare.port(), linkTests);
    if (barePanels.empty())
        return;
    const Load baseline = runPanels(barePanels, seconds, 0, nullptr);
    addRow("", "bare ACK server accepted/s", fixed(baseline.perSecond(), 0));
    addRow("", "bare ACK server p99 (ms)", fixed(percentile(baseline.latencies, 0.99), 3));
    addRow("", "ratio to the bare ACK server",
           fixed(baseline.perSecond() > 0 ? perSecond / baseline.perSecond() : 0, 3));
}

// A monitoring system reading /metrics from a thread of its own, `perSecond` times a second while
// `active`, over plain sockets (one connection each, as a scraper does it).
class Scraper {
public:
    Scraper(quint16 port, int perSecond) : m_thread([this, port, perSecond] { run(port, perSecond); }) {}
    ~Scraper()
    {
        m_stop = true;
        m_thread.join();
    }
    Scraper(const Scraper&) = delete;
    Scraper& operator=(const Scraper&) = delete;
    std::atomic<bool> active{false};
    [[nodiscard]] qint64 scrapes() const { return m_scrapes; }
    [[nodiscard]] qint64 failures() const { return m_failures; }
    // One scrape at once from the calling thread; true when a whole 200 answer came back.
    static bool scrapeOnce(quint16 port) { return scrapeMetrics(port).has_value(); }

private:
    void run(quint16 port, int perSecond)
    {
        auto next = std::chrono::steady_clock::now();
        while (!m_stop) {
            if (active)
                ++(scrapeOnce(port) ? m_scrapes : m_failures);
            next += std::chrono::microseconds(1'000'000 / perSecond);
            std::this_thread::sleep_until(next);
        }
    }

    std::atomic<bool> m_stop{false};
    std::atomic<qint64> m_scrapes{0};
    std::atomic<qint64> m_failures{0};
    std::thread m_thread;
};

// The metrics text of one scrape from the calling thread, when a whole 200 answer came back.
std::optional<std::string> scrapeMetrics(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0;
    static const char kRequest[] = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    ok = ok && ::send(fd, kRequest, sizeof kRequest - 1, MSG_NOSIGNAL) == ssize_t(sizeof kRequest - 1);
    std::string reply;
    char buffer[8192];
    for (ssize_t n = 0; ok && (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
        reply.append(buffer, std::size_t(n));
    ::close(fd);
    if (!ok || reply.rfind("HTTP/1.1 200", 0) != 0 || reply.find("ardentel_build_info") == std::string::npos)
        return std::nullopt;
    return reply;
}

// 5. What a monitoring system reading /metrics ten times a second costs receiving: 64 panels send
// link tests as fast as they are answered, in windows of one second with and without the scraper,
// taken in turns so that both see the same machine; then the CPU one scrape costs the idle receiver.
void metricsCost(const QString& program, int seconds)
{
    constexpr int kPanels = 64;
    constexpr int kScrapesPerSecond = 10;
    Receiver receiver(program);
    const auto [port, monPort] = twoPorts();
    quint16 metricsPort = freePort();
    while (metricsPort == port || metricsPort == monPort)
        metricsPort = freePort();
    AutomationSim sim;
    if (!receiver.configure(baseSettings(port, monPort)
                            << QStringLiteral("Metrics_Port=%1").arg(metricsPort)) ||
        !bringUp(receiver, sim, port, monPort))
        return;
    std::vector<std::unique_ptr<Panel>> panels = connectPanels(kPanels, port, true);
    if (panels.empty())
        return;
    Scraper scraper(metricsPort, kScrapesPerSecond);
    qint64 accepted[2] = {0, 0};
    double cpu[2] = {0, 0}; // the receiver's CPU milliseconds in the windows without and with scraping
    int window = 0;
    bool running = true;
    for (auto& p : panels) {
        p->onAnswer = [&](Panel& panel, int, bool ok, std::int64_t, std::int64_t) {
            if (ok)
                ++accepted[window % 2];
            if (running)
                panel.send();
        };
        p->send();
    }
    const int windows = std::max(2, seconds) / 2 * 2;
    for (window = 0; window < windows; ++window) {
        scraper.active = window % 2 == 1;
        const double cpuBefore = receiver.cpuMillis();
        QElapsedTimer t;
        t.start();
        serveUntil([&] { return t.elapsed() >= 1000; }, 2000);
        cpu[window % 2] += receiver.cpuMillis() - cpuBefore;
    }
    scraper.active = false;
    running = false;
    serveUntil([&] { return std::none_of(panels.begin(), panels.end(), [](auto& p) { return p->busy(); }); },
               5000);
    // Throughput on a shared machine moves by more than 1% from one second to the next; the receiver's
    // own CPU time per accepted message does not, and is what the scraping takes from receiving.
    const double ratio = accepted[0] > 0 ? double(accepted[1]) / double(accepted[0]) : 0;
    const double costQuiet = accepted[0] > 0 ? cpu[0] / double(accepted[0]) : 0;
    const double costScraped = accepted[1] > 0 ? cpu[1] / double(accepted[1]) : 0;
    const double costRatio = costQuiet > 0 ? costScraped / costQuiet : 0;
    addRow("5 metrics scraped 10/s", "accepted/s without scraping",
           fixed(double(accepted[0]) / (windows / 2), 0));
    addRow("", "accepted/s while scraped", fixed(double(accepted[1]) / (windows / 2), 0));
    addRow("", "accepted/s, ratio to without", fixed(ratio, 4));
    addRow("", "CPU us per message without", fixed(costQuiet * 1000.0, 3));
    addRow("", "CPU per message, ratio", fixed(costRatio, 4), "<= 1.01", costRatio > 0 && costRatio <= 1.01);
    addRow("", "scrapes answered / failed",
           QByteArray::number(scraper.scrapes()) + " / " + QByteArray::number(scraper.failures()));

    // The receiver at rest: what 200 scrapes cost it in CPU, and so ten a second.
    panels.clear();
    serveUntil([] { return false; }, 500);
    constexpr int kScrapes = 200;
    const double before = receiver.cpuMillis();
    int answered = 0;
    std::thread burst([&] {
        for (int i = 0; i < kScrapes; ++i)
            answered += Scraper::scrapeOnce(metricsPort) ? 1 : 0;
    });
    serveUntil([&] { return false; }, 1); // the panels' loop keeps turning while the burst runs
    burst.join();
    const double perScrape = (receiver.cpuMillis() - before) / kScrapes;
    const double share = perScrape * kScrapesPerSecond / 1000.0 * 100.0;
    addRow("", "receiver CPU per scrape (ms)", fixed(perScrape, 3));
    addRow("", "10 scrapes/s, share of a core (%)", fixed(share, 3), "< 1", share < 1.0);
    if (answered != kScrapes)
        fault(QByteArray::number(kScrapes - answered) + " scrapes were not answered");
    receiver.stop();
}

// 2. 10,000 events accepted while the automation software is away, then forwarded from the log
// once it connects: each exactly once.
void forwarding(const QString& program)
{
    constexpr int kEvents = 10000;
    constexpr int kPanels = 64;
    Receiver receiver(program);
    const auto [port, monPort] = twoPorts();
    if (!receiver.configure(baseSettings(port, monPort)) ||
        !receiver.start("Port " + QByteArray::number(port) + " is open.")) {
        fault("the receiver did not start: " + receiver.output().right(2000));
        return;
    }
    std::vector<std::unique_ptr<Panel>> panels = connectPanels(kPanels, port, false);
    if (panels.empty())
        return;
    qint64 sent = 0;
    qint64 accepted = 0;
    for (auto& p : panels) {
        p->onAnswer = [&](Panel& panel, int, bool ok, std::int64_t, std::int64_t) {
            accepted += ok ? 1 : 0;
            if (sent < kEvents) {
                ++sent;
                panel.send();
            }
        };
    }
    for (auto& p : panels) {
        ++sent;
        p->send();
    }
    serveUntil([&] { return std::none_of(panels.begin(), panels.end(), [](auto& p) { return p->busy(); }); },
               120000);
    panels.clear();
    if (accepted != kEvents)
        fault("accepted " + QByteArray::number(accepted) + " of " + QByteArray::number(kEvents) + " events");

    AutomationSim sim;
    std::map<EventId, int> forwarded;
    std::int64_t firstNs = 0;
    std::int64_t lastNs = 0;
    sim.onLine = [&](const AutomationSim::Line& line) {
        const std::optional<EventId> id = idOfLine(line.text);
        if (!id)
            return;
        if (forwarded.empty())
            firstNs = line.atNs;
        lastNs = line.atNs;
        ++forwarded[*id];
    };
    sim.connectTo(monPort);
    serveUntil([&] { return std::int64_t(forwarded.size()) >= accepted; }, 120000);
    serveUntil([] { return false; }, 500); // a second copy, were one sent
    qint64 twice = 0;
    for (const auto& [id, n] : forwarded)
        twice += n > 1 ? 1 : 0;
    const double seconds = double(lastNs - firstNs) / 1e9;
    const qint64 events = qint64(forwarded.size());
    const double perSecond = events > 1 && seconds > 0 ? double(events - 1) / seconds : 0;
    addRow("2 forwarding 10,000 stored", "events/s", fixed(perSecond, 0), ">= 5000", perSecond >= 5000);
    addRow("", "forwarded", QByteArray::number(events), "10000", events == kEvents);
    addRow("", "forwarded twice or more", QByteArray::number(twice), "0", twice == 0);
    if (events != accepted)
        fault("forwarded " + QByteArray::number(events) + " of " + QByteArray::number(accepted) +
              " accepted events");
    receiver.stop();
}

// 1e. What one commit costs in system calls: strace counts the receiver's calls (all its threads)
// for a few seconds of 64 panels at full speed, and the metrics count the commits meanwhile. The
// counts include the once-a-second checkpoints of the housekeeping.
void syscallsPerCommit(const QString& program, int seconds)
{
    const QString strace = QStandardPaths::findExecutable(QStringLiteral("strace"));
    if (strace.isEmpty()) {
        addRow("1e system calls per commit", "skipped", "no strace");
        return;
    }
    Receiver receiver(program);
    const auto [port, monPort] = twoPorts();
    quint16 metricsPort = freePort();
    while (metricsPort == port || metricsPort == monPort)
        metricsPort = freePort();
    AutomationSim sim;
    if (!receiver.configure(baseSettings(port, monPort) << QStringLiteral("Metrics_Port=%1").arg(metricsPort)) ||
        !bringUp(receiver, sim, port, monPort))
        return;
    std::vector<std::unique_ptr<Panel>> panels = connectPanels(64, port, true);
    if (panels.empty())
        return;
    // The views are opened at their first write and the metrics' log connection at the first scrape:
    // both before the trace.
    (void)runPanels(panels, 1, 0, nullptr);
    (void)scrapeMetrics(metricsPort);
    // Every call with the file it was made on (-y), so the log's syncs are told from the views'.
    QStringList args{QStringLiteral("-qq"), QStringLiteral("-y"), QStringLiteral("-e"),
                     QStringLiteral("trace=fdatasync,fsync,pwrite64,openat,close,newfstatat,fstat"),
                     QStringLiteral("-o"), receiver.dir() + QStringLiteral("/strace.txt")};
    const QStringList tasks = QDir(QStringLiteral("/proc/%1/task").arg(receiver.pid()))
                                  .entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    std::map<QByteArray, QByteArray> threadNames; // id -> name
    for (const QString& task : tasks) {
        args << QStringLiteral("-p") << task;
        QFile comm(QStringLiteral("/proc/%1/task/%2/comm").arg(receiver.pid()).arg(task));
        if (comm.open(QIODevice::ReadOnly))
            threadNames[task.toLatin1()] = comm.readAll().trimmed();
    }
    QProcess tracer;
    tracer.setProcessChannelMode(QProcess::MergedChannels);
    tracer.start(strace, args);
    if (!tracer.waitForStarted(5000)) {
        fault("strace did not start");
        return;
    }
    serveUntil([] { return false; }, 1000); // attached to every thread
    const std::optional<std::string> before = scrapeMetrics(metricsPort);
    QElapsedTimer traced;
    traced.start();
    const Load load = runPanels(panels, seconds, 0, nullptr);
    const std::optional<std::string> after = scrapeMetrics(metricsPort);
    const double tracedSeconds = double(traced.elapsed()) / 1000.0;
    ::kill(pid_t(tracer.processId()), SIGINT);
    tracer.waitForFinished(10000);
    QFile trace(receiver.dir() + QStringLiteral("/strace.txt"));
    if (!before || !after || !trace.open(QIODevice::ReadOnly)) {
        fault("no strace output or no metrics: " + tracer.readAll());
        return;
    }
    const double commits = metricValue(*after, "ardentel_commit_seconds_count") -
                           metricValue(*before, "ardentel_commit_seconds_count");
    // "fdatasync(7</tmp/.../events.db-wal>) = 0": the call and the file's name.
    std::map<QByteArray, std::map<QByteArray, qint64>> calls; // call -> file -> count
    qint64 commitThreadSyncs = 0;
    qint64 commitThreadCheckpoints = 0;
    qint64 walRestarts = 0;
    for (const QByteArray& line : trace.readAll().split('\n')) {
        const qsizetype paren = line.indexOf('(');
        const qsizetype space = line.lastIndexOf(' ', paren);
        if (paren < 0)
            continue;
        const QByteArray call = line.mid(space + 1, paren - space - 1);
        const qsizetype open = line.indexOf('<', paren);
        const qsizetype close = line.indexOf('>', open);
        QByteArray file = open > 0 && close > open ? line.mid(open + 1, close - open - 1) : QByteArray("?");
        if ((call == "fdatasync" || call == "fsync") && threadNames[line.left(line.indexOf(' '))] == "log-commit") {
            ++commitThreadSyncs;
            // The commit thread's own checkpoint, which lets the WAL start again: the database file's
            // sync and the WAL's before it.
            if (file.endsWith("/events.db"))
                commitThreadCheckpoints += 1;
        }
        // A WAL written from its start again: SQLite syncs its new header before the first frame.
        if (call == "pwrite64" && file.endsWith("/events.db-wal") && line.contains(", 32, 0) = 32"))
            walRestarts += 1;
        if (call == "openat") {
            const qsizetype quote = line.indexOf('"', paren);
            file = line.mid(quote + 1, line.indexOf('"', quote + 1) - quote - 1);
        }
        if (!file.startsWith('/'))
            continue; // a socket (the metrics' scrapes), not a file
        ++calls[call][file.mid(file.lastIndexOf('/') + 1)];
    }
    const auto total = [&](const char* call) {
        qint64 n = 0;
        for (const auto& [file, count] : calls[call])
            n += count;
        return n;
    };
    const auto list = [&](const char* call) {
        QByteArray out;
        for (const auto& [file, count] : calls[call])
            out += (out.isEmpty() ? "" : ", ") + file + " " + QByteArray::number(count);
        return out.isEmpty() ? QByteArray("none") : out;
    };
    const double perCommit = commits > 0 ? 1.0 / commits : 0;
    // The commit thread's syncs are the commits', but for its checkpoints; the housekeeping's are
    // the checkpoints'.
    commitThreadSyncs -= 2 * commitThreadCheckpoints + walRestarts;
    const qint64 otherSyncs = total("fdatasync") + total("fsync") - commitThreadSyncs;
    addRow("1e system calls per commit", "commits (64 panels, traced)", fixed(commits, 0));
    addRow("", "ACKs per commit", fixed(commits > 0 ? double(load.accepted) / commits : 0, 1), "<= 256",
           commits > 0 && double(load.accepted) / commits <= 256.5);
    // The commit under way when the window opened or closed may fall on either side of it: one more.
    addRow("", "syncs per commit", fixed(double(commitThreadSyncs) * perCommit, 3), "<= 1",
           double(commitThreadSyncs) <= commits + 1);
    addRow("", "checkpoint syncs per second", fixed(double(otherSyncs) / tracedSeconds, 1));
    addRow("", "WAL written from its start", QByteArray::number(walRestarts));
    addRow("", "pwrite64 per commit", fixed(double(total("pwrite64")) * perCommit, 2));
    addRow("", "openat + close, traced", QByteArray::number(total("openat") + total("close")), "0",
           total("openat") + total("close") == 0);
    addRow("", "fstat per second", fixed(double(total("fstat") + total("newfstatat")) / tracedSeconds, 1));
    std::printf("traced %.1f s: fdatasync %s; fsync %s; openat %s; fstat %s\n", tracedSeconds,
                list("fdatasync").constData(), list("fsync").constData(), list("openat").constData(),
                (list("fstat") + "; newfstatat " + list("newfstatat")).constData());
    receiver.stop();
}

// 3. A steady 1,000 messages a second through the receiver to the automation software. Panels take
// turns and one message is in flight at a time, so the order of acceptance is the journal's slot order.
void endToEnd(const QString& program, int seconds, int rate)
{
    constexpr int kPanels = 8;
    Receiver receiver(program);
    const auto [port, monPort] = twoPorts();
    AutomationSim sim;
    if (!receiver.configure(baseSettings(port, monPort)) || !bringUp(receiver, sim, port, monPort))
        return;
    std::vector<std::unique_ptr<Panel>> panels = connectPanels(kPanels, port, false);
    if (panels.empty())
        return;
    // Settle before the first memory reading: the connections and the first forwarding passes are made.
    serveUntil([] { return false; }, 1000);
    const long rssStart = receiver.residentKib();

    std::vector<EventId> acceptedOrder;
    std::map<EventId, std::int64_t> sentAt;
    std::vector<std::int64_t> latencies;
    std::map<EventId, int> forwardedCount;
    std::vector<EventId> forwardedOrder;
    int refused = 0;
    sim.onLine = [&](const AutomationSim::Line& line) {
        const std::optional<EventId> id = idOfLine(line.text);
        if (!id)
            return;
        forwardedOrder.push_back(*id);
        if (++forwardedCount[*id] == 1) {
            const auto it = sentAt.find(*id);
            if (it != sentAt.end())
                latencies.push_back(line.atNs - it->second);
        }
    };
    std::size_t turn = 0;
    qint64 due = 0; // messages the pace allows so far
    qint64 sent = 0;
    bool inFlight = false;
    bool running = true;
    QElapsedTimer clock;
    const auto sendNext = [&] {
        if (!running || inFlight || sent >= due)
            return;
        Panel& p = *panels[turn++ % panels.size()];
        inFlight = true;
        ++sent;
        p.send();
    };
    for (auto& p : panels) {
        p->onAnswer = [&](Panel& panel, int number, bool ok, std::int64_t, std::int64_t sentNs) {
            inFlight = false;
            const EventId id{panel.id(), number};
            if (ok) {
                acceptedOrder.push_back(id);
                sentAt[id] = sentNs;
            } else {
                ++refused;
            }
            sendNext();
        };
    }
    QTimer pace;
    QObject::connect(&pace, &QTimer::timeout, [&] {
        due = clock.elapsed() * rate / 1000;
        sendNext();
    });
    clock.start();
    pace.start(2);
    serveUntil([&] { return clock.elapsed() >= qint64(seconds) * 1000; }, seconds * 1000 + 2000);
    running = false;
    pace.stop();
    const double elapsed = double(clock.elapsed()) / 1000.0;
    serveUntil([&] { return !inFlight; }, 5000);
    // Everything accepted should reach the simulator shortly after the last message.
    serveUntil([&] { return forwardedCount.size() >= acceptedOrder.size(); }, 20000);
    const long rssEnd = receiver.residentKib();

    int missing = 0;
    int duplicated = 0;
    int unexpected = 0;
    for (const EventId& id : acceptedOrder) {
        const auto it = forwardedCount.find(id);
        if (it == forwardedCount.end())
            ++missing;
        else if (it->second > 1)
            ++duplicated;
    }
    for (const auto& [id, count] : forwardedCount) {
        if (!sentAt.count(id))
            ++unexpected;
    }
    // The journal started empty and held only these events, so the n-th accepted one went to slot
    // n mod 2048. A pass reports in slot order, so after the ring wraps slot 0 may go out before slot
    // 2047 of the lap before; any other overtaking breaks the order.
    std::map<EventId, std::size_t> acceptedIndex;
    for (std::size_t i = 0; i < acceptedOrder.size(); ++i)
        acceptedIndex[acceptedOrder[i]] = i;
    std::vector<std::size_t> forwardedIndex;
    std::map<EventId, bool> seen;
    for (const EventId& id : forwardedOrder) {
        const auto it = acceptedIndex.find(id);
        if (it != acceptedIndex.end() && !seen[id]) {
            seen[id] = true;
            forwardedIndex.push_back(it->second);
        }
    }
    const auto slotOf = [](std::size_t index) { return index % journal::kSlots; };
    int afterWrap = 0;
    int outOfSlotOrder = 0;
    QByteArray firstOutOfOrder;
    for (std::size_t p = 0; p < forwardedIndex.size(); ++p) {
        const std::size_t x = forwardedIndex[p];
        bool overtaken = false;
        bool wrongly = false;
        for (std::size_t q = p > journal::kSlots ? p - journal::kSlots : 0; q < p; ++q) {
            const std::size_t y = forwardedIndex[q];
            if (y > x) {
                overtaken = true;
                wrongly = wrongly || slotOf(y) > slotOf(x);
            }
        }
        if (wrongly) {
            if (outOfSlotOrder++ == 0)
                firstOutOfOrder = "accepted #" + QByteArray::number(qulonglong(x)) + " (slot " +
                                  QByteArray::number(qulonglong(slotOf(x))) + ") went out at position " +
                                  QByteArray::number(qulonglong(p));
        } else if (overtaken) {
            ++afterWrap;
        }
    }
    const bool inOrder = outOfSlotOrder == 0;
    const double perSecond = double(acceptedOrder.size()) / elapsed;
    const double p99 = percentile(latencies, 0.99);
    const long growthKib = rssEnd - rssStart;

    addRow("3 end to end, 1,000/s", "accepted/s", fixed(perSecond, 0), "1000", perSecond >= rate * 0.98);
    addRow("", "accepted", QByteArray::number(qint64(acceptedOrder.size())));
    addRow("", "forwarded once, none lost", QByteArray::number(missing + duplicated + unexpected) + " faults",
           "0", missing + duplicated + unexpected == 0);
    addRow("", "forwarded out of slot order", QByteArray::number(outOfSlotOrder), "0", inOrder);
    addRow("", "overtaken at the ring's wrap", QByteArray::number(afterWrap));
    addRow("", "panel to automation p50 (ms)", fixed(percentile(latencies, 0.50), 3));
    addRow("", "panel to automation p99 (ms)", fixed(p99, 3), "<= 100", p99 <= 100.0);
    addRow("", "VmRSS at start (MiB)", fixed(double(rssStart) / 1024.0, 1));
    addRow("", "VmRSS at end (MiB)", fixed(double(rssEnd) / 1024.0, 1));
    addRow("", "VmRSS growth (MiB)", fixed(double(growthKib) / 1024.0, 2), "<= 5",
           rssStart > 0 && growthKib <= 5 * 1024);
    if (refused > 0)
        fault(QByteArray::number(refused) + " messages were not answered with ACK");
    if (missing > 0)
        fault(QByteArray::number(missing) + " accepted events never reached the automation software");
    if (duplicated > 0)
        fault(QByteArray::number(duplicated) + " events reached the automation software more than once");
    if (unexpected > 0)
        fault(QByteArray::number(unexpected) + " forwarded events were never accepted");
    if (!inOrder)
        fault(QByteArray::number(outOfSlotOrder) +
              " events were forwarded out of slot order; the first: " + firstOutOfOrder);
    receiver.stop();
}

void printTable(const QString& program)
{
    std::printf("\nArdentel end to end (%s), data under %s\n", qPrintable(program),
                qPrintable(g_dataParent.isEmpty() ? QDir::tempPath() : g_dataParent));
    std::printf("%-28s %-30s %14s  %-10s %s\n", "phase", "figure", "value", "target", "");
    for (const Row& r : g_rows) {
        std::printf("%-28s %-30s %14s  %-10s %s\n", r.phase.constData(), r.figure.constData(),
                    r.value.constData(), r.target.constData(), r.verdict.constData());
    }
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QString program = qEnvironmentVariable("ARDENTEL_BIN", QStringLiteral(ARDENTEL_BIN_DEFAULT));
    int phase = 0;
    int receiveSeconds = 10;
    int endToEndSeconds = 60;
    int rate = 1000;
    int pace = 20000;
    int floodPace = 2000;  // panels' messages per second while the UDP flood runs: a busy centre
    int floodRate = 20000; // garbage datagrams per second
    std::vector<int> panelCounts{64, 512, 2048};
    const QStringList args = QCoreApplication::arguments();
    for (qsizetype i = 1; i < args.size(); ++i) {
        const QString& a = args[i];
        const auto value = [&] { return i + 1 < args.size() ? args[++i] : QString(); };
        if (a == QStringLiteral("--bin")) {
            program = value();
        } else if (a == QStringLiteral("--phase")) {
            phase = value().toInt();
        } else if (a == QStringLiteral("--receive-seconds")) {
            receiveSeconds = std::max(1, value().toInt());
        } else if (a == QStringLiteral("--seconds")) {
            endToEndSeconds = std::max(1, value().toInt());
        } else if (a == QStringLiteral("--rate")) {
            rate = std::max(1, value().toInt());
        } else if (a == QStringLiteral("--pace")) {
            pace = std::max(0, value().toInt());
        } else if (a == QStringLiteral("--flood-rate")) {
            floodRate = std::max(1, value().toInt());
        } else if (a == QStringLiteral("--flood-pace")) {
            floodPace = std::max(1, value().toInt());
        } else if (a == QStringLiteral("--panels")) {
            panelCounts.clear();
            for (const QString& n : value().split(u','))
                if (n.toInt() > 0)
                    panelCounts.push_back(std::min(n.toInt(), 2048));
        } else if (a == QStringLiteral("--data-dir")) {
            g_dataParent = value();
        } else {
            std::fprintf(stderr,
                         "usage: ardentel_bench_e2e [--bin PATH] [--phase 1|2|3|4|5] [--receive-seconds N]\n"
                         "                          [--seconds N] [--rate PER_SECOND] [--pace PER_SECOND]\n"
                         "                          [--flood-rate PER_SECOND] [--flood-pace PER_SECOND]\n"
                         "                          [--data-dir PARENT] [--panels 64,512,2048]\n");
            return 2;
        }
    }
    if (program.isEmpty() || !QFile::exists(program)) {
        std::fprintf(stderr, "ardentel_bench_e2e: receiver program not found (set ARDENTEL_BIN or --bin)\n");
        return 2;
    }
    // 2,048 panels and as many answers in one process, besides the receiver's.
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        (void)::setrlimit(RLIMIT_NOFILE, &files);
    }
    if (phase == 0 || phase == 1) {
        for (const int count : panelCounts)
            receiving(program, receiveSeconds, false, 0, false, 0, count);
        receiving(program, receiveSeconds, true);
        syscallsPerCommit(program, std::min(receiveSeconds, 5));
        if (pace > 0) {
            receiving(program, receiveSeconds, false, pace);
            receiving(program, receiveSeconds, false, pace, true);
        }
    }
    if (phase == 0 || phase == 2)
        forwarding(program);
    if (phase == 0 || phase == 3)
        endToEnd(program, endToEndSeconds, rate);
    if (phase == 0 || phase == 4)
        receiving(program, receiveSeconds, false, floodPace, false, floodRate);
    if (phase == 0 || phase == 5)
        metricsCost(program, receiveSeconds * 2);
    printTable(program);
    return g_faults ? 1 : 0;
}
