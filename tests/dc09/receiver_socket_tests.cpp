// The receiver against real sockets on 127.0.0.1: opening the port, answering, storing, slot
// time-outs, garbage, errors. Timer ticks are driven by calling the handler.
#include "../support/FaultInjection.h"
#include "../support/QtWait.h"
#include "Dc09TestSupport.h"
#include "config/Clock.h"
#include "config/ConfigRecord.h"
#include "config/DataPaths.h"
#include "dc09/AccountKeys.h"
#include "dc09/Dc09Codec.h"
#include "dc09/Dc09Receiver.h"
#include "store/AccountTable.h"
#include "store/EventLog.h"
#include "store/EventStore.h"
#include "store/Journal.h"
#include "store/RecordText.h"
#include "store/StoreTestSupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QNetworkDatagram>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QUdpSocket>
#include <arpa/inet.h>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <netinet/in.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

using testsupport::freePort;
using testsupport::waitUntil;

QByteArray frame(const QByteArray& body)
{
    const std::uint16_t crc =
        DC9_CRC16(reinterpret_cast<const std::uint8_t*>(body.constData()), size_t(body.size()));
    return "\n" + QByteArray::number(crc, 16).toUpper().rightJustified(4, '0') +
           QByteArray::number(body.size(), 16).toUpper().rightJustified(4, '0') + body + "\r";
}

const QByteArray kNullFrame = "\nE25E0015\"NULL\"0001R1L1#1234[]\r";
const QByteArray kNullAck = "\nD2770014\"ACK\"0001R1L1#1234[]\r";
const QByteArray kUnknownTokenDuh = "\n80B6000E\"DUH\"0000L0#[]\r";
const QByteArray kEventFrame = "\nE4FA0029\"ADM-CID\"0002R1L1#1234[#1234|1130 01 015]\r";
const QByteArray kEventAck = "\nD6730014\"ACK\"0002R1L1#1234[]\r";
QByteArray kUnknownTokenFrame()
{
    return frame("\"XYZ\"0002R1L1#1234[]");
}

struct LogLine {
    std::string text;
    LogColour colour;
};

class ReceiverTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        faults::installLogLayer();
        m_paths = DataPaths::inDirectory(m_dir.path().toStdString() + "/");
        m_config = defaultConfig();
        m_config.DC9_Port_Enable = 1;
        m_port = freePort();
        ASSERT_NE(m_port, 0);
        m_config.DC9_Port = m_port;
        m_config.DC9_Conn_Timeout = 30;
        startStores();
    }

    // The stores and the receiver as the program builds them over the data directory (again, for
    // a restart).
    void startStores()
    {
        m_accounts = std::make_unique<AccountTable>(m_paths.accounts, m_io, viewLog());
        m_accounts->load();
        m_journal =
            std::make_unique<Journal>(Journal::Paths{m_paths.journal, m_paths.extended}, viewLog(), m_io);
        m_journal->load();
        m_store = std::make_unique<EventStore>(m_paths.eventLog, *m_journal, *m_accounts, viewLog());
        ASSERT_TRUE(m_store->open());
        m_store->start();
        m_accounts->onNeedsCommit = [store = m_store.get()] { (void)store->requestCommit(); };
        m_receiver = std::make_unique<Dc09Receiver>(m_config, *m_accounts, *m_journal, *m_store, m_clock,
                                                    [this](std::string_view text, LogColour colour) {
                                                        m_log.push_back({std::string(text), colour});
                                                    });
        QObject::connect(m_receiver.get(), &Dc09Receiver::beepRequested, [this] { ++m_beeps; });
        QObject::connect(m_receiver.get(), &Dc09Receiver::statusText,
                         [this](const QString& text) { m_status = text; });
    }
    void stopStores()
    {
        m_panels.clear();
        m_receiver.reset();
        m_store.reset();
        m_journal.reset();
        m_accounts.reset();
    }
    // The views' errors come from the commit thread.
    LogSink viewLog()
    {
        return [this](std::string_view text, LogColour colour) {
            std::lock_guard lock(m_viewLogMutex);
            m_viewLog.push_back({std::string(text), colour});
        };
    }
    // Events of the account in the log (once what was submitted is in, unless the disk fails).
    std::int64_t loggedOf(const std::string& account, bool settled = true)
    {
        if (settled) {
            EXPECT_TRUE(m_store->waitForPendingAtMost(0, std::chrono::seconds(10)));
        }
        std::int64_t n = 0;
        for (const LoggedEvent& e : m_store->connect(EventLog::Role::Reader)->receivedSince(0))
            n += fieldText(e.record.account) == account ? 1 : 0;
        return n;
    }

    void TearDown() override
    {
        stopStores();
        faults::reset();
    }

    void openPort()
    {
        m_receiver->Timer_DC9Timer();
        ASSERT_TRUE(m_receiver->isActive()) << lastLog();
    }

    // A panel connected and seen by the receiver.
    QTcpSocket* connectPanel()
    {
        auto panel = std::make_unique<QTcpSocket>();
        const int before = m_receiver->activeConnections();
        panel->connectToHost(QHostAddress::LocalHost, m_port);
        EXPECT_TRUE(waitUntil([&] {
            return panel->state() == QAbstractSocket::ConnectedState &&
                   m_receiver->activeConnections() > before;
        }));
        m_panels.push_back(std::move(panel));
        return m_panels.back().get();
    }

    QByteArray exchange(QTcpSocket* panel, const QByteArray& bytes)
    {
        panel->write(bytes);
        QByteArray answer;
        EXPECT_TRUE(waitUntil([&] {
            answer += panel->readAll();
            return answer.endsWith('\r');
        })) << answer.constData();
        return answer;
    }

    static bool disconnected(QTcpSocket* panel)
    {
        return waitUntil([&] { return panel->state() == QAbstractSocket::UnconnectedState; }, 5000);
    }

    static bool staysConnected(QTcpSocket* panel)
    {
        QCoreApplication::processEvents();
        panel->waitForReadyRead(20); // a close in flight would arrive now
        return panel->state() == QAbstractSocket::ConnectedState;
    }

    void ticks(int n)
    {
        for (int i = 0; i < n; ++i) {
            m_receiver->Timer_DC9Timer();
        }
    }

    std::string lastLog() const { return m_log.empty() ? std::string() : m_log.back().text; }

    int countLog(const std::string& prefix) const
    {
        int n = 0;
        for (const LogLine& l : m_log) {
            n += l.text.rfind(prefix, 0) == 0 ? 1 : 0;
        }
        return n;
    }

    QTemporaryDir m_dir;
    FailingFileIo m_io; // the real files unless a test makes them fail
    DataPaths m_paths;
    std::mutex m_viewLogMutex;
    std::vector<LogLine> m_viewLog;
    std::unique_ptr<AccountTable> m_accounts;
    std::unique_ptr<Journal> m_journal;
    std::unique_ptr<EventStore> m_store;
    Config_Record m_config{};
    ManualClock m_clock{1'700'000'000};
    std::vector<LogLine> m_log;
    int m_beeps = 0;
    QString m_status;
    quint16 m_port = 0;
    std::unique_ptr<Dc09Receiver> m_receiver;
    std::vector<std::unique_ptr<QTcpSocket>> m_panels;
};

