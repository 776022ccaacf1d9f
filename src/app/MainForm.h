// The main window "Ardentel": settings pages, system log view and status bar. It owns the
// configuration record, the stores and the receiver for the whole run and wires them together.
#pragma once

#include "config/Clock.h"
#include "config/ConfigRecord.h"
#include "config/DataPaths.h"
#include "log/LogSink.h"
#include "log/SystemLog.h"

#include <QMainWindow>
#include <atomic>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

class AT_Rec_Thread;
class AccountTable;
class Dc09Receiver;
class Dialogs;
class Journal;
class Monitoring_Thread;
class OutputLink;
struct OutputShared;
class PageControl;
class QAction;
class QButtonGroup;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QSoundEffect;
class QStatusBar;
class QTextEdit;
class QTimer;
class TCommPort;
class TForm_Log;
class TForm_Log_Test;

class TMain_Form : public QMainWindow {
public:
    // The system log view keeps its newest lines only; the month's file keeps every line.
    static constexpr int kMaxLogLines = 10000;
    // How long the close waits for a background thread before it goes on without it.
    static constexpr int kThreadStopMillis = 5000;
    // Every change at the top of a long rich-text view re-lays out all of it, so lines that come
    // in a burst are put in together.
    static constexpr int kLogViewDelayMillis = 100;

    struct Context {
        DataPaths paths;
        const Clock& clock;
        Dialogs& dialogs;
        bool headless = false; // log lines also on standard output
    };

    explicit TMain_Form(const Context& context, QWidget* parent = nullptr);
    ~TMain_Form() override;

    // Start-up: loads or creates every data file, then starts the receiver and output timers; the
    // output timer's first tick starts the background threads. Opens no port itself.
    void FormCreate();
    // The secondary windows, in their order of creation. The events, serial settings and object
    // list windows join here as they are built.
    void createSecondaryWindows();
    // Orderly shutdown; runs once, from the close of the window or a termination signal.
    void FormClose();

    // Write_System_Log: one dated line, newest on top of the view, appended to the month's file.
    // The file has the line when the call returns; the views follow within kLogViewDelayMillis.
    void Write_System_Log(std::string_view text, LogColour colour);
    // Puts the lines written since the last update into the log view and the "System Log" window.
    void flushLogView();
    // The same from any thread: a call from a background thread waits until the main thread wrote it.
    [[nodiscard]] LogSink threadSafeLog();

    // Settings state.
    bool Check_Settings_Changed();
    void BitBtn_SaveClick();
    void Refresh_Receiver();
    void Refresh_Mon_Out();

    // Handlers of the "DC-09 Receiver" page.
    void CheckBox_DC9_Port_EnableClick();
    void LabeledEdit_DC9_PortChange();
    void LabeledEdit_DC9_Conn_TimeoutChange();
    void CheckBox_Time_SynchClick();
    void LabeledEdit_DC9_Encoding_KeyChange();
    void RadioButton_DC9_AES_OffClick();
    void RadioButton_DC9_AES_128Click();
    void RadioButton_DC9_AES_192Click();
    void RadioButton_DC9_AES_256Click();
    void RadioButton_Aes_Key_TextClick();
    void RadioButton_Aes_Key_HexClick();
    void CheckBox_Show_AES_PasswordClick();

    // Handlers of the "Automation Software Interface" page.
    void CheckBox_Mon_Port_Open_TCPClick();
    void CheckBox_Mon_Port_Open_SerialClick();
    void RadioButton_Mon_ServerClick();
    void RadioButton_Mon_ClientClick();
    void LabeledEdit_Mon_PortChange();
    void LabeledEdit_Out_IPChange();
    void LabeledEdit_Test_Heartbeat_PeriodChange();
    void LabeledEdit_Test_Rec_NrChange();
    void ComboBox1Change();
    void ComboBox_COM_NrChange();

    // Navigation and the hidden "Data Log" entry.
    void TabSheet1Show();
    void TabSheet_Mon_SoftwareShow();
    void ViewSystemLogs1Click();
    void Meniu_LogClick();
    void Meniu_FailasClick();
    void Button1Click();
    void VirtualPortsTool1Click();
    void RichEdit_LogKeyPress(char key);

    [[nodiscard]] Config_Record& config() { return m_config; }
    [[nodiscard]] const DataPaths& paths() const { return m_paths; }
    [[nodiscard]] SystemLog& systemLog() { return m_log; }
    [[nodiscard]] Dc09Receiver* receiver() const { return m_receiver.get(); }
    [[nodiscard]] Journal* journal() const { return m_journal.get(); }
    [[nodiscard]] AccountTable* accounts() const { return m_accounts.get(); }
    [[nodiscard]] OutputLink* outputLink() const { return m_outputLink.get(); }
    [[nodiscard]] OutputShared* outputShared() const { return m_outputShared.get(); }
    [[nodiscard]] TCommPort* commPort() const { return m_commPort.get(); }
    [[nodiscard]] Monitoring_Thread* monitoringThread() const { return m_monitoring.get(); }
    [[nodiscard]] AT_Rec_Thread* serialThread() const { return m_atRec.get(); }
    // notify.wav beside the executable, played asynchronously; no file or no sound device is no error.
    void playNotify();
    [[nodiscard]] QString statusPanelText(int panel) const;
    void setStatusPanelText(int panel, const QString& text); // panel 0: receiver port, 1: output link
    [[nodiscard]] bool isClosed() const { return m_closed; }

