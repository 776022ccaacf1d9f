// The main window with its real stores in a temporary data directory and scripted answers:
// settings controls, the save button, locking, key entry, the log view and the close.
#include "../support/QtWait.h"
#include "../ui/QtPrinters.h"
#include "app/Application.h"
#include "app/MainForm.h"
#include "app/ReceiverCore.h"
#include "config/ConfigRecord.h"
#include "dc09/AccountKeys.h"
#include "dc09/Dc09Receiver.h"
#include "output/MonitoringThread.h"
#include "output/OutputLink.h"
#include "output/OutputShared.h"
#include "store/AccountTable.h"
#include "store/Journal.h"
#include "store/JournalRecord.h"
#include "store/StoreTestSupport.h"
#include "ui/AccountKeysForm.h"
#include "ui/AccountListModel.h"
#include "ui/ComSettingsForm.h"
#include "ui/Dialogs.h"
#include "ui/EventListModel.h"
#include "ui/EventsForm.h"
#include "ui/LatestEventsForm.h"
#include "ui/LogForm.h"
#include "ui/LogTestForm.h"
#include "ui/MonitoringPage.h"
#include "ui/PageTabBar.h"
#include "ui/ReceiverPage.h"
#include "ui/SystemLogView.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTableWidget>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTextEdit>
#include <QTimer>
#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <stdexcept>
#include <sys/stat.h>

namespace {

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QByteArray recordBytes(const Config_Record& r)
{
    return QByteArray(reinterpret_cast<const char*>(&r), sizeof r);
}

class MainWindow : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        form.FormCreate();
        form.createSecondaryWindows();
        form.show();
        cfgPath = QString::fromStdString(core.paths().config);
    }
    void TearDown() override { form.FormClose(); }

    // Replaces the edit's text the way an operator does: select all, then type.
    static void retype(QLineEdit* edit, const QString& text)
    {
        edit->setFocus();
        edit->selectAll();
        if (text.isEmpty())
            QTest::keyClick(edit, Qt::Key_Backspace);
        else
            QTest::keyClicks(edit, text);
    }

    QTemporaryDir dir;
    ManualClock clock{1796652000}; // 2026-12-07 UTC
    ScriptedDialogs dialogs;
    ReceiverCore core{DataPaths::inDirectory(dir.path().toStdString()), clock};
    TMain_Form form{core, dialogs};
    ReceiverPage& rx = *form.TabSheet1;
    MonitoringPage& mon = *form.TabSheet_Mon_Software;
    QString cfgPath;

    QByteArray logText() { return readAll(QString::fromStdString(core.systemLog().currentFileName())); }

    // An event accepted and committed to the log, as the receiver does it.
    void store(const JournalRecord& event, const char* extended = "")
    {
        std::vector<StagedRow> rows;
        rows.push_back(stageRecord(core.journal(), core.accounts(), event, extended, ++m_stage));
        const FileFailure f = core.store().commitNow(std::move(rows));
        ASSERT_TRUE(f.ok()) << f.text();
    }
    std::uint64_t m_stage = 1'000'000;

    // The link as a TCP server with `automation` connected and its first heartbeat acknowledged.
    void connectAutomation(QTcpSocket& automation)
    {
        const quint16 port = testsupport::freePort();
        core.config().Mon_Port = port;
        core.config().Test_Rec_Nr = 7;
        form.PageControl_Receiver->setCurrentIndex(1);
        mon.CheckBox_Mon_Port_Open_TCP->click();
        OutputLink& link = core.outputLink();
        link.Timer_OutTimer(); // opens the port and starts both threads
        ASSERT_TRUE(link.serverListening());
        EXPECT_TRUE(core.monitoringThread().isRunning());
        automation.connectToHost(QHostAddress::LocalHost, port);
        ASSERT_TRUE(testsupport::waitUntil([&] { return link.serverConnectionCount() == 1; }));
        link.Timer_OutTimer();
        EXPECT_EQ(form.statusPanelText(1), QStringLiteral("Automation software: connected (1)."));
        QByteArray got;
        ASSERT_TRUE(testsupport::waitUntil([&] {
            got += automation.readAll();
            return got.size() >= 23;
        }));
        EXPECT_EQ(got, QByteArray("107000           @    \x14"));
        automation.write("\x06");
        ASSERT_TRUE(testsupport::waitUntil(
            [this] { return logText().contains("Connection with automation software established."); }));
    }
};

TEST_F(MainWindow, FirstStartCreatesEveryFileAndShowsTheDefaults)
{
    EXPECT_EQ(QFile(cfgPath).size(), 256);
    EXPECT_EQ(QFile(dir.filePath(QStringLiteral("kalvor.dat"))).size(), 139268);
    EXPECT_EQ(QFile(dir.filePath(QStringLiteral("extevn.dat"))).size(), 131072);
    EXPECT_EQ(QFile(dir.filePath(QStringLiteral("latevn.dat"))).size(), 163840);
    // Which receiver, and which files, the first line of the log too; the number follows the page.
    EXPECT_TRUE(logText().split('\n').front().endsWith("  Data directory: " + dir.path().toUtf8() + "/\r"));
    EXPECT_EQ(form.windowTitle(), QStringLiteral("Ardentel - Receiver 1 - ") + dir.path());
    retype(mon.LabeledEdit_Test_Rec_Nr, QStringLiteral("42"));
    EXPECT_EQ(form.windowTitle(), QStringLiteral("Ardentel - Receiver 42 - ") + dir.path());
    retype(mon.LabeledEdit_Test_Rec_Nr, QStringLiteral("1"));
    EXPECT_EQ(rx.LabeledEdit_DC9_Port->text(), QStringLiteral("7777"));
    EXPECT_EQ(rx.LabeledEdit_DC9_Conn_Timeout->text(), QStringLiteral("30"));
    EXPECT_EQ(mon.LabeledEdit_Mon_Port->text(), QStringLiteral("9999"));
    EXPECT_EQ(mon.LabeledEdit_Out_IP->text(), QStringLiteral("127.0.0.1"));
    EXPECT_TRUE(rx.RadioButton_DC9_AES_Off->isChecked());
    EXPECT_TRUE(rx.RadioButton_Aes_Key_Text->isChecked());
    EXPECT_TRUE(mon.RadioButton_Mon_Server->isChecked());
    EXPECT_EQ(rx.LabeledEdit_DC9_Encoding_Key->echoMode(), QLineEdit::Password);
    EXPECT_FALSE(form.BitBtn_Save->isEnabled());
    EXPECT_FALSE(form.Meniu_Log->isVisible());
    EXPECT_EQ(form.statusPanelText(0), QStringLiteral("Receiver port closed."));
    // Every named component is findable by its name.
    for (const char* name :
         {"CheckBox_DC9_Port_Enable", "LabeledEdit_DC9_Encoding_Key", "RichEdit_Log", "StatusBar1",
          "BitBtn_Save", "Button1", "PageControl_Receiver", "ComboBox1", "ComboBox_COM_Nr",
          "LabeledEdit_Test_Rec_Nr", "CheckBox_DC9_UDP", "CheckBox_DC9_Quirk_CRC_CR",
          "CheckBox_Test_Heartbeat_Length", "ComboBox_COM_Framing"})
        EXPECT_NE(form.findChild<QWidget*>(QLatin1String(name)), nullptr) << name;
}