TEST_F(ReceiverTest, FirstTickWritesTheHostLineOpensThePortAndSettlesToOneSecond)
{
    m_receiver->setLogViewVisible(false);
    m_config.DC9_Port_Enable = 0;
    m_receiver->start();
    EXPECT_EQ(m_receiver->timer()->interval(), 500);
    m_receiver->Timer_DC9Timer();
    EXPECT_EQ(countLog("Program started."), 0); // waits for the log view
    EXPECT_EQ(m_status, QStringLiteral("Receiver port closed."));
    EXPECT_EQ(m_receiver->timer()->interval(), 1000);
    EXPECT_TRUE(m_receiver->timer()->isActive());

    m_receiver->setLogViewVisible(true);
    m_config.DC9_Port_Enable = 1;
    m_receiver->Timer_DC9Timer();
    ASSERT_GE(m_log.size(), 3u);
    EXPECT_EQ(m_log[0].text.rfind("Program started. Hostname of this computer: \"", 0), 0u) << m_log[0].text;
    EXPECT_NE(m_log[0].text.find("\"  IP:"), std::string::npos);
    EXPECT_EQ(m_log[1].text, "Opening receiver port " + std::to_string(m_port));
    EXPECT_EQ(m_log[2].text, "Port " + std::to_string(m_port) + " is open.");
    EXPECT_EQ(m_log[2].colour, LogColour::Black);
    EXPECT_EQ(m_status, QStringLiteral("Receiver port is open.  Connections: 0")); // not a second later
    EXPECT_TRUE(m_receiver->isActive());
    EXPECT_EQ(m_receiver->listeningPort(), m_port);

    m_receiver->Timer_DC9Timer();
    EXPECT_EQ(countLog("Program started."), 1);
    EXPECT_EQ(m_status, QStringLiteral("Receiver port is open.  Connections: 0"));
    connectPanel();
    m_receiver->Timer_DC9Timer();
    EXPECT_EQ(m_status, QStringLiteral("Receiver port is open.  Connections: 1"));
}

TEST(ReceiverHostLine, FormatsTheAddressAsDottedDecimal)
{
    EXPECT_EQ(Dc09Receiver::hostLine(QStringLiteral("desk"), QHostAddress(QStringLiteral("192.168.1.20"))),
              QStringLiteral("Program started. Hostname of this computer: \"desk\"  IP:192.168.1.20"));
    EXPECT_EQ(Dc09Receiver::addressText(QHostAddress(QStringLiteral("::ffff:10.1.2.3"))),
              QStringLiteral("10.1.2.3"));
}

TEST_F(ReceiverTest, SilentPanelIsClosedOnTheFifthTick)
{
    openPort();
    QTcpSocket* panel = connectPanel();
    EXPECT_EQ(m_receiver->connectionTable().inUse(), 1u);
    ticks(4);
    EXPECT_TRUE(staysConnected(panel));
    ticks(1);
    EXPECT_TRUE(disconnected(panel));
    EXPECT_TRUE(waitUntil([&] { return m_receiver->activeConnections() == 0; }));
    EXPECT_EQ(m_receiver->connectionTable().inUse(), 0u);
}

