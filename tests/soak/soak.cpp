// ardentel_soak: the fault suite. Each scenario runs the real receiver (and the automation software
// simulator) for a few seconds under one kind of trouble and counts what the panels saw acknowledged
// against what the event log (events.db, the record every acknowledgement waits for), its ring view
// (kalvor.dat, extevn.dat) and the automation software hold. Prints one Markdown row per
// scenario, even when it fails, and exits 1 when any row failed.
#include "../e2e/E2eSupport.h"
#include "../e2e/PanelLoad.h"
#include "../support/SocatPair.h"
#include "dc09/Dc09Codec.h"
#include "store/EventLog.h"
#include "store/JournalRecord.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QNetworkDatagram>
#include <QPointer>
#include <QProcess>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QUdpSocket>
#include <cctype>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <vector>

using namespace e2e;

namespace {

struct Row {
    Row() = default;
    Row(QString name, QString what) : scenario(std::move(name)), tried(std::move(what)) {}
    QString scenario;
    QString tried;
    QString acknowledged = QStringLiteral("-");
    QString lost = QStringLiteral("-");
    bool pass = false;
    QString result; // what was seen, besides pass or FAIL
};

// A scenario that cannot go on (a receiver that does not start): its row says why.
struct Abort : std::runtime_error {
    using std::runtime_error::runtime_error;
};

void require(bool condition, const char* what)
{
    if (!condition)
        throw Abort(what);
}

void pauseFor(int ms)
{
    waitUntil([] { return false; }, ms);
}

// Kilobytes of a /proc/PID/status field ("VmRSS", "VmHWM"); -1 when it cannot be read.
long procStatusKb(qint64 pid, const char* field)
{
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray key = QByteArray(field) + ':';
    for (const QByteArray& line : f.readAll().split('\n')) {
        if (line.startsWith(key))
            return line.mid(key.size()).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

QByteArray fileBytes(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QByteArray textField(const char* field, std::size_t width)
{
    return QByteArray(field, qsizetype(::strnlen(field, width)));
}

// The panel event a journal record or a report line carries (see PanelLoad: account 1000+p in
// hex, partition and zone the number), if it is one.
std::optional<PanelEvent> eventOf(const QByteArray& account, const QByteArray& partition, const QByteArray& zone)
{
    bool ok = false;
    const int panel = account.toInt(&ok, 16) - 0x1000;
    bool okP = false;
    bool okZ = false;
    const int number = partition.toInt(&okP) * 1000 + zone.toInt(&okZ);
    if (!ok || !okP || !okZ || panel < 0 || panel > 0xFFF)
        return std::nullopt;
    return PanelEvent{panel, number};
}

// A report line as the simulator records it ("5011 181000E13001015"): account, event, partition,
// zone after " 18".
std::optional<PanelEvent> eventOfReport(const QByteArray& line)
{
    const qsizetype at = line.indexOf(" 18");
    if (at < 0 || line.size() < at + 3 + 4 + 4 + 2 + 3)
        return std::nullopt;
    const QByteArray rest = line.mid(at + 3);
    return eventOf(rest.left(4), rest.mid(8, 2), rest.mid(10, 3));
}

std::set<PanelEvent> forwardedEvents(const QList<QByteArray>& lines)
{
    std::set<PanelEvent> out;
    for (const QByteArray& l : lines) {
        if (const auto e = eventOfReport(l))
            out.insert(*e);
    }
    return out;
}

// Journal slots whose status byte on disk is 7 (reported), as panel events.
std::vector<PanelEvent> reportedOnDisk(const QString& dir)
{
    const QByteArray image = fileBytes(dir + QStringLiteral("/kalvor.dat"));
    std::vector<PanelEvent> out;
    for (std::size_t i = 0; i < journal::kSlots; ++i) {
        const qsizetype at = qsizetype(journal::kHeaderSize + i * sizeof(JournalRecord));
        if (at + qsizetype(sizeof(JournalRecord)) > image.size())
            break;
        JournalRecord r;
        std::memcpy(&r, image.constData() + at, sizeof r);
        if (r.status != 7)
            continue;
        if (const auto e = eventOf(textField(r.account, sizeof r.account), textField(r.partition, sizeof r.partition),
                                   textField(r.zone, sizeof r.zone)))
            out.push_back(*e);
    }
    return out;
}

// Slots of kalvor.dat that hold an event.
std::size_t storedSlots(const QString& dir)
{
    const QByteArray image = fileBytes(dir + QStringLiteral("/kalvor.dat"));
    std::size_t n = 0;
    for (std::size_t i = 0; i < journal::kSlots; ++i) {
        const qsizetype at = qsizetype(journal::kHeaderSize + i * sizeof(JournalRecord));
        n += at < image.size() && (image[at] & journal::kStored) ? 1 : 0;
    }
    return n;
}

// The acknowledged events that the event log or the ring view does not hold.
std::vector<PanelEvent> missingFromLogOrView(const QString& dir, const std::set<PanelEvent>& events)
{
    std::set<PanelEvent> missing;
    for (const PanelEvent& e : missingFromLog(dir, events))
        missing.insert(e);
    for (const PanelEvent& e : missingFromJournal(dir, events))
        missing.insert(e);
    return {missing.begin(), missing.end()};
}

std::size_t countMissing(const std::set<PanelEvent>& wanted, const std::set<PanelEvent>& have)
{
    std::size_t n = 0;
    for (const PanelEvent& e : wanted)
        n += have.count(e) ? 0 : 1;
    return n;
}

QString number(std::size_t n)
{
    return QString::number(qulonglong(n));
}

// A receiver in its own data directory, optionally with a TCP server output link.
struct Receiver {
    Installation install;
    quint16 port = freePort();
    quint16 monPort = 0;

    void configure(const QStringList& settings = {})
    {
        require(install.valid(), "no temporary directory");
        require(install.configure(port, settings), "the receiver could not be configured");
    }
    void configureServerLink(int heartbeatSeconds, const QStringList& more = {})
    {
        monPort = freePort();
        while (monPort == port)
            monPort = freePort();
        configure(QStringList{QStringLiteral("Mon_Port_Open=1"), QStringLiteral("Mon_Server=1"),
                              QStringLiteral("Mon_Port=%1").arg(monPort),
                              QStringLiteral("Test_Heartbeat_Period=%1").arg(heartbeatSeconds)} +
                  more);
    }
    void start() { require(install.start(QStringLiteral("Port %1 is open.").arg(port)), "the receiver did not start"); }
    [[nodiscard]] QStringList simConnect() const
    {
        return {QStringLiteral("--connect"), QStringLiteral("127.0.0.1:%1").arg(monPort)};
    }
};

// --- a. garbage flood ----------------------------------------------------------------------------

// Connections that write random bytes as fast as the receiver takes them, reconnecting when closed.
class GarbageFlood {
public:
    GarbageFlood(quint16 port, int connections) : m_port(port)
    {
        for (int i = 0; i < connections; ++i) {
            auto s = std::make_unique<QTcpSocket>();
            QTcpSocket* raw = s.get();
            // A connection the receiver closed is opened again by the next pump.
            QObject::connect(raw, &QTcpSocket::readyRead, raw, [raw] { (void)raw->readAll(); });
            raw->connectToHost(QHostAddress::LocalHost, port);
            m_sockets.push_back(std::move(s));
        }
        m_garbage.resize(16 * 1024);
        for (char& c : m_garbage)
            c = char(QRandomGenerator::global()->bounded(256));
        QObject::connect(&m_pump, &QTimer::timeout, &m_pump, [this] { pump(); });
    }
    void start()
    {
        m_running = true;
        m_pump.start(2);
    }
    void stop()
    {
        m_running = false;
        m_pump.stop();
        for (auto& s : m_sockets)
            s->abort();
    }
    [[nodiscard]] qint64 bytes() const { return m_bytes; }

private:
    void pump()
    {
        for (auto& s : m_sockets) {
            if (s->state() != QAbstractSocket::ConnectedState) {
                if (s->state() == QAbstractSocket::UnconnectedState)
                    s->connectToHost(QHostAddress::LocalHost, m_port);
                continue;
            }
            while (s->bytesToWrite() < 256 * 1024) {
                m_bytes += s->write(m_garbage);
                m_garbage[QRandomGenerator::global()->bounded(int(m_garbage.size()))] ^= 0x5A;
            }
        }
    }
    quint16 m_port;
    bool m_running = false;
    std::vector<std::unique_ptr<QTcpSocket>> m_sockets;
    QByteArray m_garbage;
    QTimer m_pump;
    qint64 m_bytes = 0;
};

Row garbageFlood()
{
    Row row{QStringLiteral("a. garbage flood"), {}};
    Receiver r;
    r.configure();
    r.start();
    pauseFor(1500);
    const qint64 pid = r.install.pid();
    const long startRss = procStatusKb(pid, "VmRSS");
    PanelLoad panels(r.port, 4, 0);
    panels.setPause(50);
    panels.setRetry(3000);
    require(panels.connectAll(), "panels could not connect");
    GarbageFlood flood(r.port, 20);
    flood.start();
    panels.start();
    long peakRss = startRss;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 20000) {
        pauseFor(250);
        peakRss = std::max(peakRss, procStatusKb(pid, "VmRSS"));
    }
    flood.stop();
    panels.stop();
    pauseFor(500);
    const long hwm = procStatusKb(pid, "VmHWM");
    // The flood's connections are closed by their 5-second slots, their buffers freed.
    pauseFor(7000);
    const long afterRss = procStatusKb(pid, "VmRSS");
    const int exitCode = r.install.terminate();
    const qsizetype garbageLines = r.install.output().count("Unrecognised data received from IP: ");
    const std::vector<PanelEvent> missing = missingFromLogOrView(r.install.dir(), panels.acknowledged());
    const long peakOver = std::max(hwm, peakRss) - startRss;
    row.tried = QStringLiteral("20 connections, %1 MiB of random bytes in 20 s, 4 panels (1 event/50 ms) meanwhile")
                    .arg(flood.bytes() / (1024 * 1024));
    row.acknowledged = number(panels.acknowledged().size());
    row.lost = number(missing.size());
    const bool memoryOk = startRss > 0 && peakOver <= 20 * 1024 && afterRss <= startRss + 5 * 1024;
    const bool panelsOk = panels.acknowledged().size() >= 4 * 200 && panels.refused() == 0;
    row.pass = memoryOk && panelsOk && missing.empty() && exitCode == 0;
    row.result = QStringLiteral("VmRSS %1 MiB at start, peak +%2 MiB (VmHWM), %3 MiB after; %4 refused, "
                                "%5 panel retries; %7 \"Unrecognised data\" lines; exit %6")
                     .arg(startRss / 1024.0, 0, 'f', 1)
                     .arg(peakOver / 1024.0, 0, 'f', 1)
                     .arg(afterRss / 1024.0, 0, 'f', 1)
                     .arg(panels.refused())
                     .arg(panels.retries())
                     .arg(exitCode)
                     .arg(garbageLines);
    return row;
}

// --- b, i, j. panels among hostile clients ----------------------------------------------------------

void runFor(int ms)
{
    // A real event loop, so an answer is seen the moment it comes (latencies are measured here).
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// dc09-hostile, which lies beside dc09-send.
class Hostile {
public:
    Hostile(const QString& kind, quint16 port, int count, int seconds, const QStringList& more = {})
    {
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        // At a lower priority: a real attacker's clients run on machines of their own, not on the
        // receiver's cores, and the row measures what the receiver does with what reaches it.
        m_process.start(QStringLiteral("nice"),
                        QStringList{QStringLiteral("-n"), QStringLiteral("10"),
                                    QFileInfo(senderPath()).dir().filePath(QStringLiteral("dc09-hostile")),
                                    QStringLiteral("--port"), QString::number(port), QStringLiteral("--kind"), kind,
                                    QStringLiteral("--count"), QString::number(count), QStringLiteral("--seconds"),
                                    QString::number(seconds)} +
                            more);
        require(m_process.waitForStarted(10000), "dc09-hostile did not start");
    }
    ~Hostile() { m_process.kill(); m_process.waitForFinished(5000); }
    // Its summary line, once it has ended by itself.
    QString finish()
    {
        waitUntil([&] { return m_process.state() == QProcess::NotRunning; }, 60000);
        return QString::fromLocal8Bit(m_process.readAll()).trimmed();
    }

private:
    QProcess m_process;
};

// Panels that each time connect anew, send one event and wait for its answer, as a panel on a mobile
// network does. The attempts go to the receivers in turn, so a receiver under attack and an idle one
// are measured side by side under the same load of the machine. An attempt not acknowledged within
// 1 s counts as failed.
class AckProbe {
public:
    struct Figures {
        int attempts = 0;
        int failed = 0;
        int closedUnanswered = 0; // of the failed: closed by the receiver before an answer
        std::vector<double> ms; // connect to acknowledgement, of each answered attempt
        double longestConnectMs = 0; // of all attempts: the part of the time the TCP handshake took
        std::set<PanelEvent> acknowledged;
        [[nodiscard]] double percentile(double p) const
        {
            if (ms.empty())
                return -1;
            std::vector<double> sorted = ms;
            std::sort(sorted.begin(), sorted.end());
            return sorted[std::min(sorted.size() - 1, std::size_t(std::ceil(p * double(sorted.size()))) - 1)];
        }
        [[nodiscard]] QString summary() const
        {
            return QStringLiteral("p50 %1 ms, p99 %2 ms, longest connect %3 ms%4")
                .arg(percentile(0.5), 0, 'f', 2)
                .arg(percentile(0.99), 0, 'f', 2)
                .arg(longestConnectMs, 0, 'f', 1)
                .arg(failed == 0 ? QString()
                                 : QStringLiteral("; %1 unanswered after 1 s, %2 closed unanswered")
                                       .arg(failed - closedUnanswered)
                                       .arg(closedUnanswered));
        }
    };

    AckProbe(std::vector<quint16> ports, int intervalMs, int firstPanel)
        : m_ports(std::move(ports)), m_figures(m_ports.size()), m_firstPanel(firstPanel)
    {
        QObject::connect(&m_timer, &QTimer::timeout, &m_owner, [this] { attempt(); });
        m_timer.setInterval(intervalMs);
    }
    void start() { m_timer.start(); }
    void stop() { m_timer.stop(); }
    [[nodiscard]] const Figures& of(std::size_t target) const { return m_figures[target]; }

private:
    void attempt()
    {
        const std::size_t target = m_next++ % m_ports.size();
        Figures& f = m_figures[target];
        const PanelEvent event{m_firstPanel + int(target), f.attempts++};
        auto* socket = new QTcpSocket(&m_owner);
        auto* deadline = new QTimer(socket);
        auto clock = std::make_shared<QElapsedTimer>();
        auto buffer = std::make_shared<QByteArray>();
        const auto end = [this, socket, target](bool answered, double ms, const PanelEvent& e, bool closed = false) {
            Figures& figures = m_figures[target];
            if (answered) {
                figures.ms.push_back(ms);
                figures.acknowledged.insert(e);
            } else {
                ++figures.failed;
                figures.closedUnanswered += closed ? 1 : 0;
            }
            QObject::disconnect(socket, nullptr, nullptr, nullptr);
            socket->abort();
            socket->deleteLater();
        };
        QObject::connect(socket, &QTcpSocket::connected, socket, [this, socket, event, clock, target] {
            Figures& figures = m_figures[target];
            figures.longestConnectMs = std::max(figures.longestConnectMs, double(clock->nsecsElapsed()) / 1e6);
            socket->write(panelEventFrame(event));
        });
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket, clock, buffer, event, end] {
            *buffer += socket->readAll();
            const qsizetype cr = buffer->indexOf('\r');
            if (cr >= 0)
                end(buffer->left(cr).contains("\"ACK\""), double(clock->nsecsElapsed()) / 1e6, event);
        });
        QObject::connect(socket, &QAbstractSocket::disconnected, socket, [event, end] { end(false, 0, event, true); });
        QObject::connect(deadline, &QTimer::timeout, socket, [event, end] { end(false, 0, event); });
        deadline->setSingleShot(true);
        deadline->start(1000);
        clock->start();
        socket->connectToHost(QHostAddress::LocalHost, m_ports[target]);
    }

    std::vector<quint16> m_ports;
    std::vector<Figures> m_figures;
    int m_firstPanel;
    std::size_t m_next = 0;
    QObject m_owner;
    QTimer m_timer;
};

// A receiver under attack and an idle one beside it, probed alike; the row's common part.
struct SideBySide {
    Receiver attacked;
    Receiver idle;
    SideBySide(const QStringList& settings = {})
    {
        attacked.configure(settings);
        idle.configure(settings);
        attacked.start();
        idle.start();
    }
    // Every attempt on both answered in time, nothing acknowledged missing, both ended cleanly.
    bool check(const AckProbe& probe, Row& row, QString& text)
    {
        const std::size_t lost =
            missingFromLogOrView(attacked.install.dir(), probe.of(0).acknowledged).size() +
            missingFromLogOrView(idle.install.dir(), probe.of(1).acknowledged).size();
        const int exits = std::abs(attacked.install.terminate()) + std::abs(idle.install.terminate());
        row.acknowledged = QStringLiteral("%1 of %2 attempts (idle receiver: %3 of %4)")
                               .arg(probe.of(0).ms.size())
                               .arg(probe.of(0).attempts)
                               .arg(probe.of(1).ms.size())
                               .arg(probe.of(1).attempts);
        row.lost = number(lost);
        text = QStringLiteral("panel ACK %1 (idle receiver beside it: %2)")
                   .arg(probe.of(0).summary(), probe.of(1).summary());
        return probe.of(0).attempts > 10 && probe.of(0).failed == 0 && probe.of(1).failed == 0 && lost == 0 &&
               exits == 0;
    }
};

Row idleConnections()
{
    Row row{QStringLiteral("b. idle connections"),
            QStringLiteral("2,500 connections that send nothing, each opened again as soon as it is closed; from "
                           "4 s on, for 8 s, a panel connects anew every 200 ms and sends one event")};
    SideBySide r;
    Hostile hostile(QStringLiteral("idle"), r.attacked.port, 2500, 13);
    runFor(4000);
    AckProbe probe({r.attacked.port, r.idle.port}, 100, 0);
    probe.start();
    runFor(8000);
    probe.stop();
    runFor(1200);
    const QString made = hostile.finish();
    const QByteArray out = r.attacked.install.output();
    QString figures;
    row.pass = r.check(probe, row, figures);
    row.result = QStringLiteral("%1; %2; %3 \"Connection table full, connection closed.\" lines")
                     .arg(figures, made)
                     .arg(out.count("Connection table full, connection closed."));
    return row;
}

// The most "Unrecognised data" lines that share one second's time stamp.
qsizetype mostLinesInOneSecond(const QByteArray& output, const QByteArray& text)
{
    std::map<QByteArray, qsizetype> perSecond;
    for (const QByteArray& line : output.split('\n')) {
        const qsizetype at = line.indexOf("  ");
        if (at > 0 && line.indexOf(text) == at + 2)
            ++perSecond[line.left(at)];
    }
    qsizetype most = 0;
    for (const auto& [second, n] : perSecond)
        most = std::max(most, n);
    return most;
}

Row tricklingConnections()
{
    Row row{QStringLiteral("i. trickling connections"),
            QStringLiteral("2,100 connections for 30 s, half a byte of garbage a second, half a header promising "
                           "65,535 bytes then 512 bytes a second, each opened again when closed; 20 more flooding "
                           "garbage; a panel connects anew every 200 ms and sends one event")};
    SideBySide r;
    pauseFor(1500);
    const qint64 pid = r.attacked.install.pid();
    const long startRss = procStatusKb(pid, "VmRSS");
    long peakRss = startRss;
    QTimer sample;
    QObject::connect(&sample, &QTimer::timeout, &sample,
                     [&] { peakRss = std::max(peakRss, procStatusKb(pid, "VmRSS")); });
    sample.start(250);
    Hostile trickle(QStringLiteral("trickle"), r.attacked.port, 2100, 33);
    Hostile flood(QStringLiteral("flood"), r.attacked.port, 20, 33);
    runFor(2000);
    AckProbe probe({r.attacked.port, r.idle.port}, 100, 100);
    probe.start();
    runFor(30000);
    probe.stop();
    runFor(1200);
    const QString trickled = trickle.finish();
    const QString flooded = flood.finish();
    sample.stop();
    const long hwm = procStatusKb(pid, "VmHWM");
    pauseFor(6000); // what the hostile connections held is given back
    const long afterRss = procStatusKb(pid, "VmRSS");
    const long peakOver = std::max(hwm, peakRss) - startRss;
    const QByteArray out = r.attacked.install.output();
    QString figures;
    const bool served = r.check(probe, row, figures);
    row.pass = served && startRss > 0 && peakOver <= 64 * 1024;
    row.result = QStringLiteral("%1; VmRSS %2 MiB at start, peak +%3 MiB (VmHWM), %4 MiB at the end; %5; %6; at "
                                "most %7 \"Unrecognised data\" lines in one second")
                     .arg(figures)
                     .arg(startRss / 1024.0, 0, 'f', 1)
                     .arg(peakOver / 1024.0, 0, 'f', 1)
                     .arg(afterRss / 1024.0, 0, 'f', 1)
                     .arg(trickled, flooded)
                     .arg(mostLinesInOneSecond(out, "Unrecognised data received from IP: "));
    return row;
}

Row spoofedDatagrams()
{
    Row row{QStringLiteral("j. spoofed UDP senders"),
            QStringLiteral("UDP on; garbage datagrams from 1,024 senders on 1,024 local addresses, 20,000 a second "
                           "for 12 s; a UDP panel sends an event every 100 ms, a TCP panel connects anew every "
                           "200 ms")};
    SideBySide r({QStringLiteral("DC9_UDP_Enable=1")});
    Hostile udp(QStringLiteral("udp"), r.attacked.port, 1024, 12, {QStringLiteral("--rate"), QStringLiteral("20000")});
    runFor(1000);
    QUdpSocket panel;
    require(panel.bind(QHostAddress::LocalHost, 0), "no UDP socket for the panel");
    int sent = 0;
    std::set<PanelEvent> answered;
    QObject::connect(&panel, &QUdpSocket::readyRead, &panel, [&] {
        while (panel.hasPendingDatagrams()) {
            const QByteArray answer = panel.receiveDatagram().data();
            const qsizetype seq = answer.indexOf("\"ACK\"");
            if (seq >= 0)
                answered.insert({900, answer.mid(seq + 5, 4).toInt() - 1});
        }
    });
    QTimer datagrams;
    QObject::connect(&datagrams, &QTimer::timeout, &panel, [&] {
        panel.writeDatagram(panelEventFrame({900, sent++}), QHostAddress::LocalHost, r.attacked.port);
    });
    AckProbe probe({r.attacked.port, r.idle.port}, 100, 200);
    datagrams.start(100);
    probe.start();
    runFor(10000);
    probe.stop();
    datagrams.stop();
    runFor(1200);
    const QString made = udp.finish();
    const std::size_t udpLost = missingFromLogOrView(r.attacked.install.dir(), answered).size();
    const QByteArray out = r.attacked.install.output();
    const qsizetype most = mostLinesInOneSecond(out, "Unrecognised data received from IP: ");
    QString figures;
    const bool served = r.check(probe, row, figures);
    row.pass = served && most <= 1 && int(answered.size()) == sent && udpLost == 0;
    row.result = QStringLiteral("%1; UDP panel %2 of %3 answered; %4; at most %5 \"Unrecognised data\" line(s) in "
                                "one second, %6 in all")
                     .arg(figures)
                     .arg(answered.size())
                     .arg(sent)
                     .arg(made)
                     .arg(most)
                     .arg(out.count("Unrecognised data received from IP: "));
    row.lost = QStringLiteral("%1 (UDP %2)").arg(row.lost).arg(udpLost);
    return row;
}

// --- c. slow senders -----------------------------------------------------------------------------

// Sends its frames one byte at a time and waits for each answer.
class SlowPanel {
public:
    SlowPanel(quint16 port, int panel, int frames, int byteIntervalMs) : m_panel(panel), m_frames(frames)
    {
        QObject::connect(&m_socket, &QTcpSocket::readyRead, &m_socket, [this] { read(); });
        QObject::connect(&m_timer, &QTimer::timeout, &m_socket, [this] { step(); });
        QObject::connect(&m_wait, &QTimer::timeout, &m_socket, [this] {
            ++m_unanswered; // no answer: the panel goes on with its next event
            next();
        });
        m_wait.setSingleShot(true);
        m_socket.connectToHost(QHostAddress::LocalHost, port);
        m_interval = byteIntervalMs;
    }
    void start()
    {
        m_frame = panelEventFrame({m_panel, m_number});
        m_at = 0;
        m_timer.start(m_interval);
    }
    [[nodiscard]] bool done() const { return m_number >= m_frames; }
    [[nodiscard]] int unanswered() const { return m_unanswered; }
    [[nodiscard]] const std::set<PanelEvent>& acknowledged() const { return m_acked; }

private:
    void step()
    {
        if (m_at >= m_frame.size()) {
            m_timer.stop();
            m_wait.start(5000);
            return;
        }
        m_socket.write(m_frame.mid(m_at, 1));
        m_socket.flush();
        ++m_at;
    }
    void read()
    {
        m_buffer += m_socket.readAll();
        const qsizetype cr = m_buffer.indexOf('\r');
        if (cr < 0)
            return;
        if (m_buffer.left(cr).contains("\"ACK\""))
            m_acked.insert({m_panel, m_number});
        else
            ++m_refused;
        m_buffer.clear();
        m_wait.stop();
        m_timer.stop();
        next();
    }
    void next()
    {
        ++m_number;
        if (!done())
            start();
    }
    int m_panel;
    int m_frames;
    int m_number = 0;
    int m_interval = 10;
    QTcpSocket m_socket;
    QTimer m_timer;
    QTimer m_wait;
    QByteArray m_frame;
    QByteArray m_buffer;
    qsizetype m_at = 0;
    int m_unanswered = 0;
    int m_refused = 0;
    std::set<PanelEvent> m_acked;
};

Row slowSenders()
{
    Row row{QStringLiteral("c. slow senders"),
            QStringLiteral("10 panels, 3 frames each, one byte every 10 ms (a frame in about 0.8 s)")};
    Receiver r;
    r.configure();
    r.start();
    std::vector<std::unique_ptr<SlowPanel>> panels;
    for (int p = 0; p < 10; ++p)
        panels.push_back(std::make_unique<SlowPanel>(r.port, p, 3, 10));
    pauseFor(200);
    for (auto& p : panels)
        p->start();
    waitUntil([&] { return std::all_of(panels.begin(), panels.end(), [](const auto& p) { return p->done(); }); },
              40000);
    std::set<PanelEvent> acked;
    int unanswered = 0;
    for (const auto& p : panels) {
        acked.insert(p->acknowledged().begin(), p->acknowledged().end());
        unanswered += p->unanswered();
    }
    const int exitCode = r.install.terminate();
    const std::vector<PanelEvent> missing = missingFromLogOrView(r.install.dir(), acked);
    row.acknowledged = QStringLiteral("%1 of 30").arg(acked.size());
    row.lost = number(missing.size());
    row.pass = acked.size() == 30 && missing.empty() && exitCode == 0;
    row.result = unanswered == 0 ? QStringLiteral("every frame answered; exit %1").arg(exitCode)
                                 : QStringLiteral("found: %1 frames split over many reads got no answer "
                                                  "(the receive path takes each read as a whole frame)")
                                       .arg(unanswered);
    return row;
}

// --- d. SIGKILL under load -----------------------------------------------------------------------

Row killUnderLoad()
{
    constexpr int kRounds = 20;
    constexpr int kPanels = 16;
    constexpr int kPerPanel = 60;
    Row row{QStringLiteral("d. SIGKILL under load"), {}};
    Receiver r;
    r.configureServerLink(600);
    AutomationSim sim;
    std::set<PanelEvent> acknowledged;
    std::set<PanelEvent> lastRound;
    std::size_t notInLog = 0;
    std::size_t notInView = 0;
    const QByteArray linkUp = "Connection with automation software established.";
    const auto startAgain = [&] {
        const qsizetype links = r.install.output().count(linkUp);
        r.start();
        // The start made the view agree with the log: the last round's events are in it again.
        notInView += missingFromJournal(r.install.dir(), lastRound).size();
        if (!sim.running())
            require(sim.start(r.simConnect() + QStringList{QStringLiteral("--quiet")}), "automation-sim did not start");
        // What earlier rounds left is forwarded from the log under the next load, and the kill comes in
        // the middle of it; once the backlog is more than the ring holds, the view wraps over events
        // not yet forwarded.
        waitUntil([&] { return r.install.output().count(linkUp) > links; }, 10000);
    };
    for (int round = 0; round < kRounds; ++round) {
        startAgain();
        PanelLoad load(r.port, kPanels, round * 100, round * 100 + kPerPanel);
        require(load.connectAll(), "panels could not connect");
        const int killAt = 200 + int(QRandomGenerator::global()->bounded(600));
        load.start();
        waitUntil([&] { return int(load.acknowledged().size()) >= killAt || load.finished(); }, 20000);
        r.install.kill();
        load.stop();
        pauseFor(100); // answers sent before the kill still count
        notInLog += missingFromLog(r.install.dir(), load.acknowledged()).size();
        lastRound = load.acknowledged();
        acknowledged.insert(load.acknowledged().begin(), load.acknowledged().end());
    }
    startAgain();
    const bool allForwarded =
        waitUntil([&] { return countMissing(acknowledged, forwardedEvents(sim.lines())) == 0; }, 30000);
    const std::size_t notForwarded = countMissing(acknowledged, forwardedEvents(sim.lines()));
    const int exitCode = r.install.terminate();
    const qsizetype fullLines = r.install.output().count("Journal full");
    (void)sim.finish();
    row.tried = QStringLiteral("%1 kills, each after 200-800 acknowledgements of 16 panels at full speed, "
                               "restarted on the same data; automation-sim acknowledging, the forwarding of "
                               "what earlier rounds left under the load")
                    .arg(kRounds);
    row.acknowledged = number(acknowledged.size());
    row.lost = QStringLiteral("%1 not in the log, %2 not in the view, %3 never forwarded")
                   .arg(notInLog)
                   .arg(notInView)
                   .arg(notForwarded);
    row.pass = notInLog == 0 && notInView == 0 && allForwarded && exitCode == 0 && !acknowledged.empty();
    row.result =
        QStringLiteral("%1 report lines received in all; %2 \"Journal full\" lines (the view wrapped over "
                       "events not yet forwarded); exit %3")
            .arg(sim.lines().size())
            .arg(fullLines)
            .arg(exitCode);
    return row;
}

// --- k. killed at each write of one event ------------------------------------------------------------

// The rows of the event log in `dir`, oldest first.
std::vector<LoggedEvent> logRows(const QString& dir)
{
    EventLog log((dir + QStringLiteral("/events.db")).toStdString(), EventLog::Role::Reader);
    return log.isOpen() ? log.receivedSince(0) : std::vector<LoggedEvent>{};
}

// A burglary alarm (Contact ID 1130) of `account` in partition 01 with the panel's sequence number.
QByteArray alarmFrame(const QByteArray& account, int sequence, const QByteArray& zone)
{
    const QByteArray body = "\"ADM-CID\"" + QByteArray::number(sequence).rightJustified(4, '0') + "R1L1#" +
                            account + "[#" + account + "|1130 01 " + zone + "]";
    const std::uint16_t crc =
        DC9_CRC16(reinterpret_cast<const std::uint8_t*>(body.constData()), std::size_t(body.size()));
    return "\n" + QByteArray::number(crc, 16).toUpper().rightJustified(4, '0') +
           QByteArray::number(body.size(), 16).toUpper().rightJustified(4, '0') + body + "\r";
}

// A panel as a real one behaves: each frame is sent until it is acknowledged, again on a new
// connection when no ACK has come after `retryMs` (the receiver may have gone and come back), and
// the next frame only then.
class ScriptedPanel {
public:
    ScriptedPanel(quint16 port, int retryMs) : m_port(port), m_retryMs(retryMs)
    {
        m_retry.setSingleShot(true);
        QObject::connect(&m_retry, &QTimer::timeout, &m_socket, [this] { attempt(true); });
        QObject::connect(&m_socket, &QTcpSocket::connected, &m_socket, [this] {
            if (!m_queue.empty())
                m_socket.write(m_queue.front());
        });
        QObject::connect(&m_socket, &QTcpSocket::readyRead, &m_socket, [this] { read(); });
    }
    // Queued behind the frames not yet acknowledged.
    void send(const QList<QByteArray>& frames)
    {
        const bool idle = m_queue.empty();
        m_queue.insert(m_queue.end(), frames.begin(), frames.end());
        if (idle)
            attempt(false);
    }
    [[nodiscard]] bool done() const { return m_queue.empty(); }
    [[nodiscard]] int acknowledged() const { return m_acknowledged; }
    [[nodiscard]] int retries() const { return m_retries; }

private:
    void attempt(bool again)
    {
        if (m_queue.empty())
            return;
        m_retries += again ? 1 : 0;
        m_buffer.clear();
        if (!again && m_socket.state() == QAbstractSocket::ConnectedState) {
            m_socket.write(m_queue.front());
        } else {
            m_socket.abort();
            m_socket.connectToHost(QHostAddress::LocalHost, m_port);
        }
        m_retry.start(m_retryMs);
    }
    void read()
    {
        m_buffer += m_socket.readAll();
        const qsizetype cr = m_buffer.indexOf('\r');
        if (cr < 0 || m_queue.empty())
            return;
        const bool ack = m_buffer.left(cr).contains("\"ACK\"");
        m_buffer.remove(0, cr + 1);
        if (!ack)
            return; // sent again when the retry time is up
        m_retry.stop();
        ++m_acknowledged;
        m_queue.pop_front();
        attempt(false);
    }

    quint16 m_port;
    int m_retryMs;
    QTcpSocket m_socket;
    QTimer m_retry;
    QByteArray m_buffer;
    std::deque<QByteArray> m_queue;
    int m_acknowledged = 0;
    int m_retries = 0;
};

// One write or sync of the receiver as strace saw it: the thread (its place among the process's
// threads, in the order they were made), the call, its count among that thread's calls of the
// kind since tracing began, and the file's name.
struct WritePoint {
    int thread = 0;
    QByteArray call;
    int ordinal = 0;
    QByteArray file;
};

std::vector<qint64> threadsOf(qint64 pid)
{
    std::vector<qint64> out;
    for (const QString& t :
         QDir(QStringLiteral("/proc/%1/task").arg(pid)).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        out.push_back(t.toLongLong());
    std::sort(out.begin(), out.end());
    return out;
}

// "[TID ]call(FD</path/file>, ...": the call and the file's name, when the line is the entry of a
// write or a sync (a "<... resumed>" line is not).
std::optional<std::pair<QByteArray, QByteArray>> traceCall(const QByteArray& line, qint64* tid = nullptr)
{
    qsizetype at = 0;
    while (at < line.size() && std::isdigit(static_cast<unsigned char>(line[at])))
        ++at;
    if (tid != nullptr)
        *tid = at > 0 ? line.left(at).toLongLong() : 0;
    while (at < line.size() && line[at] == ' ')
        ++at;
    const qsizetype paren = line.indexOf('(', at);
    const QByteArray call = paren > at ? line.mid(at, paren - at) : QByteArray();
    if (call != "pwrite64" && call != "fdatasync" && call != "fsync")
        return std::nullopt;
    const qsizetype open = line.indexOf('<', paren);
    const qsizetype close = open > 0 ? line.indexOf('>', open) : -1;
    const QByteArray path = close > open ? line.mid(open + 1, close - open - 1) : QByteArray("?");
    return std::pair{call, path.mid(path.lastIndexOf('/') + 1)};
}

std::vector<WritePoint> writePoints(const QByteArray& trace, const std::vector<qint64>& threads)
{
    std::vector<WritePoint> out;
    std::map<std::pair<int, QByteArray>, int> counts;
    for (const QByteArray& line : trace.split('\n')) {
        qint64 tid = 0;
        const auto call = traceCall(line, &tid);
        const auto thread = std::find(threads.begin(), threads.end(), tid);
        if (!call || thread == threads.end())
            continue;
        const int index = int(thread - threads.begin());
        out.push_back({index, call->first, ++counts[{index, call->first}], call->second});
    }
    return out;
}

// "1 pwrite64 events.db-wal (thread 3), 2 fdatasync ..., 3-12 pwrite64 ...": runs of like calls.
QString describePoints(const std::vector<WritePoint>& points)
{
    QStringList parts;
    for (std::size_t i = 0; i < points.size();) {
        std::size_t end = i + 1;
        while (end < points.size() && points[end].thread == points[i].thread &&
               points[end].call == points[i].call && points[end].file == points[i].file)
            ++end;
        const QString ks =
            end - i == 1 ? QString::number(i + 1) : QStringLiteral("%1-%2").arg(i + 1).arg(end);
        parts << QStringLiteral("%1 %2 %3 (thread %4)")
                     .arg(ks, QString::fromLatin1(points[i].call), QString::fromLatin1(points[i].file))
                     .arg(points[i].thread + 1);
        i = end;
    }
    return parts.join(QStringLiteral(", "));
}

// What one telling of the panel's story came to.
struct KillCase {
    bool killed = false;
    bool ackedBeforeKill = false; // the receiver that was killed had acknowledged the first alarm
    QByteArray hit;               // the call and file the kill came on
    int acknowledged = 0;         // alarms the panel saw acknowledged, of 5
    int retries = 0;              // the panel's retries
    std::size_t lost = 0;         // acknowledged alarms that never reached automation-sim
    std::size_t duplicates = 0;   // lines at automation-sim, and rows in the log, beyond one per alarm
    qsizetype fullLines = 0;      // "Journal full" lines
    QString problem;
    std::vector<WritePoint> points; // without a kill point: the writes and syncs the first alarm caused
};

// The receiver idles with its automation link up; strace is attached; the panel sends an alarm. With
// a kill point, strace kills the receiver on entering that call, and it is started again on the same
// directory; without, strace records every write and sync until the alarm's passage is over. Either
// way the panel then sends its alarm again until it is answered, the same alarm with the next
// sequence number, and three events of another account.
KillCase tellPanelStory(const std::optional<WritePoint>& killAt)
{
    static const QByteArray kFirst = "5A01";
    static const QByteArray kOther = "5B02";
    struct Alarm {
        QByteArray account;
        int sequence;
        QByteArray zone;
    };
    const std::vector<Alarm> alarms = {
        {kFirst, 7, "015"}, {kFirst, 8, "015"}, {kOther, 1, "001"}, {kOther, 2, "002"}, {kOther, 3, "003"}};
    KillCase result;
    Receiver r;
    r.configureServerLink(600);
    r.start();
    AutomationSim sim;
    require(sim.start(r.simConnect() + QStringList{QStringLiteral("--quiet")}),
            "automation-sim did not start");
    require(r.install.waitForOutput("Connection with automation software established."),
            "the automation link did not come up");
    pauseFor(300); // the link's greeting is over: the receiver idles
    const std::vector<qint64> threads = threadsOf(r.install.pid());
    QTemporaryDir scratch;
    require(scratch.isValid(), "no temporary directory");
    const QString traceFile = scratch.filePath(QStringLiteral("trace"));
    QStringList arguments{QStringLiteral("-y"), QStringLiteral("-o"), traceFile};
    if (killAt) {
        // strace counts the calls of each kind in each thread: one thread, one kind, its n-th call.
        require(killAt->thread < int(threads.size()),
                "the receiver has fewer threads than when it was traced");
        const QString call = QString::fromLatin1(killAt->call);
        arguments << QStringLiteral("-p") << QString::number(threads[std::size_t(killAt->thread)])
                  << QStringLiteral("-e") << QStringLiteral("trace=") + call << QStringLiteral("-e")
                  << QStringLiteral("inject=%1:signal=KILL:when=%2").arg(call).arg(killAt->ordinal);
    } else {
        arguments << QStringLiteral("-f") << QStringLiteral("-p") << QString::number(r.install.pid())
                  << QStringLiteral("-e") << QStringLiteral("trace=pwrite64,fdatasync,fsync");
    }
    QProcess strace;
    strace.setProcessChannelMode(QProcess::MergedChannels);
    strace.start(QStringLiteral("strace"), arguments);
    require(strace.waitForStarted(5000), "strace did not start");
    QByteArray said;
    waitUntil([&] {
        said += strace.readAll();
        return said.contains("attached") || strace.state() == QProcess::NotRunning;
    });
    require(said.contains("attached"), "strace did not attach");

    const auto frame = [&](std::size_t i) {
        return alarmFrame(alarms[i].account, alarms[i].sequence, alarms[i].zone);
    };
    const auto linesOf = [&](std::size_t i) {
        const QByteArray end = " 18" + alarms[i].account + "E13001" + alarms[i].zone;
        const QList<QByteArray> lines = sim.lines();
        return std::count_if(lines.begin(), lines.end(),
                             [&](const QByteArray& l) { return l.endsWith(end); });
    };
    ScriptedPanel panel(r.port, 1000);
    panel.send({frame(0)});
    // The first alarm's passage: its commit, the view, the forwarding and its mark, the checkpoint.
    waitUntil([&] { return !r.install.running() || (panel.acknowledged() > 0 && linesOf(0) > 0); });
    waitUntil([&] { return !r.install.running(); }, 2500);
    result.killed = !r.install.running();
    pauseFor(200); // an ACK the receiver sent before it died is still read
    result.ackedBeforeKill = panel.acknowledged() > 0;
    if (strace.state() != QProcess::NotRunning) {
        ::kill(pid_t(strace.processId()), SIGINT); // detaches
        strace.waitForFinished(5000);
    }
    const QByteArray trace = fileBytes(traceFile);
    if (!killAt)
        result.points = writePoints(trace, threads);
    for (const QByteArray& line : trace.split('\n')) {
        if (const auto call = traceCall(line); call && line.contains("= ?"))
            result.hit = call->first + ' ' + call->second;
    }
    if (result.killed)
        r.start();
    panel.send({frame(1), frame(2), frame(3), frame(4)});
    waitUntil([&] { return panel.done(); }, 20000);
    const auto allForwarded = [&] {
        for (std::size_t i = 0; i < std::size_t(panel.acknowledged()); ++i) {
            if (linesOf(i) < (i < 2 ? std::min(panel.acknowledged(), 2) : 1))
                return false;
        }
        return true;
    };
    waitUntil(allForwarded, 15000);
    pauseFor(300); // the marks of the last lines
    const int exitCode = r.install.terminate();
    (void)sim.finish();
    result.acknowledged = panel.acknowledged();
    result.retries = panel.retries();
    result.fullLines = r.install.output().count("Journal full");

    // An acknowledged alarm has reached automation-sim when its row in the log is marked reported by
    // an answer and automation-sim has its line as many times at least as alarms of that content
    // were acknowledged (the two alarms of the first account read alike on the link).
    const std::vector<LoggedEvent> rows = logRows(r.install.dir());
    for (std::size_t i = 0; i < alarms.size(); ++i) {
        const auto same = [&](const LoggedEvent& e) {
            return textField(e.record.account, sizeof e.record.account) == alarms[i].account &&
                   e.sequence == alarms[i].sequence;
        };
        const auto logged = std::count_if(rows.begin(), rows.end(), same);
        const bool reported = std::any_of(rows.begin(), rows.end(), [&](const LoggedEvent& e) {
            return same(e) && e.state == ForwardState::Reported;
        });
        result.duplicates += std::size_t(std::max<qsizetype>(0, logged - 1));
        if (i >= std::size_t(result.acknowledged))
            continue;
        const int alike = i < 2 ? std::min(result.acknowledged, 2) : 1;
        if (!reported || linesOf(i) < alike)
            ++result.lost;
    }
    const auto count = [&](std::size_t i) { return std::size_t(linesOf(i)); };
    const std::size_t lines = count(0) + count(2) + count(3) + count(4);
    const std::size_t acked = std::size_t(result.acknowledged);
    result.duplicates += lines > acked ? lines - acked : 0;
    const std::size_t inView = storedSlots(r.install.dir());
    if (result.acknowledged < int(alarms.size()))
        result.problem = QStringLiteral("the panel saw %1 of 5 alarms acknowledged").arg(result.acknowledged);
    else if (exitCode != 0)
        result.problem = QStringLiteral("exit %1").arg(exitCode);
    else if (inView != rows.size())
        result.problem = QStringLiteral("the view holds %1 events, the log %2").arg(inView).arg(rows.size());
    return result;
}

// One kill point told in a process of its own (this program with --kill-case), so that several run at
// once: the receiver spends most of a telling waiting for its automation link. The child prints its
// KillCase on one line.
constexpr const char* kKillCaseOption = "--kill-case";

int runKillCase(const QStringList& arguments)
{
    const WritePoint at{
        arguments.value(0).toInt(), arguments.value(1).toLatin1(), arguments.value(2).toInt(), {}};
    KillCase c;
    try {
        c = tellPanelStory(at);
    } catch (const std::exception& e) {
        c.problem = QString::fromLocal8Bit(e.what());
    }
    std::printf("kill-case %d %d %d %d %zu %zu %lld|%s|%s\n", int(c.killed), int(c.ackedBeforeKill),
                c.acknowledged, c.retries, c.lost, c.duplicates, static_cast<long long>(c.fullLines),
                c.hit.constData(), qPrintable(c.problem));
    return 0;
}

KillCase parseKillCase(const QByteArray& output)
{
    KillCase c;
    const qsizetype at = output.lastIndexOf("kill-case ");
    if (at < 0) {
        c.problem =
            QStringLiteral("the telling printed nothing: ") + QString::fromLocal8Bit(output.right(300));
        return c;
    }
    const QList<QByteArray> parts = output.mid(at + 10).split('\n').value(0).split('|');
    const QList<QByteArray> n = parts.value(0).split(' ');
    c.killed = n.value(0) == "1";
    c.ackedBeforeKill = n.value(1) == "1";
    c.acknowledged = n.value(2).toInt();
    c.retries = n.value(3).toInt();
    c.lost = std::size_t(n.value(4).toULongLong());
    c.duplicates = std::size_t(n.value(5).toULongLong());
    c.fullLines = n.value(6).toLongLong();
    c.hit = parts.value(1);
    c.problem = QString::fromLocal8Bit(parts.value(2));
    return c;
}

// Every kill point, `parallel` tellings at a time.
std::vector<KillCase> tellAtEveryPoint(const std::vector<WritePoint>& points, std::size_t parallel)
{
    std::vector<KillCase> cases(points.size());
    std::vector<std::unique_ptr<QProcess>> running(points.size());
    std::size_t next = 0;
    std::size_t done = 0;
    while (done < points.size()) {
        std::size_t busy = 0;
        for (std::size_t i = 0; i < next; ++i) {
            if (!running[i])
                continue;
            if (running[i]->state() != QProcess::NotRunning) {
                ++busy;
                continue;
            }
            cases[i] = parseKillCase(running[i]->readAll());
            running[i].reset();
            ++done;
        }
        if (next < points.size() && busy < parallel) {
            const WritePoint& p = points[next];
            auto child = std::make_unique<QProcess>();
            child->setProcessChannelMode(QProcess::MergedChannels);
            child->start(QCoreApplication::applicationFilePath(),
                         {QString::fromLatin1(kKillCaseOption), QString::number(p.thread),
                          QString::fromLatin1(p.call), QString::number(p.ordinal)});
            running[next++] = std::move(child);
            continue;
        }
        pauseFor(50);
    }
    return cases;
}

Row killAtEveryWrite()
{
    Row row{QStringLiteral("k. killed at each write of one event"), {}};
    const KillCase traced = tellPanelStory(std::nullopt);
    require(!traced.points.empty(), "strace saw no write or sync");
    std::fprintf(stderr, "soak: k: the first alarm's writes and syncs: %s\n",
                 qPrintable(describePoints(traced.points)));
    const std::vector<KillCase> cases = tellAtEveryPoint(traced.points, 4);
    std::size_t lost = traced.lost;
    std::size_t duplicates = 0;
    int acknowledged = traced.acknowledged;
    int killed = 0;
    int ackedFirst = 0;
    qsizetype fullLines = traced.fullLines;
    QStringList problems;
    if (!traced.problem.isEmpty() || traced.lost > 0)
        problems << QStringLiteral("without a kill: %1, %2 lost").arg(traced.problem).arg(traced.lost);
    QStringList duplicatesAt;
    for (std::size_t k = 1; k <= cases.size(); ++k) {
        const KillCase& c = cases[k - 1];
        std::fprintf(
            stderr,
            "soak: k=%zu %s: %s, the first alarm ACKed before: %s, %d of 5 acknowledged, %d retries, %zu "
            "lost, %zu duplicates, %lld \"Journal full\" lines%s%s\n",
            k, traced.points[k - 1].call.constData(), c.killed ? c.hit.constData() : "not killed",
            c.ackedBeforeKill ? "yes" : "no", c.acknowledged, c.retries, c.lost, c.duplicates,
            static_cast<long long>(c.fullLines), c.problem.isEmpty() ? "" : "; ", qPrintable(c.problem));
        killed += c.killed ? 1 : 0;
        ackedFirst += c.killed && c.ackedBeforeKill ? 1 : 0;
        lost += c.lost;
        duplicates += c.duplicates;
        acknowledged += c.acknowledged;
        fullLines += c.fullLines;
        if (c.duplicates > 0)
            duplicatesAt << QStringLiteral("%1 at k=%2").arg(c.duplicates).arg(k);
        if (!c.problem.isEmpty() || c.lost > 0 || !c.killed)
            problems << QStringLiteral("k=%1: %2%3, %4 lost")
                            .arg(k)
                            .arg(c.killed ? QString() : QStringLiteral("not killed; "))
                            .arg(c.problem)
                            .arg(c.lost);
    }
    const std::size_t points = traced.points.size();
    row.tried =
        QStringLiteral("an alarm; the receiver killed (strace) on entering its k-th pwrite64 or fdatasync "
                       "after the alarm arrived, k = 1..%1 (every write and sync the alarm caused), and "
                       "started again; the panel repeats its alarm until answered, then the same "
                       "alarm with the next sequence number, then 3 events of another account; "
                       "automation-sim acknowledging")
            .arg(points);
    row.acknowledged =
        QStringLiteral("%1 alarms in %2 runs; the first alarm ACKed before the kill at %3 of %4")
            .arg(acknowledged)
            .arg(points + 1)
            .arg(ackedFirst)
            .arg(killed);
    row.lost = QStringLiteral("%1 never forwarded").arg(lost);
    row.pass = lost == 0 && problems.isEmpty() && killed == int(points) && points >= 12;
    row.result =
        QStringLiteral("%1 of %2 kill points reached; %3 duplicates%4; %5 \"Journal full\" lines%6")
            .arg(killed)
            .arg(points)
            .arg(duplicates)
            .arg(duplicatesAt.isEmpty()
                     ? QString()
                     : QStringLiteral(" (") + duplicatesAt.join(QStringLiteral(", ")) + QStringLiteral(")"))
            .arg(fullLines)
            .arg(problems.isEmpty() ? QString() : QStringLiteral("; ") + problems.join(QStringLiteral("; ")));
    return row;
}

// --- e. automation outage and a flapping link -----------------------------------------------------

// Between the simulator and the receiver's output port; drops every connection once a second.
class FlappingProxy {
public:
    FlappingProxy(quint16 target) : m_target(target)
    {
        m_server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&m_server, &QTcpServer::newConnection, &m_server, [this] { accept(); });
        QObject::connect(&m_flap, &QTimer::timeout, &m_server, [this] {
            ++m_flaps;
            for (auto& [a, b] : m_pairs) {
                if (a)
                    a->abort();
                if (b)
                    b->abort();
            }
            m_pairs.clear();
        });
    }
    [[nodiscard]] quint16 port() const { return m_server.serverPort(); }
    void startFlapping() { m_flap.start(1000); }
    void stopFlapping() { m_flap.stop(); }
    [[nodiscard]] int flaps() const { return m_flaps; }

private:
    void accept()
    {
        while (QTcpSocket* in = m_server.nextPendingConnection()) {
            auto* out = new QTcpSocket(in);
            out->connectToHost(QHostAddress::LocalHost, m_target);
            QPointer<QTcpSocket> pin(in);
            QPointer<QTcpSocket> pout(out);
            QObject::connect(in, &QTcpSocket::readyRead, in, [pin, pout] {
                if (pout)
                    pout->write(pin->readAll());
            });
            QObject::connect(out, &QTcpSocket::readyRead, in, [pin, pout] {
                if (pin)
                    pin->write(pout->readAll());
            });
            QObject::connect(in, &QTcpSocket::disconnected, in, [pin, pout] {
                if (pout)
                    pout->abort();
                if (pin)
                    pin->deleteLater();
            });
            QObject::connect(out, &QTcpSocket::disconnected, in, [pin] {
                if (pin)
                    pin->abort();
            });
            m_pairs.emplace_back(pin, pout);
        }
    }
    quint16 m_target;
    QTcpServer m_server;
    QTimer m_flap;
    std::vector<std::pair<QPointer<QTcpSocket>, QPointer<QTcpSocket>>> m_pairs;
    int m_flaps = 0;
};

Row automationOutage()
{
    Row row{QStringLiteral("e1. automation outage"),
            QStringLiteral("4 panels (1 event/40 ms) for 13 s; automation-sim killed for the middle 6 s")};
    Receiver r;
    r.configureServerLink(5);
    r.start();
    AutomationSim sim;
    require(sim.start(r.simConnect() + QStringList{QStringLiteral("--quiet")}), "automation-sim did not start");
    PanelLoad load(r.port, 4, 0);
    load.setPause(40);
    load.setRetry(3000);
    require(load.connectAll(), "panels could not connect");
    load.start();
    pauseFor(3000);
    QList<QByteArray> before = sim.lines();
    (void)sim.finish();
    pauseFor(6000);
    AutomationSim again;
    require(again.start(r.simConnect() + QStringList{QStringLiteral("--quiet")}), "automation-sim did not restart");
    pauseFor(4000);
    load.stop();
    pauseFor(300);
    const auto forwarded = [&] {
        std::set<PanelEvent> all = forwardedEvents(before);
        const std::set<PanelEvent> more = forwardedEvents(again.lines());
        all.insert(more.begin(), more.end());
        return all;
    };
    waitUntil([&] { return countMissing(load.acknowledged(), forwarded()) == 0; }, 30000);
    const std::size_t notForwarded = countMissing(load.acknowledged(), forwarded());
    const int exitCode = r.install.terminate();
    const std::size_t notInLog = missingFromLog(r.install.dir(), load.acknowledged()).size();
    const std::size_t notInView = missingFromJournal(r.install.dir(), load.acknowledged()).size();
    (void)again.finish();
    row.acknowledged = number(load.acknowledged().size());
    row.lost = QStringLiteral("%1 not in the log, %2 not in the view, %3 never forwarded")
                   .arg(notInLog)
                   .arg(notInView)
                   .arg(notForwarded);
    row.pass = notInLog == 0 && notInView == 0 && notForwarded == 0 && load.refused() == 0 && exitCode == 0;
    row.result = QStringLiteral("%1 lines before the outage, %2 after; exit %3")
                     .arg(before.size())
                     .arg(again.lines().size())
                     .arg(exitCode);
    return row;
}

Row flappingLink()
{
    Row row{QStringLiteral("e2. flapping link"),
            QStringLiteral("4 panels (1 event/40 ms) for 12 s; the automation connection cut every second")};
    Receiver r;
    r.configureServerLink(5);
    r.start();
    FlappingProxy proxy(r.monPort);
    AutomationSim sim;
    require(sim.start({QStringLiteral("--connect"), QStringLiteral("127.0.0.1:%1").arg(proxy.port()),
                       QStringLiteral("--quiet")}),
            "automation-sim did not start");
    PanelLoad load(r.port, 4, 0);
    load.setPause(40);
    load.setRetry(3000);
    require(load.connectAll(), "panels could not connect");
    load.start();
    proxy.startFlapping();
    pauseFor(12000);
    load.stop();
    proxy.stopFlapping();
    pauseFor(300);
    waitUntil([&] { return countMissing(load.acknowledged(), forwardedEvents(sim.lines())) == 0; }, 30000);
    const std::size_t notForwarded = countMissing(load.acknowledged(), forwardedEvents(sim.lines()));
    const int exitCode = r.install.terminate();
    const std::size_t notInLog = missingFromLog(r.install.dir(), load.acknowledged()).size();
    const std::size_t notInView = missingFromJournal(r.install.dir(), load.acknowledged()).size();
    (void)sim.finish();
    const std::size_t received = sim.lines().size();
    row.acknowledged = number(load.acknowledged().size());
    row.lost = QStringLiteral("%1 not in the log, %2 not in the view, %3 never forwarded")
                   .arg(notInLog)
                   .arg(notInView)
                   .arg(notForwarded);
    row.pass = notInLog == 0 && notInView == 0 && notForwarded == 0 && load.refused() == 0 && exitCode == 0 &&
               proxy.flaps() >= 10;
    row.result = QStringLiteral("%1 cuts; %2 lines received (%3 more than events: resent after a cut); exit %4")
                     .arg(proxy.flaps())
                     .arg(received)
                     .arg(qlonglong(received) - qlonglong(load.acknowledged().size()))
                     .arg(exitCode);
    return row;
}

// --- f. answers the receiver must not believe ------------------------------------------------------

// "hh:mm:ss.zzz  LINE  -> ANSWER" lines of the simulator's output: each report line's answers.
std::map<QByteArray, std::set<QByteArray>> answersOf(const QByteArray& output)
{
    std::map<QByteArray, std::set<QByteArray>> out;
    for (const QByteArray& l : output.split('\n')) {
        const qsizetype arrow = l.lastIndexOf("  -> ");
        if (arrow < 14)
            continue;
        out[l.mid(14, arrow - 14)].insert(l.mid(arrow + 5).trimmed());
    }
    return out;
}

Row falseAnswers(const QString& name, const QString& tried, const QStringList& simArgs, bool anyMarkIsWrong)
{
    Row row{name, tried};
    constexpr int kEvents = 30;
    Receiver r;
    r.configureServerLink(1);
    r.start();
    PanelLoad load(r.port, 1, 0, kEvents);
    require(load.connectAll(), "panel could not connect");
    load.start();
    waitUntil([&] { return load.finished(); }, 10000);
    AutomationSim sim;
    require(sim.start(r.simConnect() + simArgs), "automation-sim did not start");
    pauseFor(25000);
    const int exitCode = r.install.terminate();
    (void)sim.finish();
    const std::map<QByteArray, std::set<QByteArray>> answers = answersOf(sim.output());
    // Which events the simulator acknowledged in some way, keyed like the journal.
    std::set<PanelEvent> simAcked;
    std::size_t reportLines = 0;
    for (const auto& [line, kinds] : answers) {
        const auto e = eventOfReport(line);
        if (!e)
            continue;
        ++reportLines;
        if (kinds.count("ACK") || kinds.count("double"))
            simAcked.insert(*e);
    }
    const std::vector<PanelEvent> marked = reportedOnDisk(r.install.dir());
    // For each wrong mark, what the line just before it was answered with (in the order received).
    std::vector<std::pair<QByteArray, QByteArray>> order; // line, answer
    for (const QByteArray& l : sim.output().split('\n')) {
        const qsizetype arrow = l.lastIndexOf("  -> ");
        if (arrow >= 14)
            order.emplace_back(l.mid(14, arrow - 14), l.mid(arrow + 5).trimmed());
    }
    std::size_t wrong = 0;
    QStringList seen;
    for (const PanelEvent& e : marked) {
        if (!anyMarkIsWrong && simAcked.count(e))
            continue;
        ++wrong;
        for (std::size_t i = 1; i < order.size() && seen.size() < 3; ++i) {
            const auto at = eventOfReport(order[i].first);
            if (at && at->panel == e.panel && at->number == e.number) {
                seen << QStringLiteral("event %1 answered %2, the line before it %3")
                            .arg(e.number)
                            .arg(QString::fromLatin1(order[i].second), QString::fromLatin1(order[i - 1].second));
                break;
            }
        }
    }
    row.acknowledged = QStringLiteral("%1 by the panel; %2 by automation-sim").arg(load.acknowledged().size()).arg(simAcked.size());
    row.lost = QStringLiteral("%1 marked without its ACK").arg(wrong);
    row.pass = wrong == 0 && exitCode == 0 && int(load.acknowledged().size()) == kEvents;
    row.result = QStringLiteral("%1 report lines sent, %2 events marked reported; exit %3")
                     .arg(reportLines)
                     .arg(marked.size())
                     .arg(exitCode);
    if (!seen.isEmpty())
        row.result += QStringLiteral("; ") + seen.join(QStringLiteral("; "));
    return row;
}

// --- g. a disk that refuses -------------------------------------------------------------------------

// A size-limited tmpfs mounted over the receiver's data directory for the scenario's length.
class TmpfsMount {
public:
    TmpfsMount(const QString& dir, const QString& size) : m_dir(dir.toStdString())
    {
        const std::string options = "size=" + size.toStdString();
        m_mounted = ::mount("tmpfs", m_dir.c_str(), "tmpfs", 0, options.c_str()) == 0;
        if (!m_mounted)
            m_error = QString::fromLocal8Bit(std::strerror(errno));
    }
    ~TmpfsMount()
    {
        if (m_mounted)
            (void)::umount2(m_dir.c_str(), MNT_DETACH);
    }
    [[nodiscard]] bool mounted() const { return m_mounted; }
    [[nodiscard]] QString error() const { return m_error; }
    bool setReadOnly(bool readOnly)
    {
        const unsigned long flags = MS_REMOUNT | (readOnly ? MS_RDONLY : 0);
        return ::mount("tmpfs", m_dir.c_str(), "tmpfs", flags, nullptr) == 0;
    }

private:
    std::string m_dir;
    bool m_mounted = false;
    QString m_error;
};

// Fills the filesystem of `dir` with a file until a write fails; leaves `keepBytes` free.
bool fillUp(const QString& path, qint64 keepBytes)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const QByteArray block(4096, 'F');
    struct statvfs st {};
    while (::statvfs(QFileInfo(path).absolutePath().toLocal8Bit().constData(), &st) == 0 &&
           qint64(st.f_bavail) * qint64(st.f_frsize) > keepBytes) {
        if (f.write(block) != block.size() || !f.flush())
            break;
    }
    return true;
}

// While it lives, every write, sync and truncation of the files in `dir` (and of the directory)
// fails with EROFS, as on a file system the kernel has made read-only after an error. A mount cannot
// be made read-only while the receiver holds its files open for writing, which it does.
class RefusedWrites {
public:
    RefusedWrites(qint64 pid, const QString& dir)
    {
        const QString calls =
            QStringLiteral("pwrite64,pwritev,write,writev,fdatasync,fsync,ftruncate,fallocate");
        QStringList arguments{QStringLiteral("-f"),
                              QStringLiteral("-p"),
                              QString::number(pid),
                              QStringLiteral("-o"),
                              QStringLiteral("/dev/null"),
                              QStringLiteral("-e"),
                              QStringLiteral("trace=") + calls,
                              QStringLiteral("-e"),
                              QStringLiteral("inject=%1:error=EROFS").arg(calls),
                              QStringLiteral("-P"),
                              dir};
        for (const QString& name :
             QDir(dir).entryList(QDir::Files) + QStringList{QStringLiteral("events.db-journal")})
            arguments << QStringLiteral("-P") << QDir(dir).filePath(name);
        m_strace.setProcessChannelMode(QProcess::MergedChannels);
        m_strace.start(QStringLiteral("strace"), arguments);
        QByteArray said;
        m_attached = m_strace.waitForStarted(5000) && waitUntil([&] {
                         said += m_strace.readAll();
                         return said.contains("attached") || m_strace.state() == QProcess::NotRunning;
                     }) &&
                     said.contains("attached");
    }
    ~RefusedWrites() { end(); }
    [[nodiscard]] bool attached() const { return m_attached; }
    void end()
    {
        if (m_strace.state() == QProcess::NotRunning)
            return;
        ::kill(pid_t(m_strace.processId()), SIGINT); // detaches
        if (!m_strace.waitForFinished(5000))
            m_strace.kill();
    }

private:
    QProcess m_strace;
    bool m_attached = false;
};

Row readOnlyDirectory()
{
    Row row{QStringLiteral("g1. read-only data directory"),
            QStringLiteral(
                "2 panels (1 event/100 ms, retry after 2 s): 3 s writable, 6 s in which every write and "
                "sync of the data files fails with EROFS (strace), 6 s writable")};
    Receiver r;
    r.configure();
    r.start();
    PanelLoad load(r.port, 2, 0);
    load.setPause(100);
    load.setRetry(2000);
    require(load.connectAll(), "panels could not connect");
    load.start();
    pauseFor(3000);
    const std::size_t beforeFault = load.acknowledged().size();
    RefusedWrites refused(r.install.pid(), r.install.dir());
    require(refused.attached(), "strace did not attach");
    pauseFor(1000); // an answer already on its way may still arrive
    const std::size_t faultStart = load.acknowledged().size();
    pauseFor(5000);
    const std::size_t duringFault = load.acknowledged().size() - faultStart;
    const bool missingDuring = missingFromLog(r.install.dir(), load.acknowledged()).empty();
    refused.end();
    pauseFor(6000);
    load.stop();
    pauseFor(300);
    const std::size_t afterFault = load.acknowledged().size() - faultStart - duringFault;
    const std::vector<PanelEvent> missing = missingFromLogOrView(r.install.dir(), load.acknowledged());
    const int exitCode = r.install.terminate();
    const QByteArray out = r.install.output();
    const bool redLine = out.contains("File open error. " + r.install.dir().toLocal8Bit()) ||
                         out.contains("Disk write error. " + r.install.dir().toLocal8Bit());
    row.acknowledged = QStringLiteral("%1 (%2 before, %3 while read-only, %4 after)")
                           .arg(load.acknowledged().size())
                           .arg(beforeFault)
                           .arg(duringFault)
                           .arg(afterFault);
    row.lost = number(missing.size());
    row.pass = duringFault == 0 && missingDuring && missing.empty() && redLine && afterFault > 0 && exitCode == 0;
    QByteArray first; // the first of them, the directory shortened
    for (const QByteArray& line : out.split('\n')) {
        if (line.contains("error. " + r.install.dir().toLocal8Bit())) {
            first = line.mid(line.indexOf("  ") + 2).replace(r.install.dir().toLocal8Bit(), "DIR");
            break;
        }
    }
    row.result = QStringLiteral("error line naming the file: %1%4; %2 panel retries; exit %3")
                     .arg(redLine ? QStringLiteral("yes") : QStringLiteral("no"))
                     .arg(load.retries())
                     .arg(exitCode)
                     .arg(first.isEmpty() ? QString()
                                          : QStringLiteral(" (\"%1\")").arg(QString::fromLocal8Bit(first)));
    return row;
}

Row readOnlyFromTheStart()
{
    Row row{QStringLiteral("g3. read-only before the start"),
            QStringLiteral("settings only, directory read-only at start (no journal files can be made); 2 panels "
                           "(1 event/100 ms, retry after 2 s) for 5 s; then writable, 6 s more")};
    Receiver r;
    require(r.install.valid(), "no temporary directory");
    TmpfsMount mount(r.install.dir(), QStringLiteral("16m"));
    if (!mount.mounted()) {
        row.result = QStringLiteral("not run: cannot mount a tmpfs (%1); needs root").arg(mount.error());
        return row;
    }
    r.configure();
    require(mount.setReadOnly(true), "cannot remount read-only");
    r.start();
    PanelLoad load(r.port, 2, 0);
    load.setPause(100);
    load.setRetry(2000);
    require(load.connectAll(), "panels could not connect");
    load.start();
    pauseFor(5000);
    const std::size_t whileReadOnly = load.acknowledged().size();
    require(mount.setReadOnly(false), "cannot remount writable");
    pauseFor(6000);
    load.stop();
    pauseFor(300);
    const std::vector<PanelEvent> missing = missingFromLogOrView(r.install.dir(), load.acknowledged());
    const int exitCode = r.install.terminate();
    const bool journalThere = QFileInfo::exists(r.install.file(QStringLiteral("kalvor.dat")));
    row.acknowledged = QStringLiteral("%1 (%2 while read-only)").arg(load.acknowledged().size()).arg(whileReadOnly);
    row.lost = number(missing.size());
    row.pass = whileReadOnly == 0 && missing.empty() && load.acknowledged().size() > 0 && exitCode == 0;
    row.result = QStringLiteral("kalvor.dat made once writable: %1; %2 panel retries; exit %3")
                     .arg(journalThere ? QStringLiteral("yes") : QStringLiteral("no"))
                     .arg(load.retries())
                     .arg(exitCode);
    return row;
}

Row fullFilesystem()
{
    Row row{QStringLiteral("g2. full filesystem"),
            QStringLiteral("start on a 1 MiB tmpfs filled to 100 KiB free; 2 panels (1 event/100 ms, retry after "
                           "2 s) for 6 s; then space freed, 6 s more")};
    Receiver r;
    require(r.install.valid(), "no temporary directory");
    TmpfsMount mount(r.install.dir(), QStringLiteral("1m"));
    if (!mount.mounted()) {
        row.result = QStringLiteral("not run: cannot mount a tmpfs (%1); needs root").arg(mount.error());
        return row;
    }
    r.configure();
    const QString filler = r.install.file(QStringLiteral("filler"));
    require(fillUp(filler, 100 * 1024), "cannot fill the filesystem");
    r.start();
    PanelLoad load(r.port, 2, 0);
    load.setPause(100);
    load.setRetry(2000);
    require(load.connectAll(), "panels could not connect");
    load.start();
    pauseFor(6000);
    const std::size_t whileFull = load.acknowledged().size();
    const bool noneMissingWhileFull = missingFromLog(r.install.dir(), load.acknowledged()).empty();
    QFile::remove(filler);
    pauseFor(6000);
    load.stop();
    pauseFor(300);
    const std::vector<PanelEvent> missing = missingFromLogOrView(r.install.dir(), load.acknowledged());
    const int exitCode = r.install.terminate();
    const QByteArray out = r.install.output();
    const bool redLine = out.contains("No space left on device");
    const qint64 journalSize = QFileInfo(r.install.file(QStringLiteral("kalvor.dat"))).size();
    const qint64 extendedSize = QFileInfo(r.install.file(QStringLiteral("extevn.dat"))).size();
    const qint64 accountSize = QFileInfo(r.install.file(QStringLiteral("latevn.dat"))).size();
    row.acknowledged = QStringLiteral("%1 (%2 while full)").arg(load.acknowledged().size()).arg(whileFull);
    row.lost = number(missing.size());
    const bool wholeFiles = journalSize == qint64(journal::kImageSize) &&
                            extendedSize == qint64(journal::kExtendedImageSize) && accountSize == 163840;
    row.pass = noneMissingWhileFull && missing.empty() && redLine && wholeFiles &&
               load.acknowledged().size() > whileFull && exitCode == 0;
    row.result = QStringLiteral("\"No space left on device\" logged: %1; files afterwards %2, %3, %4 bytes; exit %5")
                     .arg(redLine ? QStringLiteral("yes") : QStringLiteral("no"))
                     .arg(journalSize)
                     .arg(extendedSize)
                     .arg(accountSize)
                     .arg(exitCode);
    return row;
}

// --- h. a serial device that vanishes ---------------------------------------------------------------

Row vanishingSerial()
{
    Row row{QStringLiteral("h. serial device vanishes"),
            QStringLiteral("2 panels (1 event/100 ms) for 14 s; the socat pair killed after 4 s and "
                           "started again on the same links 5 s later")};
    Receiver r;
    require(r.install.valid(), "no temporary directory");
    auto pair = std::make_unique<testsupport::SocatPair>(r.install.dir());
    if (!pair->available()) {
        row.result = QStringLiteral("not run: ") + pair->error();
        return row;
    }
    const QString simPath = pair->pathB();
    r.configure({QStringLiteral("Mon_Port_Open=2"), QStringLiteral("COM_Nr=COM1"), QStringLiteral("COM_Baud=9600"),
                 QStringLiteral("Test_Heartbeat_Period=5")});
    auto sim = std::make_unique<AutomationSim>();
    require(sim->start({QStringLiteral("--serial"), simPath, QStringLiteral("--baud"), QStringLiteral("9600"),
                        QStringLiteral("--quiet")}),
            "automation-sim did not start");
    r.start();
    PanelLoad load(r.port, 2, 0);
    load.setPause(100);
    load.setRetry(3000);
    require(load.connectAll(), "panels could not connect");
    load.start();
    pauseFor(4000);
    pair.reset(); // the adapter is pulled
    QList<QByteArray> before = sim->lines();
    (void)sim->finish();
    pauseFor(5000);
    pair = std::make_unique<testsupport::SocatPair>(r.install.dir());
    require(pair->available(), "socat did not start again");
    auto again = std::make_unique<AutomationSim>();
    require(again->start({QStringLiteral("--serial"), simPath, QStringLiteral("--baud"), QStringLiteral("9600"),
                          QStringLiteral("--quiet")}),
            "automation-sim did not restart");
    pauseFor(5000);
    load.stop();
    pauseFor(300);
    const auto forwarded = [&] {
        std::set<PanelEvent> all = forwardedEvents(before);
        const std::set<PanelEvent> more = forwardedEvents(again->lines());
        all.insert(more.begin(), more.end());
        return all;
    };
    waitUntil([&] { return countMissing(load.acknowledged(), forwarded()) == 0; }, 30000);
    const std::size_t notForwarded = countMissing(load.acknowledged(), forwarded());
    const int exitCode = r.install.terminate();
    const std::size_t notInLog = missingFromLog(r.install.dir(), load.acknowledged()).size();
    const std::size_t notInView = missingFromJournal(r.install.dir(), load.acknowledged()).size();
    const QByteArray out = r.install.output();
    const bool down = out.contains("Automation software port COM1 lost");
    const qsizetype opened = out.count("Automation software port COM1 is open.");
    (void)again->finish();
    row.acknowledged = number(load.acknowledged().size());
    row.lost = QStringLiteral("%1 not in the log, %2 not in the view, %3 never forwarded")
                   .arg(notInLog)
                   .arg(notInView)
                   .arg(notForwarded);
    row.pass = notInLog == 0 && notInView == 0 && notForwarded == 0 && down && opened >= 2 && exitCode == 0;
    row.result = QStringLiteral("loss logged: %1; port opened %2 times; %3 lines before, %4 after; exit %5")
                     .arg(down ? QStringLiteral("yes") : QStringLiteral("no"))
                     .arg(opened)
                     .arg(before.size())
                     .arg(again->lines().size())
                     .arg(exitCode);
    return row;
}

// --- l. a second ACK that comes late on the serial link ----------------------------------------------

// "hh:mm:ss.zzz  LINE  -> ANSWER" lines of the simulator's output, in the order the lines came.
std::vector<std::pair<QByteArray, QByteArray>> answerOrder(const QByteArray& output)
{
    std::vector<std::pair<QByteArray, QByteArray>> order;
    for (const QByteArray& l : output.split('\n')) {
        const qsizetype arrow = l.lastIndexOf("  -> ");
        if (arrow >= 14)
            order.emplace_back(l.mid(14, arrow - 14), l.mid(arrow + 5).trimmed());
    }
    return order;
}

struct LateAckCase {
    bool pass = false;
    int acknowledged = 0;  // by the panel
    int wrongMarks = 0;    // rows seen reported while none of their line's sendings so far was ACKed
    int nakedSendings = 0; // sendings of the line after the doubled one, the NAKed one included
    int doubledSendings = 0;
    int lines = 0;
    QString text;
};

// `before` lines answered once, then one answered with two ACKs, the second `gapMs` after the first,
// and the next line's first sending NAKed; every later sending is acknowledged. While it runs, the log
// is read every few milliseconds, and each time a row is seen marked reported, the sendings of its line
// that automation-sim had had by then are noted: one of them must have been acknowledged.
LateAckCase lateSecondAck(int gapMs, int before)
{
    LateAckCase result;
    Receiver r;
    require(r.install.valid(), "no temporary directory");
    testsupport::SocatPair pair(r.install.dir());
    require(pair.available(), "socat did not start");
    r.configure({QStringLiteral("Mon_Port_Open=2"), QStringLiteral("COM_Nr=COM1"),
                 QStringLiteral("COM_Baud=9600"), QStringLiteral("Test_Heartbeat_Period=600")});
    QStringList script;
    for (int i = 0; i < before; ++i)
        script << QStringLiteral("ack");
    script << QStringLiteral("double") << QStringLiteral("nak");
    // A pseudo-terminal pair passes a line at once; on a wire at 9600 baud a report line takes 23 ms
    // to arrive, and its answer comes that much later: the simulator waits that long before answering.
    AutomationSim sim;
    require(
        sim.start({QStringLiteral("--serial"), pair.pathB(), QStringLiteral("--baud"), QStringLiteral("9600"),
                   QStringLiteral("--delay"), QStringLiteral("23"), QStringLiteral("--script"),
                   script.join(QLatin1Char(',')), QStringLiteral("--double-gap"), QString::number(gapMs)}),
        "automation-sim did not start");
    r.start();
    const int events = before + 3;
    PanelLoad load(r.port, 1, 0, events);
    require(load.connectAll(), "panel could not connect");
    load.start();

    EventLog log(r.install.file(QStringLiteral("events.db")).toStdString(), EventLog::Role::Reader);
    std::map<std::int64_t, bool> reported;      // by row id, as last seen
    std::vector<std::pair<int, int>> marksSeen; // event number, sendings of its line by then
    const auto sendings = [&](int number) {
        const QList<QByteArray> lines = sim.lines();
        return int(std::count_if(lines.begin(), lines.end(), [&](const QByteArray& l) {
            const auto e = eventOfReport(l);
            return e && e->number == number;
        }));
    };
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, &watch, [&] {
        for (const LoggedEvent& e : log.receivedSince(0)) {
            const bool now = e.state == ForwardState::Reported;
            bool& was = reported[e.id];
            if (now && !was) {
                const JournalRecord& rec = e.record;
                if (const auto pe = eventOf(textField(rec.account, sizeof rec.account),
                                            textField(rec.partition, sizeof rec.partition),
                                            textField(rec.zone, sizeof rec.zone)))
                    marksSeen.emplace_back(pe->number, sendings(pe->number));
            }
            was = now;
        }
    });
    watch.start(3);
    const auto allReported = [&] {
        return int(reported.size()) == events &&
               std::all_of(reported.begin(), reported.end(), [](const auto& p) { return p.second; });
    };
    waitUntil([&] { return load.finished() && allReported(); }, 30000);
    watch.stop();
    const int exitCode = r.install.terminate();
    (void)sim.finish();
    const QByteArray out = r.install.output();
    const qsizetype naks = out.count("Link error (data): negative ACK from automation software.");
    const qsizetype doubts =
        out.count("An answer came from the automation software when no line waited for one");