// The window sets and removes what the receiver uses at once, saved first; the key is never shown.
TEST_F(MainWindow, AccountKeysWindowSetsAndRemovesKeysTheReceiverUses)
{
    form.AccountKeys1->trigger();
    AccountKeysForm& keys = *form.Form_Account_Keys;
    ASSERT_TRUE(keys.isVisible());
    EXPECT_EQ(keys.windowTitle(), QStringLiteral("Account Keys"));
    EXPECT_EQ(keys.Edit_Key->echoMode(), QLineEdit::Password);
    retype(keys.Edit_Account, QStringLiteral("c0ffee"));
    retype(keys.Edit_Key, QStringLiteral("too short"));
    keys.Button_Set_Key->click();
    EXPECT_TRUE(core.accountKeys().empty());
    EXPECT_EQ(dialogs.beeps, 1);

    keys.ComboBox_Key_Format->setCurrentIndex(1);
    retype(keys.Edit_Key, QString(48, QLatin1Char('a')));
    keys.Button_Set_Key->click();
    ASSERT_NE(core.accountKeys().find("C0FFEE"), nullptr);
    EXPECT_EQ(core.accountKeys().find("C0FFEE")->bits(), 192);
    EXPECT_TRUE(keys.Edit_Key->text().isEmpty());
    ASSERT_EQ(keys.Grid_Account_Keys->rowCount(), 1);
    EXPECT_EQ(keys.Grid_Account_Keys->item(0, 1)->text(), QStringLiteral("AES-192"));
    EXPECT_EQ(keys.Grid_Account_Keys->item(0, 2)->text().size(), 8);
    struct stat info {};
    ASSERT_EQ(::stat(core.paths().accountKeys.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    dialogs.answers.push_back(Dialogs::Answer::Cancel);
    keys.Button_Remove_Key->click();
    EXPECT_NE(core.accountKeys().find("C0FFEE"), nullptr);
    dialogs.answers.push_back(Dialogs::Answer::Ok);
    keys.Button_Remove_Key->click();
    EXPECT_TRUE(core.accountKeys().empty());
    EXPECT_EQ(keys.Grid_Account_Keys->rowCount(), 0);
    EXPECT_FALSE(readAll(QString::fromStdString(core.paths().accountKeys)).contains("C0FFEE"));
}

TEST_F(MainWindow, SaveButtonFollowsTheDifferenceFromTheFile)
{
    retype(rx.LabeledEdit_DC9_Port, QStringLiteral("7778"));
    EXPECT_EQ(int(core.config().DC9_Port), 7778);
    EXPECT_TRUE(form.BitBtn_Save->isEnabled());

    QTest::keyClick(rx.LabeledEdit_DC9_Port, Qt::Key_Backspace);
    QTest::keyClick(rx.LabeledEdit_DC9_Port, Qt::Key_7);
    EXPECT_EQ(int(core.config().DC9_Port), 7777);
    EXPECT_FALSE(form.BitBtn_Save->isEnabled());
}

TEST_F(MainWindow, NumericEditsKeepTheFieldWhenClearedAndRefuseLetters)
{
    retype(rx.LabeledEdit_DC9_Conn_Timeout, QString());
    EXPECT_EQ(rx.LabeledEdit_DC9_Conn_Timeout->text(), QString());
    EXPECT_EQ(int(core.config().DC9_Conn_Timeout), 30);

    QTest::keyClicks(rx.LabeledEdit_DC9_Conn_Timeout, QStringLiteral("x"));
    EXPECT_EQ(int(core.config().DC9_Conn_Timeout), 30);
    EXPECT_TRUE(dialogs.asked.empty());
    EXPECT_FALSE(form.BitBtn_Save->isEnabled());
}

// The fields take what --set takes: a value outside the setting's table shows red and is not stored;
// when editing ends the field shows the value in force again, with a beep.
TEST_F(MainWindow, NumericFieldsTakeOnlyWhatTheSettingTakes)
{
    form.PageControl_Receiver->setCurrentIndex(1);
    mon.Button_Com_SettingsClick();
    const auto stored = [this](const char* name) {
        for (const auto& [field, value] : describeConfig(core.config()))
            if (field == name)
                return QString::fromStdString(value);
        return QString();
    };
    struct Row {
        const char* setting;
        QLineEdit* edit;
        const char* typed;
        const char* kept; // in the record, and in the field once editing ends
    };
    const Row rows[] = {
        {"Test_Rec_Nr", mon.LabeledEdit_Test_Rec_Nr, "300", "30"}, // the last digit would make three
        {"COM_Baud", form.Form_Com_Settings->ComboBox_COM_Baud->lineEdit(), "12345", "9600"},
        {"COM_Baud", form.Form_Com_Settings->ComboBox_COM_Baud->lineEdit(), "19200", "19200"},
        {"Mon_Port", mon.LabeledEdit_Mon_Port, "0", "9999"},
        {"DC9_Port", rx.LabeledEdit_DC9_Port, "70000", "7000"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.setting) + "=" + row.typed);
        const int beeps = dialogs.beeps;
        retype(row.edit, QLatin1String(row.typed));
        EXPECT_EQ(stored(row.setting), QLatin1String(row.kept));
        const bool refused = std::strcmp(row.typed, row.kept) != 0;
        EXPECT_EQ(row.edit->property("refused").toBool(), refused);
        EXPECT_TRUE(row.edit->toolTip().startsWith(QStringLiteral("Allowed: ")));
        emit row.edit->editingFinished();
        EXPECT_EQ(row.edit->text(), QLatin1String(row.kept));
        EXPECT_EQ(dialogs.beeps, beeps + (refused ? 1 : 0));
        EXPECT_FALSE(row.edit->property("refused").toBool());
    }
    EXPECT_TRUE(dialogs.asked.empty());
}

TEST_F(MainWindow, TextFieldsAreCutToTheirWidthAndStayTerminated)
{
    form.PageControl_Receiver->setCurrentIndex(1);
    mon.RadioButton_Mon_Client->click();
    retype(mon.LabeledEdit_Out_IP, QStringLiteral("192.168.100.200"));
    const auto* raw = reinterpret_cast<const unsigned char*>(&core.config());
    EXPECT_EQ(std::memcmp(raw + 64, "192.168.100.200", 15), 0);
    EXPECT_EQ(raw[79], 0);

    retype(mon.ComboBox_COM_Nr->lineEdit(), QStringLiteral("COM12"));
    EXPECT_STREQ(core.config().COM_Nr, "COM12");
    EXPECT_EQ(raw[85], 0);
}

TEST_F(MainWindow, AnOpenReceiverPortLocksItsSettings)
{
    const std::vector<QWidget*> locked = {
        rx.LabeledEdit_DC9_Port,       rx.LabeledEdit_DC9_Conn_Timeout, rx.LabeledEdit_DC9_Encoding_Key,
        rx.RadioButton_DC9_AES_Off,    rx.RadioButton_DC9_AES_128,      rx.RadioButton_DC9_AES_192,
        rx.RadioButton_DC9_AES_256,    rx.RadioButton_Aes_Key_Text,     rx.RadioButton_Aes_Key_Hex,
        rx.CheckBox_Show_AES_Password, rx.CheckBox_Time_Synch};
    rx.CheckBox_DC9_Port_Enable->click();
    EXPECT_EQ(int(core.config().DC9_Port_Enable), 1);
    EXPECT_TRUE(form.BitBtn_Save->isEnabled());
    for (QWidget* w : locked)
        EXPECT_FALSE(w->isEnabled()) << w->objectName().toStdString();

    rx.CheckBox_DC9_Port_Enable->click();
    EXPECT_EQ(int(core.config().DC9_Port_Enable), 0);
    EXPECT_FALSE(form.BitBtn_Save->isEnabled());
    for (QWidget* w : locked)
        EXPECT_TRUE(w->isEnabled()) << w->objectName().toStdString();
}

TEST_F(MainWindow, ChosenOutputLinkLocksItsSettings)
{
    form.PageControl_Receiver->setCurrentIndex(1);
    mon.CheckBox_Mon_Port_Open_TCP->click();
    EXPECT_EQ(int(core.config().Mon_Port_Open), 1);
    EXPECT_FALSE(mon.CheckBox_Mon_Port_Open_Serial->isEnabled());
    EXPECT_FALSE(mon.LabeledEdit_Mon_Port->isEnabled());
    EXPECT_FALSE(mon.RadioButton_Mon_Client->isEnabled());
    EXPECT_FALSE(mon.ComboBox_COM_Nr->isEnabled());

    mon.CheckBox_Mon_Port_Open_TCP->click();
    mon.CheckBox_Mon_Port_Open_Serial->click();
    EXPECT_EQ(int(core.config().Mon_Port_Open), 2);
    EXPECT_FALSE(mon.CheckBox_Mon_Port_Open_TCP->isEnabled());
    EXPECT_TRUE(mon.CheckBox_Mon_Port_Open_Serial->isChecked());

    mon.CheckBox_Mon_Port_Open_Serial->click();
    EXPECT_EQ(int(core.config().Mon_Port_Open), 0);
    // The address matters only to a client.
    EXPECT_FALSE(mon.LabeledEdit_Out_IP->isEnabled());
    mon.RadioButton_Mon_Client->click();
    EXPECT_EQ(int(core.config().Mon_Server), 0);
    EXPECT_TRUE(mon.LabeledEdit_Out_IP->isEnabled());
}

TEST_F(MainWindow, OutputLinkSettingsLockPerChosenLink)
{
    struct Row {
        int link;
        int server;
        bool tcpEnabled, tcpChecked, serialEnabled, serialChecked, settingsFree, addressFree;
    };
    const std::vector<QWidget*> settings = {
        mon.LabeledEdit_Mon_Port, mon.RadioButton_Mon_Server, mon.RadioButton_Mon_Client,
        mon.ComboBox_COM_Nr,      mon.Button_Com_Settings,    form.Form_Com_Settings->ComboBox_COM_Baud};
    for (const Row& row :
         {Row{1, 0, true, true, false, false, false, false},
          Row{2, 0, false, false, true, true, false, false}, Row{0, 1, true, false, true, false, true, false},
          Row{0, 0, true, false, true, false, true, true}, Row{5, 0, true, false, true, false, true, true}}) {
        core.config().Mon_Port_Open = std::int8_t(row.link);
        core.config().Mon_Server = std::int8_t(row.server);
        mon.Refresh_Mon_Out();
        const std::string where = std::to_string(row.link) + "/" + std::to_string(row.server);
        EXPECT_EQ(mon.CheckBox_Mon_Port_Open_TCP->isEnabled(), row.tcpEnabled) << where;
        EXPECT_EQ(mon.CheckBox_Mon_Port_Open_TCP->isChecked(), row.tcpChecked) << where;
        EXPECT_EQ(mon.CheckBox_Mon_Port_Open_Serial->isEnabled(), row.serialEnabled) << where;
        EXPECT_EQ(mon.CheckBox_Mon_Port_Open_Serial->isChecked(), row.serialChecked) << where;
        for (QWidget* w : settings)
            EXPECT_EQ(w->isEnabled(), row.settingsFree) << where << " " << w->objectName().toStdString();
        EXPECT_EQ(mon.LabeledEdit_Out_IP->isEnabled(), row.addressFree) << where;
    }
}

TEST_F(MainWindow, OpenBoxBringsTheOutputTickForwardAndSettingsReachTheThread)
{
    OutputLink* link = &core.outputLink();
    ASSERT_NE(link, nullptr);
    EXPECT_EQ(link->timer()->interval(), OutputLink::kFirstTickMs);
    link->Timer_OutTimer();
    EXPECT_EQ(form.statusPanelText(1), QStringLiteral("Automation software port closed."));
    EXPECT_EQ(link->timer()->interval(), OutputLink::kTickMs);

    form.PageControl_Receiver->setCurrentIndex(1);
    mon.CheckBox_Mon_Port_Open_Serial->click();
    EXPECT_EQ(link->timer()->interval(), OutputLink::kSoonTickMs);
    mon.CheckBox_Mon_Port_Open_Serial->click();
    link->Timer_OutTimer();

    retype(mon.LabeledEdit_Test_Heartbeat_Period, QStringLiteral("45"));
    retype(mon.LabeledEdit_Test_Rec_Nr, QStringLiteral("42"));
    mon.ComboBox1->setCurrentIndex(1);
    emit mon.ComboBox1->activated(1);
    mon.CheckBox_Test_Heartbeat_Length->click();
    const ForwardingSettings s = link->forwardingSettings();
    EXPECT_EQ(s.Test_Heartbeat_Period, 45);
    EXPECT_EQ(std::uint8_t(s.Test_Rec_Nr), 42);
    EXPECT_EQ(s.Report_Format, 1);
    EXPECT_EQ(s.Heartbeat_Length, 20);

    // "UDP", like "Open", brings the receiver's next tick forward, whether the port is open or not.
    QTimer* rxTimer = core.receiver().timer();
    for (int open : {1, 0}) {
        core.config().DC9_Port_Enable = std::uint8_t(open);
        rx.Refresh_Receiver();
        rxTimer->setInterval(60000);
        rx.CheckBox_DC9_UDP->click();
        EXPECT_LT(rxTimer->interval(), 60000) << open;
    }
}

TEST_F(MainWindow, ServerLinkCarriesTheForwardingThreadsHeartbeat)
{
    QTcpSocket automation;
    connectAutomation(automation);
    EXPECT_EQ(core.outputShared().Output_Link_State.load(), output::kLinkReady);

    // The close ends the thread and takes the link down in order.
    form.close();
    EXPECT_FALSE(core.monitoringThread().isRunning());
    EXPECT_FALSE(core.outputLink().serverListening());
    EXPECT_TRUE(
        testsupport::waitUntil([&] { return automation.state() == QAbstractSocket::UnconnectedState; }));
    EXPECT_TRUE(logText().endsWith("Program closed\r\n")) << logText().toStdString();
}

TEST_F(MainWindow, TheAnswerToTheLineInFlightStillCountsDuringTheClose)
{
    QTcpSocket automation;
    connectAutomation(automation);
    JournalRecord event{};
    std::memcpy(event.receiver, "1", 2);
    std::memcpy(event.line, "1", 2);
    std::memcpy(event.account, "4321", 5);
    std::memcpy(event.event, "1130", 5);
    store(event);
    QByteArray report;
    ASSERT_TRUE(testsupport::waitUntil([&] {
        report += automation.readAll();
        return report.endsWith('\x14');
    }));
    // The automation software answers while the window is already closing.
    QTimer::singleShot(200, &automation, [&] {
        automation.write("\x06");
        automation.flush();
    });
    form.close();
    const QByteArray disk = readAll(dir.filePath(QStringLiteral("kalvor.dat")));
    ASSERT_EQ(disk.size(), 139268);
    EXPECT_EQ(int(std::uint8_t(disk[4])), journal::kStored | journal::kSaved | journal::kReported);
}

TEST_F(MainWindow, EventListFollowsTheForwardingThreadsSavePass)
{
    form.Meniu_Failas->trigger();
    ASSERT_TRUE(form.Form_Events->isVisible());
    core.outputLink().Timer_OutTimer(); // starts the forwarding thread
    JournalRecord event{};
    std::memcpy(event.account, "4321", 5);
    std::memcpy(event.event, "1130", 5);
    store(event);
    const auto status = [this] { return form.Form_Events->model()->index(0, 9).data().toString(); };
    EXPECT_TRUE(testsupport::waitUntil([&] { return status() == QStringLiteral("Pending"); }))
        << status().toStdString();
    EXPECT_NE(core.serviceStatus().find(" | Events today: 1"), std::string::npos) << core.serviceStatus();
}

TEST_F(MainWindow, ObjectListFollowsTheAccountTable)
{
    form.Button1->click();
    ASSERT_TRUE(form.Form_Latest_Events->isVisible());
    JournalRecord event{};
    std::memcpy(event.account, "1234", 5);
    std::memcpy(event.event, "1130", 5);
    (void)core.accounts().stage(event, "");
    EXPECT_TRUE(form.Form_Latest_Events->refreshPending());
    (void)core.accounts().stage(event, "");
    std::memcpy(event.account, "5678", 5);
    (void)core.accounts().stage(event, "");
    EXPECT_TRUE(testsupport::waitUntil([this] { return form.Form_Latest_Events->model()->rowCount() == 2; }));
}

TEST_F(MainWindow, HexKeyEntryAcceptsBothCasesAndStopsAtTheKeyLength)
{
    rx.RadioButton_DC9_AES_128->click();
    rx.RadioButton_Aes_Key_Hex->click();
    QLineEdit* key = rx.LabeledEdit_DC9_Encoding_Key;
    EXPECT_EQ(key->maxLength(), 32);
    retype(key, QStringLiteral("aB"));
    EXPECT_EQ(int(core.config().DC9_AES_Key[0]), 0xAB);
    EXPECT_EQ(dialogs.beeps, 0);

    // A character that is no hex digit goes at once, with a beep.
    QTest::keyClicks(key, QStringLiteral("g"));
    EXPECT_EQ(key->text(), QStringLiteral("aB"));
    EXPECT_EQ(dialogs.beeps, 1);

    // The field takes 32 digits and no more.
    retype(key, QStringLiteral("00112233445566778899AABBCCDDEEFF12"));
    EXPECT_EQ(key->text().size(), 32);
    EXPECT_EQ(int(core.config().DC9_AES_Key[15]), 0xFF);
    EXPECT_EQ(int(core.config().DC9_AES_Key[16]), 0x00);
    EXPECT_FALSE(key->property("refused").toBool());

    // Fewer digits change only the first bytes: red while typed, then the whole key in force.
    retype(key, QStringLiteral("0A"));
    EXPECT_TRUE(key->property("refused").toBool());
    emit key->editingFinished();
    EXPECT_EQ(key->text(), QStringLiteral("0a112233445566778899aabbccddeeff"));
    EXPECT_FALSE(key->property("refused").toBool());
}

TEST_F(MainWindow, AWholeSixtyFourDigitKeyIsShown)
{
    rx.RadioButton_DC9_AES_256->click();
    rx.RadioButton_Aes_Key_Hex->click();
    QLineEdit* key = rx.LabeledEdit_DC9_Encoding_Key;
    for (const bool shown : {true, false}) {
        if (rx.CheckBox_Show_AES_Password->isChecked() != shown)
            rx.CheckBox_Show_AES_Password->click();
        retype(key, QString(64, QLatin1Char('D')));
        ASSERT_EQ(key->text().size(), 64);
        // The field's frame and text margins take a few pixels on either side.
        const int textWidth = QFontMetrics(key->font()).horizontalAdvance(key->displayText());
        EXPECT_LE(textWidth + 8, key->width()) << shown;
    }
}

TEST_F(MainWindow, TextKeySwitchedToHexShowsSixteenBytes)
{
    rx.CheckBox_Show_AES_Password->click();
    EXPECT_EQ(rx.LabeledEdit_DC9_Encoding_Key->echoMode(), QLineEdit::Normal);
    retype(rx.LabeledEdit_DC9_Encoding_Key, QStringLiteral("secret"));
    EXPECT_EQ(std::memcmp(core.config().DC9_AES_Key, "secret\0\0", 8), 0);
    EXPECT_TRUE(form.BitBtn_Save->isEnabled());

    rx.LabeledEdit_DC9_Encoding_Key->clearFocus();
    rx.RadioButton_Aes_Key_Hex->click();
    EXPECT_EQ(rx.LabeledEdit_DC9_Encoding_Key->text(), QStringLiteral("73656372657400000000000000000000"));
}

TEST_F(MainWindow, TextKeyTakesAsManyCharactersAsTheKeyHasBytes)
{
    const QString typed = QStringLiteral("abcdefghijklmnopqrstuvwxyz0123456789");
    for (const auto& [button, length] :
         {std::pair{rx.RadioButton_DC9_AES_128, 16}, std::pair{rx.RadioButton_DC9_AES_192, 24},
          std::pair{rx.RadioButton_DC9_AES_256, 32}}) {
        button->click();
        retype(rx.LabeledEdit_DC9_Encoding_Key, typed);
        EXPECT_EQ(rx.LabeledEdit_DC9_Encoding_Key->text(), typed.left(length)) << length;
        const QByteArray expected = typed.left(length).toLatin1() + QByteArray(32 - length, '\0');
        EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(core.config().DC9_AES_Key), 32), expected)
            << length;
        rx.LabeledEdit_DC9_Encoding_Key->clearFocus();
    }
}

