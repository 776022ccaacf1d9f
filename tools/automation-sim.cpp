// automation-sim: stands in for a monitoring centre's automation software on the receiver's output
// link (TCP either way round, or a serial line): checks every DC4-closed line and answers ACK or NAK.
#include "ToolCommandLine.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QList>
#include <QPointer>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <algorithm>
#include <bit>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <type_traits>
#include <unistd.h>
#include <vector>

namespace {

constexpr char kDc4 = 0x14;
constexpr char kAck = 0x06;
constexpr char kNak = 0x15;
// No line of the receiver comes near this; more bytes without a DC4 are noise, not a line.
constexpr qsizetype kMaxLineBytes = 256;
constexpr int kReconnectMs = 1000;

// Double: two ACKs for one line, written one after the other, as a faulty automation software might.
enum class Answer { Ack, Nak, None, Junk, Double };

struct Mix {
    int ack = 100;
    int nak = 0;
    int none = 0;
    int junk = 0;
    int twice = 0;
};

struct Options {
    enum class Mode { Listen, Connect, Serial } mode = Mode::Listen;
    quint16 port = 0;
    QString host;
    QString serialPath;
    int baud = 9600;
    bool sevenEven = false; // --framing 7E1
    Mix mix;
    std::optional<Answer> heartbeatAnswer;
    std::deque<Answer> script; // first answers to reports, before the mix takes over
    int delayMs = 0;
    int doubleGapMs = 0;        // double: the second ACK this long after the first
    bool answerOnOther = false; // --answer-via other: two connections, each line answered on the other
    int format = -1;            // -1: either report format is accepted
    bool quiet = false;
    bool stats = false;
    QString recordPath;
    int exitAfterSec = 0;
    qint64 lines = 0;
    std::uint32_t seed = 0;
    bool seeded = false;
};

QByteArray clockText()
{
    return QTime::currentTime().toString(QStringLiteral("hh:mm:ss.zzz")).toLatin1();
}

// Control bytes as \xHH, so a line reads (and records) as one line of text.
QByteArray printable(const QByteArray& bytes)
{
    QByteArray out;
    for (const char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u >= 0x7F || c == '\\') {
            out += "\\x" + QByteArray::number(u, 16).rightJustified(2, '0').toUpper();
        } else {
            out += c;
        }
    }
    return out;
}

const char* answerName(Answer a)
{
    switch (a) {
    case Answer::Ack:
        return "ACK";
    case Answer::Nak:
        return "NAK";
    case Answer::None:
        return "none";
    case Answer::Junk:
        return "junk";
    case Answer::Double:
        return "double";
    }
    return "?";
}

std::optional<Answer> parseAnswer(const QString& text)
{
    if (text == QStringLiteral("ack"))
        return Answer::Ack;
    if (text == QStringLiteral("nak"))
        return Answer::Nak;
    if (text == QStringLiteral("none"))
        return Answer::None;
    if (text == QStringLiteral("junk"))
        return Answer::Junk;
    if (text == QStringLiteral("double"))
        return Answer::Double;
    return std::nullopt;
}

// "ack=90,nak=5,none=3,junk=2": percentages that add up to 100; a kind left out gets 0.
std::optional<Mix> parseMix(const QString& text)
{
    Mix mix{0, 0, 0, 0, 0};
    int total = 0;
    for (const QString& part : text.split(QLatin1Char(','))) {
        const qsizetype eq = part.indexOf(QLatin1Char('='));
        if (eq <= 0)
            return std::nullopt;
        bool ok = false;
        const int percent = part.mid(eq + 1).toInt(&ok);
        const std::optional<Answer> kind = parseAnswer(part.left(eq).trimmed());
        if (!ok || percent < 0 || percent > 100 || !kind)
            return std::nullopt;
        switch (*kind) {
        case Answer::Ack:
            mix.ack += percent;
            break;
        case Answer::Nak:
            mix.nak += percent;
            break;
        case Answer::None:
            mix.none += percent;
            break;
        case Answer::Junk:
            mix.junk += percent;
            break;
        case Answer::Double:
            mix.twice += percent;
            break;
        }
        total += percent;
    }
    if (total != 100)
        return std::nullopt;
    return mix;
}

