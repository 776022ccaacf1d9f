// An account whose supervision time runs out is reported to the automation software as E350, and
// as R350 once it reports again. The shortest supervision time is a minute, so this waits one.
#include "E2eSupport.h"
#include "store/AccountRecord.h"

#include <QElapsedTimer>
#include <QFile>
#include <cstring>
#include <gtest/gtest.h>

using namespace e2e;

namespace {

QString linesText(const QList<QByteArray>& lines)
{
    QString out;
    for (const QByteArray& l : lines) {
        out += QLatin1Char('"') + QString::fromLatin1(l) + QStringLiteral("\"\n");
    }
    return out;
}

// latevn.dat with one account, supervised for one minute.
bool writeAccountTable(const QString& path)
{
    QByteArray image(qsizetype(accounts::kImageSize), '\0');
    AccountRecord record{};
    std::memcpy(record.account, "1234", 5);
    std::memcpy(record.receiver, "1", 2);
    std::memcpy(record.line, "1", 2);
    std::memcpy(record.event, "NULL", 5);
    record.signal = accounts::kNoSignal;
    record.ping_minutes = 1;
    std::memcpy(image.data(), &record, sizeof record);
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(image) == image.size();
}

TEST(SupervisionEndToEnd, ASilentAccountIsReportedMissingAndThenRestored)
{
    if (programPath().isEmpty() || senderPath().isEmpty() || automationSimPath().isEmpty()) {
        GTEST_SKIP() << "ARDENTEL_BIN, DC09_SEND or AUTOMATION_SIM is not set";
    }
    Installation install;
    ASSERT_TRUE(install.valid());
    const quint16 port = freePort();
    quint16 monPort = freePort();
    while (monPort == port) {
        monPort = freePort();
    }
    ASSERT_TRUE(install.configure(port, {QStringLiteral("Mon_Port_Open=1"), QStringLiteral("Mon_Server=1"),
                                         QStringLiteral("Mon_Port=%1").arg(monPort),
                                         QStringLiteral("Report_Format=0"), QStringLiteral("Test_Rec_Nr=1"),
                                         QStringLiteral("Test_Heartbeat_Period=600"),
                                         // the same link test a minute later, which counts again
                                         QStringLiteral("DC9_Store_Repeats=1")}));
    ASSERT_TRUE(writeAccountTable(install.file(QStringLiteral("latevn.dat"))));
    ASSERT_TRUE(install.start(QStringLiteral("Port %1 is open.").arg(port))) << install.output().constData();

    AutomationSim sim;
    ASSERT_TRUE(sim.start({QStringLiteral("--connect"), QStringLiteral("127.0.0.1:%1").arg(monPort),
                           QStringLiteral("--format"), QStringLiteral("0")}));
    ASSERT_TRUE(sim.waitForLines(1)) << install.output().constData();

    // A link test restarts the minute; link tests themselves are never forwarded.
    const QStringList linkTest{
        QStringLiteral("--port"),     QString::number(port),       QStringLiteral("--null"),
        QStringLiteral("--receiver"), QStringLiteral("1"),         QStringLiteral("--line"),
        QStringLiteral("1"),          QStringLiteral("--account"), QStringLiteral("1234"),
        QStringLiteral("--expect"),   QStringLiteral("ACK")};
    RunResult r = runProgram(senderPath(), linkTest, install.runtimeDir());
    ASSERT_EQ(r.exitCode, 0) << r.output.constData();
    QElapsedTimer silent;
    silent.start();

    ASSERT_TRUE(sim.waitForLines(2, 90000))
        << linesText(sim.lines()).toStdString() << install.output().constData();
    EXPECT_GE(silent.elapsed(), 55000) << "missing before its minute was over";
    EXPECT_EQ(sim.lines().value(1), QByteArray("5011 181234E35001000"));

    r = runProgram(senderPath(), linkTest, install.runtimeDir());
    ASSERT_EQ(r.exitCode, 0) << r.output.constData();
    ASSERT_TRUE(sim.waitForLines(3)) << linesText(sim.lines()).toStdString();
    const QList<QByteArray> expected{"101000           @    ", "5011 181234E35001000",
                                     "5011 181234R35001000"};
    EXPECT_EQ(sim.lines(), expected) << linesText(sim.lines()).toStdString();

    EXPECT_EQ(install.terminate(), 0) << install.output().constData();
    EXPECT_EQ(sim.finish(), 0) << sim.output().constData();
    EXPECT_TRUE(sim.output().contains("lines 3, heartbeats 1, events 2, bad 0, acks 3, naks 0"))
        << sim.output().constData();
}

} // namespace
