// Layout and wiring of the main window.
#include "app/MainForm.h"

#include "dc09/Dc09Receiver.h"
#include "output/OutputLink.h"
#include "serial/TCommPort.h"
#include "store/AccountTable.h"
#include "store/EventStore.h"
#include "store/Journal.h"
#include "ui/AccountKeysForm.h"
#include "ui/ComSettingsForm.h"
#include "ui/Dialogs.h"
#include "ui/EventsForm.h"
#include "ui/LatestEventsForm.h"
#include "ui/LogForm.h"
#include "ui/LogTestForm.h"
#include "ui/MonitoringPage.h"
#include "ui/PageTabBar.h"
#include "ui/ReceiverPage.h"
#include "ui/SystemLogView.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenuBar>
#include <QPainter>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>
#ifdef ARDENTEL_HAVE_MULTIMEDIA
#include <QSoundEffect>
#endif
#include <cstring>

namespace {

// socat makes its links within a moment: they are looked for this often, and once they are there,
// socat is looked at this often to see that it still runs.
constexpr int kLinkPollMillis = 20;
constexpr int kPairWatchMillis = 500;
// The program's name titles its message boxes; the window's own title also names the receiver.
const QString kCaption = QStringLiteral("Ardentel");

template <typename T> T* named(T* widget, const char* name)
{
    widget->setObjectName(QLatin1String(name));
    return widget;
}

QPixmap saveImage(const QColor& body, const QColor& label)
{
    QPixmap pm(24, 24);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(body);
    p.drawRoundedRect(QRectF(3, 3, 18, 18), 2, 2);
    p.setBrush(label);
    p.drawRect(QRectF(7, 4, 10, 6));
    p.drawRect(QRectF(6, 13, 12, 7));
    return pm;
}

} // namespace

TMain_Form::TMain_Form(ReceiverCore& core, Dialogs& dialogs, QWidget* parent)
    : QMainWindow(parent), m_core(core), m_dialogs(dialogs), m_virtualPortTool(core.clock())
{
    setObjectName(QStringLiteral("Main_Form"));
    setWindowTitle(QStringLiteral("Ardentel"));
    setWindowFlags(Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);

    buildMenu();

    auto* central = new QWidget(this);
    auto* column = new QVBoxLayout(central);
    PageControl_Receiver = named(new PageControl(central), "PageControl_Receiver");
    TabSheet1 = new ReceiverPage(m_core.config(), m_dialogs);
    TabSheet_Mon_Software = new MonitoringPage(m_core.config(), m_dialogs);
    TabSheet_Mon_Software->setPortLookup(comports::Lookup{m_core.paths().dir});
    TabSheet_Mon_Software->setSerialPortOpen([this] { return m_core.commPort().isOpen(); });
    PageControl_Receiver->addTab(TabSheet1, QStringLiteral("DC-09 Receiver"));
    PageControl_Receiver->addTab(TabSheet_Mon_Software, QStringLiteral("Automation Software Interface"));
    PageControl_Receiver->setCurrentIndex(0);
    column->addWidget(PageControl_Receiver);

    auto* buttons = new QHBoxLayout;
    BitBtn_Save = named(new QPushButton(QStringLiteral("Save"), central), "BitBtn_Save");
    BitBtn_Save->setEnabled(false);
    Button1 = named(new QPushButton(QStringLiteral("Object List"), central), "Button1");
    buttons->addWidget(BitBtn_Save);
    buttons->addStretch(1);
    buttons->addWidget(Button1);
    column->addLayout(buttons);

    RichEdit_Log = new SystemLogView(central);
    column->addWidget(RichEdit_Log, 1);
    setCentralWidget(central);

    StatusBar1 = named(new QStatusBar(this), "StatusBar1");
    StatusBar1->setSizeGripEnabled(false);
    m_statusPanel[0] = named(new QLabel(QStringLiteral("Receiver port closed.")), "StatusBar1_Panel0");
    m_statusPanel[0]->setFixedWidth(250);
    m_statusPanel[1] = named(new QLabel, "StatusBar1_Panel1");
    m_statusPanel[1]->setMinimumWidth(95);
    StatusBar1->addWidget(m_statusPanel[0]);
    StatusBar1->addWidget(m_statusPanel[1], 1);
    setStatusBar(StatusBar1);

    connect(BitBtn_Save, &QPushButton::clicked, this, [this] { BitBtn_SaveClick(); });
    connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
    connect(PageControl_Receiver, &QTabWidget::currentChanged, this, [this](int index) {
        if (index == 0)
            TabSheet1Show();
        else
            TabSheet_Mon_SoftwareShow();
    });
    wireCore();
    virtualPorts.dataDir = m_core.paths().dir;
    m_linkWait = new QTimer(this);
    m_linkWait->setInterval(kLinkPollMillis);
    connect(m_linkWait, &QTimer::timeout, this, [this] { VirtualPortsTimer(); });

    // A fixed-size window; the layout decides how big.
    adjustSize();
    setFixedSize(std::max(sizeHint().width(), 640), std::max(sizeHint().height(), 600));
}

