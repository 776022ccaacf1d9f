// The output link driven tick by tick over real loopback sockets and a socat serial pair: what it
// logs and shows, which connection gets the lines, how answers come back, and the thread watchdog.
#include "../support/QtWait.h"
#include "../support/SocatPair.h"
#include "output/OutputLink.h"
#include "output/OutputMessages.h"
#include "serial/TCommPort.h"

#include <QCoreApplication>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <atomic>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using testsupport::freePort;
using testsupport::waitUntil;
using Result = OutputTransport::SendResult;
using Kind = OutputTransport::Kind;

const std::string kLine = std::string("1010000           @    ") + '\x14';

struct Logged {
    std::string text;
    LogColour colour;
};

class OutputLinkTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        QObject::connect(&link, &OutputLink::statusText, [this](const QString& text) {
            status = text;
            ++statusUpdates;
        });
        QObject::connect(&link, &OutputLink::beepRequested, [this] { ++beeps; });
        QObject::connect(&link, &OutputLink::notifyRequested, [this] { ++notifies; });
        // As the program's owner of the record does: the link falls back to closed, the page shows it.
        QObject::connect(&link, &OutputLink::serialOpenFailed, [this](const QString& text) {
            boxes << text;
            config.Mon_Port_Open = 0;
            ++refreshes;
        });
        QObject::connect(&link, &OutputLink::traceLine, [this](const QString& line) { traces << line; });
    }

    void useTcp(bool server, std::int32_t port)
    {
        config.Mon_Port_Open = 1;
        config.Mon_Server = server ? 1 : 0;
        config.Mon_Port = port;
        link.publishSettings(); // as the page's handlers do
    }

    std::vector<std::string> texts() const
    {
        std::vector<std::string> all;
        for (const Logged& l : logged)
            all.push_back(l.text);
        return all;
    }

    bool loggedStartingWith(const std::string& prefix, LogColour colour) const
    {
        for (const Logged& l : logged)
            if (l.text.rfind(prefix, 0) == 0 && l.colour == colour)
                return true;
        return false;
    }

    // The forwarding thread's send, made from a thread of its own while this one serves events.
    Result sendFromThread(Kind kind, const std::string& line = kLine)
    {
        Result result = Result::NothingSent;
        std::atomic<bool> done{false};
        std::thread sender([&] {
            result = link.sendLine(line, kind);
            done = true;
        });
        EXPECT_TRUE(waitUntil([&] { return done.load(); }));
        sender.join();
        return result;
    }

    static QByteArray readSome(QTcpSocket& socket, qsizetype atLeast)
    {
        QByteArray got;
        (void)waitUntil([&] {
            got += socket.readAll();
            return got.size() >= atLeast;
        });
        return got;
    }

    std::uint32_t linkState() const { return shared.Output_Link_State.load(); }

    QTemporaryDir dir;
    Config_Record config = defaultConfig();
    OutputShared shared;
    TCommPort port{dir.path().toStdString()};
    std::vector<Logged> logged;
    OutputLink link{config, shared, port, [this](std::string_view text, LogColour colour) {
                        logged.push_back({std::string(text), colour});
                    }};
    QString status;
    int statusUpdates = 0;
    int beeps = 0;
    int notifies = 0;
    int refreshes = 0;
    QStringList boxes;
    QStringList traces;
};

TEST_F(OutputLinkTest, ServerOpensOnOneTickAndShowsItsStateFromTheNext)
{
    const quint16 p = freePort();
    useTcp(true, p);
    link.Timer_OutTimer();
    const std::string n = std::to_string(p);
    EXPECT_EQ(texts(), (std::vector<std::string>{"Opening automation software port " + n,
                                                 "Automation software port " + n +
                                                     " is open. Waiting for connection..."}));
    EXPECT_TRUE(link.serverListening());
    EXPECT_EQ(link.timer()->interval(), OutputLink::kTickMs);
    EXPECT_EQ(statusUpdates, 0);

    link.Timer_OutTimer();
    EXPECT_EQ(status, QStringLiteral("Automation software port is open. Listenning..."));
    EXPECT_EQ(linkState(), 0u);

    QTcpSocket peer;
    peer.connectToHost(QHostAddress::LocalHost, p);
    ASSERT_TRUE(waitUntil([&] { return link.serverConnections().size() == 1; }));
    link.Timer_OutTimer();
    EXPECT_EQ(status, QStringLiteral("Automation software: connected (1)."));
    EXPECT_EQ(linkState(), output::kLinkUp);
    EXPECT_EQ(logged.size(), 2u); // a connection is shown, not logged
}

