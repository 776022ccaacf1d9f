// The real program, headless in a temporary directory: first start, answers to the worked frames,
// what reaches the journal file, the second copy, the panel simulator against it.
#include "E2eSupport.h"
#include "config/ConfigRecord.h"
#include "store/EventLog.h"
#include "store/JournalRecord.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTcpSocket>
#include <cstring>
#include <gtest/gtest.h>
#include <map>

using namespace e2e;

namespace {

QByteArray fileBytes(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

JournalRecord slotOf(const QByteArray& image, std::size_t slot)
{
    JournalRecord r{};
    std::memcpy(&r, image.constData() + journal::kHeaderSize + slot * sizeof r, sizeof r);
    return r;
}

std::uint32_t nextSlotOf(const QByteArray& image)
{
    std::uint32_t next = 0;
    std::memcpy(&next, image.constData(), sizeof next);
    return next;
}

// Every file in the directory with its bytes and modification time.
std::map<QString, std::pair<QByteArray, qint64>> snapshot(const QString& dir)
{
    std::map<QString, std::pair<QByteArray, qint64>> files;
    for (const QFileInfo& info : QDir(dir).entryInfoList(QDir::Files)) {
        files[info.fileName()] = {fileBytes(info.filePath()), info.lastModified().toMSecsSinceEpoch()};
    }
    return files;
}

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (programPath().isEmpty()) {
            GTEST_SKIP() << "ARDENTEL_BIN is not set";
        }
        ASSERT_TRUE(m_install.valid());
    }

    Installation m_install;
};

TEST_F(EndToEnd, FirstStartInAnEmptyDirectoryCreatesTheFourFiles)
{
    ASSERT_TRUE(m_install.start(QStringLiteral("Program started. Hostname of this computer: ")))
        << m_install.output().constData();
    EXPECT_EQ(m_install.terminate(), 0) << m_install.output().constData();

    const QByteArray config = fileBytes(m_install.file(QStringLiteral("kalvor.cfg")));
    const Config_Record defaults = newDirectoryConfig();
    ASSERT_EQ(config.size(), 256);
    EXPECT_EQ(std::memcmp(config.constData(), &defaults, sizeof defaults), 0);
    const std::pair<const char*, qsizetype> data[] = {
        {"kalvor.dat", 139268}, {"extevn.dat", 131072}, {"latevn.dat", 163840}};
    for (const auto& [name, size] : data) {
        const QByteArray bytes = fileBytes(m_install.file(QString::fromLatin1(name)));
        EXPECT_EQ(bytes.size(), size) << name;
        EXPECT_EQ(bytes, QByteArray(size, '\0')) << name;
    }
    EXPECT_TRUE(m_install.output().contains("Program closed"));
}

TEST_F(EndToEnd, WorkedFramesGetTheirAnswersAndAcceptedOnesAreInTheJournalFile)
{
    const quint16 port = freePort();
    ASSERT_TRUE(m_install.configure(port));
    ASSERT_TRUE(m_install.start(QStringLiteral("Port %1 is open.").arg(port)))
        << m_install.output().constData();

    QTcpSocket panel;
    panel.connectToHost(QHostAddress::LocalHost, port);
    ASSERT_TRUE(panel.waitForConnected(5000));
    const quint16 panelPort = panel.localPort(); // gone once the program has closed the connection
    for (const WorkedFrame& worked : kWorkedFrames) {
        EXPECT_EQ(exchange(panel, worked.frame), worked.answer) << worked.frame.constData();
    }
    QTcpSocket garbage;
    garbage.connectToHost(QHostAddress::LocalHost, port);
    ASSERT_TRUE(garbage.waitForConnected(5000));
    garbage.write("not a frame\r\n");
    EXPECT_TRUE(m_install.waitForOutput("Unrecognised data received from IP: 127.0.0.1, port: " +
                                        QByteArray::number(garbage.localPort())));
    EXPECT_EQ(garbage.bytesAvailable(), 0);

    EXPECT_EQ(m_install.terminate(), 0) << m_install.output().constData();
    const QByteArray journalFile = fileBytes(m_install.file(QStringLiteral("kalvor.dat")));
    ASSERT_EQ(journalFile.size(), qsizetype(journal::kImageSize));
    EXPECT_EQ(nextSlotOf(journalFile), 3u);
    const char* events[] = {"NULL", "1130", "NULL"};
    const char* accounts[] = {"1234", "1234", "5678"};
    for (std::size_t i = 0; i < 3; ++i) {
        const JournalRecord r = slotOf(journalFile, i);
        EXPECT_EQ(r.status, journal::kStored) << i;
        EXPECT_STREQ(r.event, events[i]) << i;
        EXPECT_STREQ(r.account, accounts[i]) << i;
        EXPECT_STREQ(r.address, "127.0.0.1") << i;
        EXPECT_EQ(r.port, panelPort) << i;
    }
    EXPECT_STREQ(slotOf(journalFile, 1).partition, "01");
    EXPECT_STREQ(slotOf(journalFile, 1).zone, "015");
    EXPECT_EQ(slotOf(journalFile, 3).status, 0);
}