TEST_F(MainWindow, ShowingTheKeyInTheOtherFormatKeepsEveryByte)
{
    // A hex key with a zero byte in the middle shows short as text; the bytes after it stay.
    rx.RadioButton_DC9_AES_128->click();
    rx.RadioButton_Aes_Key_Hex->click();
    retype(rx.LabeledEdit_DC9_Encoding_Key, QStringLiteral("41004243"));
    rx.LabeledEdit_DC9_Encoding_Key->clearFocus();
    rx.RadioButton_Aes_Key_Text->click();
    EXPECT_EQ(rx.LabeledEdit_DC9_Encoding_Key->text(), QStringLiteral("A"));
    EXPECT_EQ(std::memcmp(core.config().DC9_AES_Key, "\x41\x00\x42\x43", 4), 0);
}

TEST_F(MainWindow, SaveButtonAsksAndWritesTheRecord)
{
    retype(rx.LabeledEdit_DC9_Port, QStringLiteral("8000"));
    dialogs.answers = {Dialogs::Answer::No};
    form.BitBtn_Save->click();
    ASSERT_EQ(dialogs.asked.size(), 1u);
    EXPECT_EQ(dialogs.asked[0].text, QStringLiteral("Save current settings?"));
    EXPECT_EQ(dialogs.asked[0].title, QStringLiteral("Ardentel"));
    EXPECT_EQ(dialogs.asked[0].icon, Dialogs::Icon::Question);
    EXPECT_TRUE(form.BitBtn_Save->isEnabled());

    dialogs.answers = {Dialogs::Answer::Yes};
    form.BitBtn_Save->click();
    EXPECT_EQ(readAll(cfgPath), recordBytes(core.config()));
    EXPECT_FALSE(form.BitBtn_Save->isEnabled());
}

