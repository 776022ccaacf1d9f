// The serial receive thread: its poll step hands ACK and NAK to the waiting slots only while the
// link is up, reports a failing port once, and the thread shows its sign of life and stops on request.
#include "output/AtRecThread.h"
#include "serial/SerialPeer.h"
#include "serial/TCommPort.h"
#include "support/QtWait.h"

#include <QObject>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <vector>

using testsupport::SerialBench;
using testsupport::SerialPeer;
using testsupport::waitUntil;

namespace {

class AtRecThreadTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SKIP_WITHOUT_SOCAT(bench);
        port.Open();
        peer = std::make_unique<SerialPeer>(bench.pair->pathB());
        ASSERT_TRUE(peer->ok());
    }

    // Sends `bytes` from the automation side and waits until all of them wait in the port.
    void arrive(const std::string& bytes)
    {
        const std::uint32_t before = port.InQueueCount();
        ASSERT_TRUE(peer->send(bytes));
        ASSERT_TRUE(waitUntil([&] { return port.InQueueCount() >= before + bytes.size(); }));
    }

    void expectSlot(std::uint8_t value) { EXPECT_EQ(shared.handoff.report_answer.load(), value); }
    // A report line has gone out on this opening of the port and waits for its answer.
    void armReport()
    {
        Arm_Answer(shared.handoff, output::AnswerSlot::Report, output::serialLinkId(port.openCount()));
    }

    SerialBench bench;
    TCommPort port{bench.dataDir()};
    std::unique_ptr<SerialPeer> peer;
    OutputShared shared;
    QObject context;
    std::vector<std::pair<std::string, LogColour>> lines;
    int beeps = 0;
    AT_Rec_Thread thread{
        port, shared, &context,
        [this](std::string_view text, LogColour colour) { lines.emplace_back(text, colour); },
        [this] { ++beeps; }};
};

} // namespace

TEST_F(AtRecThreadTest, AckAndNakReachTheWaitingSlotOtherBytesAreDropped)
{
    shared.Output_Link_State = output::kLinkUp;
    struct Row {
        std::string bytes;
        std::uint8_t slot;
        bool signalled;
    };
    const Row rows[] = {
        {"\x06", 0x06, true},
        {"\x15", 0x15, true},
        {std::string("ACK\r\n\x14\x00\xff", 8), 0xFF, false}, // an echo or noise: no effect
        {"zz\x15zz", 0x15, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.bytes);
        armReport();
        arrive(row.bytes);
        thread.pollStep();
        expectSlot(row.slot);
        EXPECT_EQ(shared.handoff.answer_event.isSet(), row.signalled);
        EXPECT_EQ(shared.handoff.heartbeat_answer.load(), output::kSlotIdle); // not waiting: untouched
        EXPECT_EQ(port.InQueueCount(), 0u);
    }
    EXPECT_TRUE(lines.empty());
}

TEST_F(AtRecThreadTest, BytesWaitInThePortWhileTheLinkIsDownUnlessALineIsStillOut)
{
    arrive("\x06");
    thread.pollStep();
    EXPECT_EQ(port.InQueueCount(), 1u);

    // The link was switched off while a line was out: its answer is still taken.
    armReport();
    thread.pollStep();
    expectSlot(0x06);
    EXPECT_EQ(port.InQueueCount(), 0u);
}

TEST_F(AtRecThreadTest, FailingPortIsLoggedOnceWithItsErrorNumber)
{
    shared.Output_Link_State = output::kLinkReady;
    // Swap the port's descriptor for one that is no terminal, so the status query fails.
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    ASSERT_GE(null, 0);
    ASSERT_EQ(::dup2(null, port.handle()), port.handle());
    ::close(null);

    thread.pollStep();
    thread.pollStep();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].first, "Serial Port Error: " + std::to_string(ENOTTY));
    EXPECT_EQ(lines[0].second, LogColour::Red);
    EXPECT_EQ(beeps, 1);

    // Once the link has been down the same failure is news again.
    shared.Output_Link_State = 0;
    thread.pollStep();
    shared.Output_Link_State = output::kLinkReady;
    thread.pollStep();
    EXPECT_EQ(lines.size(), 2u);
}

TEST_F(AtRecThreadTest, ThreadShowsLifeDeliversAndRestartsAfterStopping)
{
    shared.Output_Link_State = output::kLinkUp;
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        shared.Thread_Alive = 0;
        armReport();
        thread.start();
        EXPECT_TRUE(thread.isRunning());
        ASSERT_TRUE(waitUntil([&] { return (shared.Thread_Alive.load() & output::kSerialAlive) != 0; }));
        ASSERT_TRUE(peer->send("\x06"));
        EXPECT_TRUE(waitUntil([&] { return shared.handoff.report_answer.load() == 0x06; }));

        thread.requestTerminate();
        EXPECT_TRUE(thread.waitForEnd(5000));
        EXPECT_FALSE(thread.isRunning());
    }
    EXPECT_EQ(shared.Thread_Alive.load() & output::kMonitoringAlive, 0u);
}