bool allDigits(const QByteArray& text)
{
    if (text.isEmpty())
        return false;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

bool allHexUpper(const QByteArray& text)
{
    for (const char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')))
            return false;
    }
    return !text.isEmpty();
}

enum class Kind { Heartbeat, Report, Unknown };

struct Check {
    Kind kind = Kind::Unknown;
    QByteArray problem; // empty when the line is well formed
};

// "1" + receiver number (2 digits, or 3 from 100 up) + "000" + 11 spaces + "@" + 4 spaces, or the
// 20-character SG MLR2-DG form with the line number "1" in place of the "000".
QByteArray heartbeatProblem(const QByteArray& line)
{
    const bool shortForm = line.size() == 20 || line.size() == 21;
    const qsizetype width = line.size() - (shortForm ? 18 : 20);
    if (width != 2 && width != 3)
        return "heartbeat of " + QByteArray::number(line.size()) + " bytes, expected 20 to 23";
    const QByteArray receiver = line.mid(1, width);
    if (!allDigits(receiver))
        return "heartbeat receiver number \"" + receiver + "\" is not decimal digits";
    if (width == 3 && receiver[0] == '0')
        return "heartbeat receiver number \"" + receiver + "\" is padded past two digits";
    const QByteArray rest = line.mid(1 + width);
    const QByteArray lineField = shortForm ? QByteArray("1") : QByteArray("000");
    if (rest != lineField + QByteArray(11, ' ') + "@" + QByteArray(4, ' '))
        return "heartbeat after the receiver number is \"" + rest + "\", expected " + lineField +
               ", 11 spaces, @, 4 spaces";
    return {};
}

// The line number of a report, Q or S line as the report format writes it: format 0 (SG MLR2-DG) 1 to
// 3 digits unpadded, format 1 (SG MLR2000) 3 digits.
QByteArray lineNumberProblem(const QByteArray& lineNumber, int format, const char* what)
{
    if (!allDigits(lineNumber) || lineNumber.size() > 3 || lineNumber.isEmpty())
        return QByteArray(what) + " line number \"" + lineNumber + "\" is not 1 to 3 digits";
    if (format == 1 && lineNumber.size() != 3)
        return QByteArray(what) + " line number \"" + lineNumber +
               "\" is not 3 digits (format 1, SG MLR2000)";
    if (format == 0 && lineNumber.size() > 1 && lineNumber[0] == '0')
        return QByteArray(what) + " line number \"" + lineNumber + "\" is zero-padded (format 0, SG MLR2-DG)";
    return {};
}

// "Q" + receiver (2 digits) + line + " 58" + account (10 hex digits, zeros on the left) + qualifier
// (E, R, P or a kept digit) + 3-digit code + partition (2) + zone (3).
QByteArray qLineProblem(const QByteArray& line, int format)
{
    if (line.size() < 4 || !allDigits(line.mid(1, 2)))
        return "Q line receiver number is not two digits";
    const qsizetype space = line.indexOf(' ', 3);
    if (space < 0)
        return "Q line without the space before 58";
    if (QByteArray problem = lineNumberProblem(line.mid(3, space - 3), format, "Q line"); !problem.isEmpty())
        return problem;
    if (line.mid(space, 3) != " 58")
        return "Q line without \" 58\" after the line number";
    const QByteArray tail = line.mid(space + 3);
    if (tail.size() != 19)
        return "Q line account, event, partition and zone take " + QByteArray::number(tail.size()) +
               " bytes, expected 19";
    if (!allHexUpper(tail.left(10)))
        return "Q line account \"" + tail.left(10) + "\" is not 10 hex digits";
    const char qualifier = tail[10];
    if (qualifier != 'E' && qualifier != 'R' && qualifier != 'P' && !(qualifier >= '0' && qualifier <= '9'))
        return QByteArray("Q line qualifier '") + qualifier + "' is not E, R, P or a digit";
    if (!allDigits(tail.mid(11, 8)))
        return "Q line event code, partition and zone \"" + tail.mid(11, 8) + "\" are not 8 digits";
    return {};
}

// "S" + receiver (2 digits) + line + a SIA data block "[#account|...]" of at most 66 printable bytes.
QByteArray sLineProblem(const QByteArray& line, int format)
{
    if (line.size() < 4 || !allDigits(line.mid(1, 2)))
        return "S line receiver number is not two digits";
    const qsizetype open = line.indexOf('[', 3);
    if (open < 0)
        return "S line without its data block";
    if (QByteArray problem = lineNumberProblem(line.mid(3, open - 3), format, "S line"); !problem.isEmpty())
        return problem;
    const QByteArray block = line.mid(open);
    if (block.size() > 66)
        return "S line data block of " + QByteArray::number(block.size()) + " bytes, at most 66";
    if (!block.endsWith(']'))
        return "S line data block does not end with ]";
    for (const char c : block)
        if (c < 0x20 || c > 0x7E)
            return "S line data block holds a control byte";
    return {};
}

// "5" + receiver (2 digits) + line (format 0: 1 to 3 digits unpadded; format 1: 3 digits) + " 18" +
// account (1 to 4 hex digits) + qualifier (E, R, P or a kept digit) + 3-digit code + partition (2) +
// zone (3).
QByteArray reportProblem(const QByteArray& line, int format)
{
    if (line.size() < 4 || !allDigits(line.mid(1, 2)))
        return "report receiver number is not two digits";
    const qsizetype space = line.indexOf(' ', 3);
    if (space < 0)
        return "report without the space before 18";
    if (QByteArray problem = lineNumberProblem(line.mid(3, space - 3), format, "report"); !problem.isEmpty())
        return problem;
    if (line.mid(space, 3) != " 18")
        return "report without \" 18\" after the line number";
    const QByteArray tail = line.mid(space + 3);
    if (tail.size() < 10 || tail.size() > 13)
        return "report account, event, partition and zone take " + QByteArray::number(tail.size()) +
               " bytes, expected 10 to 13";
    const qsizetype accountLength = tail.size() - 9;
    const QByteArray account = tail.left(accountLength);
    if (!allHexUpper(account))
        return "report account \"" + account + "\" is not hex digits";
    const char qualifier = tail[accountLength];
    const bool letter = qualifier == 'E' || qualifier == 'R' || qualifier == 'P';
    const bool keptDigit =
        qualifier >= '0' && qualifier <= '9' && qualifier != '1' && qualifier != '3' && qualifier != '6';
    if (!letter && !keptDigit)
        return QByteArray("report qualifier '") + qualifier + "' is not E, R, P or a kept digit";
    if (!allDigits(tail.mid(accountLength + 1, 3)))
        return "report event code \"" + tail.mid(accountLength + 1, 3) + "\" is not 3 digits";
    if (!allDigits(tail.mid(accountLength + 4, 2)))
        return "report partition \"" + tail.mid(accountLength + 4, 2) + "\" is not 2 digits";
    if (!allDigits(tail.mid(accountLength + 6, 3)))
        return "report zone \"" + tail.mid(accountLength + 6, 3) + "\" is not 3 digits";
    return {};
}

Check checkLine(const QByteArray& line, int format)
{
    Check c;
    if (line.isEmpty()) {
        c.problem = "empty line";
    } else if (line[0] == '1') {
        c.kind = Kind::Heartbeat;
        c.problem = heartbeatProblem(line);
    } else if (line[0] == '5') {
        c.kind = Kind::Report;
        c.problem = reportProblem(line, format);
    } else if (line[0] == 'Q') {
        c.kind = Kind::Report;
        c.problem = qLineProblem(line, format);
    } else if (line[0] == 'S') {
        c.kind = Kind::Report;
        c.problem = sLineProblem(line, format);
    } else {
        c.problem = "unknown message type";
    }
    return c;
}

struct Totals {
    qint64 lines = 0;
    qint64 heartbeats = 0;
    qint64 events = 0;
    qint64 bad = 0;
    qint64 acks = 0;
    qint64 naks = 0;
    qint64 answered = 0; // lines whose answer (possibly none) has been dealt with
};

// Where a line came from and how its answer goes back; empty when the connection has gone.
using AnswerSink = std::function<void(const QByteArray&)>;

class Simulator : public QObject {
public:
    explicit Simulator(Options options)
        : m_o(std::move(options)), m_random(m_o.seeded ? m_o.seed : std::random_device{}())
    {
        if (m_o.stats) {
            connect(&m_statsTimer, &QTimer::timeout, this, [this] { printStats(); });
            m_statsTimer.start(1000);
        }
    }

    bool openRecord()
    {
        if (m_o.recordPath.isEmpty())
            return true;
        m_record.setFileName(m_o.recordPath);
        return m_record.open(QIODevice::WriteOnly | QIODevice::Append);
    }

    void info(const QByteArray& text) const
    {
        if (!m_o.quiet && !m_finished) {
            std::printf("%s  %s\n", clockText().constData(), text.constData());
            std::fflush(stdout);
        }
    }

    // Splits what arrived on one source into lines; `pending` is that source's unfinished line.
    void received(QByteArray& pending, const QByteArray& bytes, const AnswerSink& sink)
    {
        for (const char c : bytes) {
            if (c == kDc4) {
                lineArrived(pending, sink);
                pending.clear();
            } else if (pending.size() >= kMaxLineBytes) {
                noise(pending);
                pending.clear();
                pending += c;
            } else {
                pending += c;
            }
        }
    }

    void finish()
    {
        if (m_finished)
            return;
        m_finished = true;
        m_statsTimer.stop();
        if (onFinish)
            onFinish();
        std::printf("lines %lld, heartbeats %lld, events %lld, bad %lld, acks %lld, naks %lld\n",
                    static_cast<long long>(m_t.lines), static_cast<long long>(m_t.heartbeats),
                    static_cast<long long>(m_t.events), static_cast<long long>(m_t.bad),
                    static_cast<long long>(m_t.acks), static_cast<long long>(m_t.naks));
        std::fflush(stdout);
        QCoreApplication::exit(m_t.bad == 0 ? 0 : 1);
    }

    std::function<void()> onFinish; // flushes the link before the program ends

private:
    void noise(const QByteArray& bytes)
    {
        ++m_t.bad;
        std::printf("%s  BAD %lld bytes without DC4: %s\n", clockText().constData(),
                    static_cast<long long>(bytes.size()), printable(bytes.left(64)).constData());
        std::fflush(stdout);
    }

    Answer chooseAnswer(Kind kind)
    {
        if (kind == Kind::Heartbeat && m_o.heartbeatAnswer)
            return *m_o.heartbeatAnswer;
        if (kind != Kind::Heartbeat && !m_o.script.empty()) {
            const Answer a = m_o.script.front();
            m_o.script.pop_front();
            return a;
        }
        const int roll = int(m_random() % 100);
        if (roll < m_o.mix.ack)
            return Answer::Ack;
        if (roll < m_o.mix.ack + m_o.mix.nak)
            return Answer::Nak;
        if (roll < m_o.mix.ack + m_o.mix.nak + m_o.mix.none)
            return Answer::None;
        if (roll < m_o.mix.ack + m_o.mix.nak + m_o.mix.none + m_o.mix.junk)
            return Answer::Junk;
        return Answer::Double;
    }

    void lineArrived(const QByteArray& line, const AnswerSink& sink)
    {
        if (m_finished)
            return;
        ++m_t.lines;
        ++m_linesThisSecond;
        const Check check = checkLine(line, m_o.format);
        if (check.kind == Kind::Heartbeat)
            ++m_t.heartbeats;
        else if (check.kind == Kind::Report)
            ++m_t.events;
        if (m_record.isOpen()) {
            m_record.write(printable(line) + '\n');
            m_record.flush(); // tests read the file while the simulator runs
        }
        const Answer answer = chooseAnswer(check.kind);
        if (!check.problem.isEmpty()) {
            ++m_t.bad;
            std::printf("%s  BAD %s: %s  -> %s\n", clockText().constData(), check.problem.constData(),
                        printable(line).constData(), answerName(answer));
            std::fflush(stdout);
        } else {
            info(printable(line) + "  -> " + answerName(answer));
        }
        if (m_o.delayMs > 0) {
            QTimer::singleShot(m_o.delayMs, this, [this, answer, sink] { answerLine(answer, sink); });
        } else {
            answerLine(answer, sink);
        }
    }

    void answerLine(Answer answer, const AnswerSink& sink)
    {
        switch (answer) {
        case Answer::Ack:
            ++m_t.acks;
            sink(QByteArray(1, kAck));
            break;
        case Answer::Nak:
            ++m_t.naks;
            sink(QByteArray(1, kNak));
            break;
        case Answer::Junk:
            sink("JUNK"); // no ACK or NAK byte in it, so it answers nothing on either link
            break;
        case Answer::Double:
            // Two writes, so that on TCP they may well arrive as two blocks; with a gap, the second
            // comes as late as a slow or confused automation software would send it.
            m_t.acks += 2;
            sink(QByteArray(1, kAck));
            if (m_o.doubleGapMs > 0)
                QTimer::singleShot(m_o.doubleGapMs, Qt::PreciseTimer, this,
                                   [sink] { sink(QByteArray(1, kAck)); });
            else
                sink(QByteArray(1, kAck));
            break;
        case Answer::None:
            break;
        }
        ++m_t.answered;
        if (m_o.lines > 0 && m_t.answered >= m_o.lines)
            finish();
    }

    void printStats()
    {
        std::printf("%s  %lld lines/s (total %lld, bad %lld)\n", clockText().constData(),
                    static_cast<long long>(m_linesThisSecond), static_cast<long long>(m_t.lines),
                    static_cast<long long>(m_t.bad));
        std::fflush(stdout);
        m_linesThisSecond = 0;
    }

    Options m_o;
    std::mt19937 m_random;
    Totals m_t;
    QFile m_record;
    QTimer m_statsTimer;
    qint64 m_linesThisSecond = 0;
    bool m_finished = false;
};

QByteArray peerText(const QTcpSocket* s)
{
    QHostAddress address = s->peerAddress();
    bool mapped = false;
    const quint32 v4 = address.toIPv4Address(&mapped); // a dual-stack listener sees ::ffff:a.b.c.d
    if (mapped)
        address = QHostAddress(v4);
    return address.toString().toLatin1() + ":" + QByteArray::number(s->peerPort());
}

// Answers go back on the connection the line came from; writes are pushed out at once.
AnswerSink socketSink(QTcpSocket* socket)
{
    QPointer<QTcpSocket> target(socket);
    return [target](const QByteArray& bytes) {
        if (target && target->state() == QAbstractSocket::ConnectedState) {
            target->write(bytes);
            target->flush();
        }
    };
}

void flushSocket(QTcpSocket* s)
{
    if (s && s->state() == QAbstractSocket::ConnectedState && s->bytesToWrite() > 0)
        s->waitForBytesWritten(1000);
}

// --listen PORT: the receiver connects to us (its client mode). Every connection is served.
class ListenLink : public QObject {
public:
    ListenLink(Simulator& sim, quint16 port) : m_sim(sim), m_port(port)
    {
        connect(&m_server, &QTcpServer::newConnection, this, [this] { accept(); });
        sim.onFinish = [this] {
            for (QTcpSocket* s : m_server.findChildren<QTcpSocket*>())
                flushSocket(s);
        };
    }

    // The server deletes its connections after m_pending is gone; their goodbyes must not reach it.
    ~ListenLink() override
    {
        for (QTcpSocket* s : m_server.findChildren<QTcpSocket*>())
            s->disconnect(this);
    }

    bool start()
    {
        if (!m_server.listen(QHostAddress::Any, m_port)) {
            std::fprintf(stderr, "automation-sim: cannot listen on port %u: %s\n", unsigned(m_port),
                         qPrintable(m_server.errorString()));
            return false;
        }
        m_sim.info("listening on port " + QByteArray::number(m_server.serverPort()));
        return true;
    }

private:
    void accept()
    {
        while (QTcpSocket* s = m_server.nextPendingConnection()) {
            s->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            m_sim.info("connection from " + peerText(s));
            m_pending[s].clear();
            const AnswerSink sink = socketSink(s);
            connect(s, &QTcpSocket::readyRead, this,
                    [this, s, sink] { m_sim.received(m_pending[s], s->readAll(), sink); });
            connect(s, &QTcpSocket::disconnected, this, [this, s] {
                m_sim.info("connection from " + peerText(s) + " closed");
                m_pending.erase(s);
                s->deleteLater();
            });
        }
    }

    Simulator& m_sim;
    quint16 m_port;
    QTcpServer m_server;
    std::map<QTcpSocket*, QByteArray> m_pending; // each connection's unfinished line
};

// --connect HOST:PORT: we connect to the receiver (its server mode) and come back after a loss. With
// --answer-via other a second connection is opened once the first is up, and each line is answered
// on the other connection than the one it came on.
class ConnectLink : public QObject {
public:
    ConnectLink(Simulator& sim, QString host, quint16 port, bool answerOnOther)
        : m_sim(sim), m_host(std::move(host)), m_port(port), m_answerOnOther(answerOnOther)
    {
        const int count = answerOnOther ? 2 : 1;
        for (int i = 0; i < count; ++i)
            m_connections.push_back(std::make_unique<Connection>());
        for (int i = 0; i < count; ++i)
            wire(i);
        sim.onFinish = [this] {
            for (const auto& c : m_connections)
                flushSocket(&c->socket);
        };
    }

    // The sockets report their closing on the way out; nothing of this object may hear it then.
    ~ConnectLink() override
    {
        for (const auto& c : m_connections) {
            c->socket.disconnect(this);
            c->retry.stop();
        }
    }

    void attempt() { attempt(0); }

private:
    struct Connection {
        QTcpSocket socket;
        QByteArray pending;
        QTimer retry;
    };

    QByteArray name(int i) const
    {
        return m_connections.size() > 1 ? "connection " + QByteArray::number(i + 1) + " " : QByteArray();
    }

    void wire(int i)
    {
        Connection& c = *m_connections[std::size_t(i)];
        QTcpSocket* answerOn = &m_connections[std::size_t(m_answerOnOther ? 1 - i : i)]->socket;
        c.retry.setSingleShot(true);
        connect(&c.retry, &QTimer::timeout, this, [this, i] { attempt(i); });
        connect(&c.socket, &QTcpSocket::connected, this, [this, i, &c] {
            c.socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
            c.pending.clear();
            m_sim.info(name(i) + "connected to " + peerText(&c.socket));
            // The second connection follows the first, so the first is the older one.
            if (i == 0 && m_connections.size() > 1 &&
                m_connections[1]->socket.state() == QAbstractSocket::UnconnectedState &&
                !m_connections[1]->retry.isActive())
                attempt(1);
        });
        connect(&c.socket, &QTcpSocket::readyRead, this, [this, &c, answerOn] {
            m_sim.received(c.pending, c.socket.readAll(), socketSink(answerOn));
        });
        connect(&c.socket, &QTcpSocket::disconnected, this, [this, i, &c] {
            m_sim.info(name(i) + "connection closed; connecting again");
            c.retry.start(kReconnectMs);
        });
        connect(&c.socket, &QAbstractSocket::errorOccurred, this,
                [this, i, &c](QAbstractSocket::SocketError) {
                    if (c.socket.state() != QAbstractSocket::ConnectedState && !c.retry.isActive()) {
                        m_sim.info(name(i) + "cannot connect: " + c.socket.errorString().toLatin1() +
                                   "; trying again");
                        c.retry.start(kReconnectMs);
                    }
                });
    }

    void attempt(int i)
    {
        QTcpSocket& socket = m_connections[std::size_t(i)]->socket;
        socket.abort();
        socket.connectToHost(m_host, m_port);
    }

    Simulator& m_sim;
    QString m_host;
    quint16 m_port;
    bool m_answerOnOther;
    std::vector<std::unique_ptr<Connection>> m_connections;
};

std::optional<speed_t> baudConstant(int baud)
{
    switch (baud) {
    case 1200:
        return B1200;
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    case 230400:
        return B230400;
    default:
        return std::nullopt;
    }
}

// 7E1 on an 8N1 line: the top bit carries the even parity of the seven below, which is the same
// signal as seven data bits and a parity bit. A received byte with the wrong parity becomes 0, so the
// line it belongs to is reported BAD.
char withEvenParity(char c)
{
    const auto data = static_cast<unsigned char>(c & 0x7F);
    return char(data | ((std::popcount(data) & 1) != 0 ? 0x80 : 0));
}
char withoutEvenParity(char b)
{
    const auto byte = static_cast<unsigned char>(b);
    return (std::popcount(byte) & 1) != 0 ? '\0' : char(byte & 0x7F);
}

// --serial PATH: raw 8N1 (or 7E1 with --framing) at --baud; each byte in is looked at, answers are
// written straight back.
class SerialLink : public QObject {
public:
    SerialLink(Simulator& sim, QString path, speed_t speed, bool sevenEven)
        : m_sim(sim), m_path(std::move(path)), m_speed(speed), m_sevenEven(sevenEven)
    {
        m_retry.setSingleShot(true);
        connect(&m_retry, &QTimer::timeout, this, [this] { open(); });
        m_sink = [this](const QByteArray& bytes) { write(bytes); };
    }
    ~SerialLink() override { close(); }

    // False only when the first open fails; later losses are retried.
    bool open()
    {
        const QByteArray path = QFile::encodeName(m_path);
        const int fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            return failed("cannot open " + path + ": " + QByteArray(std::strerror(errno)));
        }
        termios tio{};
        if (::tcgetattr(fd, &tio) != 0) {
            const int error = errno;
            ::close(fd);
            return failed(path + " is not a serial port: " + QByteArray(std::strerror(error)));
        }
        ::cfmakeraw(&tio);
        tio.c_cflag |= CLOCAL | CREAD;
        tio.c_cflag &= ~tcflag_t(CSTOPB | PARENB | CRTSCTS);
        tio.c_cc[VMIN] = 0;
        tio.c_cc[VTIME] = 0;
        ::cfsetispeed(&tio, m_speed);
        ::cfsetospeed(&tio, m_speed);
        if (::tcsetattr(fd, TCSANOW, &tio) != 0) {
            const int error = errno;
            ::close(fd);
            return failed("cannot set up " + path + ": " + QByteArray(std::strerror(error)));
        }
        (void)::ioctl(fd, TIOCEXCL); // keeps the receiver from opening our end by mistake
        m_fd = fd;
        m_pending.clear();
        m_notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this, [this] { readable(); });
        m_sim.info("serial port " + path + " open");
        m_everOpen = true;
        return true;
    }

    void close()
    {
        if (m_notifier) {
            m_notifier->setEnabled(false);
            m_notifier->deleteLater();
            m_notifier = nullptr;
        }
        if (m_fd >= 0) {
            (void)::tcdrain(m_fd);
            ::close(m_fd);
            m_fd = -1;
        }
    }