    // Which sendings of each line automation-sim acknowledged, in the order they came.
    std::map<int, std::vector<QByteArray>> answers;
    for (const auto& [line, answer] : answerOrder(sim.output())) {
        if (const auto e = eventOfReport(line))
            answers[e->number].push_back(answer);
    }
    for (const auto& [number, count] : marksSeen) {
        const std::vector<QByteArray>& a = answers[number];
        const bool acked =
            std::any_of(a.begin(), a.begin() + std::min<std::size_t>(std::size_t(count), a.size()),
                        [](const QByteArray& x) { return x == "ACK" || x == "double"; });
        result.wrongMarks += acked ? 0 : 1;
    }
    result.acknowledged = int(load.acknowledged().size());
    result.doubledSendings = int(answers[before].size());
    result.nakedSendings = int(answers[before + 1].size());
    for (const auto& [number, a] : answers)
        result.lines += int(a.size());
    const bool nakedFirst = !answers[before + 1].empty() && answers[before + 1].front() == "NAK";
    result.pass = result.wrongMarks == 0 && allReported() && result.acknowledged == events && nakedFirst &&
                  result.nakedSendings >= 2 && exitCode == 0;
    result.text =
        QStringLiteral("%1 ms%2: the NAKed line sent %3 times, the doubled one %4, %5 lines for %6 events "
                       "(%8 NAK lines, %9 doubt lines in the log)%7")
            .arg(gapMs)
            .arg(before > 0 ? QStringLiteral(" after %1 lines").arg(before) : QString())
            .arg(result.nakedSendings)
            .arg(result.doubledSendings)
            .arg(result.lines)
            .arg(events)
            .arg(result.pass ? QString()
                             : QStringLiteral(" (FAIL: %1 marked without an ACK, %2 left unreported, "
                                              "first answer to the next line %3, exit %4)")
                                   .arg(result.wrongMarks)
                                   .arg(std::count_if(reported.begin(), reported.end(),
                                                      [](const auto& p) { return !p.second; }))
                                   .arg(nakedFirst ? QStringLiteral("NAK") : QStringLiteral("not NAK"))
                                   .arg(exitCode))
            .arg(naks)
            .arg(doubts);
    return result;
}