TEST_F(ReceiverTest, AcceptedMessageIsAnsweredStoredAndKeepsTheConnectionForTheTimeout)
{
    m_config.DC9_Conn_Timeout = 8;
    openPort();
    QTcpSocket* panel = connectPanel();
    EXPECT_EQ(exchange(panel, kNullFrame), kNullAck);

    const JournalRecord stored = m_journal->record(0);
    EXPECT_EQ(stored.status, journal::kStored | journal::kSaved) << "in the log before it is acknowledged";
    EXPECT_STREQ(stored.event, "NULL");
    EXPECT_STREQ(stored.account, "1234");
    EXPECT_STREQ(stored.address, "127.0.0.1");
    EXPECT_EQ(stored.port, panel->localPort());
    EXPECT_EQ(stored.time_received, 1'700'000'000);
    EXPECT_EQ(m_journal->nextSlot(), 1u);

    ticks(7);
    EXPECT_TRUE(staysConnected(panel));
    ticks(1);
    EXPECT_TRUE(disconnected(panel));
}

TEST_F(ReceiverTest, RejectedBlockAfterAnAcceptedOneShortensTheTimeToFiveSeconds)
{
    openPort();
    QTcpSocket* panel = connectPanel();
    EXPECT_EQ(exchange(panel, kNullFrame), kNullAck);
    ticks(3);
    EXPECT_EQ(exchange(panel, frame("\"XYZ\"0002R1L1#1234[]")), kUnknownTokenDuh);
    EXPECT_EQ(m_journal->nextSlot(), 1u); // nothing more stored
    ticks(4);
    EXPECT_TRUE(staysConnected(panel));
    ticks(1);
    EXPECT_TRUE(disconnected(panel));
}

TEST_F(ReceiverTest, ZeroTimeoutLeavesAnAcceptedPanelConnected)
{
    m_config.DC9_Conn_Timeout = 0;
    openPort();
    QTcpSocket* panel = connectPanel();
    EXPECT_EQ(exchange(panel, kNullFrame), kNullAck);
    EXPECT_EQ(m_receiver->connectionTable().inUse(), 0u);
    ticks(40);
    EXPECT_TRUE(staysConnected(panel));
}

TEST_F(ReceiverTest, GarbageIsLoggedAndNotAnswered)
{
    openPort();
    QTcpSocket* panel = connectPanel();
    panel->write("hello receiver\r\n");
    const std::string expected =
        "Unrecognised data received from IP: 127.0.0.1, port: " + std::to_string(panel->localPort());
    ASSERT_TRUE(waitUntil([&] { return lastLog() == expected; })) << lastLog();
    EXPECT_EQ(m_log.back().colour, LogColour::Black);
    // Nothing was sent back: the first bytes the panel sees are the answer to the next frame.
    EXPECT_EQ(exchange(panel, kNullFrame), kNullAck);
}

TEST_F(ReceiverTest, AFloodIsHandledInBoundedBlocks)
{
    openPort();
    std::vector<qsizetype> blocks;
    m_receiver->setTraceEnabled(true);
    QObject::connect(m_receiver.get(), &Dc09Receiver::traceLine, [&](const QString& line) {
        if (!line.isEmpty()) {
            blocks.push_back(line.size() - line.indexOf(QStringLiteral("  ")) - 2);
        }
    });
    QTcpSocket* panel = connectPanel();
    const qsizetype total = 300 * 1024;
    panel->write(QByteArray(total, 'x'));
    qsizetype seen = 0;
    ASSERT_TRUE(waitUntil([&] {
        seen = 0;
        for (qsizetype b : blocks) {
            seen += b;
        }
        return seen >= total;
    })) << seen;
    for (qsizetype b : blocks) {
        EXPECT_LE(b, Dc09Receiver::kMaxBlockBytes);
    }
    // One line for the whole flood, however many reads it took; the frame after it is still answered.
    EXPECT_GT(blocks.size(), 1u);
    EXPECT_EQ(countLog("Unrecognised data received from IP: "), 1);
    EXPECT_EQ(exchange(panel, kNullFrame), kNullAck);
}

TEST_F(ReceiverTest, FramesAreTakenFromTheStreamWhateverItsReads)
{
    openPort();
    QTcpSocket* panel = connectPanel();
    // A frame in two pieces, the second after the first was read: one answer, nothing unrecognised.
    int reads = 0;
    m_receiver->setTraceEnabled(true);
    QObject::connect(m_receiver.get(), &Dc09Receiver::traceLine,
                     [&](const QString& line) { reads += line.isEmpty() ? 0 : 1; });
    panel->write(kEventFrame.left(17));
    ASSERT_TRUE(waitUntil([&] { return reads == 1; }));
    EXPECT_EQ(exchange(panel, kEventFrame.mid(17)), kEventAck);

    // Three frames in one write: three answers in that order, three events stored in that order.
    const QByteArray third = frame("\"ADM-CID\"0003R1L1#1234[#1234|1131 01 016]");
    const QByteArray thirdAck = frame("\"ACK\"0003R1L1#1234[]");
    panel->write(kNullFrame + kUnknownTokenFrame() + third);
    QByteArray answers;
    ASSERT_TRUE(waitUntil([&] {
        answers += panel->readAll();
        return answers.count('\r') == 3;
    })) << answers.constData();
    EXPECT_EQ(answers, kNullAck + kUnknownTokenDuh + thirdAck);
    EXPECT_EQ(m_journal->nextSlotIndex(), 3u);
    EXPECT_STREQ(m_journal->record(0).event, "1130");
    EXPECT_STREQ(m_journal->record(1).event, "NULL");
    EXPECT_STREQ(m_journal->record(2).event, "1131");
    EXPECT_EQ(countLog("Unrecognised data received from IP: "), 0);
}

TEST_F(ReceiverTest, PartOfAFrameThatNeverCompletesIsReportedWhenItsTimeRunsOut)
{
    openPort();
    QTcpSocket* panel = connectPanel();
    int reads = 0;
    m_receiver->setTraceEnabled(true);
    QObject::connect(m_receiver.get(), &Dc09Receiver::traceLine,
                     [&](const QString& line) { reads += line.isEmpty() ? 0 : 1; });
    panel->write(kEventFrame.left(33));
    ASSERT_TRUE(waitUntil([&] { return reads == 1; }));
    EXPECT_EQ(countLog("Unrecognised data received from IP: "), 0);
    const std::string port = std::to_string(panel->localPort());
    ticks(5);
    EXPECT_TRUE(disconnected(panel));
    EXPECT_EQ(countLog("Unrecognised data received from IP: 127.0.0.1, port: "), 1);
    EXPECT_EQ(lastLog(), "Unrecognised data received from IP: 127.0.0.1, port: " + port +
                             ", account 1234: frame incomplete (0029 stated, 0018 came)");
}

TEST_F(ReceiverTest, APanelThatNeverReadsItsAnswersIsClosed)
{
    openPort();
    int handled = 0;
    m_receiver->setTraceEnabled(true);
    QObject::connect(m_receiver.get(), &Dc09Receiver::traceLine,
                     [&](const QString& line) { handled += line.isEmpty() ? 0 : 1; });
    // A plain socket that never reads, with small kernel buffers so the answers back up soon.
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    const int small = 1024;
    ASSERT_EQ(::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(m_port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
    ASSERT_TRUE(waitUntil([&] { return m_receiver->activeConnections() == 1; }));
    m_receiver->connections().front()->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, 4096);

    // Each frame is its own block and gets its own answer, which the panel leaves unread.
    const QByteArray rejected = frame("\"XYZ\"0002R1L1#1234[]");
    int sent = 0;
    while (m_receiver->activeConnections() == 1 && sent < 20000) {
        if (::send(fd, rejected.constData(), size_t(rejected.size()), MSG_NOSIGNAL) != rejected.size()) {
            break;
        }
        ++sent;
        const int before = handled;
        QElapsedTimer t;
        t.start();
        while (handled == before && m_receiver->activeConnections() == 1 && t.elapsed() < 5000) {
            QCoreApplication::processEvents();
        }
    }
    ::close(fd);
    EXPECT_EQ(m_receiver->activeConnections(), 0) << sent << " frames sent";
    EXPECT_EQ(countLog("Answers not read, connection closed. IP: 127.0.0.1, port: "), 1);
    // Unsent answers stay bounded: about the limit, not what the panel chose to send.
    EXPECT_LT(qint64(handled) * (kUnknownTokenDuh.size()), 4 * Dc09Receiver::kMaxUnsentBytes);
}

// The "Data Log": each read with its time to the millisecond, then the answer sent (or why none
// was), control bytes by name.
TEST_F(ReceiverTest, TraceShowsTheReceivedTextAndTheAnswerWithTheirTimesWhileTheWindowIsVisible)
{
    m_config.DC9_Store_Repeats = 1; // the same frame twice, each stored
    openPort();
    QStringList trace;
    QObject::connect(m_receiver.get(), &Dc09Receiver::traceLine, [&](const QString& line) { trace << line; });
    m_clock.set(1'699'920'000 + 3 * 3600 + 4 * 60 + 5, 7); // 03:04:05.007 UTC (the tests run with TZ=UTC)
    QTcpSocket* panel = connectPanel();
    exchange(panel, kNullFrame);
    EXPECT_TRUE(trace.isEmpty());
    m_receiver->setTraceEnabled(true);
    QByteArray badCrc = kEventFrame;
    badCrc[1] = '0';
    exchange(panel, kNullFrame);
    exchange(panel, kUnknownTokenFrame());
    panel->write(badCrc);
    ASSERT_TRUE(waitUntil([&] { return trace.size() == 9; })) << trace.join(u'\n').toStdString();
    const auto shown = [](QByteArray bytes) {
        return QStringLiteral("03:04:05.007  ") +
               QString::fromLatin1(bytes.replace("\n", "<LF>").replace("\r", "<CR>"));
    };
    const QStringList expected = {
        {},
        shown(kNullFrame),
        shown("TX: " + kNullAck),
        {},
        shown(kUnknownTokenFrame()),
        shown("TX: " + kUnknownTokenDuh + "  account 1234: unknown token XYZ"),
        {},
        shown(badCrc),
        shown("no answer: account 1234: CRC mismatch (04FA stated, E4FA computed)"),
    };
    EXPECT_EQ(trace.join(u'\n').toStdString(), expected.join(u'\n').toStdString());
}

TEST_F(ReceiverTest, TwoPanelsBehindOneAddressGetSeparateSlots)
{
    openPort();
    QTcpSocket* first = connectPanel();
    QTcpSocket* second = connectPanel();
    EXPECT_EQ(m_receiver->connectionTable().inUse(), 2u);
    EXPECT_EQ(exchange(first, kNullFrame), kNullAck); // first now has 30 s, second still 5
    ticks(5);
    EXPECT_TRUE(disconnected(second));
    EXPECT_TRUE(staysConnected(first));
}

TEST_F(ReceiverTest, PanelThatClosesLeavesNoConnectionAndFreesItsSlot)
{
    openPort();
    QTcpSocket* panel = connectPanel();
    EXPECT_EQ(exchange(panel, kNullFrame), kNullAck);
    panel->disconnectFromHost();
    ASSERT_TRUE(waitUntil([&] { return m_receiver->activeConnections() == 0; }));
    EXPECT_EQ(m_receiver->connectionTable().inUse(), 0u);
    ticks(35); // nothing left to close, nothing dangling
    EXPECT_EQ(m_receiver->activeConnections(), 0);
}

TEST_F(ReceiverTest, PortHeldByAnotherProgramIsRetriedEveryTenSecondsWhileSupervisionGoesOn)
{
    JournalRecord account{};
    setFieldText(account.account, "1234");
    ASSERT_EQ(m_accounts->stage(account, ""), 0u);
    const std::int32_t countdown = m_accounts->record(0).ping_countdown;

    QTcpServer other;
    ASSERT_TRUE(other.listen(QHostAddress::AnyIPv4, m_port));
    m_receiver->Timer_DC9Timer();
    EXPECT_FALSE(m_receiver->isActive());
    ASSERT_FALSE(m_log.empty());
    EXPECT_EQ(m_log.back().colour, LogColour::Red);
    EXPECT_EQ(
        m_log.back().text.rfind("Receiver port " + std::to_string(m_port) + " could not be opened: ", 0), 0u)
        << m_log.back().text;
    EXPECT_TRUE(m_status.startsWith(QStringLiteral("Receiver port %1: failing, last error at ").arg(m_port)))
        << m_status.toStdString();
    EXPECT_EQ(countLog("Port "), 0);
    EXPECT_EQ(m_beeps, 1);

    // The tick stays at one second: only the next attempt waits ten of them.
    ticks(9);
    EXPECT_EQ(m_beeps, 1);
    EXPECT_EQ(m_receiver->timer()->interval(), 1000);
    EXPECT_EQ(m_accounts->record(0).ping_countdown, countdown - 10);
    ticks(1); // the next try fails the same way
    EXPECT_EQ(m_beeps, 2);
    m_receiver->retrySoon(); // the operator ticks the box again
    ticks(1);
    EXPECT_EQ(m_beeps, 3);

    other.close();
    m_receiver->retrySoon();
    m_receiver->Timer_DC9Timer();
    EXPECT_TRUE(m_receiver->isActive());
    EXPECT_EQ(lastLog(), "Port " + std::to_string(m_port) + " is open.");
    EXPECT_EQ(m_receiver->timer()->interval(), 1000);
}

TEST_F(ReceiverTest, InvalidPortNumberIsAnErrorNotARandomPort)
{
    for (const int port : {0, -1, 65536}) {
        m_config.DC9_Port = port;
        m_receiver->Timer_DC9Timer();
        EXPECT_FALSE(m_receiver->isActive()) << port;
        EXPECT_EQ(m_log.back().colour, LogColour::Red) << port;
    }
}

TEST_F(ReceiverTest, UntickingOpenClosesThePortAndItsConnections)
{
    m_receiver->setPortText(QStringLiteral("7777x"));
    openPort();
    QTcpSocket* panel = connectPanel();
    m_config.DC9_Port_Enable = 0;
    m_receiver->Timer_DC9Timer();
    EXPECT_FALSE(m_receiver->isActive());
    EXPECT_EQ(lastLog(), "Port 7777x closed.");
    EXPECT_EQ(m_status, QStringLiteral("Receiver port closed."));
    EXPECT_EQ(m_receiver->activeConnections(), 0);
    EXPECT_TRUE(disconnected(panel));
    m_receiver->Timer_DC9Timer();
    EXPECT_EQ(countLog("Port 7777x closed."), 1);
}

TEST_F(ReceiverTest, SocketErrorsAreLoggedExceptConnectionAborted)
{
    openPort();
    QTcpSocket* panel = connectPanel();
    QTcpSocket* connection = m_receiver->connections().front();
    (void)panel;
    const std::size_t before = m_log.size();
    int code = 10053;
    m_receiver->ServerSocket_DC9ClientError(connection, code);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(m_log.size(), before);

    code = 10054;
    m_receiver->ServerSocket_DC9ClientError(connection, code);
    EXPECT_EQ(code, 0);
    ASSERT_EQ(m_log.size(), before + 1);
    EXPECT_EQ(m_log.back().text.rfind("Receiver port error. 10054", 0), 0u);
    EXPECT_EQ(m_log.back().colour, LogColour::Red);

    EXPECT_EQ(Dc09Receiver::winsockErrorCode(QAbstractSocket::RemoteHostClosedError), 0);
    EXPECT_EQ(Dc09Receiver::winsockErrorCode(QAbstractSocket::ConnectionRefusedError), 10061);
}

TEST_F(ReceiverTest, EveryTickRunsTheSupervisionCountdown)
{
    openPort();
    QTcpSocket* panel = connectPanel();
    EXPECT_EQ(exchange(panel, kNullFrame), kNullAck);
    const AccountRecord account = m_accounts->record(0);
    ASSERT_STREQ(account.account, "1234");
    const std::int32_t countdown = account.ping_countdown;
    ASSERT_GT(countdown, 3);
    ticks(3);
    EXPECT_EQ(m_accounts->record(0).ping_countdown, countdown - 3);
}

TEST_F(ReceiverTest, AnEventTheLogCannotTakeIsNotAcknowledgedButKeptAndForwardedOnceItCan)
{
    struct Case {
        bool sync;
        int error;
        const char* text; // what the log's red line says
    };
    const Case cases[] = {
        {false, EIO, "Disk write error. "},
        {true, EIO, "Disk write error. "},
        {false, ENOSPC, "Disk write error. "},
    };
    const QByteArray unknownToken = frame("\"XYZ\"0002R1L1#1234[]");
    m_config.DC9_Store_Repeats = 1; // every copy is stored: the repeats have a test of their own
    openPort();
    QTcpSocket* panel = connectPanel();
    // The event's answer would come before the rejection's: a lone "DUH" proves it was withheld.
    const auto sendUnanswered = [&] {
        panel->write(kEventFrame);
        EXPECT_EQ(exchange(panel, unknownToken), kUnknownTokenDuh);
    };
    std::int64_t logged = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.sync ? "sync " : "write ") + std::to_string(c.error));
        const std::size_t linesBefore = m_log.size();
        const int beepsBefore = m_beeps;
        if (c.sync)
            faults::failSyncs("events.db", c.error);
        else
            faults::failWrites("events.db", c.error);
        sendUnanswered();
        sendUnanswered(); // the panel repeats it while the disk still fails
        std::erase_if(m_log, [](const LogLine& l) { return l.text.rfind("Message answered DUH", 0) == 0; });
        ASSERT_EQ(m_log.size(), linesBefore + 1) << "one line for the failure, not one per event";
        EXPECT_EQ(m_log.back().text.rfind(c.text + m_paths.eventLog + OS_Error_Text(c.error), 0), 0u)
            << m_log.back().text;
        EXPECT_EQ(m_log.back().colour, LogColour::Red);
        EXPECT_EQ(m_beeps, beepsBefore + 1);
        EXPECT_EQ(loggedOf("1234", false), logged);

        faults::heal();
        EXPECT_EQ(exchange(panel, kEventFrame), kEventAck);
        // What stayed in memory went to the log with it, and is forwarded from there.
        logged += 3;
        EXPECT_EQ(loggedOf("1234"), logged);
    }
    // A view file that cannot be written holds back no answer: it is said once and follows later.
    m_io.failOn(m_paths.journal, FailingFileIo::Op::Write, EIO);
    EXPECT_EQ(exchange(panel, kEventFrame), kEventAck);
    EXPECT_TRUE(waitUntil([&] {
        std::lock_guard lock(m_viewLogMutex);
        return !m_viewLog.empty();
    }));
    EXPECT_EQ(loggedOf("1234"), logged + 1);
    std::lock_guard lock(m_viewLogMutex);
    EXPECT_EQ(m_viewLog.front().text, "Disk write error. " + m_paths.journal + OS_Error_Text(EIO));
}

