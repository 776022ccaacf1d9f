// The output link driven tick by tick over real loopback sockets and a socat serial pair: what it
// logs and shows, which connection gets the lines, how answers come back, and the thread watchdog.
#include "../serial/SerialPeer.h"
#include "../support/QtWait.h"
#include "../support/SocatPair.h"
#include "output/AtRecThread.h"
#include "output/MonitoringThread.h"
#include "output/OutputLink.h"
#include "output/OutputMessages.h"
#include "serial/TCommPort.h"
#include "store/AccountTable.h"
#include "store/Journal.h"
#include "store/StoreTestSupport.h"

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
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using testsupport::freePort;
using testsupport::waitUntil;
using Result = OutputTransport::SendResult;
using Kind = OutputTransport::Kind;
using Exchange = OutputTransport::Exchange;
using namespace std::chrono_literals;

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

    // The forwarding thread's exchange, made from a thread of its own while this one serves events
    // and, in `meanwhile`, plays the automation software while the line is out.
    Exchange exchangeFromThread(Kind kind, std::chrono::milliseconds wait = 200ms,
                                const std::function<void()>& meanwhile = {})
    {
        Exchange result;
        std::atomic<bool> done{false};
        std::thread sender([&] {
            result = link.exchangeLine(kLine, kind, wait);
            done = true;
        });
        if (meanwhile)
            meanwhile();
        EXPECT_TRUE(waitUntil([&] { return done.load(); }));
        sender.join();
        return result;
    }
    Result sendFromThread(Kind kind) { return exchangeFromThread(kind).sent; }

    // Peers that closed are noticed at a tick.
    bool tickUntil(const std::function<bool()>& done)
    {
        return waitUntil([&] {
            link.Timer_OutTimer();
            return done();
        });
    }
    std::size_t connections() const { return link.serverConnectionCount(); }

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
    LogSink logSink()
    {
        return [this](std::string_view text, LogColour colour) {
            logged.push_back({std::string(text), colour});
        };
    }
    bool anyLogged(const std::string& part) const
    {
        for (const Logged& l : logged)
            if (l.text.find(part) != std::string::npos)
                return true;
        return false;
    }
    void useSerial(const char* com)
    {
        config.Mon_Port_Open = 2;
        std::memcpy(config.COM_Nr, com, std::strlen(com) + 1);
        link.publishSettings();
    }

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
    EXPECT_EQ(status, QStringLiteral("Automation software port is open. Listening..."));
    EXPECT_EQ(linkState(), 0u);

    QTcpSocket peer;
    peer.connectToHost(QHostAddress::LocalHost, p);
    ASSERT_TRUE(waitUntil([&] { return connections() == 1; }));
    link.Timer_OutTimer();
    EXPECT_EQ(status, QStringLiteral("Automation software: connected (1)."));
    EXPECT_EQ(linkState(), output::kLinkUp);
    // Every automation connection is logged with its peer's address.
    ASSERT_EQ(logged.size(), 3u);
    EXPECT_EQ(logged[2].text,
              "Automation software connected from 127.0.0.1:" + std::to_string(peer.localPort()) + ".");
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
        EXPECT_EQ(logged[1].text.rfind("Automation software port " + std::to_string(p), 0), 0u)
            << logged[1].text;
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
    ASSERT_TRUE(waitUntil([&] { return connections() == 1; }));
    QTcpSocket newer;
    newer.connectToHost(QHostAddress::LocalHost, p);
    ASSERT_TRUE(waitUntil([&] { return connections() == 2; }));

    link.Timer_OutTimer();
    EXPECT_EQ(status, QStringLiteral("Automation software: connected (2)."));
    EXPECT_EQ(connections(), 1);
    ASSERT_TRUE(waitUntil([&] { return older.state() == QAbstractSocket::UnconnectedState; }));

    EXPECT_EQ(sendFromThread(Kind::Report), Result::Sent);
    EXPECT_EQ(readSome(newer, qsizetype(kLine.size())), QByteArray::fromStdString(kLine));
    EXPECT_TRUE(older.readAll().isEmpty());

    // The last client goes: the link is down, that is logged once, and there is nowhere to send.
    logged.clear();
    newer.disconnectFromHost();
    ASSERT_TRUE(tickUntil([&] { return connections() == 0; }));
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].text.rfind("Connection with automation software lost (127.0.0.1:", 0), 0u);
    EXPECT_EQ(logged[0].colour, LogColour::Black);
    link.Timer_OutTimer();
    EXPECT_EQ(linkState(), 0u);
    EXPECT_EQ(status, QStringLiteral("Automation software port is open. Listening..."));
    EXPECT_EQ(sendFromThread(Kind::Heartbeat), Result::NoConnection);
}