TEST_F(OutputLinkTest, ServerThatCannotListenRetriesAfterTenTicks)
{
    QTcpServer holder;
    ASSERT_TRUE(holder.listen(QHostAddress::AnyIPv4, 0));
    for (const std::int32_t p : {std::int32_t(holder.serverPort()), 0, 70000}) {
        logged.clear();
        beeps = 0;
        useTcp(true, p);
        link.Timer_OutTimer();
        ASSERT_EQ(logged.size(), 2u) << p;
        EXPECT_EQ(logged[1].colour, LogColour::Red) << p;
        EXPECT_FALSE(logged[1].text.empty());
        EXPECT_EQ(beeps, 1);
        EXPECT_FALSE(link.serverListening());
        // Counted down on the failing tick too: the tenth tick after it tries again.
        for (int i = 0; i < 9; ++i)
            link.Timer_OutTimer();
        EXPECT_EQ(logged.size(), 2u) << p;
        link.Timer_OutTimer();
        ASSERT_EQ(logged.size(), 4u) << p;
        EXPECT_EQ(logged[2].text, "Opening automation software port " + std::to_string(p));
        while (link.outRetryCountdown() > 0)
            link.Timer_OutTimer();
    }
}

TEST_F(OutputLinkTest, TwoClientsTheOlderIsClosedAndOnlyTheNewerGetsLines)
{
    const quint16 p = freePort();
    useTcp(true, p);
    link.Timer_OutTimer();
    QTcpSocket older;
    older.connectToHost(QHostAddress::LocalHost, p);
    ASSERT_TRUE(waitUntil([&] { return link.serverConnections().size() == 1; }));
    QTcpSocket newer;
    newer.connectToHost(QHostAddress::LocalHost, p);
    ASSERT_TRUE(waitUntil([&] { return link.serverConnections().size() == 2; }));

    link.Timer_OutTimer();
    EXPECT_EQ(status, QStringLiteral("Automation software: connected (2)."));
    EXPECT_EQ(link.serverConnections().size(), 1);
    ASSERT_TRUE(waitUntil([&] { return older.state() == QAbstractSocket::UnconnectedState; }));

    EXPECT_EQ(sendFromThread(Kind::Report), Result::Sent);
    EXPECT_EQ(readSome(newer, qsizetype(kLine.size())), QByteArray::fromStdString(kLine));
    EXPECT_TRUE(older.readAll().isEmpty());

    // The last client goes: the next tick takes the link down, and there is nowhere to send.
    newer.disconnectFromHost();
    ASSERT_TRUE(waitUntil([&] { return link.serverConnections().isEmpty(); }));
    link.Timer_OutTimer();
    EXPECT_EQ(linkState(), 0u);
    EXPECT_EQ(status, QStringLiteral("Automation software port is open. Listenning..."));
    EXPECT_EQ(sendFromThread(Kind::Heartbeat), Result::NoConnection);
}

