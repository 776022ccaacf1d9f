// The real program forwarding to the automation software simulator over each kind of output link:
// what arrives, in which order, what the journal file says afterwards, and how NAK, silence, a
// link that is down and a restart are lived through.
#include "../support/SocatPair.h"
#include "E2eSupport.h"
#include "store/JournalRecord.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTcpSocket>
#include <gtest/gtest.h>
#include <map>
#include <vector>

using namespace e2e;

namespace {

// A panel message and the report line it must become in each format (without the DC4).
struct PanelEvent {
    QStringList args; // dc09-send arguments
    QByteArray format0;
    QByteArray format1;
};

QStringList words(std::initializer_list<const char*> list)
{
    QStringList out;
    for (const char* w : list) {
        out << QString::fromLatin1(w);
    }
    return out;
}

const PanelEvent kAlarm{words({"--receiver", "1", "--line", "1", "--account", "1234", "--event", "1130",
                               "--partition", "01", "--zone", "015"}),
                        "5011 181234E13001015", "501001 181234E13001015"};
const PanelEvent kLinkTest{words({"--null", "--receiver", "1", "--line", "1", "--account", "1234"}), {}, {}};
const PanelEvent kRestore{words({"--receiver", "2", "--line", "12", "--account", "5678", "--event", "3401",
                                 "--partition", "02", "--zone", "003"}),
                          "50212 185678R40102003", "502012 185678R40102003"};
// No receiver or line number, and an account longer than the four characters that are sent (and
// than the ten of a Q line).
const PanelEvent kBypass{
    words({"--account", "123456789012", "--event", "6570", "--partition", "03", "--zone", "100"}),
    "5000 181234P57003100", "500000 181234P57003100"};
const PanelEvent kTest{words({"--receiver", "3", "--line", "123", "--account", "ABCD", "--event", "1602",
                              "--partition", "00", "--zone", "000"}),
                       "503123 18ABCDE60200000", "503123 18ABCDE60200000"};

QByteArray heartbeat(int receiverNumber)
{
    return "1" + QByteArray::number(receiverNumber).rightJustified(2, '0') + "000" + QByteArray(11, ' ') +
           "@" + QByteArray(4, ' ');
}

QByteArray fileBytes(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// The status byte of each journal slot as kalvor.dat holds it.
std::vector<int> diskStatuses(const Installation& install, int count)
{
    const QByteArray image = fileBytes(install.file(QStringLiteral("kalvor.dat")));
    std::vector<int> out;
    for (int i = 0; i < count; ++i) {
        const qsizetype at = qsizetype(journal::kHeaderSize + std::size_t(i) * sizeof(JournalRecord));
        out.push_back(at < image.size() ? static_cast<unsigned char>(image[at]) : -1);
    }
    return out;
}

bool waitForDiskStatuses(const Installation& install, const std::vector<int>& wanted, int timeoutMs = 10000)
{
    return waitUntil([&] { return diskStatuses(install, int(wanted.size())) == wanted; }, timeoutMs);
}

std::pair<quint16, quint16> twoPorts()
{
    const quint16 a = freePort();
    quint16 b = freePort();
    while (b == a) {
        b = freePort();
    }
    return {a, b};
}

enum class Link { Server, Client, Serial };

QStringList outputSettings(Link link, quint16 monPort, int format, int receiverNumber, int heartbeatPeriod)
{
    QStringList s{QStringLiteral("Report_Format=%1").arg(format),
                  QStringLiteral("Test_Rec_Nr=%1").arg(receiverNumber),
                  QStringLiteral("Test_Heartbeat_Period=%1").arg(heartbeatPeriod)};
    switch (link) {
    case Link::Server:
        s << QStringLiteral("Mon_Port_Open=1") << QStringLiteral("Mon_Server=1")
          << QStringLiteral("Mon_Port=%1").arg(monPort);
        break;
    case Link::Client:
        s << QStringLiteral("Mon_Port_Open=1") << QStringLiteral("Mon_Server=0")
          << QStringLiteral("Out_IP=127.0.0.1") << QStringLiteral("Mon_Port=%1").arg(monPort);
        break;
    case Link::Serial:
        s << QStringLiteral("Mon_Port_Open=2") << QStringLiteral("COM_Nr=COM1")
          << QStringLiteral("COM_Baud=9600");
        break;
    }
    return s;
}

QStringList connectTo(quint16 port)
{
    return {QStringLiteral("--connect"), QStringLiteral("127.0.0.1:%1").arg(port)};
}

QString linesText(const QList<QByteArray>& lines)
{
    QString out;
    for (const QByteArray& l : lines) {
        out += QLatin1Char('"') + QString::fromLatin1(l) + QStringLiteral("\"\n");
    }
    return out;
}

class OutputEndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (programPath().isEmpty() || senderPath().isEmpty() || automationSimPath().isEmpty()) {
            GTEST_SKIP() << "ARDENTEL_BIN, DC09_SEND or AUTOMATION_SIM is not set";
        }
    }