// The allow-list decides at accept: a stranger gets no line, displaces nobody, and is logged once a
// minute however often it comes back; an unreadable list lets nobody in; an empty one anybody, and
// says so in red when the port opens.
TEST_F(OutputLinkTest, OnlyAllowedAddressesTakeTheLink)
{
    struct Row {
        const char* list;
        bool strangerIn; // 127.0.0.2
        bool localIn;    // 127.0.0.1
        const char* warning;
    };
    const Row rows[] = {
        {"127.0.0.1", false, true, nullptr},
        {"10.0.0.9, 127.0.0.0/30", true, true, nullptr},
        {"::ffff:127.0.0.2", true, false, nullptr},
        {"", true, true, "Mon_Allowed_Addresses is empty: any host that reaches port "},
        {"127.0.0.1/40", false, false, "Mon_Allowed_Addresses cannot be read ("},
    };
    std::int64_t now = 0;
    link.steadyMillis = [&now] { return now; };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.list);
        now += 120'000; // what an earlier row refused is news again
        config.Mon_Port_Open = 0;
        link.Timer_OutTimer(); // closed: the next open is a new server
        logged.clear();
        std::memset(config.Mon_Allowed_Addresses, 0, sizeof config.Mon_Allowed_Addresses);
        std::memcpy(config.Mon_Allowed_Addresses, row.list, std::strlen(row.list));
        const quint16 p = freePort();
        useTcp(true, p);
        link.Timer_OutTimer();
        ASSERT_TRUE(link.serverListening());
        EXPECT_EQ(row.warning != nullptr && loggedStartingWith(row.warning, LogColour::Red),
                  row.warning != nullptr);

        QTcpSocket local;
        local.connectToHost(QHostAddress::LocalHost, p);
        ASSERT_TRUE(local.waitForConnected(2000));
        ASSERT_TRUE(waitUntil([&] {
            return connections() == (row.localIn ? 1u : 0u) &&
                   (row.localIn || local.state() != QAbstractSocket::ConnectedState);
        }));
        for (int attempt = 0; attempt < 3; ++attempt) {
            now += 1000;
            QTcpSocket stranger;
            ASSERT_TRUE(stranger.bind(QHostAddress(QStringLiteral("127.0.0.2"))));
            stranger.connectToHost(QHostAddress::LocalHost, p);
            ASSERT_TRUE(stranger.waitForConnected(2000));
            if (row.strangerIn) {
                ASSERT_TRUE(waitUntil([&] { return connections() == (row.localIn ? 2u : 1u); }));
                break;
            }
            // Closed at once, before any line could go to it.
            ASSERT_TRUE(waitUntil([&] { return stranger.state() == QAbstractSocket::UnconnectedState; }));
            EXPECT_TRUE(stranger.readAll().isEmpty());
            EXPECT_EQ(connections(), row.localIn ? 1u : 0u);
        }
        std::size_t refusals = 0;
        for (const Logged& l : logged)
            refusals +=
                l.text.find(" refused: its address is not in Mon_Allowed_Addresses.") != std::string::npos;
        EXPECT_EQ(refusals, std::size_t(!row.localIn) + std::size_t(!row.strangerIn));
        if (row.localIn && !row.strangerIn) {
            link.Timer_OutTimer();
            EXPECT_EQ(sendFromThread(Kind::Report), Result::Sent);
            EXPECT_EQ(readSome(local, qsizetype(kLine.size())), QByteArray::fromStdString(kLine));
        }
        // A minute later the same stranger is news again.
        if (!row.strangerIn) {
            now += 61'000;
            QTcpSocket again;
            ASSERT_TRUE(again.bind(QHostAddress(QStringLiteral("127.0.0.2"))));
            again.connectToHost(QHostAddress::LocalHost, p);
            ASSERT_TRUE(again.waitForConnected(2000));
            const std::string from = "from 127.0.0.2:" + std::to_string(again.localPort());
            ASSERT_TRUE(waitUntil([&] { return anyLogged(from); }));
        }
    }
}

TEST_F(OutputLinkTest, TheServerListensOnItsBindAddressOnly)
{
    const quint16 p = freePort();
    std::memcpy(config.Mon_Bind_Address, "127.0.0.2", 10);
    useTcp(true, p);
    link.Timer_OutTimer();
    ASSERT_TRUE(link.serverListening());
    QTcpSocket elsewhere;
    elsewhere.connectToHost(QHostAddress::LocalHost, p);
    EXPECT_FALSE(elsewhere.waitForConnected(1000));

    config.Mon_Port_Open = 0;
    link.Timer_OutTimer();
    std::memcpy(config.Mon_Bind_Address, "127.0.0.300", 12);
    logged.clear();
    useTcp(true, p);
    link.Timer_OutTimer();
    EXPECT_FALSE(link.serverListening());
    ASSERT_EQ(logged.size(), 2u);
    EXPECT_EQ(logged[1].text, "Mon_Bind_Address \"127.0.0.300\" is not an IPv4 or IPv6 address.");
    EXPECT_EQ(logged[1].colour, LogColour::Red);
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
    ASSERT_TRUE(waitUntil([&] { return connections() == 1; }));
    link.Timer_OutTimer();
    shared.Output_Link_State.fetch_or(output::kEstablished); // the heartbeat was acknowledged
    ASSERT_EQ(linkState(), output::kLinkReady);

    first->abort();
    QTcpSocket second;
    second.connectToHost(QHostAddress::LocalHost, p);
    // The closed one is seen when its successor is taken in, before any tick.
    ASSERT_TRUE(waitUntil([&] { return anyLogged("Connection with automation software lost"); }));
    EXPECT_EQ(connections(), 1u);
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
    std::atomic<bool> stopped{false};
    std::atomic<int> sent{0};
    std::thread sender([&] {
        while (!stop.load()) {
            if (link.exchangeLine(kLine, Kind::Report, 0ms).sent == Result::Sent)
                sent.fetch_add(1);
            std::this_thread::yield();
        }
        stopped = true;
    });
    std::vector<std::unique_ptr<QTcpSocket>> panelSides;
    for (int round = 0; round < 20; ++round) {
        QTcpSocket automation;
        automation.connectToHost(QHostAddress::LocalHost, p);
        ASSERT_TRUE(waitUntil([&] { return connections() == 1; }));
        ASSERT_TRUE(waitUntil([&] { return automation.bytesAvailable() > 0; })); // lines flow
        automation.abort();
        ASSERT_TRUE(waitUntil([&] { return connections() == 0; }));
        auto panel = std::make_unique<QTcpSocket>();
        panel->connectToHost(QHostAddress::LocalHost, panels.serverPort());
        ASSERT_TRUE(waitUntil([&] { return panels.hasPendingConnections(); }));
        (void)panels.nextPendingConnection(); // owned by the server, kept open
        panelSides.push_back(std::move(panel));
    }
    stop = true;
    EXPECT_TRUE(waitUntil([&] { return stopped.load(); })); // its last send is served by this thread
    sender.join();
    EXPECT_GT(sent.load(), 0);
    (void)waitUntil([] { return false; }, 50); // let anything misdirected arrive
    for (const auto& panel : panelSides)
        EXPECT_EQ(panel->readAll(), QByteArray());
}