// An automation software that reconnects within one tick is a new link all the same: the forwarding
// thread must greet it with a heartbeat before any report, so the word may not stay "established".
TEST_F(OutputLinkTest, ReconnectionBetweenTwoTicksIsNotTakenAsEstablished)
{
    const quint16 p = freePort();
    useTcp(true, p);
    link.Timer_OutTimer();
    auto first = std::make_unique<QTcpSocket>();
    first->connectToHost(QHostAddress::LocalHost, p);
    ASSERT_TRUE(waitUntil([&] { return link.serverConnections().size() == 1; }));
    link.Timer_OutTimer();
    shared.Output_Link_State.fetch_or(output::kEstablished); // the heartbeat was acknowledged
    ASSERT_EQ(linkState(), output::kLinkReady);

    first->abort();
    ASSERT_TRUE(waitUntil([&] { return link.serverConnections().isEmpty(); }));
    QTcpSocket second;
    second.connectToHost(QHostAddress::LocalHost, p);
    ASSERT_TRUE(waitUntil([&] { return link.serverConnections().size() == 1; }));
    EXPECT_EQ(linkState(), 0u);
    link.Timer_OutTimer();
    EXPECT_EQ(linkState(), output::kLinkUp);
}

// The thread keeps sending while automation connections come and go and panels connect beside them:
// a descriptor number freed by a dropped connection and reused by a panel's must never get a line.
TEST_F(OutputLinkTest, LinesNeverReachAnotherSocketWhileConnectionsComeAndGo)
{
    const quint16 p = freePort();
    useTcp(true, p);
    link.Timer_OutTimer();
    QTcpServer panels;
    ASSERT_TRUE(panels.listen(QHostAddress::LocalHost, 0));

    std::atomic<bool> stop{false};
    std::atomic<int> sent{0};
    std::thread sender([&] {
        while (!stop.load()) {
            if (link.sendLine(kLine, Kind::Report) == Result::Sent)
                sent.fetch_add(1);
            std::this_thread::yield();
        }
    });
    std::vector<std::unique_ptr<QTcpSocket>> panelSides;
    for (int round = 0; round < 20; ++round) {
        QTcpSocket automation;
        automation.connectToHost(QHostAddress::LocalHost, p);
        ASSERT_TRUE(waitUntil([&] { return link.serverConnections().size() == 1; }));
        ASSERT_TRUE(waitUntil([&] { return automation.bytesAvailable() > 0; })); // lines flow
        automation.abort();
        ASSERT_TRUE(waitUntil([&] { return link.serverConnections().isEmpty(); }));
        auto panel = std::make_unique<QTcpSocket>();
        panel->connectToHost(QHostAddress::LocalHost, panels.serverPort());
        ASSERT_TRUE(waitUntil([&] { return panels.hasPendingConnections(); }));
        (void)panels.nextPendingConnection(); // owned by the server, kept open
        panelSides.push_back(std::move(panel));
    }
    stop = true;
    sender.join();
    EXPECT_GT(sent.load(), 0);
    (void)waitUntil([] { return false; }, 50); // let anything misdirected arrive
    for (const auto& panel : panelSides)
        EXPECT_EQ(panel->readAll(), QByteArray());
}

TEST_F(OutputLinkTest, OnlyTheFirstByteOfABlockCountsAsAnAnswer)
{
    const quint16 p = freePort();
    useTcp(true, p);
    link.Timer_OutTimer();
    QTcpSocket peer;
    peer.connectToHost(QHostAddress::LocalHost, p);
    ASSERT_TRUE(waitUntil([&] { return link.serverConnections().size() == 1; }));

    struct Row {
        QByteArray block;
        std::uint8_t expected;
    };
    for (const Row& row : {Row{QByteArray("\x06\x06"), 0x06}, Row{QByteArray("\x15"), 0x15},
                           Row{QByteArray("A\x06"), 0xFF}, Row{QByteArray("\x00\x06", 2), 0xFF}}) {
        shared.handoff.report_answer = output::kSlotWaiting;
        shared.handoff.answer_event.reset();
        // The block is held back from the socket's own read handler and handed over whole.
        QTcpSocket* connection = link.serverConnections().front();
        connection->blockSignals(true);
        peer.write(row.block);
        ASSERT_TRUE(waitUntil([&] { return connection->bytesAvailable() >= row.block.size(); }));
        connection->blockSignals(false);
        link.ServerSocket_OutClientRead(connection);
        EXPECT_EQ(shared.handoff.report_answer.load(), row.expected) << row.block.toHex().toStdString();
        EXPECT_EQ(shared.handoff.answer_event.isSet(), row.expected != 0xFF)
            << row.block.toHex().toStdString();
        EXPECT_EQ(connection->bytesAvailable(), 0);
    }
}