TMain_Form::~TMain_Form()
{
    // The receiver outlives its window (it still closes in order): it must find nothing of it.
    QObject::disconnect(&m_core, nullptr, this, nullptr);
}

void TMain_Form::buildMenu()
{
    Meniu_Failas = named(new QAction(QStringLiteral("Events"), this), "Meniu_Failas");
    ViewSystemLogs1 = named(new QAction(QStringLiteral("System Log"), this), "ViewSystemLogs1");
    VirtualPortsTool1 = named(new QAction(QStringLiteral("Virtual Serial Ports"), this), "VirtualPortsTool1");
    AccountKeys1 = named(new QAction(QStringLiteral("Account Keys"), this), "AccountKeys1");
    Meniu_Log = named(new QAction(QStringLiteral("Data Log"), this), "Meniu_Log");
    Meniu_Log->setVisible(false);
    for (QAction* a : {Meniu_Failas, ViewSystemLogs1, VirtualPortsTool1, AccountKeys1, Meniu_Log})
        menuBar()->addAction(a);
    connect(AccountKeys1, &QAction::triggered, this, [this] { AccountKeys1Click(); });
    connect(Meniu_Failas, &QAction::triggered, this, [this] { Meniu_FailasClick(); });
    connect(ViewSystemLogs1, &QAction::triggered, this, [this] { ViewSystemLogs1Click(); });
    connect(VirtualPortsTool1, &QAction::triggered, this, [this] { VirtualPortsTool1Click(); });
    connect(Meniu_Log, &QAction::triggered, this, [this] { Meniu_LogClick(); });
}

void TMain_Form::buildSaveGlyph()
{
    QIcon glyph;
    glyph.addPixmap(saveImage(QColor(0, 0, 128), QColor(230, 230, 230)), QIcon::Normal);
    glyph.addPixmap(saveImage(QColor(160, 160, 160), QColor(220, 220, 220)), QIcon::Disabled);
    BitBtn_Save->setIcon(glyph);
    BitBtn_Save->setIconSize(QSize(24, 24));
}

void TMain_Form::wireCore()
{
    ReceiverCore& core = m_core;
    connect(&core, &ReceiverCore::logLine, this, [this](const QString& line, LogColour colour) {
        RichEdit_Log->addLine(line, colour);
        // The line is in the file now: a shown "System Log" window follows it with the view.
        if (Form_Log && Form_Log->isVisible())
            m_logFormStale = true;
    });
    connect(RichEdit_Log, &SystemLogView::flushed, this, [this] {
        if (m_logFormStale && Form_Log && Form_Log->isVisible())
            Form_Log->reload();
        m_logFormStale = false;
    });
    connect(RichEdit_Log, &SystemLogView::debugSequenceTyped, this, [this] {
        if (!Meniu_Log->isVisible()) {
            Meniu_Log->setVisible(true);
            m_dialogs.beep();
        }
    });
    connect(&core, &ReceiverCore::receiverStatus, m_statusPanel[0], &QLabel::setText);
    connect(&core, &ReceiverCore::outputStatus, m_statusPanel[1], &QLabel::setText);
    connect(&core, &ReceiverCore::beepRequested, this, [this] { m_dialogs.beep(); });
    connect(&core, &ReceiverCore::notifyRequested, this, [this] { playNotify(); });
    connect(&core, &ReceiverCore::traceLine, this, [this](const QString& line) {
        if (Form_Log_Test)
            Form_Log_Test->appendTrace(line);
    });
    connect(&core, &ReceiverCore::outputSettingsChanged, TabSheet_Mon_Software,
            &MonitoringPage::Refresh_Mon_Out);
    // Shown from the event loop, never inside the link's tick that reported it.
    connect(&core, &ReceiverCore::messageRequested, this, &TMain_Form::showMessage, Qt::QueuedConnection);

    // The pages tell the receiver and the link what the operator did.
    connect(TabSheet1, &ReceiverPage::settingsEdited, this, [this] { Check_Settings_Changed(); });
    connect(TabSheet1, &ReceiverPage::portEnableClicked, &core.receiver(), &Dc09Receiver::retrySoon);
    connect(TabSheet1, &ReceiverPage::portTextChanged, &core.receiver(), &Dc09Receiver::setPortText);
    connect(TabSheet_Mon_Software, &MonitoringPage::settingsEdited, this,
            [this] { Check_Settings_Changed(); });
    connect(TabSheet_Mon_Software, &MonitoringPage::outputLinkToggled, &core.outputLink(),
            &OutputLink::openSoon);
    connect(TabSheet_Mon_Software, &MonitoringPage::outputSettingsChanged, &core.outputLink(),
            &OutputLink::publishSettings);
}