// A disk that stops answering stops the reading, not the receiver: the panels wait in TCP, the timer
// and everything else go on, and once the disk answers again every frame is answered in order.
TEST_F(ReceiverTest, AHungDiskPausesTheReadingAndNothingElse)
{
    openPort();
    QTcpSocket* panel = connectPanel();
    faults::stallSyncs(true);
    constexpr int kFrames = 1200; // more than may wait for the disk at once
    QByteArray frames;
    for (int n = 1; n <= kFrames; ++n)
        frames +=
            frame("\"ADM-CID\"" + QByteArray::number(n).rightJustified(4, '0') + "R1L1#1234[#1234|1130 01 " +
                  QByteArray::number(n % 1000).rightJustified(3, '0') + "]");
    panel->write(frames);
    ASSERT_TRUE(waitUntil([&] { return m_receiver->readsPaused(); }));
    const std::int32_t countdown = m_accounts->record(0).ping_countdown;
    ticks(2); // the receiver's timer is not held up
    EXPECT_EQ(m_accounts->record(0).ping_countdown, countdown - 2);
    EXPECT_EQ(panel->bytesAvailable(), 0) << "nothing is answered while the disk hangs";
    faults::stallSyncs(false);
    QByteArray answers;
    ASSERT_TRUE(waitUntil(
        [&] {
            answers += panel->readAll();
            return answers.count('\r') == kFrames;
        },
        30000))
        << answers.count('\r');
    EXPECT_FALSE(m_receiver->readsPaused());
    EXPECT_TRUE(answers.startsWith(frame("\"ACK\"0001R1L1#1234[]")));
    EXPECT_TRUE(answers.endsWith(frame("\"ACK\"1200R1L1#1234[]")));
    EXPECT_EQ(loggedOf("1234"), kFrames);
}