TEST_F(OutputLinkTest, ClientConnectsInTheBackgroundAndIsTakenIntoUseAfterTheCountdown)
{
    QTcpServer automation;
    ASSERT_TRUE(automation.listen(QHostAddress::AnyIPv4, 0));
    const quint16 p = automation.serverPort();
    const std::string n = std::to_string(p);
    useTcp(false, p);
    link.Timer_OutTimer();
    ASSERT_GE(logged.size(), 1u);
    EXPECT_EQ(logged[0].text, "Connecting to automation software server. IP: 127.0.0.1  Port: " + n);
    EXPECT_EQ(status, QStringLiteral("Automation software server: not connected."));
    if (!link.clientConnected()) {
        ASSERT_EQ(logged.size(), 2u);
        EXPECT_EQ(logged[1].text, "Can't open port " + n);
        EXPECT_EQ(logged[1].colour, LogColour::Red);
        EXPECT_EQ(beeps, 1);
        EXPECT_EQ(link.outRetryCountdown(), OutputLink::kClientRetryTicks - 1);
    }
    ASSERT_TRUE(waitUntil([&] { return notifies == 1 && automation.hasPendingConnections(); }));
    std::unique_ptr<QTcpSocket> accepted(automation.nextPendingConnection());
    EXPECT_EQ(linkState(), 0u);

    const std::size_t before = logged.size();
    while (link.outRetryCountdown() > 0)
        link.Timer_OutTimer();
    EXPECT_EQ(logged.size(), before);
    link.Timer_OutTimer();
    ASSERT_EQ(logged.size(), before + 1);
    EXPECT_EQ(logged.back().text, "Port " + n + " connected.");
    EXPECT_EQ(status, QStringLiteral("Automation software server: connected."));
    EXPECT_EQ(linkState(), output::kLinkUp);
    link.Timer_OutTimer();
    EXPECT_EQ(logged.size(), before + 1); // logged once per connection

    EXPECT_EQ(sendFromThread(Kind::Report), Result::Sent);
    EXPECT_EQ(readSome(*accepted, qsizetype(kLine.size())), QByteArray::fromStdString(kLine));
    accepted->write("\x15");
    shared.handoff.heartbeat_answer = output::kSlotWaiting;
    ASSERT_TRUE(waitUntil([&] { return shared.handoff.heartbeat_answer.load() == output::kNak; }));
}

TEST_F(OutputLinkTest, RefusedClientLogsTheSocketErrorAndTriesAgainTenTicksLater)
{
    const quint16 p = freePort();
    useTcp(false, p);
    EXPECT_EQ(sendFromThread(Kind::Heartbeat), Result::NothingSent);
    EXPECT_EQ(sendFromThread(Kind::Report), Result::NoConnection);

    link.Timer_OutTimer();
    ASSERT_TRUE(waitUntil([&] { return loggedStartingWith("Communication port error. ", LogColour::Red); }));
    const Logged& error = logged.back();
    EXPECT_GT(error.text.size(), std::strlen("Communication port error. ")) << error.text;
    // The error's 10 replaces the attempt's 30.
    EXPECT_EQ(link.outRetryCountdown(), OutputLink::kClientErrorRetryTicks);
    EXPECT_EQ(notifies, 0);
    const std::size_t before = logged.size();
    for (int i = 0; i < OutputLink::kClientErrorRetryTicks; ++i)
        link.Timer_OutTimer();
    EXPECT_EQ(logged.size(), before);
    link.Timer_OutTimer();
    ASSERT_GT(logged.size(), before);
    EXPECT_EQ(logged[before].text.rfind("Connecting to automation software server.", 0), 0u);
}