private:
    bool failed(const QByteArray& why)
    {
        if (!m_everOpen) {
            std::fprintf(stderr, "automation-sim: %s\n", why.constData());
            return false;
        }
        m_sim.info(why + "; trying again");
        m_retry.start(kReconnectMs);
        return true;
    }

    void readable()
    {
        char buffer[512];
        for (;;) {
            const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
            if (n > 0) {
                if (m_sevenEven)
                    std::transform(buffer, buffer + n, buffer, withoutEvenParity);
                m_sim.received(m_pending, QByteArray(buffer, qsizetype(n)), m_sink);
                continue;
            }
            // A raw terminal with VMIN 0 reads 0 bytes when nothing waits.
            if (n == 0 || (n < 0 && (errno == EAGAIN || errno == EINTR)))
                return;
            // A pseudo-terminal whose other side went away reports EIO for ever.
            m_sim.info("serial port " + QFile::encodeName(m_path) + " lost");
            close();
            m_retry.start(kReconnectMs);
            return;
        }
    }

    void write(const QByteArray& plain)
    {
        if (m_fd < 0)
            return;
        QByteArray bytes = plain;
        if (m_sevenEven)
            std::transform(bytes.begin(), bytes.end(), bytes.begin(), withEvenParity);
        qsizetype done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(m_fd, bytes.constData() + done, size_t(bytes.size() - done));
            if (n > 0) {
                done += n;
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else {
                m_sim.info("serial write failed: " + QByteArray(std::strerror(errno)));
                return;
            }
        }
    }

    Simulator& m_sim;
    QString m_path;
    speed_t m_speed;
    bool m_sevenEven;
    int m_fd = -1;
    QSocketNotifier* m_notifier = nullptr;
    QByteArray m_pending;
    QTimer m_retry;
    AnswerSink m_sink;
    bool m_everOpen = false;
};