void TMain_Form::showMessage(const QString& text)
{
    // A close in progress (from a signal, say) must not wait for a person.
    if (m_closing)
        return;
    (void)m_dialogs.ask(this, kCaption, text, Dialogs::Buttons::Ok, Dialogs::Icon::Exclamation);
}

void TMain_Form::playNotify()
{
    const QString path = QCoreApplication::applicationDirPath() + QStringLiteral("/notify.wav");
    if (!QFileInfo::exists(path))
        return;
#ifdef ARDENTEL_HAVE_MULTIMEDIA
    if (m_notifySound == nullptr) {
        m_notifySound = new QSoundEffect(this);
        m_notifySound->setSource(QUrl::fromLocalFile(path));
    }
    m_notifySound->play();
#endif
}

void TMain_Form::FormCreate()
{
    // The host line waits until this window's log view shows.
    m_core.setLogViewVisible(isVisible());
    m_core.FormCreate();
    updateWindowTitle();
    buildSaveGlyph();
    TabSheet1->Refresh_Receiver();
    TabSheet_Mon_Software->Refresh_Mon_Out();
}

void TMain_Form::createSecondaryWindows()
{
    // Order of creation: events, serial settings, system log, object list, data log.
    Form_Events = new TForm_Events(m_core.journal(), m_dialogs, this);
    Form_Events->clearEvents = [this] { return m_core.store().clearView(); };
    // Opened on the window's search thread, and for an export.
    Form_Events->setEventLog([path = m_core.store().logPath()] {
        return std::make_unique<EventLog>(path, EventLog::Role::Reader);
    });
    connect(&m_core, &ReceiverCore::journalChanged, Form_Events, [this] { Form_Events->requestRefresh(); });
    Form_Com_Settings = new TForm_Com_Settings(m_core.config(), m_dialogs, this);
    connect(Form_Com_Settings, &TForm_Com_Settings::settingsEdited, this,
            [this] { Check_Settings_Changed(); });
    TabSheet_Mon_Software->setComSettingsForm(Form_Com_Settings);
    Form_Log = new TForm_Log([this] { return m_core.logFileName(); }, m_dialogs, this);
    Form_Latest_Events = new TForm_Latest_Events(m_core.accounts(), m_dialogs, this);
    connect(&m_core, &ReceiverCore::accountsChanged, Form_Latest_Events,
            [this] { Form_Latest_Events->requestRefresh(); });
    Form_Log_Test = new TForm_Log_Test(m_dialogs, this);
    Form_Account_Keys = new AccountKeysForm(
        m_core.accountKeys(), [this] { return m_core.saveAccountKeys(); }, m_dialogs, this);
    // Tracing costs the receiver and the threads only while somebody looks.
    Form_Log_Test->installEventFilter(this);
    TabSheet_Mon_Software->Refresh_Mon_Out(); // the dialog's baud list, too
}

bool TMain_Form::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == Form_Log_Test && (event->type() == QEvent::Show || event->type() == QEvent::Hide))
        m_core.setTraceEnabled(event->type() == QEvent::Show);
    return QMainWindow::eventFilter(watched, event);
}

void TMain_Form::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    m_core.setLogViewVisible(true);
}

void TMain_Form::closeEvent(QCloseEvent* event)
{
    FormClose();
    for (QWidget* w : std::initializer_list<QWidget*>{Form_Events, Form_Com_Settings, Form_Log,
                                                      Form_Latest_Events, Form_Log_Test})
        if (w)
            w->close();
    event->accept();
    QCoreApplication::quit();
}

void TMain_Form::closeWithDefaultAnswers()
{
    m_defaultAnswers = true;
    // A message box closed without a button gives its default answer (No, Cancel, OK).
    while (QWidget* question = QApplication::activeModalWidget()) {
        if (!question->close())
            break;
    }
    if (!m_closing)
        close();
}

void TMain_Form::FormClose()
{
    if (m_core.isClosed())
        return;
    m_closing = true;
    if (m_defaultAnswers)
        m_core.FormClose();
    else
        m_core.FormClose([this] { offerSave(); });
    // Only once the output link has let go of its port: a port vanishing under an open link
    // would be reported as a link error.
    m_linkWait->stop();
    m_virtualPortTool.stop();
}