    // One panel message, answered with ACK.
    static void send(const Installation& install, quint16 port, const PanelEvent& event)
    {
        const RunResult r = runProgram(senderPath(),
                                       QStringList{QStringLiteral("--port"), QString::number(port),
                                                   QStringLiteral("--expect"), QStringLiteral("ACK"),
                                                   QStringLiteral("--quiet")} +
                                           event.args,
                                       install.runtimeDir());
        EXPECT_EQ(r.exitCode, 0) << r.output.constData();
    }

    static bool start(Installation& install, quint16 port)
    {
        return install.start(QStringLiteral("Port %1 is open.").arg(port));
    }
};

TEST_F(OutputEndToEnd, ServerModeSendsTheHeartbeatFirstThenTheStoredEventsInSlotOrder)
{
    Installation install;
    const auto [port, monPort] = twoPorts();
    ASSERT_TRUE(install.configure(port, outputSettings(Link::Server, monPort, 0, 7, 600)));
    ASSERT_TRUE(start(install, port)) << install.output().constData();
    ASSERT_TRUE(install.waitForOutput("Automation software port " + QByteArray::number(monPort) +
                                      " is open. Waiting for connection..."))
        << install.output().constData();

    for (const PanelEvent* e : {&kAlarm, &kLinkTest, &kRestore, &kBypass}) {
        send(install, port, *e);
    }
    ASSERT_TRUE(waitForDiskStatuses(install, {1, 1, 1, 1, 0})) << install.output().constData();

    AutomationSim sim;
    ASSERT_TRUE(sim.start(connectTo(monPort) + words({"--format", "0"})));
    ASSERT_TRUE(sim.waitForLines(4)) << linesText(sim.lines()).toStdString() << install.output().constData();
    // One more while the link is up goes out on its own.
    send(install, port, kTest);
    ASSERT_TRUE(sim.waitForLines(5)) << linesText(sim.lines()).toStdString();
    const QList<QByteArray> expected{heartbeat(7), kAlarm.format0, kRestore.format0, kBypass.format0,
                                     kTest.format0};
    EXPECT_EQ(sim.lines(), expected) << linesText(sim.lines()).toStdString();
    EXPECT_TRUE(install.waitForOutput("Connection with automation software established."));

    // Acknowledged events read 7 on disk; the link test stays saved and unreported.
    EXPECT_TRUE(waitForDiskStatuses(install, {7, 1, 7, 7, 7, 0}))
        << ::testing::PrintToString(diskStatuses(install, 6));
    EXPECT_EQ(install.terminate(), 0) << install.output().constData();
    EXPECT_EQ(diskStatuses(install, 6), (std::vector<int>{7, 1, 7, 7, 7, 0}));
    EXPECT_EQ(sim.finish(), 0) << sim.output().constData();
    EXPECT_TRUE(sim.output().contains("lines 5, heartbeats 1, events 4, bad 0, acks 5, naks 0"))
        << sim.output().constData();
}