// How many journal slots hold events of the account.
std::size_t slotsOf(const Journal& journal, const char* account)
{
    std::size_t n = 0;
    for (std::size_t slot = 0; slot < journal::kSlots; ++slot) {
        const JournalRecord r = journal.record(slot);
        n += (r.status & journal::kStored) != 0 && std::strcmp(r.account, account) == 0 ? 1 : 0;
    }
    return n;
}

TEST_F(ReceiverTest, AMessageReceivedAgainWithinAMinuteIsAnsweredButStoredOnce)
{
    struct Row {
        const char* account;
        int secondsLater;
        bool otherConnection;
        int secondSequence;
        std::uint8_t storeRepeats;
        std::size_t stored;
    };
    const Row rows[] = {
        {"1001", 0, false, 1, 0, 1},  // at once, same connection
        {"1002", 60, true, 1, 0, 1},  // the last second of the window, from another connection
        {"1003", 61, false, 1, 0, 2}, // after the window: a new event
        {"1004", 5, false, 2, 0, 2},  // another sequence number: a new event
        {"1005", 5, false, 1, 1, 2},  // the setting keeps every copy
    };
    openPort();
    QTcpSocket* panel = connectPanel();
    QTcpSocket* other = connectPanel();
    int repeatLines = 0;
    m_receiver->setTraceEnabled(true);
    QObject::connect(m_receiver.get(), &Dc09Receiver::traceLine, [&](const QString& line) {
        repeatLines += line.contains(QStringLiteral("repeat")) ? 1 : 0;
    });
    QStringList repeats; // what the service prints of them
    QObject::connect(
        m_receiver.get(), &Dc09Receiver::repeatReceived,
        [&](const QString& account, int sequence, const QString& address, int port) {
            repeats << QStringLiteral("%1 %2 %3 %4").arg(account).arg(sequence).arg(address).arg(port);
        });
    for (const Row& row : rows) {
        SCOPED_TRACE(row.account);
        m_config.DC9_Store_Repeats = row.storeRepeats;
        const QByteArray account(row.account);
        const auto message = [&](int sequence) {
            return frame("\"ADM-CID\"000" + QByteArray::number(sequence) + "R1L1#" + account + "[#" +
                         account + "|1130 01 015]");
        };
        const auto ack = [&](int sequence) {
            return frame("\"ACK\"000" + QByteArray::number(sequence) + "R1L1#" + account + "[]");
        };
        const int linesBefore = repeatLines;
        EXPECT_EQ(exchange(panel, message(1)), ack(1));
        m_clock.set(m_clock.wallNow().seconds + row.secondsLater);
        EXPECT_EQ(exchange(row.otherConnection ? other : panel, message(row.secondSequence)),
                  ack(row.secondSequence));
        EXPECT_EQ(slotsOf(*m_journal, row.account), row.stored);
        EXPECT_EQ(repeatLines - linesBefore, row.stored == 1 ? 1 : 0);
        EXPECT_EQ(repeats.size(), repeatLines);
        m_clock.set(m_clock.wallNow().seconds + 100); // the rows do not meet
    }

    // Both copies in one read: two answers, both after the one commit.
    m_config.DC9_Store_Repeats = 0;
    panel->write(kEventFrame + kEventFrame);
    QByteArray answers;
    ASSERT_TRUE(waitUntil([&] {
        answers += panel->readAll();
        return answers.count('\r') == 2;
    }));
    EXPECT_EQ(answers, kEventAck + kEventAck);
    EXPECT_EQ(slotsOf(*m_journal, "1234"), 1u);
    EXPECT_EQ(repeats.last(), QStringLiteral("1234 2 127.0.0.1 %1").arg(panel->localPort()));
}

TEST_F(ReceiverTest, TheRepeatsMemorySurvivesARestartWithItsSequenceNumbers)
{
    openPort();
    QTcpSocket* panel = connectPanel();
    EXPECT_EQ(exchange(panel, kEventFrame), kEventAck);
    stopStores();

    // The program starts again 30 s later over the same files.
    m_clock.set(m_clock.wallNow().seconds + 30);
    startStores();
    m_receiver->start();
    openPort();
    panel = connectPanel();
    EXPECT_EQ(exchange(panel, kEventFrame), kEventAck);
    EXPECT_EQ(loggedOf("1234"), 1) << "the panel's retry";
    // The log keeps sequence numbers: the same content under the next number is a new alarm.
    EXPECT_EQ(exchange(panel, frame("\"ADM-CID\"0003R1L1#1234[#1234|1130 01 015]")),
              frame("\"ACK\"0003R1L1#1234[]"));
    EXPECT_EQ(loggedOf("1234"), 2);
    m_clock.set(m_clock.wallNow().seconds + 61);
    EXPECT_EQ(exchange(panel, kEventFrame), kEventAck);
    EXPECT_EQ(loggedOf("1234"), 3);
}

// A captured encrypted frame sent again with another sequence number, receiver or line is one alarm,
// within ten minutes and across a restart; every answer is the first copy's.
TEST_F(ReceiverTest, ACapturedEncryptedFrameSentAgainUnderOtherHeadersIsOneAlarm)
{
    setEncryptionMode(m_config, 1);
    m_config.Time_Synch = 0; // the memory alone
    for (std::uint8_t i = 0; i < 16; ++i)
        m_config.DC9_AES_Key[i] = std::uint8_t(0xA0 + i);
    const std::string cipher =
        dc09test::encryptedBody("", "PADDING|#A128|1130 01 015]", m_config).substr(1); // no "["
    const auto captured = [&](const char* header) {
        return frame(QByteArray("\"*ADM-CID\"") + header + "#A128[" + QByteArray::fromStdString(cipher));
    };
    const auto encryptedAck = [](const QByteArray& answer) { return answer.contains("\"*ACK\""); };
    openPort();
    QTcpSocket* panel = connectPanel();
    struct Row {
        int secondsLater;
        bool restart;
        const char* header;
        std::uint8_t storeRepeats;
        std::int64_t logged;
    };
    const Row rows[] = {
        {0, false, "0042R1L1", 0, 1},   // the panel's own message
        {1, false, "0043R1L1", 0, 1},   // sent again under the following numbers
        {1, false, "0044R1L1", 0, 1},
        {1, false, "9999R2L7", 0, 1},   // and another receiver and line
        {300, true, "0045R1L1", 0, 1},  // the memory comes back from the log
        {1, false, "0046R1L1", 1, 1},   // every copy stored, but a replay is no copy
        {1, false, "0042R1L1", 1, 2},   // the first copy's very header is: stored
        {601, false, "0047R1L1", 0, 3}, // after ten minutes only the time window can tell
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.header);
        m_clock.set(m_clock.wallNow().seconds + row.secondsLater);
        m_config.DC9_Store_Repeats = row.storeRepeats;
        if (row.restart) {
            stopStores();
            startStores();
            m_receiver->start();
            openPort();
            panel = connectPanel();
        }
        const QByteArray answer = exchange(panel, captured(row.header));
        EXPECT_TRUE(encryptedAck(answer)) << answer.toStdString();
        EXPECT_EQ(loggedOf("A128"), row.logged);
    }
}

