// "Virtual Serial Ports" in the real window: socat makes a pair of linked pseudo-terminals that the
// port list offers and the serial output link forwards over to the automation software simulator;
// without socat the operator is told why nothing was made.
#include "../e2e/E2eSupport.h"
#include "../support/SocatPair.h"
#include "../ui/QtPrinters.h"
#include "app/MainForm.h"
#include "app/ReceiverCore.h"
#include "output/OutputLink.h"
#include "store/EventStore.h"
#include "store/Journal.h"
#include "store/StoreTestSupport.h"
#include "ui/Dialogs.h"
#include "ui/MonitoringPage.h"
#include "ui/PageTabBar.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QTemporaryDir>
#include <csignal>
#include <cstring>
#include <gtest/gtest.h>

namespace {

class VirtualPorts : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        // No serial port of this machine takes part: the first free numbers are COM1 and COM2.
        const std::string noTty = dir.filePath(QStringLiteral("no-tty")).toStdString();
        form.virtualPorts.ttyPrefix = noTty;
        form.TabSheet_Mon_Software->setPortLookup(comports::Lookup{core.paths().dir, noTty});
        form.FormCreate();
        form.createSecondaryWindows();
        form.show();
    }
    void TearDown() override
    {
        form.FormClose();
        // The pair outlives the program by design; this test's pair goes with the test.
        if (form.lastVirtualPorts().pid > 0)
            ::kill(pid_t(form.lastVirtualPorts().pid), SIGTERM);
    }
    QStringList listed() const
    {
        QStringList items;
        for (int i = 0; i < form.TabSheet_Mon_Software->ComboBox_COM_Nr->count(); ++i)
            items << form.TabSheet_Mon_Software->ComboBox_COM_Nr->itemText(i);
        return items;
    }
    QByteArray logText()
    {
        const std::string name = core.systemLog().currentFileName();
        QFile f(QString::fromStdString(name));
        return !name.empty() && f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    QTemporaryDir dir;
    ManualClock clock{1796652000};
    ScriptedDialogs dialogs;
    ReceiverCore core{DataPaths::inDirectory(dir.path().toStdString()), clock};
    TMain_Form form{core, dialogs};
};

TEST_F(VirtualPorts, SocatMakesAPairThatTheSerialLinkForwardsOver)
{
    if (!VirtualPortTool::findTool(form.virtualPorts.candidates))
        GTEST_SKIP() << "socat is not installed";
    if (e2e::automationSimPath().isEmpty())
        GTEST_SKIP() << "AUTOMATION_SIM is not set";
    form.VirtualPortsTool1->trigger();
    EXPECT_TRUE(dialogs.asked.empty());
    const QString com1 = dir.filePath(QStringLiteral("dosdevices/com1"));
    const QString com2 = dir.filePath(QStringLiteral("dosdevices/com2"));
    EXPECT_TRUE(logText().contains("Installing: " + QByteArray(form.virtualPorts.candidates[0].c_str()) +
                                   " pty,raw,echo=0,link=" + com1.toUtf8() +
                                   " pty,raw,echo=0,link=" + com2.toUtf8()))
        << logText().toStdString();
    ASSERT_TRUE(testsupport::waitUntil([&] {
        return VirtualPortTool::isVirtualPort(com1.toStdString()) &&
               VirtualPortTool::isVirtualPort(com2.toStdString());
    }));
    ASSERT_TRUE(testsupport::waitUntil([&] { return listed().size() == 2; }))
        << listed().join(QLatin1Char(' ')).toStdString();
    EXPECT_EQ(listed(), (QStringList{QStringLiteral("COM1"), QStringLiteral("COM2")}));
    EXPECT_STREQ(core.config().COM_Nr, "COM1"); // it was empty: the first usable port

    // The automation software on the other end of the pair.
    e2e::AutomationSim sim;
    ASSERT_TRUE(
        sim.start({QStringLiteral("--serial"), com2, QStringLiteral("--baud"), QStringLiteral("9600")}))
        << sim.output().toStdString();
    form.PageControl_Receiver->setCurrentIndex(1);
    form.TabSheet_Mon_Software->CheckBox_Mon_Port_Open_Serial->click();
    core.outputLink().Timer_OutTimer(); // opens COM1 and starts the threads
    ASSERT_TRUE(logText().contains("Automation software port COM1 is open.")) << logText().toStdString();
    JournalRecord event{};
    std::memcpy(event.receiver, "1", 2);
    std::memcpy(event.line, "1", 2);
    std::memcpy(event.account, "1234", 5);
    std::memcpy(event.event, "1130", 5);
    std::memcpy(event.partition, "01", 3);
    std::memcpy(event.zone, "015", 4);
    std::vector<StagedRow> rows;
    rows.push_back(stageRecord(core.journal(), core.accounts(), event, "", 1));
    ASSERT_TRUE(core.store().commitNow(std::move(rows)).ok());
    ASSERT_TRUE(sim.waitForLines(2)) << sim.output().toStdString();
    EXPECT_TRUE(sim.lines()[0].startsWith('1')) << sim.lines()[0].toStdString(); // the heartbeat first
    EXPECT_EQ(sim.lines()[1], QByteArray("5011 181234E13001015"));
    EXPECT_TRUE(testsupport::waitUntil([&] { return core.journal().record(0).status == 7; }));
}

TEST_F(VirtualPorts, WithoutTheToolTheOperatorIsToldWhy)
{
    QFile notAProgram(dir.filePath(QStringLiteral("socat")));
    ASSERT_TRUE(notAProgram.open(QIODevice::WriteOnly));
    notAProgram.write("not a program\n");
    notAProgram.close();
    struct Row {
        std::vector<std::string> candidates;
        bool virtualPortExists;
        const char* message;
    };
    const std::string missing = dir.filePath(QStringLiteral("nowhere/socat")).toStdString();
    const Row rows[] = {
        {{missing, missing}, false, "File open error."},
        {{missing, notAProgram.fileName().toStdString()}, false, "File open error."},
        {{missing}, true, "Configuration tool not found"},
    };
    for (const Row& row : rows) {
        std::unique_ptr<testsupport::SocatPair> existing;
        if (row.virtualPortExists) {
            existing = std::make_unique<testsupport::SocatPair>(dir.path(), 5, 6);
            if (!existing->available())
                continue; // needs socat to make the virtual port this row starts from
        }
        dialogs.asked.clear();
        form.virtualPorts.candidates = row.candidates;
        form.VirtualPortsTool1->trigger();
        ASSERT_EQ(dialogs.asked.size(), 1u) << row.message;
        EXPECT_EQ(dialogs.asked[0].text, QLatin1String(row.message));
        EXPECT_EQ(dialogs.asked[0].title, QStringLiteral("Ardentel"));
        EXPECT_EQ(dialogs.asked[0].icon, Dialogs::Icon::Exclamation);
        EXPECT_FALSE(logText().contains("Installing: ")) << row.message;
        // The port list was looked at again all the same.
        EXPECT_EQ(listed().size(), row.virtualPortExists ? 2 : 0) << row.message;
    }
}

} // namespace
