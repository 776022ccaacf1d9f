// The main window "Ardentel": menu, the two settings pages, the system log view, the status bar
// and the Save button, wired to the receiver it shows. It owns no part of the receiver itself.
#pragma once

#include "app/ReceiverCore.h"
#include "tools/VirtualPortTool.h"

#include <QMainWindow>

class AccountKeysForm;
class Dialogs;
class MonitoringPage;
class PageControl;
class QAction;
class QLabel;
class QPushButton;
class QSoundEffect;
class QStatusBar;
class QTimer;
class ReceiverPage;
class SystemLogView;
class TForm_Com_Settings;
class TForm_Events;
class TForm_Latest_Events;
class TForm_Log;
class TForm_Log_Test;

class TMain_Form : public QMainWindow {
public:
    TMain_Form(ReceiverCore& core, Dialogs& dialogs, QWidget* parent = nullptr);
    ~TMain_Form() override;

    // Start-up of the receiver, then both pages show its settings.
    void FormCreate();
    // The secondary windows, in their order of creation.
    void createSecondaryWindows();
    // The orderly close of the receiver (ReceiverCore::FormClose) with the settings question, unless
    // the close came from a termination signal; runs once.
    void FormClose();
    // SIGINT or SIGTERM, or the program itself after its pictures: the window closes and nobody is
    // asked. A question already open (the close's own "Save current settings?", say) is closed with
    // its default answer, so the close goes on.
    void closeWithDefaultAnswers();

    bool Check_Settings_Changed();
    void BitBtn_SaveClick();

    // Navigation.
    void TabSheet1Show();
    void TabSheet_Mon_SoftwareShow();
    void ViewSystemLogs1Click();
    void Meniu_LogClick();
    void Meniu_FailasClick();
    void Button1Click();
    void VirtualPortsTool1Click();
    void AccountKeys1Click();

    // notify.wav beside the executable, played asynchronously; no file or no sound device is no error.
    void playNotify();
    [[nodiscard]] QString statusPanelText(int panel) const;
    [[nodiscard]] bool isClosed() const { return m_core.isClosed(); }
    [[nodiscard]] ReceiverCore& core() const { return m_core; }
    // The virtual ports' timer: waits for a started pair's links, then watches its socat.
    void VirtualPortsTimer();
    // What "Virtual Serial Ports" made or found last.
    [[nodiscard]] const VirtualPortTool::Result& lastVirtualPorts() const
    {
        return m_virtualPortTool.lastResult();
    }
    [[nodiscard]] const VirtualPortTool& virtualPortTool() const { return m_virtualPortTool; }

    // Where the virtual port tool looks and what it counts as taken.
    VirtualPortTool::Options virtualPorts;

    // Menu.
    QAction* Meniu_Failas = nullptr;
    QAction* ViewSystemLogs1 = nullptr;
    QAction* VirtualPortsTool1 = nullptr;
    QAction* Meniu_Log = nullptr;
    QAction* AccountKeys1 = nullptr;

    PageControl* PageControl_Receiver = nullptr;
    ReceiverPage* TabSheet1 = nullptr;
    MonitoringPage* TabSheet_Mon_Software = nullptr;
    SystemLogView* RichEdit_Log = nullptr;
    QStatusBar* StatusBar1 = nullptr;
    QPushButton* BitBtn_Save = nullptr;
    QPushButton* Button1 = nullptr;

    TForm_Events* Form_Events = nullptr;
    TForm_Com_Settings* Form_Com_Settings = nullptr;
    TForm_Log* Form_Log = nullptr;
    TForm_Latest_Events* Form_Latest_Events = nullptr;
    TForm_Log_Test* Form_Log_Test = nullptr;
    AccountKeysForm* Form_Account_Keys = nullptr;

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildMenu();
    void buildSaveGlyph();
    void wireCore();
    void offerSave();
    void showMessage(const QString& text);
    void updateWindowTitle(); // "Ardentel - Receiver N - data directory"

    ReceiverCore& m_core;
    Dialogs& m_dialogs;
    QSoundEffect* m_notifySound = nullptr;
    QLabel* m_statusPanel[2] = {};
    VirtualPortTool m_virtualPortTool;
    // While a started pair runs: its links awaited, then its socat watched.
    QTimer* m_linkWait = nullptr;
    bool m_logFormStale = false;
    bool m_defaultAnswers = false;
    bool m_closing = false;
};