// The panel simulator builds the worked frames itself (the unknown token goes raw), each is answered
// exactly as listed, and the accepted ones are on disk after the orderly close.
TEST_F(EndToEnd, PanelSimulatorSendsTheWorkedFramesAndGetsTheListedAnswers)
{
    if (senderPath().isEmpty()) {
        GTEST_SKIP() << "DC09_SEND is not set";
    }
    const auto shown = [](QByteArray bytes) { return bytes.replace("\n", "<LF>").replace("\r", "<CR>"); };
    const quint16 port = freePort();
    ASSERT_TRUE(m_install.configure(port));
    ASSERT_TRUE(m_install.start(QStringLiteral("Port %1 is open.").arg(port)))
        << m_install.output().constData();

    const auto args = [](std::initializer_list<QByteArray> list) {
        QStringList out;
        for (const QByteArray& a : list) {
            out << QString::fromLatin1(a);
        }
        return out;
    };
    QByteArray unknownToken = kWorkedFrames[3].frame;
    unknownToken.replace("\n", "\\n").replace("\r", "\\r"); // the simulator's escapes
    const QStringList simulator[4] = {
        args({"--null", "--receiver", "1", "--line", "1", "--account", "1234", "--seq", "1", "--expect",
              "ACK"}),
        args({"--receiver", "1", "--line", "1", "--account", "1234", "--seq", "2", "--event", "1130",
              "--partition", "01", "--zone", "015", "--expect", "ACK"}),
        args({"--null", "--account", "5678", "--seq", "3", "--expect", "ACK"}),
        args({"--raw", unknownToken, "--expect", "DUH"}),
    };
    for (int i = 0; i < 4; ++i) {
        const RunResult r = runProgram(
            senderPath(), args({"--port", QByteArray::number(port)}) + simulator[i], m_install.runtimeDir());
        EXPECT_EQ(r.exitCode, 0) << r.output.constData();
        EXPECT_TRUE(r.output.contains("sent:  " + shown(kWorkedFrames[i].frame))) << r.output.constData();
        EXPECT_TRUE(r.output.contains("reply: " + shown(kWorkedFrames[i].answer) + "  "))
            << r.output.constData();
    }

    EXPECT_EQ(m_install.terminate(), 0) << m_install.output().constData();
    const QByteArray journalFile = fileBytes(m_install.file(QStringLiteral("kalvor.dat")));
    ASSERT_EQ(journalFile.size(), qsizetype(journal::kImageSize));
    EXPECT_EQ(nextSlotOf(journalFile), 3u);
    const char* events[] = {"NULL", "1130", "NULL"};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(slotOf(journalFile, i).status, journal::kStored) << i; // in the log, not yet reported
        EXPECT_STREQ(slotOf(journalFile, i).event, events[i]) << i;
    }
    EXPECT_EQ(slotOf(journalFile, 3).status, 0);
}

// More events than the ring holds: the ring and account files keep their fixed sizes, and the event
// log has a row for every one.
TEST_F(EndToEnd, ThreeThousandEventsLeaveTheFilesAtTheirSizesAndEveryOneInTheLog)
{
    if (senderPath().isEmpty()) {
        GTEST_SKIP() << "DC09_SEND is not set";
    }
    const quint16 port = freePort();
    ASSERT_TRUE(m_install.configure(port));
    ASSERT_TRUE(m_install.start(QStringLiteral("Port %1 is open.").arg(port)))
        << m_install.output().constData();
    const RunResult r =
        runProgram(senderPath(),
                   {QStringLiteral("--port"), QString::number(port), QStringLiteral("--count"),
                    QStringLiteral("3000"), QStringLiteral("--connections"), QStringLiteral("4")},
                   m_install.runtimeDir());
    EXPECT_EQ(r.exitCode, 0) << r.output.right(500).constData();
    EXPECT_EQ(m_install.terminate(), 0) << m_install.output().right(2000).constData();
    for (const auto& [name, size] :
         {std::pair{"kalvor.dat", 139268}, {"extevn.dat", 131072}, {"latevn.dat", 163840}})
        EXPECT_EQ(QFileInfo(m_install.file(QString::fromLatin1(name))).size(), size) << name;
    EventLog log(m_install.file(QStringLiteral("events.db")).toStdString(), EventLog::Role::Reader);
    EXPECT_EQ(log.rowCount(), 3000);
    EXPECT_EQ(log.pendingCount(), 3000) << "no automation software was there to take them";
}

