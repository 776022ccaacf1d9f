// The real program guarding its alarms: a stranger on the automation port gets nothing while the
// automation software gets everything, the files of a first start are closed to other users, a
// planted link is not written through, and only known accounts are let in when that is asked for.
#include "E2eSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTcpSocket>
#include <QTimer>
#include <algorithm>
#include <gtest/gtest.h>
#include <memory>
#include <sys/stat.h>

using namespace e2e;

namespace {

mode_t modeOf(const QString& path)
{
    struct stat st {};
    return ::lstat(path.toLocal8Bit().constData(), &st) == 0 ? st.st_mode & 07777 : 0;
}

class SafeguardsEndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (programPath().isEmpty() || senderPath().isEmpty() || automationSimPath().isEmpty())
            GTEST_SKIP() << "ARDENTEL_BIN, DC09_SEND or AUTOMATION_SIM is not set";
        ASSERT_TRUE(install.valid());
    }

    RunResult send(quint16 port, const QStringList& args, const char* expect = "ACK")
    {
        return runProgram(senderPath(),
                          QStringList{QStringLiteral("--port"), QString::number(port),
                                      QStringLiteral("--expect"), QString::fromLatin1(expect),
                                      QStringLiteral("--quiet")} +
                              args,
                          install.runtimeDir());
    }

    Installation install;
};

// A host not on the allow-list keeps connecting to the automation port all the while: it reads
// nothing, and every alarm reaches the automation software on the host that is allowed.
TEST_F(SafeguardsEndToEnd, AStrangerGetsNoLineAndEveryAlarmReachesTheAutomationSoftware)
{
    const quint16 port = freePort();
    quint16 monPort = freePort();
    while (monPort == port)
        monPort = freePort();
    ASSERT_TRUE(install.configure(port, {QStringLiteral("Mon_Port_Open=1"), QStringLiteral("Mon_Server=1"),
                                         QStringLiteral("Mon_Port=%1").arg(monPort),
                                         QStringLiteral("Test_Heartbeat_Period=600")}));
    ASSERT_TRUE(install.start(QStringLiteral("Port %1 is open.").arg(port))) << install.output().constData();
    ASSERT_TRUE(install.waitForOutput("Waiting for connection...")) << install.output().constData();

    QByteArray strangerGot;
    int strangerAttempts = 0;
    std::unique_ptr<QTcpSocket> stranger;
    QTimer again;
    QObject::connect(&again, &QTimer::timeout, [&] {
        if (stranger)
            strangerGot += stranger->readAll();
        stranger = std::make_unique<QTcpSocket>();
        if (!stranger->bind(QHostAddress(QStringLiteral("127.0.0.2"))))
            return;
        stranger->connectToHost(QHostAddress::LocalHost, monPort);
        ++strangerAttempts;
    });
    again.start(50);

    AutomationSim sim;
    ASSERT_TRUE(sim.start({QStringLiteral("--connect"), QStringLiteral("127.0.0.1:%1").arg(monPort)}));
    const RunResult sent = send(port, {QStringLiteral("--count"), QStringLiteral("12")});
    EXPECT_EQ(sent.exitCode, 0) << sent.output.constData();
    EXPECT_TRUE(sim.waitForLines(13, 30000)) << sim.output().constData() << install.output().constData();
    again.stop();
    if (stranger)
        strangerGot += stranger->readAll();

    EXPECT_GT(strangerAttempts, 5);
    EXPECT_TRUE(strangerGot.isEmpty()) << strangerGot.constData();
    EXPECT_EQ(install.output().count(" refused: its address is not in Mon_Allowed_Addresses."), 1)
        << install.output().constData();
    EXPECT_TRUE(install.output().contains("Automation software connected from 127.0.0.1:"));
    EXPECT_EQ(install.terminate(), 0) << install.output().constData();
    EXPECT_EQ(sim.finish(), 0);
    EXPECT_TRUE(sim.output().contains("lines 13, heartbeats 1, events 12, bad 0, acks 13"))
        << sim.output().constData();
}

// Under the usual umask a first start leaves the data directory 0750 and the key's file 0600, and
// --show-config does not print the key.
TEST_F(SafeguardsEndToEnd, AFirstStartUnderUmask022ClosesTheFilesToOtherUsers)
{
    const mode_t previous = ::umask(022);
    const QString fresh = install.dir() + QStringLiteral("/fresh");
    const RunResult shown = runProgram(programPath(),
                                       {QStringLiteral("--dir"), fresh, QStringLiteral("--set"),
                                        QStringLiteral("DC9_AES_Key=00112233445566778899aabbccddeeff"),
                                        QStringLiteral("--show-config")},
                                       install.runtimeDir());
    EXPECT_EQ(shown.exitCode, 0) << shown.output.constData();
    EXPECT_TRUE(shown.output.contains("DC9_AES_Key=(set, 128 bits)")) << shown.output.constData();
    EXPECT_FALSE(shown.output.contains("00112233"));
    EXPECT_TRUE(shown.output.contains("Mon_Allowed_Addresses=127.0.0.1"));
    EXPECT_EQ(modeOf(fresh), 0750u);
    EXPECT_EQ(modeOf(fresh + QStringLiteral("/kalvor.cfg")), 0600u);

    // The installation's own directory as mkdir left it under that umask.
    ASSERT_EQ(::chmod(install.dir().toLocal8Bit().constData(), 0755), 0);
    ASSERT_TRUE(install.start(QStringLiteral("Program started."))) << install.output().constData();
    EXPECT_EQ(install.terminate(), 0);
    ::umask(previous);
    EXPECT_TRUE(install.output().contains(" was open to other users (mode 0755); it is now 0750."))
        << install.output().constData();
    EXPECT_EQ(modeOf(install.dir()), 0750u);
    EXPECT_EQ(modeOf(install.file(QStringLiteral("kalvor.cfg"))), 0600u);
    EXPECT_EQ(modeOf(install.file(QStringLiteral("ardentel.lock"))), 0600u);
    EXPECT_EQ(modeOf(install.file(QStringLiteral("kalvor.dat"))), 0644u);
}