// Client mode takes the connection into use only 30 ticks after the attempt that made it, so both
// formats run side by side, each receiver with its own simulator, to pay that wait once.
TEST_F(OutputEndToEnd, ClientModeDeliversTheSameBytesInBothFormats)
{
    struct Run {
        Installation install;
        AutomationSim sim;
        quint16 port = 0;
        quint16 simPort = 0;
    };
    Run runs[2];
    for (int format = 0; format < 2; ++format) {
        Run& r = runs[format];
        std::tie(r.port, r.simPort) = twoPorts();
        // The simulator listens before the receiver starts, so the first attempt already connects.
        ASSERT_TRUE(r.sim.start(QStringList{QStringLiteral("--listen"), QString::number(r.simPort),
                                            QStringLiteral("--format"), QString::number(format)}))
            << r.sim.output().constData();
        ASSERT_TRUE(r.install.configure(r.port, outputSettings(Link::Client, r.simPort, format, 99, 600)));
        ASSERT_TRUE(start(r.install, r.port)) << r.install.output().constData();
        for (const PanelEvent* e : {&kAlarm, &kLinkTest, &kRestore, &kBypass, &kTest}) {
            send(r.install, r.port, *e);
        }
    }
    for (int format = 0; format < 2; ++format) {
        Run& r = runs[format];
        ASSERT_TRUE(r.sim.waitForLines(5, 60000))
            << linesText(r.sim.lines()).toStdString() << r.install.output().constData();
        const auto pick = [format](const PanelEvent& e) { return format == 0 ? e.format0 : e.format1; };
        const QList<QByteArray> expected{heartbeat(99), pick(kAlarm), pick(kRestore), pick(kBypass),
                                         pick(kTest)};
        EXPECT_EQ(r.sim.lines(), expected) << "format " << format << "\n"
                                           << linesText(r.sim.lines()).toStdString();
        EXPECT_TRUE(r.install.waitForOutput("Port " + QByteArray::number(r.simPort) + " connected."))
            << r.install.output().constData();
        EXPECT_TRUE(waitForDiskStatuses(r.install, {7, 1, 7, 7, 7, 0}));
        EXPECT_EQ(r.install.terminate(), 0) << r.install.output().constData();
        EXPECT_EQ(r.sim.finish(), 0) << r.sim.output().constData();
    }
}

// The second run is the other serial line of the field: 7E1 and the 20-character heartbeat, with a
// NAK (the one answer byte that carries a parity bit) that must be read as such.
TEST_F(OutputEndToEnd, SerialModeDeliversTheSameBytesInBothFormatsAndBothFramings)
{
    struct Run {
        Installation install;
        std::unique_ptr<testsupport::SocatPair> pair;
        AutomationSim sim;
        quint16 port = 0;
    };
    Run runs[2];
    for (int format = 0; format < 2; ++format) {
        Run& r = runs[format];
        r.port = freePort();
        // The receiver opens COM1, which leads to dosdevices/com1 in its data directory.
        r.pair = std::make_unique<testsupport::SocatPair>(r.install.dir());
        if (!r.pair->available()) {
            GTEST_SKIP() << r.pair->error().toStdString();
        }
        QStringList simArgs{QStringLiteral("--serial"), r.pair->pathB(),
                            QStringLiteral("--baud"),   QStringLiteral("9600"),
                            QStringLiteral("--format"), QString::number(format)};
        QStringList settings = outputSettings(Link::Serial, 0, format, 7, 600);
        if (format == 1) {
            simArgs << words({"--framing", "7E1", "--script", "nak"});
            settings << QStringLiteral("COM_Framing=1") << QStringLiteral("Test_Heartbeat_Length=20");
        }
        ASSERT_TRUE(r.sim.start(simArgs)) << r.sim.output().constData();
        ASSERT_TRUE(r.install.configure(r.port, settings));
        ASSERT_TRUE(start(r.install, r.port)) << r.install.output().constData();
        for (const PanelEvent* e : {&kAlarm, &kLinkTest, &kRestore, &kBypass, &kTest}) {
            send(r.install, r.port, *e);
        }
    }
    for (int format = 0; format < 2; ++format) {
        Run& r = runs[format];
        const auto pick = [format](const PanelEvent& e) { return format == 0 ? e.format0 : e.format1; };
        QList<QByteArray> expected{heartbeat(7), pick(kAlarm), pick(kRestore), pick(kBypass), pick(kTest)};
        if (format == 1) {
            expected[0] = "107" + QByteArray("1") + QByteArray(11, ' ') + "@" + QByteArray(4, ' ');
            expected.insert(1, pick(kAlarm)); // refused with NAK, sent again after the pause
        }
        ASSERT_TRUE(r.sim.waitForLines(int(expected.size()), 20000))
            << linesText(r.sim.lines()).toStdString() << r.install.output().constData();
        EXPECT_EQ(r.sim.lines(), expected) << "format " << format << "\n"
                                           << linesText(r.sim.lines()).toStdString();
        EXPECT_TRUE(r.install.waitForOutput("Automation software port COM1 is open."))
            << r.install.output().constData();
        if (format == 1) {
            EXPECT_TRUE(r.install.waitForOutput("Link error (data): negative ACK from automation software."))
                << r.install.output().constData();
        }
        EXPECT_TRUE(waitForDiskStatuses(r.install, {7, 1, 7, 7, 7, 0}));
        EXPECT_EQ(r.install.terminate(), 0) << r.install.output().constData();
        EXPECT_EQ(r.sim.finish(), 0) << r.sim.output().constData();
    }
}