TEST_F(EndToEnd, ASecondCopySaysSoAndLeavesTheFirstAlone)
{
    const quint16 port = freePort();
    ASSERT_TRUE(m_install.configure(port));
    ASSERT_TRUE(m_install.start(QStringLiteral("Port %1 is open.").arg(port)))
        << m_install.output().constData();
    const auto before = snapshot(m_install.dir());

    const RunResult second =
        runProgram(programPath(), {QStringLiteral("--headless"), QStringLiteral("--dir"), m_install.dir()},
                   m_install.runtimeDir());
    EXPECT_TRUE(second.finished);
    EXPECT_EQ(second.exitCode, 1);
    EXPECT_TRUE(second.output.contains("Program is already running?")) << second.output.constData();

    EXPECT_TRUE(m_install.running());
    EXPECT_EQ(snapshot(m_install.dir()), before);
    QTcpSocket panel;
    panel.connectToHost(QHostAddress::LocalHost, port);
    ASSERT_TRUE(panel.waitForConnected(5000));
    EXPECT_EQ(exchange(panel, kWorkedFrames[0].frame), kWorkedFrames[0].answer);
    EXPECT_EQ(m_install.terminate(), 0);
}

// The panel simulator against the program: encrypted events with a time check, and link tests.
TEST_F(EndToEnd, PanelSimulatorCommissionsAnEncryptingReceiver)
{
    if (senderPath().isEmpty()) {
        GTEST_SKIP() << "DC09_SEND is not set";
    }
    const QString key = QStringLiteral("000102030405060708090A0B0C0D0E0F");
    const quint16 port = freePort();
    ASSERT_TRUE(
        m_install.configure(port, {QStringLiteral("DC9_AES_Mode=1"), QStringLiteral("DC9_AES_Key=") + key,
                                   QStringLiteral("Time_Synch=1")}));
    ASSERT_TRUE(m_install.start(QStringLiteral("Port %1 is open.").arg(port)))
        << m_install.output().constData();

    const QStringList common{QStringLiteral("--port"), QString::number(port), QStringLiteral("--key"), key};
    RunResult r = runProgram(senderPath(),
                             common + QStringList{QStringLiteral("--account"), QStringLiteral("4321"),
                                                  QStringLiteral("--quality"), QStringLiteral("87"),
                                                  QStringLiteral("--count"), QStringLiteral("3"),
                                                  QStringLiteral("--expect"), QStringLiteral("*ACK")},
                             m_install.runtimeDir());
    EXPECT_EQ(r.exitCode, 0) << r.output.constData();
    EXPECT_TRUE(r.output.contains("plaintext")) << r.output.constData();

    r = runProgram(
        senderPath(),
        common + QStringList{QStringLiteral("--null"), QStringLiteral("--expect"), QStringLiteral("*ACK")},
        m_install.runtimeDir());
    EXPECT_EQ(r.exitCode, 0) << r.output.constData();

    // A time stamp far off is refused, and a plain message is not understood while encryption is on.
    // Expected, each is a success; otherwise a refusal, counted as such.
    const QStringList nak =
        common + QStringList{QStringLiteral("--time"), QStringLiteral("10:00:00,01-01-2001")};
    const QStringList duh{QStringLiteral("--port"), QString::number(port)};
    const struct {
        QStringList args;
        int exitCode;
        QByteArray summary;
    } refusals[] = {
        {nak + QStringList{QStringLiteral("--expect"), QStringLiteral("NAK")}, 0, "refused 1 (NAK 1, DUH 0)"},
        {duh + QStringList{QStringLiteral("--expect"), QStringLiteral("DUH")}, 0, "refused 1 (NAK 0, DUH 1)"},
        {nak, 1, "acknowledged 0, refused 1 (NAK 1, DUH 0)"},
        {duh + QStringList{QStringLiteral("--count"), QStringLiteral("2")}, 1, "refused 2 (NAK 0, DUH 2)"},
    };
    for (const auto& refusal : refusals) {
        r = runProgram(senderPath(), refusal.args, m_install.runtimeDir());
        EXPECT_EQ(r.exitCode, refusal.exitCode) << r.output.constData();
        EXPECT_TRUE(r.output.contains(refusal.summary)) << r.output.constData();
    }
    // Garbage gets no answer at all.
    r = runProgram(senderPath(),
                   {QStringLiteral("--port"), QString::number(port), QStringLiteral("--raw"),
                    QStringLiteral("garbage\\r\\n"), QStringLiteral("--timeout"), QStringLiteral("1000"),
                    QStringLiteral("--expect"), QStringLiteral("none")},
                   m_install.runtimeDir());
    EXPECT_EQ(r.exitCode, 0) << r.output.constData();
    // Expecting an answer that does not come is a failure.
    r = runProgram(senderPath(),
                   {QStringLiteral("--port"), QString::number(port), QStringLiteral("--raw"),
                    QStringLiteral("garbage\\r\\n"), QStringLiteral("--timeout"), QStringLiteral("1000")},
                   m_install.runtimeDir());
    EXPECT_EQ(r.exitCode, 1) << r.output.constData();
    EXPECT_TRUE(r.output.contains("no answer within 1000 ms")) << r.output.constData();
    EXPECT_TRUE(r.output.contains("no answer 1, not sent 0")) << r.output.constData();

    EXPECT_EQ(m_install.terminate(), 0);
    const QByteArray journalFile = fileBytes(m_install.file(QStringLiteral("kalvor.dat")));
    ASSERT_EQ(journalFile.size(), qsizetype(journal::kImageSize));
    EXPECT_EQ(nextSlotOf(journalFile), 4u); // three events and one link test; NAK and DUH store nothing
    EXPECT_STREQ(slotOf(journalFile, 0).account, "4321");
    EXPECT_STREQ(slotOf(journalFile, 3).event, "NULL");
    const QByteArray extended = fileBytes(m_install.file(QStringLiteral("extevn.dat")));
    EXPECT_EQ(QByteArray(extended.constData()), QByteArray("[Q87]"));
}