// A line that gets no answer leaves its connection out of step (the answer may still come, after the
// next line), so the connection is ended; each row therefore gets a connection of its own.
TEST_F(OutputLinkTest, OnlyTheFirstByteOfABlockCountsAsAnAnswerAndSilenceEndsTheConnection)
{
    const quint16 p = freePort();
    useTcp(true, p);
    link.Timer_OutTimer();

    struct Row {
        QByteArray block;
        std::optional<std::uint8_t> expected;
    };
    for (const Row& row :
         {Row{QByteArray("\x06\x06"), 0x06}, Row{QByteArray("\x15"), 0x15},
          Row{QByteArray("A\x06"), std::nullopt}, Row{QByteArray("\x00\x06", 2), std::nullopt}}) {
        SCOPED_TRACE(row.block.toHex().toStdString());
        QTcpSocket peer;
        peer.connectToHost(QHostAddress::LocalHost, p);
        ASSERT_TRUE(waitUntil([&] {
            link.Timer_OutTimer();
            return connections() == 1;
        }));
        const Exchange got = exchangeFromThread(Kind::Report, 300ms, [&] {
            ASSERT_EQ(readSome(peer, qsizetype(kLine.size())), QByteArray::fromStdString(kLine));
            peer.write(row.block); // one write, one block
        });
        EXPECT_EQ(got.sent, Result::Sent);
        EXPECT_EQ(got.answer, row.expected);
        if (!row.expected) {
            EXPECT_TRUE(waitUntil([&] { return peer.state() == QAbstractSocket::UnconnectedState; }));
        }
        peer.abort();
        ASSERT_TRUE(waitUntil([&] {
            link.Timer_OutTimer();
            return connections() == 0;
        }));
    }
}

// A second ACK that the automation software writes for one line a little after the first is not the
// next line's answer: the next line gets none, and is not marked.
TEST_F(OutputLinkTest, ASecondAnswerThatComesLateIsNotTheNextLinesAnswer)
{
    const quint16 p = freePort();
    useTcp(true, p);
    link.Timer_OutTimer();
    QTcpSocket peer;
    peer.connectToHost(QHostAddress::LocalHost, p);
    ASSERT_TRUE(waitUntil([&] { return connections() == 1; }));
    const Exchange first = exchangeFromThread(Kind::Report, 300ms, [&] {
        ASSERT_EQ(readSome(peer, qsizetype(kLine.size())), QByteArray::fromStdString(kLine));
        peer.write("\x06");
        peer.flush();
        (void)waitUntil([] { return false; }, 5); // the duplicate follows a few milliseconds later
        peer.write("\x06");
        peer.flush();
    });
    EXPECT_EQ(first.answer, std::optional<std::uint8_t>(0x06));
    const Exchange second = exchangeFromThread(Kind::Report, 300ms, [&] {
        ASSERT_EQ(readSome(peer, qsizetype(kLine.size())), QByteArray::fromStdString(kLine));
    });
    EXPECT_EQ(second.sent, Result::Sent);
    EXPECT_EQ(second.answer, std::nullopt);
}

// A one-byte answer names no line. On a connection on probation (or one known to answer twice) a
// second answer in the quiet time after the first shows itself: the same byte is a duplicate, a
// different one makes the answer doubtful; one that comes later, before the next line, puts the
// last answer in doubt and lengthens the quiet time.
TEST_F(OutputLinkTest, AnAnswerNobodyWaitedForPutsTheLastAnswerInDoubt)
{
    const quint16 p = freePort();
    useTcp(true, p);
    link.Timer_OutTimer();
    QTcpSocket peer;
    peer.connectToHost(QHostAddress::LocalHost, p);
    ASSERT_TRUE(waitUntil([&] { return connections() == 1; }));
    const auto answerTwice = [&](const char* second, int laterMs) {
        return [&peer, second, laterMs] {
            ASSERT_EQ(readSome(peer, qsizetype(kLine.size())), QByteArray::fromStdString(kLine));
            peer.write("\x06");
            peer.flush();
            (void)waitUntil([] { return false; }, laterMs);
            peer.write(second);
            peer.flush();
        };
    };
    const Exchange different = exchangeFromThread(Kind::Report, 300ms, answerTwice("\x15", 2));
    EXPECT_EQ(different.answer, std::optional<std::uint8_t>(output::kAck));
    EXPECT_TRUE(different.doubtful);
    EXPECT_FALSE(different.strayBefore);
    const Exchange same = exchangeFromThread(Kind::Report, 300ms, answerTwice("\x06", 2));
    EXPECT_FALSE(same.doubtful);
    EXPECT_FALSE(same.strayBefore);

    // Late, once the quiet time is over: the next exchange says so, and no line was answered by it.
    const Exchange late = exchangeFromThread(Kind::Report, 300ms, answerTwice("\x06", 100));
    EXPECT_FALSE(late.doubtful);
    const Exchange next = exchangeFromThread(Kind::Report, 300ms, [&] {
        ASSERT_EQ(readSome(peer, qsizetype(kLine.size())), QByteArray::fromStdString(kLine));
        peer.write("\x15");
        peer.flush();
    });
    EXPECT_TRUE(next.strayBefore);
    EXPECT_EQ(next.answer, std::optional<std::uint8_t>(output::kNak));

    // Between lines, the forwarding thread can look for one before it writes its marks.
    std::atomic<bool> stray{false};
    std::thread watcher([&] { stray = link.strayAnswerWithin(200ms); });
    (void)waitUntil([] { return false; }, 20);
    peer.write("\x06");
    peer.flush();
    (void)waitUntil([&] { return stray.load(); }, 2000);
    watcher.join();
    EXPECT_TRUE(stray.load());
    EXPECT_FALSE(link.strayAnswerWithin(30ms));
}