TEST_F(OutputLinkTest, ClosingTheLinkLogsOnceAndShowsClosedOnEveryTick)
{
    const quint16 p = freePort();
    useTcp(true, p);
    link.Timer_OutTimer();
    QTcpSocket peer;
    peer.connectToHost(QHostAddress::LocalHost, p);
    ASSERT_TRUE(waitUntil([&] { return link.serverConnections().size() == 1; }));
    link.Timer_OutTimer();
    ASSERT_EQ(linkState(), output::kLinkUp);

    config.Mon_Port_Open = 0;
    logged.clear();
    for (int i = 0; i < 3; ++i) {
        statusUpdates = 0;
        link.Timer_OutTimer();
        EXPECT_EQ(statusUpdates, 1);
        EXPECT_EQ(status, QStringLiteral("Automation software port closed."));
    }
    EXPECT_EQ(texts(),
              std::vector<std::string>{"Automation software port " + std::to_string(p) + " closed."});
    EXPECT_FALSE(link.serverListening());
    EXPECT_EQ(linkState(), 0u);
    // The connection is really gone: no duplicate held by the sender keeps it open.
    EXPECT_TRUE(waitUntil([&] { return peer.state() == QAbstractSocket::UnconnectedState; }));
    EXPECT_EQ(sendFromThread(Kind::Report), Result::NothingSent);
}

TEST_F(OutputLinkTest, OpenBoxesBringTheNextTickForwardAndClearTheCountdown)
{
    link.start();
    EXPECT_EQ(link.timer()->interval(), OutputLink::kFirstTickMs);
    link.openSoon(); // the first tick is not hurried
    EXPECT_EQ(link.timer()->interval(), OutputLink::kFirstTickMs);
    useTcp(false, freePort());
    link.Timer_OutTimer();
    EXPECT_GT(link.outRetryCountdown(), 0);
    link.openSoon();
    EXPECT_EQ(link.outRetryCountdown(), 0);
    EXPECT_EQ(link.timer()->interval(), OutputLink::kSoonTickMs);
    EXPECT_TRUE(link.timer()->isActive());
    link.stopTimer();
}

TEST_F(OutputLinkTest, SerialPortThatCannotBeOpenedFallsBackToClosed)
{
    ASSERT_TRUE(QDir(dir.path()).mkpath(QStringLiteral("dosdevices")));
    // The configured port leads nowhere.
    ASSERT_EQ(::symlink((dir.path() + QStringLiteral("/absent")).toLocal8Bit().constData(),
                        (dir.path() + QStringLiteral("/dosdevices/com7")).toLocal8Bit().constData()),
              0);
    config.Mon_Port_Open = 2;
    std::memcpy(config.COM_Nr, "COM7", 5);
    link.Timer_OutTimer();
    EXPECT_EQ(boxes, QStringList{QStringLiteral("Error opening COM7. Port already in use?")});
    EXPECT_EQ(int(config.Mon_Port_Open), 0);
    EXPECT_EQ(refreshes, 1);
    EXPECT_EQ(beeps, 1);
    EXPECT_FALSE(port.isOpen());
    EXPECT_EQ(sendFromThread(Kind::Heartbeat), Result::NothingSent);
    link.Timer_OutTimer();
    EXPECT_EQ(boxes.size(), 1); // shown once: the link is closed now
}

