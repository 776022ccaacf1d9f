// "Virtual Serial Ports" in the real window: socat makes a pair of linked pseudo-terminals that the
// port list offers and the serial output link forwards over to the automation software simulator;
// a live pair is used again, a socat that fails is said in red, the pair ends with the program;
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
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

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
    void TearDown() override { form.FormClose(); }
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

    // Closing ends the pair the program started; socat takes its links with it.
    form.FormClose();
    EXPECT_FALSE(QFileInfo(com1).isSymLink());
    EXPECT_FALSE(QFileInfo(com2).isSymLink());
}

// socat as the tests play it: it makes its links (to a real pseudo-terminal) only when told, and
// ends when told.
struct PretendSocat {
    struct Process final : VirtualPortTool::Process {
        explicit Process(PretendSocat& owner) : m_owner(owner) {}
        std::int64_t start(const std::vector<std::string>& argv, const std::string&) override
        {
            ++m_owner.starts;
            m_owner.links.clear();
            for (const std::string& arg : argv)
                if (const auto at = arg.find("link="); at != std::string::npos)
                    m_owner.links.push_back(arg.substr(at + 5));
            m_owner.ended.clear();
            m_owner.stopped = false;
            if (m_owner.makesLinks)
                m_owner.makeLinks();
            return 4242;
        }
        bool running(std::string& how) override
        {
            how = m_owner.ended;
            return m_owner.ended.empty() && !m_owner.stopped;
        }
        void stop() override
        {
            m_owner.stopped = true;
            m_owner.removeLinks();
        }
        PretendSocat& m_owner;
    };

    PretendSocat()
    {
        master = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0)
            terminal = ::ptsname(master);
    }
    ~PretendSocat()
    {
        if (master >= 0)
            ::close(master);
    }
    void makeLinks() const
    {
        for (const std::string& link : links)
            (void)::symlink(terminal.c_str(), link.c_str());
    }
    void removeLinks() const
    {
        for (const std::string& link : links)
            ::unlink(link.c_str());
    }
    // socat ending by itself: its links go with it.
    void end(const char* how)
    {
        ended = how;
        removeLinks();
    }

    int master = -1;
    std::string terminal;
    bool makesLinks = true;
    int starts = 0;
    std::vector<std::string> links;
    std::string ended;
    bool stopped = false;
};

// One run of the menu entry after another: a live pair is used again rather than joined by a second
// one, a socat that ends or never makes its links is said in red, and closing ends the pair.
TEST_F(VirtualPorts, APairIsUsedAgainWatchedAndEndedWithTheProgram)
{
    PretendSocat socat;
    if (socat.terminal.empty())
        GTEST_SKIP() << "no pseudo-terminal to link to";
    QFile tool(dir.filePath(QStringLiteral("socat")));
    ASSERT_TRUE(tool.open(QIODevice::WriteOnly));
    tool.close();
    form.virtualPorts.candidates = {tool.fileName().toStdString()};
    form.virtualPorts.newProcess = [&socat] { return std::make_unique<PretendSocat::Process>(socat); };
    const auto lastLine = [this] {
        const QList<QByteArray> lines = logText().trimmed().split('\n');
        return lines.isEmpty() ? QByteArray() : lines.back().trimmed().mid(19);
    };
    const auto outcome = [this] { return form.lastVirtualPorts().outcome; };

    // A pair that is there already (an earlier run's, say) is used as it is.
    ASSERT_TRUE(QDir().mkpath(dir.filePath(QStringLiteral("dosdevices"))));
    socat.links = {VirtualPortTool::linkPath(dir.path().toStdString(), 5),
                   VirtualPortTool::linkPath(dir.path().toStdString(), 6)};
    socat.makeLinks();
    form.VirtualPortsTool1->trigger();
    EXPECT_EQ(outcome(), VirtualPortTool::Outcome::Reused);
    EXPECT_EQ(lastLine(), "  Virtual serial ports COM5 and COM6 are there already; no new pair was started.");
    EXPECT_EQ(listed(), (QStringList{QStringLiteral("COM5"), QStringLiteral("COM6")}));
    socat.removeLinks();

    // Started; its links are offered once they are there, and a second click uses the same pair.
    form.VirtualPortsTool1->trigger();
    ASSERT_EQ(outcome(), VirtualPortTool::Outcome::Started);
    EXPECT_TRUE(form.virtualPortTool().awaitingLinks());
    form.VirtualPortsTimer();
    EXPECT_FALSE(form.virtualPortTool().awaitingLinks());
    EXPECT_EQ(listed(), (QStringList{QStringLiteral("COM1"), QStringLiteral("COM2")}));
    form.VirtualPortsTool1->trigger();
    EXPECT_EQ(outcome(), VirtualPortTool::Outcome::Reused);
    EXPECT_EQ(socat.starts, 1);
    EXPECT_EQ(lastLine(), "  Virtual serial ports COM1 and COM2 are there already; no new pair was started.");

    // socat ends by itself: said in red, and the ports leave the list.
    socat.end("exit status 1");
    form.VirtualPortsTimer();
    EXPECT_EQ(lastLine(), " ! Virtual serial ports COM1 and COM2 are gone: socat ended with exit status 1.");
    EXPECT_TRUE(listed().isEmpty());
    EXPECT_FALSE(form.virtualPortTool().active());

    // Started again, but its links do not come: after 1 s it is said in red and socat is stopped.
    socat.makesLinks = false;
    form.VirtualPortsTool1->trigger();
    ASSERT_EQ(outcome(), VirtualPortTool::Outcome::Started);
    EXPECT_EQ(socat.starts, 2);
    clock.advance(VirtualPortTool::kLinkWaitMillis - 1);
    form.VirtualPortsTimer();
    EXPECT_FALSE(socat.stopped);
    clock.advance(1);
    form.VirtualPortsTimer();
    EXPECT_TRUE(socat.stopped);
    EXPECT_EQ(lastLine(),
              " ! Virtual serial ports COM1 and COM2 did not appear within 1 s; socat was stopped.");

    // Closing the program ends the pair it started.
    socat.makesLinks = true;
    form.VirtualPortsTool1->trigger();
    form.VirtualPortsTimer();
    ASSERT_EQ(listed().size(), 2);
    form.FormClose();
    EXPECT_TRUE(socat.stopped);
    EXPECT_EQ(socat.starts, 3);
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