TEST_F(ReceiverTest, ARepeatIsNotAcknowledgedWhileItsFirstCopyIsNotInTheLog)
{
    const QByteArray unknownToken = frame("\"XYZ\"0002R1L1#1234[]");
    openPort();
    QTcpSocket* panel = connectPanel();
    faults::failSyncs("events.db", EIO);
    // Each time the rejection's answer comes alone: the event's was withheld.
    for (int attempt = 0; attempt < 2; ++attempt) {
        panel->write(kEventFrame);
        EXPECT_EQ(exchange(panel, unknownToken), kUnknownTokenDuh) << attempt;
        EXPECT_EQ(slotsOf(*m_journal, "1234"), 1u) << attempt;
        EXPECT_EQ(m_journal->logIdOf(0), 0);
    }
    // The disk is back: the panel's next retry commits the first copy and is acknowledged.
    faults::heal();
    EXPECT_EQ(exchange(panel, kEventFrame), kEventAck);
    EXPECT_EQ(slotsOf(*m_journal, "1234"), 1u);
    EXPECT_NE(m_journal->logIdOf(0), 0);
    EXPECT_EQ(loggedOf("1234"), 1);
}

// One datagram to the receiver port and the first datagram that comes back within a short while.
QByteArray datagramExchange(QUdpSocket& panel, quint16 port, const QByteArray& bytes, int waitMs = 2000)
{
    panel.writeDatagram(bytes, QHostAddress::LocalHost, port);
    QByteArray answer;
    (void)waitUntil(
        [&] {
            if (panel.hasPendingDatagrams()) {
                answer = panel.receiveDatagram().data();
                return true;
            }
            return false;
        },
        waitMs);
    return answer;
}

TEST_F(ReceiverTest, DatagramsAreFramesAnsweredToTheirSender)
{
    m_config.DC9_UDP_Enable = 1;
    openPort();
    ASSERT_TRUE(m_receiver->isDatagramBound()) << lastLog();
    QUdpSocket panel;
    ASSERT_TRUE(panel.bind(QHostAddress::LocalHost, 0));
    struct Row {
        QByteArray frame;
        QByteArray answer;
        std::size_t storedAfter;
    };
    const Row rows[] = {
        {kNullFrame, kNullAck, 1},
        {kEventFrame, kEventAck, 2},
        {"\n15000011\"NULL\"0003#5678[]\r", "\nA6510012\"ACK\"0003L0#5678[]\r", 3},
        {frame("\"XYZ\"0002R1L1#1234[]"), kUnknownTokenDuh, 3},
        {kEventFrame, kEventAck, 3}, // a repeat: answered, not stored again
    };
    for (const Row& row : rows) {
        EXPECT_EQ(datagramExchange(panel, m_port, row.frame), row.answer) << row.frame.constData();
        EXPECT_EQ(m_journal->nextSlotIndex(), row.storedAfter) << row.frame.constData();
    }
    const JournalRecord stored = m_journal->record(0);
    EXPECT_STREQ(stored.address, "127.0.0.1");
    EXPECT_EQ(stored.port, panel.localPort());
    EXPECT_EQ(m_receiver->connectionTable().inUse(), 0u); // datagrams hold no connection slot

    m_config.DC9_UDP_Enable = 0;
    m_receiver->Timer_DC9Timer();
    EXPECT_FALSE(m_receiver->isDatagramBound());
    EXPECT_TRUE(m_receiver->isActive());
}

TEST_F(ReceiverTest, GarbageDatagramsAreNotAnsweredAndLoggedOnceASecondForAllSendersWithACount)
{
    m_config.DC9_UDP_Enable = 1;
    openPort();
    QUdpSocket first;
    QUdpSocket second; // another sender: it shares the one line a second
    ASSERT_TRUE(first.bind(QHostAddress::LocalHost, 0));
    ASSERT_TRUE(second.bind(QHostAddress::LocalHost, 0));
    const std::string line = "Unrecognised data received from IP: 127.0.0.1, port: ";
    const std::string why = ": length mismatch (5678 stated, no CR)";
    const std::string secondLine = line + std::to_string(second.localPort()) + why;
    struct Row {
        QUdpSocket* from; // none: a timer tick
        std::int64_t laterMs;
        int lines;
        std::string last; // the last line, when it is new
    };
    const Row rows[] = {
        {&first, 0, 1, line + std::to_string(first.localPort()) + why},
        {&first, 100, 1, {}},
        {&second, 100, 1, {}},
        {nullptr, 100, 1, {}}, // the second is not over yet
        {nullptr, 700, 2, secondLine + " \u2026 and 1 more in the last second"},
        {&second, 100, 2, {}},
        {&first, 1000, 3,
         line + std::to_string(first.localPort()) + why + " \u2026 and 1 more in the last second"},
    };
    for (const Row& row : rows) {
        m_clock.advance(row.laterMs);
        if (row.from == nullptr) {
            m_receiver->Timer_DC9Timer();
        } else {
            EXPECT_EQ(datagramExchange(*row.from, m_port, "junk\n12345678\"", 100), QByteArray());
        }
        EXPECT_EQ(countLog(line), row.lines);
        if (!row.last.empty()) {
            EXPECT_EQ(lastLog(), row.last);
        }
    }
    // Nothing was sent back: the first datagram either sender sees is its frame's answer.
    EXPECT_EQ(datagramExchange(first, m_port, kNullFrame), kNullAck);
}