// Only an answer that came on the newest connection after its line counts: not one that was waiting
// there before the line went out (a second ACK to the last line, or one that came after its wait had
// run out), and not one on an older connection.
TEST_F(OutputLinkTest, OnlyAnAnswerAfterTheLineOnItsOwnConnectionCounts)
{
    const quint16 p = freePort();
    useTcp(true, p);
    link.Timer_OutTimer();
    QTcpSocket older;
    older.connectToHost(QHostAddress::LocalHost, p);
    ASSERT_TRUE(waitUntil([&] { return connections() == 1; }));
    QTcpSocket newer;
    newer.connectToHost(QHostAddress::LocalHost, p);
    ASSERT_TRUE(waitUntil([&] { return connections() == 2; }));

    newer.write("\x06\x06");
    newer.flush();
    (void)waitUntil([] { return false; }, 50); // let it arrive before the line
    std::atomic<bool> done{false};
    Exchange got;
    std::thread sender([&] {
        got = link.exchangeLine(kLine, Kind::Report, 5000ms);
        done = true;
    });
    EXPECT_EQ(readSome(newer, qsizetype(kLine.size())), QByteArray::fromStdString(kLine));
    older.write("\x06");
    (void)waitUntil([] { return false; }, 50); // let it arrive
    EXPECT_FALSE(done.load());
    newer.write("\x15");
    EXPECT_TRUE(waitUntil([&] { return done.load(); }));
    sender.join();
    EXPECT_EQ(got.sent, Result::Sent);
    EXPECT_EQ(got.answer, std::optional<std::uint8_t>(output::kNak));
}