TEST_F(OutputEndToEnd, AnEventRefusedWithNakIsSentAgainAfterThePause)
{
    Installation install;
    const auto [port, monPort] = twoPorts();
    ASSERT_TRUE(install.configure(port, outputSettings(Link::Server, monPort, 0, 7, 600)));
    ASSERT_TRUE(start(install, port)) << install.output().constData();
    send(install, port, kAlarm);

    AutomationSim sim;
    ASSERT_TRUE(sim.start(connectTo(monPort) + words({"--format", "0", "--script", "nak"})));
    ASSERT_TRUE(sim.waitForLines(2)) << linesText(sim.lines()).toStdString() << install.output().constData();
    QElapsedTimer sinceNak;
    sinceNak.start();
    ASSERT_TRUE(sim.waitForLines(3, 15000)) << linesText(sim.lines()).toStdString();
    EXPECT_GE(sinceNak.elapsed(), 4500) << "sent again before the 5-second pause was over";
    EXPECT_EQ(sim.lines(), (QList<QByteArray>{heartbeat(7), kAlarm.format0, kAlarm.format0}));
    EXPECT_TRUE(install.waitForOutput("Link error (data): negative ACK from automation software."))
        << install.output().constData();
    EXPECT_TRUE(waitForDiskStatuses(install, {7, 0}));
    EXPECT_EQ(install.terminate(), 0);
    EXPECT_EQ(sim.finish(), 0) << sim.output().constData();
    EXPECT_TRUE(sim.output().contains("acks 2, naks 1")) << sim.output().constData();
}

// An automation software that acknowledges every line twice must not have its second ACK taken for
// the next line: the unanswered event is sent again, like with one that answers once.
// The service's standard output (what journalctl shows): one line per stored event, link tests
// included, and one per acknowledged report, each once; a refused report only once it is accepted.
TEST_F(OutputEndToEnd, ServiceOutputShowsEachStoredEventAndEachAcknowledgedReportOnce)
{
    Installation install;
    const auto [port, monPort] = twoPorts();
    ASSERT_TRUE(install.configure(port, outputSettings(Link::Server, monPort, 0, 7, 600)));
    ASSERT_TRUE(start(install, port)) << install.output().constData();
    for (const PanelEvent* e : {&kAlarm, &kLinkTest, &kRestore}) {
        send(install, port, *e);
    }
    ASSERT_TRUE(waitForDiskStatuses(install, {1, 1, 1, 0})) << install.output().constData();
    AutomationSim sim;
    ASSERT_TRUE(sim.start(connectTo(monPort) + words({"--script", "nak"})));
    ASSERT_TRUE(waitForDiskStatuses(install, {7, 1, 7, 0}, 20000)) << install.output().constData();
    EXPECT_EQ(install.terminate(), 0);

    struct Expected {
        QByteArray text;
        int count;
    };
    const Expected expected[] = {
        {"event 1234 E130 zone 015 from 127.0.0.1:", 1},
        {"event 1234 NULL zone - from 127.0.0.1:", 1},
        {"event 5678 R401 zone 003 from 127.0.0.1:", 1},
        {"reported " + kAlarm.format0 + "\n", 1}, // the NAK before it printed nothing
        {"reported " + kRestore.format0 + "\n", 1},
        {"reported 1", 0}, // heartbeats are no reports
    };
    const QByteArray out = install.output();
    for (const Expected& e : expected) {
        EXPECT_EQ(out.count(e.text), e.count) << e.text.constData() << "\n" << out.constData();
    }
    // Stored before reported, and lines stay whole.
    EXPECT_LT(out.indexOf("event 1234 E130"), out.indexOf("reported " + kAlarm.format0));
}