TEST_F(OutputLinkTest, SerialLinkCarriesLinesAndTracesThem)
{
    testsupport::SocatPair pair(dir.path(), 7, 8);
    if (!pair.available())
        GTEST_SKIP() << pair.error().toStdString();
    config.Mon_Port_Open = 2;
    std::memcpy(config.COM_Nr, "COM7", 5);
    config.COM_Baud = 19200;
    // Chosen but not open yet: a send finds the port closed and takes the link state down.
    link.publishSettings();
    shared.Output_Link_State = output::kLinkReady;
    EXPECT_EQ(sendFromThread(Kind::Report), Result::NothingSent);
    EXPECT_EQ(linkState(), 0u);

    link.Timer_OutTimer();
    EXPECT_TRUE(boxes.isEmpty());
    ASSERT_TRUE(port.isOpen());
    EXPECT_EQ(texts(), std::vector<std::string>{"Automation software port COM7 is open."});
    EXPECT_EQ(linkState(), output::kLinkUp);
    link.Timer_OutTimer();
    EXPECT_EQ(status, QStringLiteral("Automation software port COM7 is open."));

    const int far =
        ::open(pair.pathB().toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(far, 0);
    link.setTraceEnabled(true);
    EXPECT_EQ(sendFromThread(Kind::Report), Result::Sent);
    std::string got;
    ASSERT_TRUE(waitUntil([&] {
        char buffer[64];
        const ssize_t n = ::read(far, buffer, sizeof buffer);
        if (n > 0)
            got.append(buffer, std::size_t(n));
        return got.size() >= kLine.size();
    }));
    EXPECT_EQ(got, kLine);
    ASSERT_EQ(traces.size(), 1);
    EXPECT_TRUE(traces[0].endsWith(QStringLiteral("  TX: ") + QString::fromLatin1(kLine.c_str())))
        << traces[0].toStdString();
    ::close(far);

    config.Mon_Port_Open = 0;
    logged.clear();
    link.Timer_OutTimer();
    EXPECT_EQ(texts(), std::vector<std::string>{"Automation software port COM7 closed."});
    EXPECT_FALSE(port.isOpen());
    EXPECT_EQ(linkState(), 0u);
}

// An automation software that sends two ACK bytes for one line: the second may reach the port, or
// even the poll step, after the thread has armed the slot for its next line but before that line is
// written. Nothing that came before a line can be its answer, or the line would count as
// acknowledged without the automation software ever seeing it.
TEST_F(OutputLinkTest, SerialBytesFromBeforeALineAreNotTakenAsItsAnswer)
{
    testsupport::SocatPair pair(dir.path(), 5, 6);
    if (!pair.available())
        GTEST_SKIP() << pair.error().toStdString();
    config.Mon_Port_Open = 2;
    std::memcpy(config.COM_Nr, "COM5", 5);
    link.Timer_OutTimer();
    ASSERT_TRUE(port.isOpen());
    const int far =
        ::open(pair.pathB().toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(far, 0);

    // The forwarding thread arms the slot; a poll step hands over a stale ACK, another waits unread.
    Answer_Handoff& handoff = shared.handoff;
    handoff.report_answer = output::kSlotWaiting;
    handoff.answer_event.reset();
    Deliver_Answer(handoff, output::kAck);
    const char stale = char(output::kAck);
    ASSERT_EQ(::write(far, &stale, 1), 1);
    ASSERT_TRUE(waitUntil([&] { return port.InQueueCount() > 0; }));

    EXPECT_EQ(sendFromThread(Kind::Report), Result::Sent);
    EXPECT_EQ(handoff.report_answer.load(), output::kSlotWaiting);
    EXPECT_FALSE(handoff.answer_event.isSet());
    EXPECT_EQ(port.InQueueCount(), 0u);
    // The heartbeat slot, not armed by anyone, is left alone.
    EXPECT_EQ(handoff.heartbeat_answer.load(), output::kSlotIdle);
    ::close(far);
}

TEST_F(OutputLinkTest, SerialSettingsTheLineCannotTakeGiveTheGeneralError)
{
    testsupport::SocatPair pair(dir.path(), 3, 4);
    if (!pair.available())
        GTEST_SKIP() << pair.error().toStdString();
    config.Mon_Port_Open = 2;
    std::memcpy(config.COM_Nr, "COM3", 5);
    config.COM_Baud = 12345;
    link.Timer_OutTimer();
    EXPECT_EQ(boxes, QStringList{QStringLiteral("COM port error")});
    EXPECT_EQ(int(config.Mon_Port_Open), 0);
    EXPECT_FALSE(port.isOpen());
}

// A background thread as the watchdog sees it, counting starts while one already runs.
struct FakeThread {
    bool running = false;
    bool endsWhenAsked = true;
    int starts = 0;
    int overlaps = 0;
    int terminateRequests = 0;

    WatchedThread hooks()
    {
        return WatchedThread{[this] { return running; },
                             [this] {
                                 ++terminateRequests;
                                 if (endsWhenAsked)
                                     running = false;
                             },
                             [this] {
                                 if (running)
                                     ++overlaps;
                                 running = true;
                                 ++starts;
                             }};
    }
};

class WatchdogTest : public OutputLinkTest {
protected:
    void SetUp() override
    {
        OutputLinkTest::SetUp();
        link.monitoringThread = forwarding.hooks();
        link.serialThread = serial.hooks();
    }
    // A tick on which the given threads showed signs of life since the last one.
    void tick(std::uint32_t alive)
    {
        shared.Thread_Alive.fetch_or(alive);
        link.Timer_OutTimer();
    }
    FakeThread forwarding;
    FakeThread serial;
};

TEST_F(WatchdogTest, FirstTickStartsBothAndEitherStoppedThreadIsBackWithinElevenTicks)
{
    tick(0);
    EXPECT_EQ(forwarding.starts, 1);
    EXPECT_EQ(serial.starts, 1);
    EXPECT_EQ(shared.Thread_Alive.load(), 0u);

    forwarding.running = false; // ended from outside
    int ticks = 0;
    while (forwarding.starts == 1 && ticks < 20) {
        tick(output::kSerialAlive);
        ++ticks;
    }
    EXPECT_EQ(forwarding.starts, 2);
    EXPECT_LE(ticks, 11);
    EXPECT_EQ(serial.starts, 1); // alive all along

    // The serial receive thread likewise.
    serial.running = false;
    ticks = 0;
    while (serial.starts == 1 && ticks < 20) {
        tick(output::kMonitoringAlive);
        ++ticks;
    }
    EXPECT_EQ(serial.starts, 2);
    EXPECT_LE(ticks, 11);
    EXPECT_EQ(forwarding.starts, 2);
    EXPECT_EQ(forwarding.overlaps + serial.overlaps, 0);
}

TEST_F(WatchdogTest, ASilentThreadIsReplacedOnlyAfterItHasEnded)
{
    tick(0);
    forwarding.endsWhenAsked = false;
    for (int i = 0; i < 11; ++i)
        tick(output::kSerialAlive); // the forwarding thread says nothing
    EXPECT_EQ(forwarding.terminateRequests, 1);
    EXPECT_EQ(forwarding.starts, 1);

    // It ends some ticks later: its replacement starts on the next tick, not at the next check.
    for (int i = 0; i < 3; ++i)
        tick(output::kSerialAlive);
    forwarding.running = false;
    tick(output::kSerialAlive);
    EXPECT_EQ(forwarding.starts, 2);
    EXPECT_EQ(forwarding.overlaps, 0);
    EXPECT_TRUE(logged.empty());
}

TEST_F(WatchdogTest, AThreadThatNeverEndsIsReportedOnceAndNeverDoubled)
{
    tick(0);
    serial.endsWhenAsked = false;
    for (int i = 0; i < 60; ++i)
        tick(output::kMonitoringAlive);
    EXPECT_EQ(serial.starts, 1);
    EXPECT_EQ(serial.overlaps, 0);
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].colour, LogColour::Red);
    EXPECT_NE(logged[0].text.find("serial receive thread"), std::string::npos);
    EXPECT_EQ(forwarding.starts, 1);
}

TEST_F(OutputLinkTest, PublishedSettingsAreWhatTheThreadReads)
{
    config.Test_Heartbeat_Period = 45;
    config.Test_Rec_Nr = std::int8_t(-56);
    config.Report_Format = 1;
    EXPECT_EQ(link.forwardingSettings().Test_Heartbeat_Period, 30); // not yet published
    link.publishSettings();
    const ForwardingSettings s = link.forwardingSettings();
    EXPECT_EQ(s.Test_Heartbeat_Period, 45);
    EXPECT_EQ(s.Test_Rec_Nr, std::int8_t(-56));
    EXPECT_EQ(s.Report_Format, 1);
}

} // namespace