// A line that did not go out whole waits for nothing, so an ACK that follows cannot count for it; a
// part of a line costs its connection, so that no fragment runs into the next line.
TEST_F(OutputLinkTest, SendThatFailsOrStopsShortIsNotAnsweredAndAPartDropsTheConnection)
{
    const quint16 p = freePort();
    useTcp(true, p);
    link.Timer_OutTimer();
    const auto failing = [](int error) {
        return [error](int, const char*, std::size_t) -> ssize_t {
            errno = error;
            return -1;
        };
    };
    struct Row {
        const char* what;
        AutomationConnections::SendFunction send;
        Result result;
        QByteArray arrives;
        bool dropped;
    };
    const Row rows[] = {
        {"peer not reading", failing(EAGAIN), Result::NothingSent, "", false},
        {"part of the line",
         [](int fd, const char* data, std::size_t) { return ::send(fd, data, 5, MSG_NOSIGNAL); },
         Result::NoConnection, QByteArray::fromStdString(kLine.substr(0, 5)), true},
        {"whole line", {}, Result::Sent, QByteArray::fromStdString(kLine), false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        logged.clear();
        QTcpSocket peer;
        peer.connectToHost(QHostAddress::LocalHost, p);
        ASSERT_TRUE(waitUntil([&] { return connections() == 1; }));
        link.Timer_OutTimer();
        ASSERT_EQ(linkState(), output::kLinkUp);

        link.socketSend = row.send;
        const Exchange got = exchangeFromThread(Kind::Report, 2000ms, [&] {
            EXPECT_EQ(readSome(peer, row.arrives.size()), row.arrives);
            peer.write("\x06");
        });
        EXPECT_EQ(got.sent, row.result);
        EXPECT_EQ(got.answer.has_value(), row.result == Result::Sent);
        EXPECT_EQ(connections() == 0, row.dropped);
        EXPECT_EQ(linkState(), row.dropped ? 0u : output::kLinkUp);
        if (row.dropped) {
            EXPECT_TRUE(waitUntil([&] { return peer.state() == QAbstractSocket::UnconnectedState; }));
        }
        link.Timer_OutTimer(); // says what it lost
        EXPECT_EQ(anyLogged("Connection with automation software lost (127.0.0.1:"), row.dropped);
        peer.abort();
        ASSERT_TRUE(tickUntil([&] { return connections() == 0; }));
    }
}

// An automation software that goes away while its line waits ends the wait at once (a wait that
// could not be cut short would outlast this test's patience), and the line is not taken as answered.
TEST_F(OutputLinkTest, PeerThatClosesDuringTheAnswerWaitEndsItAtOnce)
{
    const quint16 p = freePort();
    useTcp(true, p);
    link.Timer_OutTimer();
    for (const bool client : {false, true}) {
        SCOPED_TRACE(client);
        QTcpServer automation;
        std::unique_ptr<QTcpSocket> peer; // before its server goes
        if (client) {
            ASSERT_TRUE(automation.listen(QHostAddress::AnyIPv4, 0));
            useTcp(false, automation.serverPort());
            link.Timer_OutTimer();
            ASSERT_TRUE(
                waitUntil([&] { return link.clientConnected() && automation.hasPendingConnections(); }));
            peer.reset(automation.nextPendingConnection());
        } else {
            peer = std::make_unique<QTcpSocket>();
            peer->connectToHost(QHostAddress::LocalHost, p);
            ASSERT_TRUE(waitUntil([&] { return connections() == 1; }));
            link.Timer_OutTimer();
        }
        shared.Output_Link_State = output::kLinkReady;
        logged.clear();
        const Exchange got = exchangeFromThread(Kind::Report, 60s, [&] {
            ASSERT_EQ(readSome(*peer, qsizetype(kLine.size())), QByteArray::fromStdString(kLine));
            peer->abort();
        });
        EXPECT_EQ(got.sent, Result::NoConnection);
        EXPECT_FALSE(got.answer.has_value());
        EXPECT_EQ(linkState(), 0u);
        EXPECT_FALSE(link.lineInFlight());
        link.Timer_OutTimer();
        EXPECT_EQ(anyLogged(client ? "Connection with automation software server lost."
                                   : "Connection with automation software lost (127.0.0.1:"),
                  true)
            << testing::PrintToString(texts());
    }
}

// The main thread drops a connection that carries a line (here the oldest of too many): its descriptor
// stays open until the exchange ends, so the answer on its way still counts and the number cannot
// pass to another socket meanwhile; then it is closed.
TEST_F(OutputLinkTest, ConnectionDroppedUnderALineInFlightClosesWhenTheExchangeEnds)
{
    const quint16 p = freePort();
    useTcp(true, p);
    link.Timer_OutTimer();
    QTcpSocket first;
    first.connectToHost(QHostAddress::LocalHost, p);
    ASSERT_TRUE(waitUntil([&] { return connections() == 1; }));
    std::vector<std::unique_ptr<QTcpSocket>> later;
    const Exchange got = exchangeFromThread(Kind::Report, 5000ms, [&] {
        ASSERT_EQ(readSome(first, qsizetype(kLine.size())), QByteArray::fromStdString(kLine));
        for (int i = 0; i < 16; ++i) {
            later.push_back(std::make_unique<QTcpSocket>());
            later.back()->connectToHost(QHostAddress::LocalHost, p);
        }
        ASSERT_TRUE(waitUntil([&] { return connections() == 16; })); // the first is off the list
        (void)waitUntil([] { return false; }, 50);                   // a close would arrive now
        EXPECT_EQ(first.state(), QAbstractSocket::ConnectedState);
        first.write("\x06");
    });
    EXPECT_EQ(got.answer, std::optional<std::uint8_t>(output::kAck));
    EXPECT_TRUE(waitUntil([&] { return first.state() == QAbstractSocket::UnconnectedState; }));
    EXPECT_EQ(connections(), 16u);
}

// The connection completes in the background and is in use as soon as it has: no red "Can't open
// port" before it, no wait for the attempt's rest.
TEST_F(OutputLinkTest, ClientIsTakenIntoUseAsSoonAsItConnects)
{
    QTcpServer automation;
    ASSERT_TRUE(automation.listen(QHostAddress::AnyIPv4, 0));
    const quint16 p = automation.serverPort();
    const std::string n = std::to_string(p);
    useTcp(false, p);
    link.Timer_OutTimer();
    ASSERT_TRUE(waitUntil([&] { return notifies == 1 && automation.hasPendingConnections(); }));
    std::unique_ptr<QTcpSocket> accepted(automation.nextPendingConnection());
    EXPECT_EQ(texts(),
              (std::vector<std::string>{"Connecting to automation software server. IP: 127.0.0.1  Port: " + n,
                                        "Port " + n + " connected."}));
    EXPECT_EQ(beeps, 0);
    EXPECT_EQ(status, QStringLiteral("Automation software server: connected."));
    EXPECT_EQ(linkState(), output::kLinkUp);
    EXPECT_EQ(link.outRetryCountdown(), 0);
    const std::size_t before = logged.size() - 1;
    link.Timer_OutTimer();
    EXPECT_EQ(logged.size(), before + 1); // logged once per connection

    const Exchange got = exchangeFromThread(Kind::Report, 5000ms, [&] {
        EXPECT_EQ(readSome(*accepted, qsizetype(kLine.size())), QByteArray::fromStdString(kLine));
        accepted->write("\x15");
    });
    EXPECT_EQ(got.answer, std::optional<std::uint8_t>(output::kNak));

    // The server goes away: the next tick takes the link down and says so once, then reconnects.
    accepted->close();
    link.Timer_OutTimer();
    ASSERT_GT(logged.size(), before + 1);
    EXPECT_EQ(logged[before + 1].text, "Connection with automation software server lost.");
    EXPECT_EQ(linkState(), 0u);
    EXPECT_EQ(logged[before + 2].text.rfind("Connecting to automation software server.", 0), 0u);
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
    ASSERT_TRUE(waitUntil([&] { return connections() == 1; }));
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
              (std::vector<std::string>{"Automation software connection from 127.0.0.1:" +
                                            std::to_string(peer.localPort()) + " closed.",
                                        "Automation software port " + std::to_string(p) + " closed."}));
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

    // A link to a plain file is no port: refused in the log, and nothing is written to the file.
    const QString file = dir.path() + QStringLiteral("/lines.txt");
    ASSERT_TRUE(QFile(file).open(QIODevice::WriteOnly));
    ASSERT_TRUE(QFile::link(file, dir.path() + QStringLiteral("/dosdevices/com8")));
    logged.clear();
    useSerial("COM8");
    link.Timer_OutTimer();
    ASSERT_EQ(boxes.size(), 2);
    EXPECT_TRUE(loggedStartingWith("Automation software port COM8 refused: " + dir.path().toStdString() +
                                       "/dosdevices/com8 is not a serial device",
                                   LogColour::Red));
    EXPECT_EQ(boxes[1].toStdString(), logged.back().text);
    EXPECT_EQ(QFile(file).size(), 0);
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
    // The line as it went, its closing DC4 by name.
    EXPECT_TRUE(traces[0].endsWith(QStringLiteral("  TX: ") +
                                   QString::fromLatin1(kLine.substr(0, kLine.size() - 1)) +
                                   QStringLiteral("<DC4>")))
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

    // A poll step hands over a stale ACK while nothing waits; another one waits unread.
    Answer_Handoff& handoff = shared.handoff;
    Deliver_Answer(handoff, output::kAck, output::serialLinkId(port.openCount()));
    const char stale = char(output::kAck);
    ASSERT_EQ(::write(far, &stale, 1), 1);
    ASSERT_TRUE(waitUntil([&] { return port.InQueueCount() > 0; }));

    const Exchange got = exchangeFromThread(Kind::Report, 100ms);
    EXPECT_EQ(got.sent, Result::Sent);
    EXPECT_FALSE(got.answer.has_value());
    EXPECT_EQ(port.InQueueCount(), 0u);
    // The heartbeat slot, not armed by anyone, is left alone.
    EXPECT_EQ(handoff.heartbeat_answer.load(), output::kSlotIdle);
    ::close(far);
}