TEST_F(OutputEndToEnd, AnUnansweredEventWaitsForTheNextAcknowledgedHeartbeat)
{
    for (const char* answer : {"ack", "double"}) {
        SCOPED_TRACE(answer);
        Installation install;
        const auto [port, monPort] = twoPorts();
        ASSERT_TRUE(install.configure(port, outputSettings(Link::Server, monPort, 1, 7, 3)));
        ASSERT_TRUE(start(install, port)) << install.output().constData();
        send(install, port, kAlarm);
        send(install, port, kRestore);
        ASSERT_TRUE(waitForDiskStatuses(install, {1, 1, 0}));

        AutomationSim sim;
        ASSERT_TRUE(sim.start(connectTo(monPort) + words({"--format", "1", "--script", "none", "--answer"}) +
                              QStringList{QString::fromLatin1(answer)}));
        ASSERT_TRUE(sim.waitForLines(5, 20000))
            << linesText(sim.lines()).toStdString() << install.output().constData();
        // Nothing but a heartbeat may follow the silence; then the same event again and the next one.
        const QList<QByteArray> expected{heartbeat(7), kAlarm.format1, heartbeat(7), kAlarm.format1,
                                         kRestore.format1};
        EXPECT_EQ(sim.lines().mid(0, 5), expected) << linesText(sim.lines()).toStdString();
        EXPECT_TRUE(install.waitForOutput("Link error (data): no ACK from automation software."))
            << install.output().constData();
        EXPECT_TRUE(waitForDiskStatuses(install, {7, 7, 0}));
        EXPECT_EQ(install.terminate(), 0);
        EXPECT_EQ(sim.finish(), 0) << sim.output().constData();
    }
}

// Events stored while nobody listens survive a restart of the program as saved-unreported slots,
// and go out with those stored after it, in slot order, once the link is up.
TEST_F(OutputEndToEnd, EventsStoredWhileTheLinkIsDownAreForwardedAfterARestart)
{
    Installation install;
    const auto [port, monPort] = twoPorts();
    ASSERT_TRUE(install.configure(port, outputSettings(Link::Server, monPort, 0, 7, 600)));
    ASSERT_TRUE(start(install, port)) << install.output().constData();
    send(install, port, kAlarm);
    send(install, port, kLinkTest);
    send(install, port, kRestore);
    ASSERT_TRUE(waitForDiskStatuses(install, {1, 1, 1, 0}));
    ASSERT_EQ(install.terminate(), 0) << install.output().constData();
    EXPECT_EQ(diskStatuses(install, 4), (std::vector<int>{1, 1, 1, 0}));

    ASSERT_TRUE(start(install, port)) << install.output().constData();
    send(install, port, kBypass);
    ASSERT_TRUE(waitForDiskStatuses(install, {1, 1, 1, 1, 0}));
    AutomationSim sim;
    ASSERT_TRUE(sim.start(connectTo(monPort) + words({"--format", "0"})));
    ASSERT_TRUE(sim.waitForLines(4)) << linesText(sim.lines()).toStdString() << install.output().constData();
    EXPECT_EQ(sim.lines(),
              (QList<QByteArray>{heartbeat(7), kAlarm.format0, kRestore.format0, kBypass.format0}));
    EXPECT_TRUE(waitForDiskStatuses(install, {7, 1, 7, 7, 0}));
    EXPECT_EQ(install.terminate(), 0);
    EXPECT_EQ(diskStatuses(install, 5), (std::vector<int>{7, 1, 7, 7, 0}));
    EXPECT_EQ(sim.finish(), 0) << sim.output().constData();
}