TEST_F(MainWindow, AFailedSaveIsReported)
{
    retype(rx.LabeledEdit_DC9_Port, QStringLiteral("8000"));
    // Something that cannot be opened for writing stands where the file was.
    ASSERT_TRUE(QFile::remove(cfgPath));
    ASSERT_TRUE(QDir().mkdir(cfgPath));
    dialogs.answers = {Dialogs::Answer::Yes};
    form.BitBtn_Save->click();
    ASSERT_EQ(dialogs.asked.size(), 2u);
    EXPECT_EQ(dialogs.asked[1].icon, Dialogs::Icon::Error);
    EXPECT_TRUE(dialogs.asked[1].text.contains(QStringLiteral("kalvor.cfg")));
    EXPECT_TRUE(form.BitBtn_Save->isEnabled());
    ASSERT_TRUE(QDir().rmdir(cfgPath));
}

TEST_F(MainWindow, LogViewShowsTheNewestLineOnTopInItsColour)
{
    core.Write_System_Log("older", LogColour::Black);
    core.Write_System_Log("newer", LogColour::Red);
    form.RichEdit_Log->flush();
    const QTextDocument* doc = form.RichEdit_Log->document();
    ASSERT_EQ(doc->blockCount(), 3); // below them the start's "Data directory" line
    const QTextBlock top = doc->firstBlock();
    const QTextBlock bottom = top.next();
    EXPECT_TRUE(top.text().endsWith(QStringLiteral("  newer")));
    EXPECT_TRUE(bottom.text().endsWith(QStringLiteral("  older")));
    EXPECT_EQ(top.begin().fragment().charFormat().foreground().color(), QColor(255, 0, 0));
    EXPECT_EQ(bottom.begin().fragment().charFormat().foreground().color(), QColor(Qt::black));
    EXPECT_EQ(form.RichEdit_Log->textCursor().position(), 0);

    const QByteArray file = readAll(QString::fromStdString(core.systemLog().currentFileName()));
    EXPECT_LT(file.indexOf("  older\r\n"), file.indexOf(" ! newer\r\n")); // the red one marked so
}