// Every refusal the receiver can make leaves one line: the answer (or none), the sender, the account
// as far as it was read and the check that refused it. Together they are limited to one a second.
TEST_F(ReceiverTest, EachRefusalIsLoggedWithItsSenderAccountAndReason)
{
    using dc09test::encryptedBody;
    const Config_Record keyed = dc09test::configWith(1);
    std::copy(std::begin(keyed.DC9_AES_Key), std::end(keyed.DC9_AES_Key), m_config.DC9_AES_Key);
    m_config.DC9_UDP_Enable = 1;
    AccountKeys keys;
    ASSERT_FALSE(keys.set("5678", "text", "0123456789abcdef"));
    m_receiver->setAccountKeys(&keys);
    m_receiver->admitAccount = [](std::string_view account) { return account != "4321"; };
    openPort();
    QUdpSocket udp;
    ASSERT_TRUE(udp.bind(QHostAddress::LocalHost, 0));
    const std::time_t now = m_clock.wallNow().seconds;
    const auto encrypted = [&](const char* header, const std::string& plain) {
        return QByteArray::fromStdString(dc09test::frameOf(encryptedBody(header, plain, keyed)));
    };
    const auto stamped = [&](int offset) { return "PADPADPAD|]_" + dc09test::stampOf(now + offset); };
    enum Setting { Plain = 0, Aes = 1, Synch = 2, NoSia = 4, LowerHex = 8, KnownOnly = 16, Tcp = 32 };
    struct Row {
        QByteArray frame;
        int settings;
        const char* answer; // empty: none
        std::string detail; // the line after the sender's port
    };
    const Row rows[] = {
        {"junk", Plain, "", ": no LF"},
        {"\nE2Z50015\"NULL\"0001R1L1#1234[]\r", Plain, "", ", account 1234: CRC field not 4 hex digits"},
        {"\nE25E00G5\"NULL\"0001R1L1#1234[]\r", Plain, "", ", account 1234: length field not 4 hex digits"},
        {"\nE25E0015NULL0001R1L1#1234[]\r", Plain, "", ": no opening quote"},
        {"\nE25E0014\"NULL\"0001R1L1#1234[]\r", Plain, "",
         ", account 1234: length mismatch (0014 stated, CR at 0015)"},
        {"\n00000015\"NULL\"0001R1L1#1234[]\r", Plain, "",
         ", account 1234: CRC mismatch (0000 stated, E25E computed)"},
        {frame("\"NULL\"0001R1L1#1234"), Plain, "", ", account 1234: missing \"[\" after the header"},
        {"\nc2130014\"XYZ\"0002R1L1#1234[]\r", LowerHex, "",
         ", account 1234: unknown token XYZ in a frame only a quirk reads"},
        {kUnknownTokenFrame(), Plain, "DUH", ", account 1234: unknown token XYZ"},
        {frame("\"SIA-DCS\"0002R1L1#1234[#1234|Nri1/BA12]"), NoSia, "DUH",
         ", account 1234: unknown token SIA-DCS (DC9_SIA_DCS=0)"},
        {frame("\"NULL\"00A1R1L1#1234[]"), Plain, "DUH", ", account 1234: sequence number not 4 digits"},
        {frame("\"NULL\"0001R1L1#[]"), Plain, "DUH", ": account unreadable (\"#\" without hex digits)"},
        {encrypted("\"*NULL\"0001R1L1", stamped(0)), Aes, "DUH",
         ": encrypted without an account in the header"},
        {frame("\"*NULL\"0001R1L1#1234[00112233445566778899AABBCCDDEEFF"), Plain, "DUH",
         ", account 1234: encrypted, but no key is set"},
        {frame("\"*NULL\"0001R1L1#1234[0011ZZ"), Aes, "DUH", ", account 1234: cipher text not hex"},
        {frame("\"*NULL\"0001R1L1#1234[00112233445566778899AABBCCDDEEFF"), Aes, "DUH",
         ", account 1234: wrong key or padding"},
        {frame("\"ADM-CID\"0002R1L1#1234[#5679|1130 01 015]"), Plain, "DUH",
         ", account 1234: account in the data differs from the header's"},
        {encrypted("\"*ADM-CID\"0002R1L1#56", "PAD|#5678|1130 01 015]"), Aes, "DUH",
         ", account 56: encrypted with another account's key"},
        {frame("\"SIA-DCS\"0002R1L1#1234[#1234|Nri1/BA12"), Plain, "DUH",
         ", account 1234: missing \"]\" of the data block"},
        {frame("\"ADM-CID\"0002R1L1#1234[#1234|1130 01 15]"), Plain, "DUH",
         ", account 1234: malformed Contact ID event"},
        {kEventFrame, Aes, "DUH", ", account 1234: plain message while encryption is on (DC9_AES_Mode=1)"},
        {frame("\"ADM-CID\"0002R1L1#4321[#4321|1130 01 015]"), KnownOnly, "DUH",
         ", account 4321: account not in the Object List (DC9_Known_Accounts_Only=1)"},
        {encrypted("\"*NULL\"0001R1L1#1234", stamped(-73)), Aes | Synch, "NAK",
         ", account 1234: time stamp 73 s old"},
        {encrypted("\"*NULL\"0001R1L1#1234", stamped(25)), Aes | Synch, "NAK",
         ", account 1234: time stamp 25 s ahead"},
        {encrypted("\"*NULL\"0001R1L1#1234", "PADPADPAD|]"), Aes | Synch, "NAK",
         ", account 1234: no time stamp (Time_Synch=1)"},
        {frame("\"NULL\"0001R1L1#5678[]"), Plain, "NAK",
         ", account 5678: plain message for an account with a key of its own"},
        // A stream's frames are cut by the receiver's own reading of their header.
        {"\n0000001"
         "5\"NULL\"0001R1L1#1234[]\r",
         Tcp, "", ", account 1234: CRC mismatch (0000 stated, E25E computed)"},
        {"\nE25E0014\"NULL\"0001R1L1#1234[]\r", Tcp, "",
         ", account 1234: length mismatch (0014 stated, CR at 0015)"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.frame.toStdString());
        m_clock.advance(1000); // a second since the last line: each is written at once
        m_clock.set(now);
        m_config.DC9_AES_Mode = row.settings & Aes ? 1 : 0;
        m_config.Time_Synch = row.settings & Synch ? 1 : 0;
        m_config.DC9_SIA_DCS = row.settings & NoSia ? 0 : 1;
        m_config.DC9_Quirk_Lower_Hex = row.settings & LowerHex ? 1 : 0;
        m_config.DC9_Known_Accounts_Only = row.settings & KnownOnly ? 1 : 0;
        const std::string answer = row.answer;
        std::string lead = answer.empty() ? "Unrecognised data received" : "Message answered " + answer;
        if (row.settings & Tcp) {
            QTcpSocket* panel = connectPanel(); // a stream of its own: one line per block
            panel->write(row.frame);
            EXPECT_TRUE(waitUntil([&] { return lastLog().find(row.detail) != std::string::npos; }))
                << lastLog();
            EXPECT_EQ(lastLog(),
                      lead + " from IP: 127.0.0.1, port: " + std::to_string(panel->localPort()) + row.detail);
            continue;
        }
        const QByteArray reply = datagramExchange(udp, m_port, row.frame, answer.empty() ? 100 : 2000);
        EXPECT_EQ(reply.contains("\"" + QByteArray(row.answer) + "\""), !answer.empty()) << reply.constData();
        EXPECT_EQ(lastLog(),
                  lead + " from IP: 127.0.0.1, port: " + std::to_string(udp.localPort()) + row.detail);
    }
    EXPECT_EQ(m_journal->nextSlotIndex(), 0u);

    // Refusals in one second: the first is written, the last once the second is over, with a count.
    const std::size_t before = m_log.size();
    m_config.DC9_AES_Mode = 1;
    for (int i = 0; i < 3; ++i) {
        m_clock.advance(100);
        EXPECT_NE(datagramExchange(udp, m_port, kEventFrame), QByteArray());
    }
    EXPECT_EQ(m_log.size(), before + 1);
    m_clock.advance(800);
    m_receiver->Timer_DC9Timer();
    ASSERT_EQ(m_log.size(), before + 2);
    EXPECT_EQ(lastLog(),
              "Message answered DUH from IP: 127.0.0.1, port: " + std::to_string(udp.localPort()) +
                  ", account 1234: plain message while encryption is on (DC9_AES_Mode=1) \u2026 and 1 "
                  "more in the last second");
}