Row lateSecondAcks()
{
    Row row{QStringLiteral("l. late second ACK (serial)"), {}};
    const int gaps[] = {2, 5, 10, 20, 40, 60};
    const int befores[] = {0, 9};
    int cases = 0;
    int passed = 0;
    int acknowledged = 0;
    int wrong = 0;
    QStringList texts;
    for (const int before : befores) {
        for (const int gap : gaps) {
            const LateAckCase c = lateSecondAck(gap, before);
            std::fprintf(stderr, "soak: l: %s\n", qPrintable(c.text));
            ++cases;
            passed += c.pass ? 1 : 0;
            acknowledged += c.acknowledged;
            wrong += c.wrongMarks;
            texts << c.text;
        }
    }
    row.tried = QStringLiteral(
        "serial link at 9600 baud (socat pair); automation-sim answers one line with two ACKs, "
        "the second 2, 5, 10, 20, 40 or 60 ms after the first, and NAKs the next line's "
        "first sending; the doubled line the first of the port's opening, or the tenth "
        "(after the 8 answers on probation); the log read every 3 ms");
    row.acknowledged = QStringLiteral("%1 events by the panel in %2 cases").arg(acknowledged).arg(cases);
    row.lost = QStringLiteral("%1 marked without its ACK").arg(wrong);
    row.pass = passed == cases;
    row.result =
        QStringLiteral("%1 of %2 cases: %3").arg(passed).arg(cases).arg(texts.join(QStringLiteral("; ")));
    return row;
}