TEST_F(MainWindow, LogViewKeepsTheNewestLinesButTheFileKeepsAll)
{
    const int extra = 3;
    for (int i = 0; i < SystemLogView::kMaxLines + extra; ++i)
        core.Write_System_Log("line " + std::to_string(i), LogColour::Black);
    form.RichEdit_Log->flush();
    // Later lines push the oldest out of the view one by one.
    core.Write_System_Log("line " + std::to_string(SystemLogView::kMaxLines + extra), LogColour::Black);
    form.RichEdit_Log->flush();
    const QTextDocument* doc = form.RichEdit_Log->document();
    EXPECT_EQ(doc->blockCount(), SystemLogView::kMaxLines);
    EXPECT_TRUE(
        doc->firstBlock().text().endsWith(QStringLiteral("line %1").arg(SystemLogView::kMaxLines + extra)));
    EXPECT_TRUE(doc->lastBlock().text().endsWith(QStringLiteral("line %1").arg(extra + 1)));
    const QByteArray file = readAll(QString::fromStdString(core.systemLog().currentFileName()));
    EXPECT_EQ(file.count("\r\n"), SystemLogView::kMaxLines + extra + 2); // and the start's line
}

TEST_F(MainWindow, SystemLogWindowFollowsTheLog)
{
    core.Write_System_Log("first", LogColour::Black);
    form.ViewSystemLogs1->trigger();
    ASSERT_TRUE(form.Form_Log->isVisible());
    core.Write_System_Log("second", LogColour::Red);
    form.RichEdit_Log->flush();
    const QString shown = form.Form_Log->Memo_Log->toPlainText();
    EXPECT_TRUE(shown.section(QLatin1Char('\n'), 1, 1).endsWith(QStringLiteral("  first"))); // then the start's
    EXPECT_TRUE(shown.section(QLatin1Char('\n'), 0, 0).endsWith(QStringLiteral("  second"))); // newest on top
}