void TMain_Form::offerSave()
{
    if (m_defaultAnswers)
        return;
    const auto answer = m_dialogs.ask(this, kCaption, QStringLiteral("Save current settings?"),
                                      Dialogs::Buttons::YesNo, Dialogs::Icon::Question);
    if (answer != Dialogs::Answer::Yes)
        return;
    const ConfigFileResult saved = m_core.saveSettings();
    if (!saved.ok())
        m_dialogs.error(this, kCaption,
                        QStringLiteral("The settings could not be saved to %1: %2")
                            .arg(QString::fromStdString(m_core.paths().config),
                                 QString::fromLocal8Bit(std::strerror(saved.osError))));
}

QString TMain_Form::statusPanelText(int panel) const
{
    return (panel == 0 || panel == 1) ? m_statusPanel[panel]->text() : QString();
}

void TMain_Form::TabSheet1Show()
{
    TabSheet1->Refresh_Receiver();
}

void TMain_Form::TabSheet_Mon_SoftwareShow()
{
    TabSheet_Mon_Software->Refresh_Mon_Out();
    TabSheet_Mon_Software->Com_Ports_AvailableExecute();
}

void TMain_Form::ViewSystemLogs1Click()
{
    if (Form_Log) {
        Form_Log->show();
        Form_Log->raise();
    }
}

void TMain_Form::Meniu_LogClick()
{
    if (Form_Log_Test) {
        Form_Log_Test->show();
        Form_Log_Test->raise();
    }
}

void TMain_Form::Meniu_FailasClick()
{
    Form_Events->show();
    Form_Events->raise();
}

void TMain_Form::Button1Click()
{
    Form_Latest_Events->show();
    Form_Latest_Events->raise();
}

void TMain_Form::AccountKeys1Click()
{
    if (!Form_Account_Keys)
        return;
    Form_Account_Keys->show();
    Form_Account_Keys->raise();
}

void TMain_Form::VirtualPortsTool1Click()
{
    // A pair that ended since the timer last looked is said before another is made.
    if (m_virtualPortTool.active())
        VirtualPortsTimer();
    const VirtualPortTool::Result& made = m_virtualPortTool.run(virtualPorts);
    switch (made.outcome) {
    case VirtualPortTool::Outcome::Started:
        m_core.Write_System_Log("Installing: " + made.commandLine, LogColour::Black);
        m_linkWait->setInterval(kLinkPollMillis);
        m_linkWait->start();
        break;
    case VirtualPortTool::Outcome::Reused:
        m_core.Write_System_Log(VirtualPortTool::portsText(made.links) +
                                    " are there already; no new pair was started.",
                                LogColour::Black);
        break;
    case VirtualPortTool::Outcome::ToolNotFound:
        showMessage(QStringLiteral("Configuration tool not found"));
        break;
    case VirtualPortTool::Outcome::NothingToRun:
    case VirtualPortTool::Outcome::StartFailed:
        showMessage(QStringLiteral("File open error."));
        break;
    }
    TabSheet_Mon_Software->Com_Ports_AvailableExecute();
}

void TMain_Form::VirtualPortsTimer()
{
    const VirtualPortTool::Check check = m_virtualPortTool.poll();
    switch (check.event) {
    case VirtualPortTool::Event::None:
        break;
    case VirtualPortTool::Event::LinksReady:
        m_linkWait->setInterval(kPairWatchMillis);
        TabSheet_Mon_Software->Com_Ports_AvailableExecute();
        break;
    case VirtualPortTool::Event::LinksMissing:
    case VirtualPortTool::Event::Ended:
        m_core.Write_System_Log(check.text, LogColour::Red);
        TabSheet_Mon_Software->Com_Ports_AvailableExecute();
        break;
    }
    if (!m_virtualPortTool.active())
        m_linkWait->stop();
}

void TMain_Form::updateWindowTitle()
{
    // Two receivers on one desktop, or one started on the wrong directory, are told apart at a glance.
    QString dir = QString::fromLocal8Bit(m_core.paths().dir.c_str());
    if (dir.size() > 1 && dir.endsWith(QLatin1Char('/')))
        dir.chop(1);
    setWindowTitle(
        QStringLiteral("Ardentel - Receiver %1 - %2").arg(int(m_core.config().Test_Rec_Nr)).arg(dir));
}

bool TMain_Form::Check_Settings_Changed()
{
    updateWindowTitle(); // the receiver number may have changed
    const bool changed = m_core.settingsChanged();
    BitBtn_Save->setEnabled(changed);
    return changed;
}

void TMain_Form::BitBtn_SaveClick()
{
    offerSave();
    Check_Settings_Changed();
}