// --- the table ----------------------------------------------------------------------------------------

QByteArray cell(QString text)
{
    return text.replace(QLatin1Char('|'), QStringLiteral("\\|")).toUtf8();
}

QByteArray rowLine(const Row& r)
{
    return "| " + cell(r.scenario) + " | " + cell(r.tried) + " | " + cell(r.acknowledged) + " | " + cell(r.lost) +
           " | " + (r.pass ? QByteArray("pass") : QByteArray("FAIL")) + (r.result.isEmpty() ? "" : ": ") +
           cell(r.result) + " |";
}

void raiseOpenFileLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        (void)setrlimit(RLIMIT_NOFILE, &limit);
    }
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    raiseOpenFileLimit();
    if (programPath().isEmpty() || automationSimPath().isEmpty()) {
        std::fprintf(stderr, "ardentel_soak: set ARDENTEL_BIN and AUTOMATION_SIM (make soak does)\n");
        return 2;
    }
    const QStringList only = app.arguments().mid(1); // scenario letters to run, e.g. "a" "f2"; none: all
    if (only.value(0) == QString::fromLatin1(kKillCaseOption))
        return runKillCase(only.mid(1));
    struct Scenario {
        const char* key;
        std::function<Row()> run;
    };
    const std::vector<Scenario> scenarios = {
        {"a", garbageFlood},
        {"b", idleConnections},
        {"c", slowSenders},
        {"d", killUnderLoad},
        {"e1", automationOutage},
        {"e2", flappingLink},
        {"f1",
         [] {
             return falseAnswers(QStringLiteral("f1. answered twice"),
                                 QStringLiteral("30 events; automation-sim answers 40% twice, 30% once, 30% never"),
                                 {QStringLiteral("--mix"), QStringLiteral("ack=30,double=40,none=30"),
                                  QStringLiteral("--heartbeat-answer"), QStringLiteral("ack")},
                                 false);
         }},
        {"f2",
         [] {
             return falseAnswers(QStringLiteral("f2. answered late"),
                                 QStringLiteral("30 events; every answer 2.1 s late, half of them none at all"),
                                 {QStringLiteral("--delay"), QStringLiteral("2100"), QStringLiteral("--mix"),
                                  QStringLiteral("ack=50,none=50")},
                                 false);
         }},
        {"f3",
         [] {
             return falseAnswers(QStringLiteral("f3. answered on the other connection"),
                                 QStringLiteral("30 events; automation-sim on two connections answers each line on "
                                                "the one it did not come on"),
                                 {QStringLiteral("--answer-via"), QStringLiteral("other")}, true);
         }},
        {"g1", readOnlyDirectory},
        {"g2", fullFilesystem},
        {"g3", readOnlyFromTheStart},
        {"h", vanishingSerial},
        {"k", killAtEveryWrite},
        {"l", lateSecondAcks},
        {"i", tricklingConnections},
        {"j", spoofedDatagrams},
    };
    QElapsedTimer total;
    total.start();
    std::vector<Row> rows;
    for (const Scenario& s : scenarios) {
        if (!only.isEmpty() && !only.contains(QString::fromLatin1(s.key)))
            continue;
        QElapsedTimer t;
        t.start();
        std::fprintf(stderr, "soak: %s ...\n", s.key);
        Row row;
        try {
            row = s.run();
        } catch (const std::exception& e) {
            row.scenario = QString::fromLatin1(s.key);
            row.tried = QStringLiteral("(stopped)");
            row.pass = false;
            row.result = QString::fromLocal8Bit(e.what());
        }
        row.result += QStringLiteral(" [%1 s]").arg(t.elapsed() / 1000.0, 0, 'f', 0);
        std::fprintf(stderr, "%s\n", rowLine(row).constData());
        rows.push_back(row);
    }
    bool allPass = true;
    std::printf("| scenario | what was tried | acknowledged | lost | result |\n|---|---|---|---|---|\n");
    for (const Row& r : rows) {
        std::printf("%s\n", rowLine(r).constData());
        allPass = allPass && r.pass;
    }
    std::printf("\n%zu scenarios, %s, %.0f s in all\n", rows.size(), allPass ? "all passed" : "some FAILED",
                total.elapsed() / 1000.0);
    return allPass ? 0 : 1;
}