TEST_F(MainWindow, TypingDbgGoRevealsTheDataLogOnce)
{
    form.RichEdit_Log->setFocus();
    QTest::keyClicks(form.RichEdit_Log, QStringLiteral("dbg go"));
    EXPECT_TRUE(form.Meniu_Log->isVisible());
    EXPECT_EQ(dialogs.beeps, 1);
    EXPECT_TRUE(form.RichEdit_Log->toPlainText().isEmpty()); // the view itself stays read-only

    // Again at the start of the next block of sixteen keys: still visible, no second beep.
    QTest::keyClicks(form.RichEdit_Log, QStringLiteral("0123456789dbg go"));
    EXPECT_EQ(dialogs.beeps, 1);

    form.Meniu_Log->trigger();
    EXPECT_TRUE(form.Form_Log_Test->isVisible());
}

TEST_F(MainWindow, TheSequenceCountsOnlyAtTheStartOfABlockOfSixteen)
{
    form.RichEdit_Log->setFocus();
    QTest::keyClicks(form.RichEdit_Log, QStringLiteral("xdbg go"));
    EXPECT_FALSE(form.Meniu_Log->isVisible());
    EXPECT_EQ(dialogs.beeps, 0);
}

TEST_F(MainWindow, ReceiverTraceReachesTheDataLogOnlyWhileShown)
{
    Dc09Receiver* r = &core.receiver();
    ASSERT_NE(r, nullptr);
    emit r->traceLine(QStringLiteral("hidden"));
    form.Form_Log_Test->show();
    emit r->traceLine(QStringLiteral("12:00:00:1  frame"));
    EXPECT_EQ(form.Form_Log_Test->Memo_Log_Test->toPlainText(), QStringLiteral("12:00:00:1  frame"));
    emit r->statusText(QStringLiteral("Receiver port is open.  Connections: 0"));
    EXPECT_EQ(form.statusPanelText(0), QStringLiteral("Receiver port is open.  Connections: 0"));
}