    // Menu.
    QAction* Meniu_Failas = nullptr;
    QAction* ViewSystemLogs1 = nullptr;
    QAction* VirtualPortsTool1 = nullptr;
    QAction* Meniu_Log = nullptr;

    // Pages.
    PageControl* PageControl_Receiver = nullptr;
    QWidget* TabSheet1 = nullptr;
    QWidget* TabSheet_Mon_Software = nullptr;

    // "DC-09 Receiver".
    QCheckBox* CheckBox_DC9_Port_Enable = nullptr;
    QLineEdit* LabeledEdit_DC9_Port = nullptr;
    QLineEdit* LabeledEdit_DC9_Conn_Timeout = nullptr;
    QRadioButton* RadioButton_DC9_AES_Off = nullptr;
    QRadioButton* RadioButton_DC9_AES_128 = nullptr;
    QRadioButton* RadioButton_DC9_AES_192 = nullptr;
    QRadioButton* RadioButton_DC9_AES_256 = nullptr;
    QLineEdit* LabeledEdit_DC9_Encoding_Key = nullptr;
    QRadioButton* RadioButton_Aes_Key_Text = nullptr;
    QRadioButton* RadioButton_Aes_Key_Hex = nullptr;
    QCheckBox* CheckBox_Show_AES_Password = nullptr;
    QCheckBox* CheckBox_Time_Synch = nullptr;

    // "Automation Software Interface".
    QCheckBox* CheckBox_Mon_Port_Open_TCP = nullptr;
    QRadioButton* RadioButton_Mon_Server = nullptr;
    QRadioButton* RadioButton_Mon_Client = nullptr;
    QLineEdit* LabeledEdit_Mon_Port = nullptr;
    QLineEdit* LabeledEdit_Out_IP = nullptr;
    QCheckBox* CheckBox_Mon_Port_Open_Serial = nullptr;
    QComboBox* ComboBox_COM_Nr = nullptr;
    QPushButton* Button_Com_Settings = nullptr;
    QLineEdit* LabeledEdit_Test_Heartbeat_Period = nullptr;
    QLineEdit* LabeledEdit_Test_Rec_Nr = nullptr;
    QComboBox* ComboBox1 = nullptr;

    QTextEdit* RichEdit_Log = nullptr;
    QStatusBar* StatusBar1 = nullptr;
    QPushButton* BitBtn_Save = nullptr;
    QPushButton* Button1 = nullptr;

    TForm_Log* Form_Log = nullptr;
    TForm_Log_Test* Form_Log_Test = nullptr;

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildMenu();
    QWidget* buildReceiverPage();
    QWidget* buildMonitoringPage();
    void buildSaveGlyph();
    void wireReceiver();
    void wireOutputLink();
    void showLogLine(const std::string& line, LogColour colour);
    void showKey();
    void setAesMode(std::uint8_t mode);
    // A numeric edit: empty text keeps the field; text that is no decimal number is reported and keeps it.
    // The edit's decimal value; none when it is empty or not a number (the latter with an error box).
    std::optional<std::int32_t> readNumber(QLineEdit* edit);
    void waitForMonitoringThread();
    void waitForSerialThread();

    DataPaths m_paths;
    const Clock& m_clock;
    Dialogs& m_dialogs;
    bool m_headless;
    Config_Record m_config{};
    SystemLog m_log;
    KeyRing m_keyRing;
    // What the background threads call back into: the window while it exists, and the forwarding
    // thread for its error pause. Shared with the threads' hooks and the journal, so it lives as long
    // as a thread that may call it.
    struct ThreadLink {
        QObject context;            // on the main thread: where the thread's log lines are written
        TMain_Form* form = nullptr; // main thread only; null once the window is gone
        std::atomic<Monitoring_Thread*> thread{nullptr};
    };
    std::shared_ptr<ThreadLink> m_threadLink;
    std::unique_ptr<Journal> m_journal;
    std::unique_ptr<AccountTable> m_accounts;
    std::unique_ptr<Dc09Receiver> m_receiver;
    std::unique_ptr<OutputShared> m_outputShared;
    std::unique_ptr<TCommPort> m_commPort;
    std::unique_ptr<OutputLink> m_outputLink;
    std::unique_ptr<Monitoring_Thread> m_monitoring;
    std::unique_ptr<AT_Rec_Thread> m_atRec;
    QSoundEffect* m_notifySound = nullptr;
    QLabel* m_statusPanel[2] = {};
    struct PendingLine {
        QString text;
        LogColour colour;
    };
    std::vector<PendingLine> m_pendingLines;
    bool m_logFormStale = false;
    QTimer* m_logViewTimer = nullptr;
    QButtonGroup* m_aesModeGroup = nullptr;
    QButtonGroup* m_keyFormatGroup = nullptr;
    QButtonGroup* m_monModeGroup = nullptr;
    bool m_created = false;
    bool m_closed = false;
};