TEST_F(ReceiverTest, AValidDatagramBehindAnyBurstOfJunkIsAnswered)
{
    m_config.DC9_UDP_Enable = 1;
    openPort();
    QUdpSocket panel;
    ASSERT_TRUE(panel.bind(QHostAddress::LocalHost, 0));
    const QByteArray junk = "\n0000001F\"junk\"";
    for (const int burst : {65, 500, 5000}) {
        // Sent while the receiver does not run: all of it waits at once, as a flood finds it.
        for (int i = 0; i < burst; ++i) {
            ASSERT_EQ(panel.writeDatagram(junk, QHostAddress::LocalHost, m_port), junk.size()) << i;
        }
        EXPECT_EQ(datagramExchange(panel, m_port, kNullFrame, 5000), kNullAck) << burst;
        // And UDP stays open for what comes later.
        EXPECT_EQ(datagramExchange(panel, m_port, kNullFrame), kNullAck) << burst;
    }
}

TEST_F(ReceiverTest, ANewConnectionIsClosedWhenEverySlotIsInUse)
{
    openPort();
    for (int port = 1; port <= int(ConnectionTable::kSlots); ++port) {
        ASSERT_TRUE(m_receiver->connectionTable().touch("10.9.9.9", port, 30).has_value());
    }
    QTcpSocket refused;
    refused.connectToHost(QHostAddress::LocalHost, m_port);
    EXPECT_TRUE(disconnected(&refused));
    EXPECT_EQ(countLog("Connection table full, connection closed. IP: 127.0.0.1, port: "), 1);

    ticks(30); // the other slots run out: a newcomer is supervised again
    QTcpSocket* panel = connectPanel();
    EXPECT_EQ(exchange(panel, kNullFrame), kNullAck);
    EXPECT_EQ(m_receiver->connectionTable().inUse(), 1u);
}

TEST_F(ReceiverTest, APanelGetsTheSlotOfAnIdleConnectionWhenTheTableIsFull)
{
    openPort();
    // Two real connections that send nothing, then slots for connections that have sent frames.
    QTcpSocket* idleOld = connectPanel();
    QTcpSocket* idleNew = connectPanel();
    const std::string oldPort = std::to_string(idleOld->localPort());
    for (int port = 1; m_receiver->connectionTable().inUse() < ConnectionTable::kSlots; ++port) {
        ASSERT_TRUE(m_receiver->connectionTable().touch("10.9.9.9", port, 30).has_value());
    }
    QTcpSocket panel;
    panel.connectToHost(QHostAddress::LocalHost, m_port);
    ASSERT_TRUE(panel.waitForConnected(5000));
    EXPECT_EQ(exchange(&panel, kNullFrame), kNullAck);
    EXPECT_TRUE(disconnected(idleOld)); // the one idle the longest gave way
    EXPECT_TRUE(staysConnected(idleNew));
    EXPECT_EQ(countLog("Connection table full, connection without a frame closed for a new one. IP: 127.0.0.1, port: " +
                       oldPort),
              1);
    EXPECT_EQ(countLog("Connection table full, connection closed."), 0);
    EXPECT_EQ(m_receiver->connectionTable().inUse(), ConnectionTable::kSlots);
}

TEST_F(ReceiverTest, OnlyWholeFramesRenewASlot)
{
    struct Row {
        const char* name;
        QByteArray everySecond; // sent before each tick
        int closedAtTick;       // 0: still open after 8
    };
    const QByteArray refused = frame("\"XYZ\"0002R1L1#1234[]");
    const Row rows[] = {
        {"a byte of garbage a second", "x", 5},
        {"a frame trickling in", kEventFrame.left(1), 5},
        {"a header promising a long frame, then more of it", "\n0000FFFF\"", 5},
        {"a whole refused frame a second", refused, 0},
    };
    openPort();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        QTcpSocket* panel = connectPanel();
        int closedAt = 0;
        for (int tick = 1; tick <= 8 && closedAt == 0; ++tick) {
            panel->write(row.everySecond);
            QByteArray answer;
            waitUntil([&] {
                answer += panel->readAll();
                return row.everySecond == refused ? answer.endsWith('\r') : m_receiver->connectionTable().inUse() > 0;
            }, 500);
            ticks(1);
            closedAt = staysConnected(panel) ? 0 : tick;
        }
        EXPECT_EQ(closedAt, row.closedAtTick);
        panel->abort();
        ASSERT_TRUE(waitUntil([&] { return m_receiver->activeConnections() == 0; }));
        ticks(10); // nothing of this row is left for the next
    }
}

TEST_F(ReceiverTest, AFrameOverTheLongestLengthIsDroppedAtOnceWithItsLine)
{
    openPort();
    QTcpSocket* panel = connectPanel();
    panel->write("\n0000FF00\"" + QByteArray(100, 'x'));
    const std::string expected =
        "Frame longer than 4096 bytes dropped. IP: 127.0.0.1, port: " + std::to_string(panel->localPort());
    ASSERT_TRUE(waitUntil([&] { return countLog(expected) == 1; })) << lastLog();
    EXPECT_LT(m_receiver->partialFrameBytes(), 1024u); // nothing of it is kept
    EXPECT_EQ(exchange(panel, kNullFrame), kNullAck);
}

TEST_F(ReceiverTest, OverTheBudgetTheLargestFrameStillArrivingIsDroppedFirst)
{
    m_config.DC9_Max_Frame_Length = 65535;
    m_receiver->setPartialFramesBudget(3600);
    openPort();
    std::vector<QTcpSocket*> panels;
    for (const int held : {300, 3000, 900}) {
        QTcpSocket* panel = connectPanel();
        panels.push_back(panel);
        const std::size_t before = m_receiver->partialFrameBytes();
        panel->write("\n0000FF00\"" + QByteArray(held - 10, 'x'));
        ASSERT_TRUE(waitUntil([&] {
            return m_receiver->partialFrameBytes() >= before + std::size_t(held / 2) || countLog("Frames still") > 0;
        }));
    }
    const std::string dropped = "Frames still arriving over 0 MiB, the largest dropped. IP: 127.0.0.1, port: ";
    EXPECT_EQ(countLog(dropped), 1);
    EXPECT_EQ(countLog(dropped + std::to_string(panels[1]->localPort())), 1);
    EXPECT_LE(m_receiver->partialFrameBytes(), 3600u);
    // The panel whose part was dropped is still served.
    EXPECT_EQ(exchange(panels[1], "\r" + kNullFrame), kNullAck);
}

TEST_F(ReceiverTest, AThrowingHandlerIsLoggedAndTheTimerAndSupervisionGoOn)
{
    JournalRecord account{};
    setFieldText(account.account, "1234");
    ASSERT_EQ(m_accounts->stage(account, ""), 0u);
    const std::int32_t countdown = m_accounts->record(0).ping_countdown;
    m_config.DC9_Port_Enable = 0;
    QObject::connect(m_receiver.get(), &Dc09Receiver::statusText,
                     [](const QString&) { throw std::runtime_error("status bar gone"); });
    m_receiver->start();
    ticks(2);
    EXPECT_TRUE(m_receiver->timer()->isActive());
    EXPECT_EQ(m_receiver->timer()->interval(), 1000);
    EXPECT_EQ(countLog("Receiver timer error: status bar gone"), 2);
    EXPECT_EQ(m_log.back().colour, LogColour::Red);
    EXPECT_EQ(m_beeps, 2);
    EXPECT_EQ(m_accounts->record(0).ping_countdown, countdown - 2);
}

} // namespace