TEST(SerialQuietTime, IsABaseAndTwiceTheLinesTimeOnTheWire)
{
    struct Row {
        std::size_t bytes;
        std::int32_t baud;
        std::int64_t ms;
    };
    for (const Row r : {Row{21, 9600, 10 + 2 * 22}, Row{21, 115200, 10 + 2 * 2}, Row{0, 9600, 10},
                        Row{21, 0, 54}, Row{48, 1200, 10 + 2 * 400}}) {
        EXPECT_EQ(OutputLink::serialQuiet(r.bytes, r.baud).count(), r.ms) << r.bytes << " at " << r.baud;
    }
}

// The serial link has its quiet time too, and the hand-off counts the answers nobody waited for:
// a second, different answer in the quiet time makes the answer doubtful, and one that came between
// two lines is said by the next.
TEST_F(OutputLinkTest, SerialAnswersNobodyWaitedForPutTheLastAnswerInDoubt)
{
    testsupport::SocatPair pair(dir.path(), 3, 4);
    if (!pair.available())
        GTEST_SKIP() << pair.error().toStdString();
    config.Mon_Port_Open = 2;
    std::memcpy(config.COM_Nr, "COM3", 5);
    config.COM_Baud = 115200;
    link.Timer_OutTimer();
    ASSERT_TRUE(port.isOpen());
    const output::LinkId source = output::serialLinkId(port.openCount());
    Answer_Handoff& handoff = shared.handoff;
    const auto armed = [&] { return Answer_Pending(handoff) != output::kNoLink; };
    const Exchange doubtful = exchangeFromThread(Kind::Report, 500ms, [&] {
        ASSERT_TRUE(waitUntil(armed));
        Deliver_Answer(handoff, output::kAck, source);
        (void)waitUntil([] { return false; }, 2);
        Deliver_Answer(handoff, output::kNak, source);
    });
    EXPECT_EQ(doubtful.answer, std::optional<std::uint8_t>(output::kAck));
    EXPECT_TRUE(doubtful.doubtful);
    EXPECT_FALSE(doubtful.strayBefore);

    Deliver_Answer(handoff, output::kAck, source); // between two lines: nobody waits for it
    const Exchange next = exchangeFromThread(Kind::Report, 500ms, [&] {
        ASSERT_TRUE(waitUntil(armed));
        Deliver_Answer(handoff, output::kAck, source);
    });
    EXPECT_TRUE(next.strayBefore);
    EXPECT_FALSE(next.doubtful);
    EXPECT_EQ(next.answer, std::optional<std::uint8_t>(output::kAck));
}

// Past the answers on probation, an answer that comes sooner than the line can have crossed the wire
// (26 ms at 9600 baud) is not taken on trust: the line's own NAK in the quiet time after it makes it
// doubtful. Without the quiet, a late second ACK to the line before would have passed for its ACK.
TEST_F(OutputLinkTest, SerialAnswerSoonerThanTheWireHasItsQuietTime)
{
    testsupport::SocatPair pair(dir.path(), 3, 4);
    if (!pair.available())
        GTEST_SKIP() << pair.error().toStdString();
    config.Mon_Port_Open = 2;
    std::memcpy(config.COM_Nr, "COM3", 5);
    config.COM_Baud = 9600;
    link.Timer_OutTimer();
    ASSERT_TRUE(port.isOpen());
    const output::LinkId source = output::serialLinkId(port.openCount());
    Answer_Handoff& handoff = shared.handoff;
    for (int i = 0; i < 9; ++i) {
        const bool early = i == 8;
        const Exchange got = exchangeFromThread(Kind::Report, 500ms, [&] {
            ASSERT_TRUE(waitUntil([&] { return Answer_Pending(handoff) != output::kNoLink; }));
            (void)waitUntil([] { return false; }, early ? 0 : 30);
            Deliver_Answer(handoff, output::kAck, source);
            if (early) {
                (void)waitUntil([] { return false; }, 10);
                Deliver_Answer(handoff, output::kNak, source);
            }
        });
        EXPECT_EQ(got.doubtful, early) << "exchange " << i;
        EXPECT_FALSE(got.strayBefore) << "exchange " << i;
    }
}