// A script tells a usage error (2) from a run that failed (1), in each of the installers' tools.
TEST(Tools, UsageErrorsExitWithTwo)
{
    const QString tools[] = {senderPath(), automationSimPath(), qEnvironmentVariable("DC09_DECODE")};
    const QStringList usageErrors[] = {
        {QStringLiteral("--no-such-option")}, {QStringLiteral("stray")}, {QStringLiteral("--timeout")}};
    for (const QString& tool : tools) {
        if (tool.isEmpty())
            continue;
        for (const QStringList& args : usageErrors) {
            QTemporaryDir runtime;
            const RunResult r = runProgram(tool, args, runtime.path());
            EXPECT_EQ(r.exitCode, 2) << tool.toStdString() << " " << args.join(u' ').toStdString() << "\n"
                                     << r.output.constData();
        }
    }
}

TEST_F(EndToEnd, TheDesktopProgramClosesOnSigtermWithoutAskingAboutUnsavedSettings)
{
    ASSERT_TRUE(m_install.configure(freePort(), {QStringLiteral("DC9_Port_Enable=0")}));
    ASSERT_TRUE(m_install.startDesktop(QStringLiteral("Program started. Hostname of this computer: ")))
        << m_install.output().constData();
    // The file changes under the running program: its settings now differ from the file, so a close
    // by the window would ask "Save current settings?" in a box that nobody here answers.
    QFile config(m_install.file(QStringLiteral("kalvor.cfg")));
    ASSERT_TRUE(config.open(QIODevice::ReadWrite));
    QByteArray changed = config.readAll();
    ASSERT_EQ(changed.size(), 256);
    changed[5] = 77; // DC9_Conn_Timeout
    ASSERT_TRUE(config.seek(0));
    ASSERT_EQ(config.write(changed), 256);
    config.close();

    EXPECT_EQ(m_install.terminate(20000), 0) << m_install.output().constData();
    EXPECT_EQ(fileBytes(m_install.file(QStringLiteral("kalvor.cfg"))), changed);
    EXPECT_TRUE(m_install.logFile().endsWith("Program closed\r\n")) << m_install.logFile().constData();
}

} // namespace