TEST_F(MainWindow, AnUnsavedSettingStaysUnsavedOnNoAndOnATerminationSignal)
{
    struct Row {
        bool fromSignal;
        std::size_t questions;
    };
    for (const Row row : {Row{false, 1}, Row{true, 0}}) {
        // A window of its own per row: each closes once.
        ReceiverCore rowCore{
            DataPaths::inDirectory(dir.filePath(QString::number(row.fromSignal)).toStdString()), clock};
        ScriptedDialogs rowDialogs;
        TMain_Form window{rowCore, rowDialogs};
        ASSERT_TRUE(QDir().mkpath(QString::fromStdString(rowCore.paths().dir)));
        window.FormCreate();
        window.show();
        const QString config = QString::fromStdString(rowCore.paths().config);
        const QByteArray before = readAll(config);
        retype(window.TabSheet1->LabeledEdit_DC9_Port, QStringLiteral("8001"));
        rowDialogs.answers = {Dialogs::Answer::No};
        if (row.fromSignal)
            window.closeWithDefaultAnswers();
        else
            window.close();
        EXPECT_TRUE(window.isClosed());
        ASSERT_EQ(rowDialogs.asked.size(), row.questions) << row.fromSignal;
        if (row.questions) {
            EXPECT_EQ(rowDialogs.asked[0].text, QStringLiteral("Save current settings?"));
        }
        EXPECT_EQ(readAll(config), before) << row.fromSignal;
        const QByteArray log = readAll(QString::fromStdString(rowCore.systemLog().currentFileName()));
        EXPECT_TRUE(log.endsWith("Program closed\r\n")) << log.toStdString();
        // Nobody has to guess why the next start runs on the old value.
        EXPECT_TRUE(log.contains("Settings not saved, discarded at the close: DC9_Port 7777 -> 8001\r\n"))
            << log.toStdString();
    }
}

TEST_F(MainWindow, ASignalWhileTheCloseAsksClosesTheQuestionWithNo)
{
    // Real message boxes: the close's own question is open when the signal comes.
    QtDialogs desktop;
    ReceiverCore boxCore{DataPaths::inDirectory(dir.filePath(QStringLiteral("box")).toStdString()), clock};
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(boxCore.paths().dir)));
    TMain_Form window{boxCore, desktop};
    window.FormCreate();
    window.show();
    const QString config = QString::fromStdString(boxCore.paths().config);
    const QByteArray before = readAll(config);
    retype(window.TabSheet1->LabeledEdit_DC9_Port, QStringLiteral("8001"));
    bool questionOpen = false;
    QTimer::singleShot(100, &window, [&] {
        questionOpen = QApplication::activeModalWidget() != nullptr;
        window.closeWithDefaultAnswers();
    });
    // A question left open would hold the test for ever: as a last resort it is closed here.
    QTimer::singleShot(10000, &window, [] {
        if (QWidget* question = QApplication::activeModalWidget()) {
            ADD_FAILURE() << "the question stayed open";
            question->close();
        }
    });
    window.close();
    EXPECT_TRUE(questionOpen);
    EXPECT_TRUE(window.isClosed());
    EXPECT_EQ(readAll(config), before);
}

TEST_F(MainWindow, CloseWithoutChangesAsksNothing)
{
    form.close();
    EXPECT_TRUE(dialogs.asked.empty());
    form.FormClose(); // a second close does nothing more
    const QByteArray log = readAll(QString::fromStdString(core.systemLog().currentFileName()));
    EXPECT_EQ(log.count("Program closed"), 1);
}

TEST_F(MainWindow, CloseWritesTheViewOfAnEventWhoseFileWasOutOfReach)
{
    // The journal file is out of reach when the event is committed: the view's write fails, once.
    const QString journalPath = dir.filePath(QStringLiteral("kalvor.dat"));
    ASSERT_TRUE(QFile::remove(journalPath));
    ASSERT_TRUE(QDir().mkdir(journalPath));
    JournalRecord event{};
    std::memcpy(event.account, "4321", 5);
    std::memcpy(event.event, "1130", 5);
    store(event, "[Q50]");
    const auto logged = [this] {
        return readAll(QString::fromStdString(core.systemLog().currentFileName()))
            .contains("File open error. ");
    };
    ASSERT_TRUE(testsupport::waitUntil(logged));

    // The file is back; the close's last sync of the views leaves it whole with the event in it.
    ASSERT_TRUE(QDir().rmdir(journalPath));
    QFile file(journalPath);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    ASSERT_EQ(file.write(QByteArray(139268, '\0')), 139268);
    file.close();
    form.close();

    const QByteArray disk = readAll(journalPath);
    ASSERT_EQ(disk.size(), 139268);
    JournalRecord saved{};
    std::memcpy(&saved, disk.constData() + 4, sizeof saved);
    EXPECT_EQ(saved.status, 1);
    EXPECT_EQ(QByteArray(saved.account), QByteArray("4321"));
    EXPECT_EQ(QByteArray(readAll(dir.filePath(QStringLiteral("extevn.dat"))).constData()),
              QByteArray("[Q50]"));
}

