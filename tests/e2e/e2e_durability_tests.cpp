// The real program killed with SIGKILL while panels load it: every event a panel saw acknowledged
// is in the event log, the restarted program goes on from there, and after its orderly close the
// journal files show every one of them too.
#include "E2eSupport.h"
#include "PanelLoad.h"

#include <gtest/gtest.h>

using namespace e2e;

namespace {

constexpr int kPanels = 8;
constexpr int kRounds = 2;
// Acknowledgements to wait for before the kill; both rounds together stay well inside the
// journal's 2048 slots, so no acknowledged event can have been overwritten by the ring.
constexpr int kAcksPerRound = 600;

QString describe(const std::vector<PanelEvent>& missing)
{
    QString text = QString::number(missing.size()) + QStringLiteral(" missing, first:");
    for (std::size_t i = 0; i < missing.size() && i < 5; ++i)
        text += QStringLiteral(" %1.%2").arg(missing[i].panel).arg(missing[i].number);
    return text;
}

TEST(EndToEndDurability, EveryAcknowledgedEventSurvivesAKillMidLoad)
{
    if (programPath().isEmpty()) {
        GTEST_SKIP() << "ARDENTEL_BIN is not set";
    }
    Installation install;
    ASSERT_TRUE(install.valid());
    const quint16 port = freePort();
    ASSERT_TRUE(install.configure(port));
    const QString ready = QStringLiteral("Port %1 is open.").arg(port);

    std::set<PanelEvent> acknowledged;
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE(round);
        ASSERT_TRUE(install.start(ready)) << install.output().right(2000).constData();
        PanelLoad load(port, kPanels, round * 10000);
        ASSERT_TRUE(load.connectAll());
        load.start();
        ASSERT_TRUE(waitUntil([&] { return int(load.acknowledged().size()) >= kAcksPerRound; }, 60000))
            << load.acknowledged().size() << " acknowledged";
        install.kill();
        // Answers the program sent before it died still count as acknowledged.
        load.stop();
        waitUntil([] { return false; }, 100);
        EXPECT_EQ(load.refused(), 0);
        acknowledged.insert(load.acknowledged().begin(), load.acknowledged().end());

        const std::vector<PanelEvent> missing = missingFromLog(install.dir(), acknowledged);
        EXPECT_TRUE(missing.empty()) << describe(missing).toStdString();
    }

    // After the last restart the program takes events again, behind the ones it kept.
    ASSERT_TRUE(install.start(ready)) << install.output().right(2000).constData();
    PanelLoad after(port, 1, 50000);
    ASSERT_TRUE(after.connectAll());
    after.start();
    ASSERT_TRUE(waitUntil([&] { return !after.acknowledged().empty(); }));
    after.stop();
    acknowledged.insert(after.acknowledged().begin(), after.acknowledged().end());
    EXPECT_EQ(install.terminate(), 0) << install.output().right(2000).constData();
    for (const auto& missing :
         {missingFromLog(install.dir(), acknowledged), missingFromJournal(install.dir(), acknowledged)})
        EXPECT_TRUE(missing.empty()) << describe(missing).toStdString();
}

} // namespace