// The simulator stays connected to the server port across a restart of the program: the new link
// begins with a heartbeat, and what was acknowledged before is not sent again.
TEST_F(OutputEndToEnd, AfterARestartTheLinkBeginsWithAHeartbeatAndNothingIsSentTwice)
{
    Installation install;
    const auto [port, monPort] = twoPorts();
    ASSERT_TRUE(install.configure(port, outputSettings(Link::Server, monPort, 0, 7, 600)));
    ASSERT_TRUE(start(install, port)) << install.output().constData();
    AutomationSim sim;
    ASSERT_TRUE(sim.start(connectTo(monPort) + words({"--format", "0"})));
    ASSERT_TRUE(sim.waitForLines(1)) << install.output().constData();
    send(install, port, kAlarm);
    ASSERT_TRUE(sim.waitForLines(2)) << linesText(sim.lines()).toStdString();
    ASSERT_TRUE(waitForDiskStatuses(install, {7, 0}));
    ASSERT_EQ(install.terminate(), 0) << install.output().constData();

    ASSERT_TRUE(start(install, port)) << install.output().constData();
    ASSERT_TRUE(sim.waitForLines(3)) << linesText(sim.lines()).toStdString() << install.output().constData();
    send(install, port, kRestore);
    ASSERT_TRUE(sim.waitForLines(4)) << linesText(sim.lines()).toStdString();
    EXPECT_EQ(sim.lines(), (QList<QByteArray>{heartbeat(7), kAlarm.format0, heartbeat(7), kRestore.format0}));
    EXPECT_TRUE(waitForDiskStatuses(install, {7, 7, 0}));
    EXPECT_EQ(install.terminate(), 0);
    EXPECT_EQ(sim.finish(), 0) << sim.output().constData();
}

// The simulator itself, without the receiver: it must catch the faults it exists to catch.
class AutomationSimulator : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (automationSimPath().isEmpty()) {
            GTEST_SKIP() << "AUTOMATION_SIM is not set";
        }
    }
};

TEST_F(AutomationSimulator, ChecksEachLineAgainstTheChosenFormatAndAnswersAsScripted)
{
    const quint16 port = freePort();
    AutomationSim sim;
    ASSERT_TRUE(sim.start(QStringList{QStringLiteral("--listen"), QString::number(port)} +
                          words({"--format", "1", "--script", "nak,junk,none", "--lines", "8"})));
    QTcpSocket link;
    link.connectToHost(QHostAddress::LocalHost, port);
    ASSERT_TRUE(link.waitForConnected(5000));

    struct Row {
        QByteArray line;
        QByteArray answer; // bytes that come back before the next line's answer
    };
    const Row rows[] = {
        {heartbeat(7), "\x06"},
        {kAlarm.format1, "\x15"},           // scripted NAK
        {kRestore.format1, "JUNK"},         // scripted junk
        {kBypass.format1, ""},              // scripted silence
        {kAlarm.format0, "\x06"},           // format 0 under --format 1: BAD, answered all the same
        {"501001 181234140101015", "\x06"}, // qualifier 1 not replaced by E: BAD
        {heartbeat(7).left(21), "\x06"},    // one space short: BAD
        {"hello", "\x06"},                  // no such message: BAD
    };
    QByteArray expected;
    for (const Row& row : rows) {
        link.write(row.line + '\x14');
        expected += row.answer;
    }
    QByteArray answers;
    ASSERT_TRUE(waitUntil([&] {
        answers += link.readAll();
        return answers.size() >= expected.size();
    }));
    EXPECT_EQ(answers, expected);
    EXPECT_EQ(sim.finish(), 1) << sim.output().constData();
    const QByteArray out = sim.output();
    EXPECT_TRUE(out.contains("lines 8, heartbeats 2, events 5, bad 4, acks 5, naks 1")) << out.constData();
    EXPECT_EQ(out.count("BAD "), 4) << out.constData();
    EXPECT_EQ(sim.lines().size(), 8);
}

} // namespace