TEST_F(SafeguardsEndToEnd, APlantedDanglingLinkForTheExtendedTextsDoesNotCreateItsTarget)
{
    QTemporaryDir outside;
    const QString target = outside.filePath(QStringLiteral("planted"));
    ASSERT_TRUE(QFile::link(target, install.file(QStringLiteral("extevn.dat"))));
    const quint16 port = freePort();
    ASSERT_TRUE(install.configure(port));
    ASSERT_TRUE(install.start(QStringLiteral("Port %1 is open.").arg(port))) << install.output().constData();
    EXPECT_TRUE(install.output().contains(install.file(QStringLiteral("extevn.dat")).toUtf8() +
                                          " is a symbolic link"))
        << install.output().constData();
    // The event log holds the event, so it is acknowledged; the view never writes through the link.
    const RunResult sent = send(port, {QStringLiteral("--timeout"), QStringLiteral("1500")});
    EXPECT_EQ(sent.exitCode, 0) << sent.output.constData();
    EXPECT_EQ(install.terminate(), 0);
    EXPECT_FALSE(QFileInfo::exists(target));
    EXPECT_TRUE(QFileInfo(install.file(QStringLiteral("extevn.dat"))).isSymLink());
}

TEST_F(SafeguardsEndToEnd, WithKnownAccountsOnlyAStrangersAccountIsAnsweredDuh)
{
    const quint16 port = freePort();
    ASSERT_TRUE(install.configure(port, {QStringLiteral("DC9_Known_Accounts_Only=1")}));
    const RunResult added = runProgram(
        programPath(),
        {QStringLiteral("--dir"), install.dir(), QStringLiteral("--add-account"), QStringLiteral("1234")},
        install.runtimeDir());
    ASSERT_EQ(added.exitCode, 0) << added.output.constData();
    ASSERT_TRUE(install.start(QStringLiteral("Port %1 is open.").arg(port))) << install.output().constData();
    EXPECT_EQ(send(port, {QStringLiteral("--account"), QStringLiteral("1234")}).exitCode, 0);
    const RunResult refused = send(
        port,
        {QStringLiteral("--account"), QStringLiteral("5678"), QStringLiteral("--count"), QStringLiteral("2")},
        "DUH");
    EXPECT_EQ(refused.exitCode, 0) << refused.output.constData();
    EXPECT_TRUE(install.waitForOutput("Account 5678 is not in the Object List"));
    EXPECT_EQ(install.terminate(), 0);
    EXPECT_EQ(install.output().count("Account 5678 is not in the Object List"), 1);
}

// A captured encrypted alarm sent again under four sequence numbers is one alarm, answered each
// time; an alarm whose header names only the start of its account is filed under the whole one.
TEST_F(SafeguardsEndToEnd, AReplayedFrameIsForwardedOnceAndAShortHeaderAccountIsFiledInFull)
{
    const QString key = QStringLiteral("00112233445566778899AABBCCDDEEFF");
    const quint16 port = freePort();
    quint16 monPort = freePort();
    while (monPort == port)
        monPort = freePort();
    ASSERT_TRUE(install.configure(port, {QStringLiteral("DC9_AES_Mode=1"), QStringLiteral("DC9_AES_Key=") + key,
                                         QStringLiteral("Time_Synch=1"), QStringLiteral("Mon_Port_Open=1"),
                                         QStringLiteral("Mon_Server=1"), QStringLiteral("Mon_Port=%1").arg(monPort),
                                         QStringLiteral("Test_Heartbeat_Period=600")}));
    ASSERT_TRUE(install.start(QStringLiteral("Port %1 is open.").arg(port))) << install.output().constData();
    AutomationSim sim;
    ASSERT_TRUE(sim.start({QStringLiteral("--connect"), QStringLiteral("127.0.0.1:%1").arg(monPort)}));

    const QStringList encrypted{QStringLiteral("--key"), key};
    const RunResult replayed = send(port,
                                    encrypted + QStringList{QStringLiteral("--replay"), QStringLiteral("--seq"),
                                                            QStringLiteral("20"), QStringLiteral("--count"),
                                                            QStringLiteral("4")},
                                    "*ACK");
    EXPECT_EQ(replayed.exitCode, 0) << replayed.output.constData();
    const RunResult shortHeader = send(port,
                                       encrypted + QStringList{QStringLiteral("--account"), QStringLiteral("123456"),
                                                               QStringLiteral("--header-account"),
                                                               QStringLiteral("12"), QStringLiteral("--seq"),
                                                               QStringLiteral("30")},
                                       "*ACK");
    EXPECT_EQ(shortHeader.exitCode, 0) << shortHeader.output.constData();
    EXPECT_TRUE(sim.waitForLines(3, 30000)) << sim.output().constData() << install.output().constData();
    (void)waitUntil([&] { return sim.lines().size() > 3; }, 1500); // a second copy, were one sent
    EXPECT_EQ(install.terminate(), 0) << install.output().constData();
    EXPECT_EQ(sim.finish(), 0);
    EXPECT_TRUE(sim.output().contains("heartbeats 1, events 2, bad 0")) << sim.output().constData();
    const QList<QByteArray> lines = sim.lines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const QByteArray& l) { return l.contains("123456"); }),
              1);
    EXPECT_TRUE(install.output().contains("the events are filed under 123456.")) << install.output().constData();
}

} // namespace