// An adapter unplugged, or here the pseudo-terminal pair's socat ended: said once, the link goes
// down, and the same device is opened again every retry period until it is back, without the
// message box and without switching the link off.
TEST_F(OutputLinkTest, SerialDeviceThatGoesAwayIsReportedOnceAndOpenedAgainWhenBack)
{
    auto pair = std::make_unique<testsupport::SocatPair>(dir.path(), 9, 10);
    if (!pair->available())
        GTEST_SKIP() << pair->error().toStdString();
    useSerial("COM9");
    link.Timer_OutTimer();
    ASSERT_TRUE(port.isOpen());
    ASSERT_EQ(linkState(), output::kLinkUp);
    AT_Rec_Thread receiver(port, shared, &link, logSink(), [this] { ++beeps; });

    pair->stop();
    receiver.pollStep(); // the poll step leaves a device that hung up to the link
    logged.clear();
    link.Timer_OutTimer();
    const std::string lost = "Automation software port COM9 lost; it is opened again when it is back.";
    EXPECT_EQ(texts(), std::vector<std::string>{lost});
    EXPECT_EQ(status, QStringLiteral("Automation software port COM9 lost. Reopening..."));
    EXPECT_EQ(linkState(), 0u);
    EXPECT_FALSE(port.isOpen());
    EXPECT_TRUE(link.serialLost());
    for (int i = 0; i < OutputLink::kSerialRetryTicks - 1; ++i)
        link.Timer_OutTimer();
    EXPECT_EQ(texts(), std::vector<std::string>{lost});

    pair = std::make_unique<testsupport::SocatPair>(dir.path(), 9, 10);
    ASSERT_TRUE(pair->available()) << pair->error().toStdString();
    for (int i = 0; i <= OutputLink::kSerialRetryTicks && !port.isOpen(); ++i)
        link.Timer_OutTimer();
    ASSERT_TRUE(port.isOpen());
    EXPECT_EQ(texts(), (std::vector<std::string>{lost, "Automation software port COM9 is open."}));
    EXPECT_EQ(linkState(), output::kLinkUp);
    EXPECT_EQ(int(config.Mon_Port_Open), 2);
    EXPECT_TRUE(boxes.isEmpty());
    EXPECT_EQ(beeps, 0);
    testsupport::SerialPeer far(pair->pathB());
    ASSERT_TRUE(far.ok());
    EXPECT_EQ(sendFromThread(Kind::Report), Result::Sent);
    EXPECT_EQ(far.receive(kLine.size()), kLine);
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

// The real forwarding thread on the real link, with the test as the automation software on a
// server connection: what happens to the line that is out when the link is switched off or the
// program closes, and a thread that cannot be created.
class ForwardingOverLinkTest : public OutputLinkTest {
protected:
    void SetUp() override
    {
        OutputLinkTest::SetUp();
        build();
    }
    void TearDown() override
    {
        thread.reset();
        stores.reset();
    }

    void build()
    {
        const LogSink log = mainThreadLogSink(&link, logSink(), [this] { ++beeps; });
        stores = std::make_unique<StoreStack>();
        ASSERT_TRUE(stores->open());
        journal = &stores->journal;
        MonitoringHooks hooks;
        hooks.log = log;
        thread = std::make_unique<Monitoring_Thread>(
            *journal, stores->accounts, stores->store, shared, link, clock,
            [this] { return link.forwardingSettings(); }, hooks, MonitoringTiming{500ms, 1ms, 5ms, 0ms});
        Monitoring_Thread* forwarding = thread.get();
        link.monitoringThread = WatchedThread{[forwarding] { return forwarding->isRunning(); },
                                              [forwarding] { forwarding->requestTerminate(); },
                                              [forwarding] { forwarding->start(); }};
    }
    // The link up with the peer connected, its heartbeat acknowledged, and the report of a fresh
    // journal's one event out and waiting for its answer.
    void reportOut()
    {
        thread.reset();
        stores.reset();
        build();
        logged.clear();
        m_received.clear();
        const quint16 p = freePort();
        useTcp(true, p);
        link.Timer_OutTimer();
        peer.connectToHost(QHostAddress::LocalHost, p);
        ASSERT_TRUE(waitUntil([&] { return connections() == 1; }));
        link.Timer_OutTimer();
        ASSERT_TRUE(stores->add(makeRecord("1234")).ok());
        thread->start();
        ASSERT_EQ(nextLine().left(1), "1");
        peer.write("\x06");
        ASSERT_EQ(nextLine(), "5002 181234E13001015");
        ASSERT_TRUE(link.lineInFlight());
    }
    QByteArray nextLine()
    {
        (void)waitUntil([&] {
            m_received += peer.readAll();
            return m_received.contains('\x14');
        });
        const qsizetype end = m_received.indexOf('\x14');
        const QByteArray line = m_received.left(end);
        m_received.remove(0, end + 1);
        return line;
    }
    bool reported() const { return (journal->record(0).status & journal::kReported) != 0; }

    ManualClock clock{kTestTime};
    std::unique_ptr<StoreStack> stores;
    Journal* journal = nullptr;
    std::unique_ptr<Monitoring_Thread> thread;
    QTcpSocket peer;
    QByteArray m_received;
};

// Unticking "Open", or the main window's close in its order (thread stopped, then the link
// deactivated) and the other way round: the line that is out keeps its connection until it is
// answered and marked, or its wait has run out, and no "no ACK" line is written for it.
TEST_F(ForwardingOverLinkTest, LineInFlightEndsBeforeItsConnectionCloses)
{
    enum class Close { Untick, UntickUnanswered, ThreadThenLink, LinkThenThread };
    for (const Close how :
         {Close::Untick, Close::UntickUnanswered, Close::ThreadThenLink, Close::LinkThenThread}) {
        SCOPED_TRACE(int(how));
        reportOut();
        const bool answered = how != Close::UntickUnanswered;
        if (answered)
            QTimer::singleShot(100, &peer, [this] { peer.write("\x06"); });
        switch (how) {
        case Close::Untick:
        case Close::UntickUnanswered:
            config.Mon_Port_Open = 0;
            link.Timer_OutTimer();
            EXPECT_EQ(connections(), 1); // held for the answer
            EXPECT_FALSE(anyLogged(" closed."));
            ASSERT_TRUE(waitUntil([&] { return !link.lineInFlight(); }));
            link.Timer_OutTimer();
            EXPECT_TRUE(anyLogged(" closed."));
            break;
        case Close::ThreadThenLink:
            link.stopTimer();
            thread->requestTerminate();
            EXPECT_TRUE(thread->waitForEnd(5000));
            link.deactivate();
            break;
        case Close::LinkThenThread:
            link.stopTimer();
            link.deactivate();
            thread->requestTerminate();
            EXPECT_TRUE(thread->waitForEnd(5000));
            break;
        }
        EXPECT_TRUE(waitUntil([&] { return reported() == answered; }));
        EXPECT_TRUE(waitUntil([&] { return peer.state() == QAbstractSocket::UnconnectedState; }));
        EXPECT_TRUE(connections() == 0);
        EXPECT_FALSE(anyLogged("no ACK"));
        EXPECT_EQ(reported(), answered);
    }
}

TEST_F(ForwardingOverLinkTest, ThreadThatCannotBeCreatedIsLoggedAndStartedAtALaterCheck)
{
    int refusals = 1;
    thread->setThreadLauncher([&refusals](std::function<void()> run) {
        if (refusals-- > 0)
            throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        return std::thread(std::move(run));
    });
    link.Timer_OutTimer();
    ASSERT_TRUE(loggedStartingWith("The forwarding thread could not be started: ", LogColour::Red))
        << testing::PrintToString(texts());
    EXPECT_EQ(beeps, 1);
    EXPECT_TRUE(link.timer()->isActive());
    EXPECT_FALSE(thread->isRunning());
    for (int i = 0; i < OutputLink::kWatchdogTicks; ++i)
        link.Timer_OutTimer();
    EXPECT_FALSE(thread->isRunning());
    link.Timer_OutTimer();
    EXPECT_TRUE(thread->isRunning());

    // Anything else that fails in a tick is logged too, and the timer runs on.
    QObject::connect(&link, &OutputLink::statusText,
                     [](const QString&) { throw std::runtime_error("status bar gone"); });
    link.Timer_OutTimer();
    EXPECT_TRUE(loggedStartingWith("Output timer error: status bar gone", LogColour::Red));
    EXPECT_EQ(beeps, 2);
    EXPECT_TRUE(link.timer()->isActive());
    link.stopTimer();
}

// Client mode with the real forwarding thread: the heartbeat goes out as soon as the connection
// completes, with no tick between; one refused shows in the status bar with its time, never as
// "connected"; the next connection starts healthy and is greeted again.
TEST_F(ForwardingOverLinkTest, ClientGreetsAtOnceAndTheStatusShowsALinkErrorUntilTheNextLink)
{
    QTcpServer automation;
    ASSERT_TRUE(automation.listen(QHostAddress::AnyIPv4, 0));
    useTcp(false, automation.serverPort());
    const auto greeted = [&] {
        EXPECT_TRUE(waitUntil([&] { return automation.hasPendingConnections(); }));
        std::unique_ptr<QTcpSocket> server(automation.nextPendingConnection());
        QByteArray got;
        EXPECT_TRUE(waitUntil([&] {
            got += server->readAll();
            return got.contains('\x14');
        }));
        EXPECT_EQ(got, QByteArray::fromStdString(Format_Heartbeat(config.Test_Rec_Nr, 22)));
        return server;
    };
    link.Timer_OutTimer(); // connects, and starts the thread
    std::unique_ptr<QTcpSocket> first = greeted();
    first->write("\x15");
    ASSERT_TRUE(waitUntil([&] { return anyLogged("Link error (heartbeat): negative ACK"); }));
    link.Timer_OutTimer();
    const std::tm at = localTimeOf(clock.wallNow().seconds);
    EXPECT_EQ(status, QStringLiteral("Automation software server: failing, last error at %1:%2:%3.")
                          .arg(at.tm_hour, 2, 10, QLatin1Char('0'))
                          .arg(at.tm_min, 2, 10, QLatin1Char('0'))
                          .arg(at.tm_sec, 2, 10, QLatin1Char('0')));

    first->close();
    ASSERT_TRUE(tickUntil([&] { return automation.hasPendingConnections(); }));
    std::unique_ptr<QTcpSocket> second = greeted();
    second->write("\x06");
    ASSERT_TRUE(waitUntil([&] { return linkState() == output::kLinkReady; }));
    link.Timer_OutTimer();
    EXPECT_EQ(status, QStringLiteral("Automation software server: connected."));
}

} // namespace