// SIGINT and SIGTERM end the run with the summary, through a pipe the event loop watches.
int g_signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &byte, 1);
}

void watchSignals(Simulator& sim)
{
    if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, &sim);
    QObject::connect(notifier, &QSocketNotifier::activated, &sim, [&sim] { sim.finish(); });
}

std::optional<std::pair<QString, quint16>> parseHostPort(const QString& text)
{
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon <= 0)
        return std::nullopt;
    QString host = text.left(colon);
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    bool ok = false;
    const uint port = text.mid(colon + 1).toUInt(&ok);
    if (!ok || port == 0 || port > 65535 || host.isEmpty())
        return std::nullopt;
    return std::pair{host, quint16(port)};
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("automation-sim"));
    std::signal(SIGPIPE, SIG_IGN);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Stands in for the automation software on the receiver's output link: receives lines closed by\n"
        "DC4 (0x14), checks their layout and answers each with ACK (0x06) or NAK (0x15).\n"
        "Exit status 0, or 1 when any line was BAD; 2 on a usage error."));
    parser.addHelpOption();
    parser.addOptions({
        {QStringLiteral("listen"), QStringLiteral("Listen on this TCP port (the receiver is the client)."),
         QStringLiteral("port")},
        {QStringLiteral("connect"),
         QStringLiteral(
             "Connect to the receiver's port (the receiver is the server); reconnects after a loss."),
         QStringLiteral("host:port")},
        {QStringLiteral("serial"), QStringLiteral("Use this serial device (raw; see --framing)."),
         QStringLiteral("path")},
        {QStringLiteral("baud"), QStringLiteral("Serial speed (default 9600)."), QStringLiteral("rate")},
        {QStringLiteral("framing"),
         QStringLiteral("Serial framing 8N1 (default) or 7E1 (seven data bits, even parity; a byte with\n"
                        "the wrong parity makes its line BAD)."),
         QStringLiteral("8N1|7E1")},
        {QStringLiteral("answer"),
         QStringLiteral("Answer every line with ack (default), nak, none, junk or double (two ACKs)."),
         QStringLiteral("kind")},
        {QStringLiteral("mix"),
         QStringLiteral("Answer at random in these percentages, e.g. ack=90,nak=5,none=3,junk=1,double=1."),
         QStringLiteral("list")},
        {QStringLiteral("heartbeat-answer"),
         QStringLiteral("Answer heartbeats with this kind, whatever --answer or --mix say."),
         QStringLiteral("kind")},
        {QStringLiteral("script"),
         QStringLiteral("Answer the first reports with these kinds in turn, e.g. nak,none; then as above."),
         QStringLiteral("list")},
        {QStringLiteral("seed"), QStringLiteral("Seed of the random choice of --mix."), QStringLiteral("n")},
        {QStringLiteral("delay"),
         QStringLiteral("Wait this long before answering (beyond 2000, the answer comes after the "
                        "receiver's wait)."),
         QStringLiteral("ms")},
        {QStringLiteral("double-gap"),
         QStringLiteral("With double, send the second ACK this long after the first (default 0: at once)."),
         QStringLiteral("ms")},
        {QStringLiteral("answer-via"),
         QStringLiteral("same (default), or other: with --connect, keep two connections and answer each "
                        "line on the other one."),
         QStringLiteral("which")},
        {QStringLiteral("format"),
         QStringLiteral("Check reports against format 0 (SG MLR2-DG) or 1 (SG MLR2000); default either."),
         QStringLiteral("n")},
        {QStringLiteral("quiet"), QStringLiteral("Print only BAD lines and the summary.")},
        {QStringLiteral("stats"), QStringLiteral("Print the lines received per second, every second.")},
        {QStringLiteral("record"), QStringLiteral("Append every line (without its DC4) to this file."),
         QStringLiteral("file")},
        {QStringLiteral("exit-after"), QStringLiteral("End after this many seconds."), QStringLiteral("sec")},
        {QStringLiteral("lines"), QStringLiteral("End once this many lines have been answered."),
         QStringLiteral("n")},
    });
    parseCommandLineOrExit(parser, "automation-sim");

    auto usage = [](const char* text) {
        std::fprintf(stderr, "automation-sim: %s (see --help)\n", text);
        return 2;
    };
    auto number = [&](const char* name, qint64 low, qint64 high, auto& target) {
        if (!parser.isSet(QString::fromLatin1(name)))
            return true;
        bool ok = false;
        const qint64 value = parser.value(QString::fromLatin1(name)).toLongLong(&ok);
        if (!ok || value < low || value > high)
            return false;
        target = static_cast<std::remove_reference_t<decltype(target)>>(value);
        return true;
    };

    Options o;
    const int modes = int(parser.isSet(QStringLiteral("listen"))) +
                      int(parser.isSet(QStringLiteral("connect"))) +
                      int(parser.isSet(QStringLiteral("serial")));
    if (modes != 1)
        return usage("choose exactly one of --listen, --connect and --serial");
    int listenPort = 0;
    qint64 seed = 0;
    if (!number("listen", 1, 65535, listenPort) || !number("baud", 1, 4000000, o.baud) ||
        !number("delay", 0, 3600000, o.delayMs) || !number("double-gap", 0, 60000, o.doubleGapMs) ||
        !number("format", 0, 1, o.format) || !number("exit-after", 1, 31536000, o.exitAfterSec) ||
        !number("lines", 1, qint64(1) << 40, o.lines) || !number("seed", 0, 0xFFFFFFFFLL, seed)) {
        return usage("a numeric option is out of range");
    }
    o.seed = std::uint32_t(seed);
    o.seeded = parser.isSet(QStringLiteral("seed"));
    if (parser.isSet(QStringLiteral("listen"))) {
        o.mode = Options::Mode::Listen;
        o.port = quint16(listenPort);
    } else if (parser.isSet(QStringLiteral("connect"))) {
        const auto target = parseHostPort(parser.value(QStringLiteral("connect")));
        if (!target)
            return usage("--connect takes HOST:PORT");
        o.mode = Options::Mode::Connect;
        o.host = target->first;
        o.port = target->second;
    } else {
        o.mode = Options::Mode::Serial;
        o.serialPath = parser.value(QStringLiteral("serial"));
    }
    const std::optional<speed_t> speed = baudConstant(o.baud);
    if (parser.isSet(QStringLiteral("framing"))) {
        const QString framing = parser.value(QStringLiteral("framing")).toUpper();
        if (framing != QStringLiteral("8N1") && framing != QStringLiteral("7E1"))
            return usage("--framing takes 8N1 or 7E1");
        o.sevenEven = framing == QStringLiteral("7E1");
    }
    if (o.mode == Options::Mode::Serial && !speed)
        return usage("--baud takes 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200 or 230400");
    if (parser.isSet(QStringLiteral("answer")) && parser.isSet(QStringLiteral("mix")))
        return usage("--answer and --mix exclude each other");
    if (parser.isSet(QStringLiteral("answer"))) {
        const std::optional<Answer> a = parseAnswer(parser.value(QStringLiteral("answer")));
        if (!a)
            return usage("--answer takes ack, nak, none, junk or double");
        o.mix = Mix{*a == Answer::Ack ? 100 : 0, *a == Answer::Nak ? 100 : 0, *a == Answer::None ? 100 : 0,
                    *a == Answer::Junk ? 100 : 0, *a == Answer::Double ? 100 : 0};
    }
    if (parser.isSet(QStringLiteral("mix"))) {
        const std::optional<Mix> mix = parseMix(parser.value(QStringLiteral("mix")));
        if (!mix)
            return usage("--mix takes kind=percent pairs (ack, nak, none, junk, double) adding up to 100");
        o.mix = *mix;
    }
    if (parser.isSet(QStringLiteral("heartbeat-answer"))) {
        o.heartbeatAnswer = parseAnswer(parser.value(QStringLiteral("heartbeat-answer")));
        if (!o.heartbeatAnswer)
            return usage("--heartbeat-answer takes ack, nak, none, junk or double");
    }
    if (parser.isSet(QStringLiteral("script"))) {
        for (const QString& part : parser.value(QStringLiteral("script")).split(QLatin1Char(','))) {
            const std::optional<Answer> a = parseAnswer(part.trimmed());
            if (!a)
                return usage("--script takes a comma-separated list of ack, nak, none, junk and double");
            o.script.push_back(*a);
        }
    }
    if (parser.isSet(QStringLiteral("answer-via"))) {
        const QString via = parser.value(QStringLiteral("answer-via"));
        if (via != QStringLiteral("same") && via != QStringLiteral("other"))
            return usage("--answer-via takes same or other");
        o.answerOnOther = via == QStringLiteral("other");
        if (o.answerOnOther && o.mode != Options::Mode::Connect)
            return usage("--answer-via other needs --connect");
    }
    o.quiet = parser.isSet(QStringLiteral("quiet"));
    o.stats = parser.isSet(QStringLiteral("stats"));
    o.recordPath = parser.value(QStringLiteral("record"));

    Simulator sim(o);
    if (!sim.openRecord()) {
        std::fprintf(stderr, "automation-sim: cannot open %s for appending\n", qPrintable(o.recordPath));
        return 2;
    }
    watchSignals(sim);
    if (o.exitAfterSec > 0)
        QTimer::singleShot(o.exitAfterSec * 1000, &sim, [&sim] { sim.finish(); });

    std::unique_ptr<QObject> link;
    switch (o.mode) {
    case Options::Mode::Listen: {
        auto listen = std::make_unique<ListenLink>(sim, o.port);
        if (!listen->start())
            return 2;
        link = std::move(listen);
        break;
    }
    case Options::Mode::Connect: {
        auto client = std::make_unique<ConnectLink>(sim, o.host, o.port, o.answerOnOther);
        client->attempt();
        link = std::move(client);
        break;
    }
    case Options::Mode::Serial: {
        auto serial = std::make_unique<SerialLink>(sim, o.serialPath, *speed, o.sevenEven);
        if (!serial->open())
            return 2;
        link = std::move(serial);
        break;
    }
    }
    const int status = QCoreApplication::exec();
    sim.onFinish = nullptr;
    return status;
}