// The encryption recipe: the port closed to change the key, saved, opened again; the close asks, and
// the next start on the same directory opens the port.
TEST_F(MainWindow, OpenTickedAfterASaveIsOpenAfterARestart)
{
    const quint16 port = testsupport::freePort();
    retype(rx.LabeledEdit_DC9_Port, QString::number(port));
    rx.RadioButton_DC9_AES_128->click();
    retype(rx.LabeledEdit_DC9_Encoding_Key, QStringLiteral("0123456789abcdef"));
    rx.LabeledEdit_DC9_Encoding_Key->clearFocus();
    dialogs.answers = {Dialogs::Answer::Yes};
    form.BitBtn_Save->click();
    EXPECT_FALSE(form.BitBtn_Save->isEnabled());
    rx.CheckBox_DC9_Port_Enable->click();
    EXPECT_TRUE(form.BitBtn_Save->isEnabled());
    dialogs.answers = {Dialogs::Answer::Yes};
    form.close();
    ASSERT_EQ(dialogs.asked.size(), 2u);
    EXPECT_EQ(dialogs.asked[1].text, QStringLiteral("Save current settings?"));
    const QByteArray log = logText();
    EXPECT_TRUE(log.contains(
        QByteArray("  Settings saved: DC9_Port 7777 -> ") + QByteArray::number(port) +
        ", DC9_AES_Mode 0 -> 1, DC9_AES_Key (not set) -> (set, 128 bits), Time_Synch 0 -> 1\r\n"))
        << log.toStdString();
    EXPECT_TRUE(log.contains("  Settings saved: DC9_Port_Enable 0 -> 1\r\n")) << log.toStdString();
    EXPECT_FALSE(log.contains("0123456789abcdef") || log.contains("30313233"));

    ReceiverCore again{DataPaths::inDirectory(dir.path().toStdString()), clock};
    ScriptedDialogs againDialogs;
    TMain_Form window{again, againDialogs};
    window.FormCreate();
    EXPECT_TRUE(window.TabSheet1->CheckBox_DC9_Port_Enable->isChecked());
    EXPECT_FALSE(window.BitBtn_Save->isEnabled());
    again.receiver().Timer_DC9Timer();
    EXPECT_TRUE(again.receiver().isActive());
    window.close();
    EXPECT_TRUE(againDialogs.asked.empty());
}

TEST_F(MainWindow, CloseWithYesSavesTheSetting)
{
    retype(rx.LabeledEdit_DC9_Port, QStringLiteral("8002"));
    dialogs.answers = {Dialogs::Answer::Yes};
    form.close();
    Config_Record onDisk{};
    const QByteArray bytes = readAll(cfgPath);
    ASSERT_EQ(bytes.size(), 256);
    std::memcpy(&onDisk, bytes.constData(), sizeof onDisk);
    EXPECT_EQ(int(onDisk.DC9_Port), 8002);
}

} // namespace

namespace {

// A disk that takes no write, as a read-only mount (chmod does not stop root).
class ReadOnlyFiles final : public FileIo {
public:
    bool readOnly = true;
    IoResult openWrite(const std::string& path, OpenMode mode) override
    {
        return readOnly ? IoResult{-1, EROFS} : FileIo::openWrite(path, mode);
    }
};

// Files that cannot be written keep both ports closed and say why, in red once and in the status bar,
// until the 5 s check finds them writable; then the start goes on and the ports open.
TEST(StorageCheckAtStart, KeepsThePortsClosedUntilTheFilesCanBeWritten)
{
    QTemporaryDir dir;
    const DataPaths paths = DataPaths::inDirectory(dir.path().toStdString());
    Config_Record settings = defaultConfig();
    settings.DC9_Port_Enable = 1;
    settings.DC9_Port = testsupport::freePort();
    ASSERT_TRUE(Save_Settings(paths.config, settings).ok());
    ReadOnlyFiles files;
    ManualClock clock{1796652000};
    ScriptedDialogs dialogs;
    ReceiverCore core(paths, clock);
    core.setStorageCheckIo(files);
    QStringList red;
    QObject::connect(&core, &ReceiverCore::logLine, [&red](const QString& line, LogColour colour) {
        if (colour == LogColour::Red)
            red << line;
    });
    TMain_Form form(core, dialogs);
    form.FormCreate();
    for (int tick = 0; tick < 2; ++tick) {
        ASSERT_EQ(red.size(), 1) << red.join(u'\n').toStdString(); // said once, however often it is tried
        EXPECT_TRUE(red[0].contains(QStringLiteral("cannot be written: File open error. ")));
        EXPECT_EQ(form.statusPanelText(0),
                  QStringLiteral("Receiver port closed: the data directory cannot be written."));
        EXPECT_TRUE(core.storageRetryTimer()->isActive());
        EXPECT_FALSE(core.receiver().timer()->isActive() || core.outputLink().timer()->isActive());
        core.storageRetryTick();
    }
    files.readOnly = false;
    core.storageRetryTick();
    EXPECT_FALSE(core.storageRetryTimer()->isActive());
    ASSERT_TRUE(core.receiver().timer()->isActive() && core.outputLink().timer()->isActive());
    core.receiver().Timer_DC9Timer();
    EXPECT_EQ(core.receiver().listeningPort(), quint16(settings.DC9_Port));
    EXPECT_EQ(form.statusPanelText(0), QStringLiteral("Receiver port is open.  Connections: 0"));
    EXPECT_EQ(core.serviceStatus(), "Receiver port is open.  Connections: 0 | Events today: 0");
    form.FormClose();
}

TEST(EventDelivery, AnExceptionFromAHandlerBecomesAnErrorBoxAndTheLoopGoesOn)
{
    ScriptedDialogs dialogs;
    EXPECT_FALSE(deliverCatching(&dialogs, []() -> bool { throw std::runtime_error("disk on fire"); }));
    EXPECT_FALSE(deliverCatching(&dialogs, []() -> bool { throw 42; }));
    ASSERT_EQ(dialogs.asked.size(), 2u);
    EXPECT_EQ(dialogs.asked[0].title, QStringLiteral("Ardentel"));
    EXPECT_EQ(dialogs.asked[0].text, QStringLiteral("disk on fire"));
    EXPECT_EQ(dialogs.asked[0].icon, Dialogs::Icon::Error);
    EXPECT_FALSE(dialogs.asked[1].text.isEmpty());
    EXPECT_TRUE(deliverCatching(&dialogs, [] { return true; }));
    EXPECT_EQ(dialogs.asked.size(), 2u);
}

} // namespace
