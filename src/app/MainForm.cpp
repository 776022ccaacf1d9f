// Layout and wiring of the main window, its start-up and its orderly close.
#include "app/MainForm.h"

#include "dc09/Dc09Receiver.h"
#include "dc09/KeyEntry.h"
#include "output/AtRecThread.h"
#include "output/MainThreadCall.h"
#include "output/MonitoringThread.h"
#include "output/OutputLink.h"
#include "output/OutputShared.h"
#include "serial/TCommPort.h"
#include "store/AccountTable.h"
#include "store/Journal.h"
#include "ui/Dialogs.h"
#include "ui/LogForm.h"
#include "ui/LogTestForm.h"
#include "ui/PageTabBar.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QScreen>
#include <QStatusBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextEdit>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>
#ifdef ARDENTEL_HAVE_MULTIMEDIA
#include <QSoundEffect>
#endif
#include <charconv>
#include <cstdio>
#include <cstring>

namespace {

const QColor kLogRed(255, 0, 0);

template <typename T> T* named(T* widget, const char* name)
{
    widget->setObjectName(QLatin1String(name));
    return widget;
}

// A line edit with its caption to the left, in the next row of a grid.
QLineEdit* labeledEdit(QGridLayout* grid, const char* name, const char* caption, int maxLength)
{
    auto* edit = named(new QLineEdit, name);
    edit->setMaxLength(maxLength);
    auto* label = new QLabel(QLatin1String(caption));
    label->setObjectName(QLatin1String(name) + QStringLiteral("_Label"));
    label->setBuddy(edit);
    const int row = grid->rowCount();
    grid->addWidget(label, row, 0);
    grid->addWidget(edit, row, 1);
    return edit;
}

void setDigitsOnly(QLineEdit* edit)
{
    // Typing can only produce digits; text set any other way still goes through the check.
    edit->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), edit));
}

// Copies at most `limit` characters into a fixed text field, zero-filled, always NUL-terminated.
template <std::size_t N> void copyField(char (&field)[N], const QString& text, std::size_t limit)
{
    static_assert(N > 1);
    const QByteArray bytes = text.toLatin1();
    const std::size_t n = std::min({std::size_t(bytes.size()), limit, N - 1});
    std::memset(field, 0, N);
    std::memcpy(field, bytes.constData(), n);
}

template <std::size_t N> QString fieldText(const char (&field)[N])
{
    return QString::fromLatin1(field, qsizetype(strnlen(field, N)));
}

AesKeyBytes currentKey(const Config_Record& config)
{
    AesKeyBytes key{};
    static_assert(sizeof config.DC9_AES_Key == std::tuple_size_v<AesKeyBytes>);
    std::memcpy(key.data(), config.DC9_AES_Key, key.size());
    return key;
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

TMain_Form::TMain_Form(const Context& context, QWidget* parent)
    : QMainWindow(parent), m_paths(context.paths), m_clock(context.clock), m_dialogs(context.dialogs),
      m_headless(context.headless), m_log(m_paths.dir, m_clock)
{
    setObjectName(QStringLiteral("Main_Form"));
    setWindowTitle(QStringLiteral("Ardentel"));
    setWindowFlags(Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);

    buildMenu();

    auto* central = new QWidget(this);
    auto* column = new QVBoxLayout(central);
    PageControl_Receiver = named(new PageControl(central), "PageControl_Receiver");
    TabSheet1 = buildReceiverPage();
    TabSheet_Mon_Software = buildMonitoringPage();
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

    RichEdit_Log = named(new QTextEdit(central), "RichEdit_Log");
    RichEdit_Log->setReadOnly(true);
    RichEdit_Log->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    RichEdit_Log->setFocusPolicy(Qt::StrongFocus);
    RichEdit_Log->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    RichEdit_Log->setLineWrapMode(QTextEdit::NoWrap);
    RichEdit_Log->setUndoRedoEnabled(false);
    RichEdit_Log->setMinimumHeight(200);
    RichEdit_Log->installEventFilter(this);
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

    m_logViewTimer = new QTimer(this);
    m_logViewTimer->setSingleShot(true);
    m_logViewTimer->setInterval(kLogViewDelayMillis);
    connect(m_logViewTimer, &QTimer::timeout, this, [this] { flushLogView(); });
    m_log.onLine = [this](const std::string& line, LogColour colour) { showLogLine(line, colour); };
    // The journal logs from the forwarding thread; a termination request cuts its error pause short.
    // Both go through the link, never through `this`: a thread that outlives the window must find
    // no window rather than a freed one.
    m_threadLink = std::make_shared<ThreadLink>();
    m_threadLink->form = this;
    const std::shared_ptr<ThreadLink> link = m_threadLink;
    const auto threadLog = [link] {
        return mainThreadLogSink(
            &link->context,
            [link](std::string_view text, LogColour colour) {
                if (link->form)
                    link->form->Write_System_Log(text, colour);
            },
            [link] {
                if (link->form)
                    link->form->m_dialogs.beep();
            });
    };
    auto pause = [link](int seconds) {
        if (Monitoring_Thread* thread = link->thread.load())
            thread->pause(seconds);
    };
    m_journal = std::make_unique<Journal>(Journal::Paths{m_paths.journal, m_paths.extended}, threadLog(),
                                          std::move(pause));
    m_accounts = std::make_unique<AccountTable>(m_paths.accounts);
    m_receiver = std::make_unique<Dc09Receiver>(m_config, *m_accounts, *m_journal, m_clock, threadSafeLog());

    // The output side. Its main-thread log also goes through the link: a serial send made on the
    // forwarding thread's behalf may come after the window has gone.
    m_outputShared = std::make_unique<OutputShared>();
    m_commPort = std::make_unique<TCommPort>(m_paths.dir);
    const LogSink mainLog = [link](std::string_view text, LogColour colour) {
        if (link->form)
            link->form->Write_System_Log(text, colour);
    };
    m_outputLink = std::make_unique<OutputLink>(m_config, *m_outputShared, *m_commPort, mainLog);
    MonitoringHooks hooks;
    hooks.log = threadLog();
    hooks.playNotify = [link] {
        runOnThreadOf(&link->context, [link] {
            if (link->form)
                link->form->playNotify();
        });
    };
    hooks.trace = [link](const std::string& line) {
        runOnThreadOf(&link->context, [link, &line] {
            if (link->form && link->form->Form_Log_Test)
                link->form->Form_Log_Test->appendTrace(
                    QString::fromLatin1(line.data(), qsizetype(line.size())));
        });
    };
    const OutputLink* settingsSource = m_outputLink.get();
    m_monitoring = std::make_unique<Monitoring_Thread>(
        *m_journal, *m_accounts, *m_outputShared, *m_outputLink, m_clock,
        [settingsSource] { return settingsSource->forwardingSettings(); }, std::move(hooks));
    m_threadLink->thread = m_monitoring.get();
    m_atRec = std::make_unique<AT_Rec_Thread>(*m_commPort, *m_outputShared, &link->context, mainLog, [link] {
        if (link->form)
            link->form->m_dialogs.beep();
    });
    wireReceiver();
    wireOutputLink();

    // A fixed-size window; the layout decides how big.
    adjustSize();
    setFixedSize(std::max(sizeHint().width(), 640), std::max(sizeHint().height(), 600));
}

TMain_Form::~TMain_Form()
{
    m_threadLink->form = nullptr;
    // A thread that outlived its close time still uses the stores, the port and the link: keep
    // them all (and, through the journal and the hooks, the thread link) rather than pull memory
    // from under it. The process is ending anyway.
    if ((m_monitoring && m_monitoring->isRunning()) || (m_atRec && m_atRec->isRunning())) {
        (void)m_monitoring.release();
        (void)m_atRec.release();
        (void)m_outputLink.release();
        (void)m_commPort.release();
        (void)m_outputShared.release();
        (void)m_accounts.release();
        (void)m_journal.release();
        return;
    }
    // The threads go first: everything below is theirs to use until they have ended.
    m_monitoring.reset();
    m_atRec.reset();
    m_outputLink.reset();
}

void TMain_Form::buildMenu()
{
    Meniu_Failas = named(new QAction(QStringLiteral("Events"), this), "Meniu_Failas");
    ViewSystemLogs1 = named(new QAction(QStringLiteral("System Log"), this), "ViewSystemLogs1");
    VirtualPortsTool1 = named(new QAction(QStringLiteral("Virtual Serial Ports"), this), "VirtualPortsTool1");
    Meniu_Log = named(new QAction(QStringLiteral("Data Log"), this), "Meniu_Log");
    Meniu_Log->setVisible(false);
    for (QAction* a : {Meniu_Failas, ViewSystemLogs1, VirtualPortsTool1, Meniu_Log})
        menuBar()->addAction(a);
    connect(Meniu_Failas, &QAction::triggered, this, [this] { Meniu_FailasClick(); });
    connect(ViewSystemLogs1, &QAction::triggered, this, [this] { ViewSystemLogs1Click(); });
    connect(VirtualPortsTool1, &QAction::triggered, this, [this] { VirtualPortsTool1Click(); });
    connect(Meniu_Log, &QAction::triggered, this, [this] { Meniu_LogClick(); });
}

QWidget* TMain_Form::buildReceiverPage()
{
    auto* page = named(new QWidget, "TabSheet1");
    auto* grid = new QGridLayout(page);

    auto* portBox = named(new QGroupBox(QStringLiteral("Receiver Port")), "GroupBox_Receiver_Port");
    auto* portGrid = new QGridLayout(portBox);
    CheckBox_DC9_Port_Enable = named(new QCheckBox(QStringLiteral("Open")), "CheckBox_DC9_Port_Enable");
    portGrid->addWidget(CheckBox_DC9_Port_Enable, 0, 0, 1, 2);
    LabeledEdit_DC9_Port = labeledEdit(portGrid, "LabeledEdit_DC9_Port", "Port: ", 5);
    setDigitsOnly(LabeledEdit_DC9_Port);

    auto* connBox =
        named(new QGroupBox(QStringLiteral("Connection Settings")), "GroupBox_Connection_Settings");
    auto* connGrid = new QGridLayout(connBox);
    LabeledEdit_DC9_Conn_Timeout =
        labeledEdit(connGrid, "LabeledEdit_DC9_Conn_Timeout", "Connection Timeout: ", 3);
    setDigitsOnly(LabeledEdit_DC9_Conn_Timeout);

    auto* addBox =
        named(new QGroupBox(QStringLiteral("Additional Settings")), "GroupBox_Additional_Settings");
    auto* addLayout = new QVBoxLayout(addBox);
    CheckBox_Time_Synch = named(new QCheckBox(QStringLiteral("Time Synchronization")), "CheckBox_Time_Synch");
    addLayout->addWidget(CheckBox_Time_Synch);

    auto* encBox = named(new QGroupBox(QStringLiteral("Encryption")), "GroupBox_Encryption");
    auto* encGrid = new QGridLayout(encBox);
    RadioButton_DC9_AES_Off = named(new QRadioButton(QStringLiteral("Off")), "RadioButton_DC9_AES_Off");
    RadioButton_DC9_AES_128 = named(new QRadioButton(QStringLiteral("AES 128")), "RadioButton_DC9_AES_128");
    RadioButton_DC9_AES_192 = named(new QRadioButton(QStringLiteral("AES 192")), "RadioButton_DC9_AES_192");
    RadioButton_DC9_AES_256 = named(new QRadioButton(QStringLiteral("AES 256")), "RadioButton_DC9_AES_256");
    m_aesModeGroup = new QButtonGroup(this);
    int mode = 0;
    for (QRadioButton* b : {RadioButton_DC9_AES_Off, RadioButton_DC9_AES_128, RadioButton_DC9_AES_192,
                            RadioButton_DC9_AES_256}) {
        m_aesModeGroup->addButton(b, mode);
        encGrid->addWidget(b, 0, mode++);
    }
    auto* keyLabel = new QLabel(QStringLiteral("Key: "));
    LabeledEdit_DC9_Encoding_Key = named(new QLineEdit, "LabeledEdit_DC9_Encoding_Key");
    keyLabel->setBuddy(LabeledEdit_DC9_Encoding_Key);
    CheckBox_Show_AES_Password = named(new QCheckBox(QStringLiteral("Show")), "CheckBox_Show_AES_Password");
    encGrid->addWidget(keyLabel, 1, 0);
    encGrid->addWidget(LabeledEdit_DC9_Encoding_Key, 1, 1, 1, 2);
    encGrid->addWidget(CheckBox_Show_AES_Password, 1, 3);
    RadioButton_Aes_Key_Text = named(new QRadioButton(QStringLiteral("Text")), "RadioButton_Aes_Key_Text");
    RadioButton_Aes_Key_Hex = named(new QRadioButton(QStringLiteral("Hex")), "RadioButton_Aes_Key_Hex");
    m_keyFormatGroup = new QButtonGroup(this);
    m_keyFormatGroup->addButton(RadioButton_Aes_Key_Text);
    m_keyFormatGroup->addButton(RadioButton_Aes_Key_Hex);
    RadioButton_Aes_Key_Text->setChecked(true); // not stored: every start begins with text entry
    encGrid->addWidget(new QLabel(QStringLiteral("Key Format:")), 2, 0);
    encGrid->addWidget(RadioButton_Aes_Key_Text, 2, 1);
    encGrid->addWidget(RadioButton_Aes_Key_Hex, 2, 2);
    // The key starts hidden: bold asterisks.
    QFont bold = LabeledEdit_DC9_Encoding_Key->font();
    bold.setBold(true);
    LabeledEdit_DC9_Encoding_Key->setFont(bold);
    LabeledEdit_DC9_Encoding_Key->setEchoMode(QLineEdit::Password);
    LabeledEdit_DC9_Encoding_Key->setStyleSheet(
        QStringLiteral("QLineEdit { lineedit-password-character: 42; }"));

    grid->addWidget(portBox, 0, 0);
    grid->addWidget(connBox, 1, 0);
    grid->addWidget(addBox, 2, 0);
    grid->addWidget(encBox, 0, 1, 3, 1);
    grid->setRowStretch(3, 1);

    connect(CheckBox_DC9_Port_Enable, &QCheckBox::clicked, this, [this] { CheckBox_DC9_Port_EnableClick(); });
    connect(CheckBox_Time_Synch, &QCheckBox::clicked, this, [this] { CheckBox_Time_SynchClick(); });
    connect(LabeledEdit_DC9_Port, &QLineEdit::textEdited, this, [this] { LabeledEdit_DC9_PortChange(); });
    connect(LabeledEdit_DC9_Conn_Timeout, &QLineEdit::textEdited, this,
            [this] { LabeledEdit_DC9_Conn_TimeoutChange(); });
    // Only the operator's own typing writes the key: the refresh puts the key into the field in
    // the other format, and reading that back would lose bytes after a zero byte.
    connect(LabeledEdit_DC9_Encoding_Key, &QLineEdit::textEdited, this,
            [this] { LabeledEdit_DC9_Encoding_KeyChange(); });
    connect(RadioButton_DC9_AES_Off, &QRadioButton::clicked, this,
            [this] { RadioButton_DC9_AES_OffClick(); });
    connect(RadioButton_DC9_AES_128, &QRadioButton::clicked, this,
            [this] { RadioButton_DC9_AES_128Click(); });
    connect(RadioButton_DC9_AES_192, &QRadioButton::clicked, this,
            [this] { RadioButton_DC9_AES_192Click(); });
    connect(RadioButton_DC9_AES_256, &QRadioButton::clicked, this,
            [this] { RadioButton_DC9_AES_256Click(); });
    connect(RadioButton_Aes_Key_Text, &QRadioButton::clicked, this,
            [this] { RadioButton_Aes_Key_TextClick(); });
    connect(RadioButton_Aes_Key_Hex, &QRadioButton::clicked, this,
            [this] { RadioButton_Aes_Key_HexClick(); });
    connect(CheckBox_Show_AES_Password, &QCheckBox::clicked, this,
            [this] { CheckBox_Show_AES_PasswordClick(); });
    return page;
}

QWidget* TMain_Form::buildMonitoringPage()
{
    auto* page = named(new QWidget, "TabSheet_Mon_Software");
    auto* grid = new QGridLayout(page);

    auto* commBox = named(new QGroupBox(QStringLiteral("Communication Port")), "GroupBox_Communication_Port");
    auto* commLayout = new QHBoxLayout(commBox);

    auto* tcpBox = named(new QGroupBox(QStringLiteral("TCP/IP")), "GroupBox_TCP_IP");
    auto* tcpGrid = new QGridLayout(tcpBox);
    CheckBox_Mon_Port_Open_TCP = named(new QCheckBox(QStringLiteral("Open")), "CheckBox_Mon_Port_Open_TCP");
    tcpGrid->addWidget(CheckBox_Mon_Port_Open_TCP, 0, 0, 1, 2);
    RadioButton_Mon_Server = named(new QRadioButton(QStringLiteral("Server mode")), "RadioButton_Mon_Server");
    RadioButton_Mon_Client = named(new QRadioButton(QStringLiteral("Client mode")), "RadioButton_Mon_Client");
    m_monModeGroup = new QButtonGroup(this);
    m_monModeGroup->addButton(RadioButton_Mon_Server);
    m_monModeGroup->addButton(RadioButton_Mon_Client);
    tcpGrid->addWidget(RadioButton_Mon_Server, 1, 0, 1, 2);
    tcpGrid->addWidget(RadioButton_Mon_Client, 2, 0, 1, 2);
    LabeledEdit_Mon_Port = labeledEdit(tcpGrid, "LabeledEdit_Mon_Port", "Port: ", 5);
    setDigitsOnly(LabeledEdit_Mon_Port);
    LabeledEdit_Out_IP = labeledEdit(tcpGrid, "LabeledEdit_Out_IP", "IP: ", 15);

    auto* serialBox = named(new QGroupBox(QStringLiteral("Serial")), "GroupBox_Serial");
    auto* serialGrid = new QGridLayout(serialBox);
    CheckBox_Mon_Port_Open_Serial =
        named(new QCheckBox(QStringLiteral("Open")), "CheckBox_Mon_Port_Open_Serial");
    serialGrid->addWidget(CheckBox_Mon_Port_Open_Serial, 0, 0, 1, 2);
    ComboBox_COM_Nr = named(new QComboBox, "ComboBox_COM_Nr");
    ComboBox_COM_Nr->setEditable(true);
    ComboBox_COM_Nr->addItem(QStringLiteral("COM1"));
    ComboBox_COM_Nr->lineEdit()->setMaxLength(5);
    auto* comLabel = new QLabel(QStringLiteral("Port:"));
    comLabel->setBuddy(ComboBox_COM_Nr);
    serialGrid->addWidget(comLabel, 1, 0);
    serialGrid->addWidget(ComboBox_COM_Nr, 1, 1);
    Button_Com_Settings = named(new QPushButton(QStringLiteral("Settings")), "Button_Com_Settings");
    serialGrid->addWidget(Button_Com_Settings, 2, 0, 1, 2);
    serialGrid->setRowStretch(3, 1);

    commLayout->addWidget(tcpBox);
    commLayout->addWidget(serialBox);

    auto* hbBox = named(new QGroupBox(QStringLiteral("Supervisory Heartbeat Signal")), "GroupBox_Heartbeat");
    auto* hbGrid = new QGridLayout(hbBox);
    LabeledEdit_Test_Heartbeat_Period =
        labeledEdit(hbGrid, "LabeledEdit_Test_Heartbeat_Period", "Sending Period: ", 3);
    setDigitsOnly(LabeledEdit_Test_Heartbeat_Period);
    LabeledEdit_Test_Rec_Nr = labeledEdit(hbGrid, "LabeledEdit_Test_Rec_Nr", "Receiver Number: ", 6);
    setDigitsOnly(LabeledEdit_Test_Rec_Nr);

    auto* fmtBox = named(new QGroupBox(QStringLiteral("Report Format")), "GroupBox_Report_Format");
    auto* fmtLayout = new QVBoxLayout(fmtBox);
    ComboBox1 = named(new QComboBox, "ComboBox1");
    ComboBox1->addItems({QStringLiteral("SG MLR2-DG"), QStringLiteral("SG MLR2000")});
    fmtLayout->addWidget(ComboBox1);

    grid->addWidget(commBox, 0, 0, 2, 1);
    grid->addWidget(hbBox, 0, 1);
    grid->addWidget(fmtBox, 1, 1);
    grid->setRowStretch(2, 1);

    connect(CheckBox_Mon_Port_Open_TCP, &QCheckBox::clicked, this,
            [this] { CheckBox_Mon_Port_Open_TCPClick(); });
    connect(CheckBox_Mon_Port_Open_Serial, &QCheckBox::clicked, this,
            [this] { CheckBox_Mon_Port_Open_SerialClick(); });
    connect(RadioButton_Mon_Server, &QRadioButton::clicked, this, [this] { RadioButton_Mon_ServerClick(); });
    connect(RadioButton_Mon_Client, &QRadioButton::clicked, this, [this] { RadioButton_Mon_ClientClick(); });
    connect(LabeledEdit_Mon_Port, &QLineEdit::textEdited, this, [this] { LabeledEdit_Mon_PortChange(); });
    connect(LabeledEdit_Out_IP, &QLineEdit::textEdited, this, [this] { LabeledEdit_Out_IPChange(); });
    connect(LabeledEdit_Test_Heartbeat_Period, &QLineEdit::textEdited, this,
            [this] { LabeledEdit_Test_Heartbeat_PeriodChange(); });
    connect(LabeledEdit_Test_Rec_Nr, &QLineEdit::textEdited, this,
            [this] { LabeledEdit_Test_Rec_NrChange(); });
    connect(ComboBox1, &QComboBox::activated, this, [this] { ComboBox1Change(); });
    connect(ComboBox_COM_Nr->lineEdit(), &QLineEdit::textEdited, this, [this] { ComboBox_COM_NrChange(); });
    connect(ComboBox_COM_Nr, &QComboBox::textActivated, this, [this] { ComboBox_COM_NrChange(); });
    return page;
}

void TMain_Form::buildSaveGlyph()
{
    QIcon glyph;
    glyph.addPixmap(saveImage(QColor(0, 0, 128), QColor(230, 230, 230)), QIcon::Normal);
    glyph.addPixmap(saveImage(QColor(160, 160, 160), QColor(220, 220, 220)), QIcon::Disabled);
    BitBtn_Save->setIcon(glyph);
    BitBtn_Save->setIconSize(QSize(24, 24));
}

void TMain_Form::wireReceiver()
{
    Dc09Receiver& r = *m_receiver;
    connect(&r, &Dc09Receiver::statusText, this,
            [this](const QString& text) { setStatusPanelText(0, text); });
    connect(&r, &Dc09Receiver::beepRequested, this, [this] { m_dialogs.beep(); });
    connect(&r, &Dc09Receiver::traceLine, this, [this](const QString& line) {
        if (Form_Log_Test)
            Form_Log_Test->appendTrace(line);
    });
    r.setLogViewVisible(false);
    connect(LabeledEdit_DC9_Port, &QLineEdit::textChanged, &r, &Dc09Receiver::setPortText);
}

void TMain_Form::wireOutputLink()
{
    OutputLink& o = *m_outputLink;
    connect(&o, &OutputLink::statusText, this, [this](const QString& text) { setStatusPanelText(1, text); });
    connect(&o, &OutputLink::beepRequested, this, [this] { m_dialogs.beep(); });
    connect(&o, &OutputLink::notifyRequested, this, [this] { playNotify(); });
    connect(&o, &OutputLink::serialOpenFailed, this, [this](const QString& text) {
        m_config.Mon_Port_Open = 0;
        Refresh_Mon_Out();
        // Shown from the event loop, not inside the link's tick.
        QMetaObject::invokeMethod(
            this,
            [this, text] {
                (void)m_dialogs.ask(this, windowTitle(), text, Dialogs::Buttons::Ok,
                                    Dialogs::Icon::Exclamation);
            },
            Qt::QueuedConnection);
    });
    connect(&o, &OutputLink::traceLine, this, [this](const QString& line) {
        if (Form_Log_Test)
            Form_Log_Test->appendTrace(line);
    });
    const std::shared_ptr<ThreadLink> link = m_threadLink;
    o.wallNow = [link] { return link->form ? link->form->m_clock.wallNow() : WallTime{}; };
    Monitoring_Thread* forwarding = m_monitoring.get();
    o.monitoringThread = WatchedThread{[forwarding] { return forwarding->isRunning(); },
                                       [forwarding] { forwarding->requestTerminate(); },
                                       [forwarding] { forwarding->start(); }};
    AT_Rec_Thread* serial = m_atRec.get();
    o.serialThread = WatchedThread{[serial] { return serial->isRunning(); },
                                   [serial] { serial->requestTerminate(); }, [serial] { serial->start(); }};
}

void TMain_Form::playNotify()
{
    // A service has nobody to hear it.
    if (m_headless)
        return;
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
    if (m_created)
        return;
    m_created = true;
    // The single-instance test and the file paths are settled by the caller before the window
    // exists. The files are read (or created) in the order kalvor.dat, kalvor.cfg, extevn.dat,
    // latevn.dat; the account load also turns minutes into seconds.
    m_journal->loadJournalFile();
    (void)loadConfig(m_paths.config, m_config); // a missing or unreadable file leaves defaults or zeros
    m_journal->loadExtendedFile();
    m_accounts->load();
    buildSaveGlyph();
    m_receiver->start();
    // Its first tick, two seconds from now, starts the forwarding thread (which also writes the
    // journal files) and the serial receive thread.
    m_outputLink->start();
    Refresh_Receiver();
    Refresh_Mon_Out();
}

void TMain_Form::createSecondaryWindows()
{
    // Order of creation: events, serial settings, system log, object list, data log.
    Form_Log = new TForm_Log(
        [this] {
            if (!m_log.currentFileName().empty())
                return m_log.currentFileName();
            const std::tm now = localTimeOf(m_clock.wallNow().seconds);
            return m_paths.logFile(now.tm_year + 1900, now.tm_mon + 1);
        },
        m_dialogs, this);
    Form_Log_Test = new TForm_Log_Test(m_dialogs, this);
    Form_Log_Test->installEventFilter(this);
}

void TMain_Form::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    m_receiver->setLogViewVisible(true);
}

void TMain_Form::closeEvent(QCloseEvent* event)
{
    FormClose();
    if (Form_Log)
        Form_Log->close();
    if (Form_Log_Test)
        Form_Log_Test->close();
    event->accept();
    QCoreApplication::quit();
}

void TMain_Form::FormClose()
{
    if (m_closed)
        return;
    m_closed = true;
    m_receiver->stopTimer();
    m_outputLink->stopTimer();
    m_receiver->deactivate();
    m_outputLink->deactivate();
    if (Check_Settings_Changed()) {
        const auto answer = m_dialogs.ask(this, windowTitle(), QStringLiteral("Save current settings?"),
                                          Dialogs::Buttons::YesNo, Dialogs::Icon::Question);
        if (answer == Dialogs::Answer::Yes) {
            const ConfigFileResult saved = Save_Settings(m_paths.config, m_config);
            if (!saved.ok())
                m_dialogs.error(this, windowTitle(),
                                QStringLiteral("The settings could not be saved to %1: %2")
                                    .arg(QString::fromStdString(m_paths.config),
                                         QString::fromLocal8Bit(std::strerror(saved.osError))));
        }
    }
    waitForMonitoringThread();
    waitForSerialThread();
    // Normally deactivate() has closed it already; it is closed here at the latest, once nothing
    // polls or writes it any more.
    if (!m_atRec->isRunning() && !m_monitoring->isRunning() && m_commPort->isOpen()) {
        try {
            m_commPort->Close();
        } catch (const ECommError&) {
            // It counts as closed all the same, and the process is ending.
        }
    }
    Write_System_Log("Program closed", LogColour::Black);
}

void TMain_Form::waitForSerialThread()
{
    if (!m_atRec)
        return;
    m_atRec->requestTerminate();
    // Its poll steps run on this thread: the wait keeps serving them.
    if (m_atRec->isRunning())
        (void)m_atRec->waitForEnd(kThreadStopMillis);
    if (m_atRec->isRunning())
        Write_System_Log("The serial receive thread did not stop in time.", LogColour::Red);
}

void TMain_Form::waitForMonitoringThread()
{
    if (!m_monitoring)
        return;
    // Asked even when it is not running, so an error in the last pass below does not hold the
    // close in a 5-second pause.
    m_monitoring->requestTerminate();
    if (m_monitoring->isRunning()) {
        // The thread hands log lines to this thread and waits for them: the wait keeps serving it.
        (void)m_monitoring->waitForEnd(kThreadStopMillis);
    }
    if (m_monitoring->isRunning()) {
        Write_System_Log("The journal thread did not stop in time; unsaved events stay in memory only.",
                         LogColour::Red);
        return;
    }
    // Events acknowledged to a panel after the thread's last pass would otherwise never reach the files.
    m_journal->persistPass();
}

void TMain_Form::Write_System_Log(std::string_view text, LogColour colour)
{
    m_log.write(text, colour);
    // The line is in the file now: a shown "System Log" window follows it.
    if (Form_Log && Form_Log->isVisible()) {
        m_logFormStale = true;
        if (!m_logViewTimer->isActive())
            m_logViewTimer->start();
    }
}

LogSink TMain_Form::threadSafeLog()
{
    return mainThreadLogSink(
        this, [this](std::string_view text, LogColour colour) { Write_System_Log(text, colour); });
}

void TMain_Form::showLogLine(const std::string& line, LogColour colour)
{
    if (m_headless) {
        std::fprintf(stdout, "%s\n", line.c_str());
        std::fflush(stdout);
    }
    m_pendingLines.push_back({QString::fromLocal8Bit(line.data(), qsizetype(line.size())), colour});
    if (!m_logViewTimer->isActive())
        m_logViewTimer->start();
}

void TMain_Form::flushLogView()
{
    m_logViewTimer->stop();
    if (!m_pendingLines.empty()) {
        QTextDocument* doc = RichEdit_Log->document();
        QTextCursor cursor(doc);
        cursor.beginEditBlock();
        // Lines older than the view keeps would be removed again at once.
        const std::size_t skip =
            m_pendingLines.size() > std::size_t(kMaxLogLines) ? m_pendingLines.size() - kMaxLogLines : 0;
        for (std::size_t i = skip; i < m_pendingLines.size(); ++i) {
            QTextCharFormat format;
            format.setForeground(m_pendingLines[i].colour == LogColour::Red ? kLogRed : QColor(Qt::black));
            const bool empty = doc->isEmpty();
            cursor.movePosition(QTextCursor::Start);
            cursor.insertText(m_pendingLines[i].text, format);
            if (!empty)
                cursor.insertBlock();
        }
        if (doc->blockCount() > kMaxLogLines) {
            QTextCursor tail(doc->findBlockByNumber(kMaxLogLines));
            tail.movePosition(QTextCursor::PreviousCharacter);
            tail.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
            tail.removeSelectedText();
        }
        cursor.endEditBlock();
        m_pendingLines.clear();
        QTextCursor start(doc);
        start.movePosition(QTextCursor::Start);
        RichEdit_Log->setTextCursor(start);
    }
    if (m_logFormStale && Form_Log && Form_Log->isVisible())
        Form_Log->reload();
    m_logFormStale = false;
}

bool TMain_Form::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == Form_Log_Test && (event->type() == QEvent::Show || event->type() == QEvent::Hide)) {
        const bool shown = event->type() == QEvent::Show;
        m_receiver->setTraceEnabled(shown);
        m_outputLink->setTraceEnabled(shown);
    }
    if (watched == RichEdit_Log && event->type() == QEvent::KeyPress) {
        const QByteArray typed = static_cast<QKeyEvent*>(event)->text().toLatin1();
        for (char c : typed)
            RichEdit_LogKeyPress(c);
    }
    return QMainWindow::eventFilter(watched, event);
}

void TMain_Form::RichEdit_LogKeyPress(char key)
{
    if (m_keyRing.type(key) && !Meniu_Log->isVisible()) {
        Meniu_Log->setVisible(true);
        m_dialogs.beep();
    }
}

QString TMain_Form::statusPanelText(int panel) const
{
    return (panel == 0 || panel == 1) ? m_statusPanel[panel]->text() : QString();
}

void TMain_Form::setStatusPanelText(int panel, const QString& text)
{
    if (panel == 0 || panel == 1)
        m_statusPanel[panel]->setText(text);
}

void TMain_Form::TabSheet1Show()
{
    Refresh_Receiver();
}

void TMain_Form::TabSheet_Mon_SoftwareShow()
{
    Refresh_Mon_Out();
    // The list of serial ports is rebuilt here once the serial link exists.
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
    // The "Event List" window comes with the journal views.
}

void TMain_Form::Button1Click()
{
    // The "Object List" window comes with the account views.
}

void TMain_Form::VirtualPortsTool1Click()
{
    // The virtual serial port tool comes with the serial link.
}

bool TMain_Form::Check_Settings_Changed()
{
    const bool changed = ::Check_Settings_Changed(m_paths.config, m_config);
    BitBtn_Save->setEnabled(changed);
    return changed;
}

void TMain_Form::BitBtn_SaveClick()
{
    const auto answer = m_dialogs.ask(this, windowTitle(), QStringLiteral("Save current settings?"),
                                      Dialogs::Buttons::YesNo, Dialogs::Icon::Question);
    if (answer != Dialogs::Answer::Yes)
        return;
    const ConfigFileResult saved = Save_Settings(m_paths.config, m_config);
    if (!saved.ok())
        m_dialogs.error(this, windowTitle(),
                        QStringLiteral("The settings could not be saved to %1: %2")
                            .arg(QString::fromStdString(m_paths.config),
                                 QString::fromLocal8Bit(std::strerror(saved.osError))));
    Check_Settings_Changed();
}

std::optional<std::int32_t> TMain_Form::readNumber(QLineEdit* edit)
{
    const QString text = edit->text();
    if (text.isEmpty())
        return std::nullopt;
    const QByteArray bytes = text.toLatin1();
    const char* first = bytes.constData();
    const char* last = first + bytes.size();
    std::int32_t parsed = 0;
    const auto [end, ec] = std::from_chars(first, last, parsed, 10);
    if (ec != std::errc() || end != last) {
        m_dialogs.error(this, windowTitle(), QStringLiteral("'%1' is not a valid integer value.").arg(text));
        return std::nullopt;
    }
    return parsed;
}

void TMain_Form::Refresh_Receiver()
{
    LabeledEdit_DC9_Port->setText(QString::number(m_config.DC9_Port));
    LabeledEdit_DC9_Conn_Timeout->setText(QString::number(m_config.DC9_Conn_Timeout));
    const bool open = m_config.DC9_Port_Enable != 0;
    CheckBox_DC9_Port_Enable->setChecked(open);
    // While the port is open the receiver settings cannot change under the panels.
    for (QWidget* w : std::initializer_list<QWidget*>{
             LabeledEdit_DC9_Port, LabeledEdit_DC9_Conn_Timeout, LabeledEdit_DC9_Encoding_Key,
             RadioButton_DC9_AES_Off, RadioButton_DC9_AES_128, RadioButton_DC9_AES_192,
             RadioButton_DC9_AES_256, RadioButton_Aes_Key_Text, RadioButton_Aes_Key_Hex,
             CheckBox_Show_AES_Password, CheckBox_Time_Synch})
        w->setEnabled(!open);
    showKey();
    CheckBox_Time_Synch->setChecked(m_config.Time_Synch != 0);
    Check_Settings_Changed();
}

void TMain_Form::showKey()
{
    const int mode = m_config.DC9_AES_Mode;
    QRadioButton* modeButton = (mode >= 1 && mode <= 3)
                                   ? qobject_cast<QRadioButton*>(m_aesModeGroup->button(mode))
                                   : RadioButton_DC9_AES_Off;
    modeButton->setChecked(true);
    const KeyFormat format = RadioButton_Aes_Key_Hex->isChecked() ? KeyFormat::Hex : KeyFormat::Text;
    LabeledEdit_DC9_Encoding_Key->setMaxLength(int(keyMaxLength(m_config.DC9_AES_Mode, format)));
    const std::string shown = keyDisplayText(currentKey(m_config), m_config.DC9_AES_Mode, format);
    const QString text = QString::fromLatin1(shown.data(), qsizetype(shown.size()));
    // Never overwrite what the operator is typing.
    if (!LabeledEdit_DC9_Encoding_Key->hasFocus())
        LabeledEdit_DC9_Encoding_Key->setText(text);
}

void TMain_Form::CheckBox_DC9_Port_EnableClick()
{
    m_receiver->retrySoon();
    m_config.DC9_Port_Enable = CheckBox_DC9_Port_Enable->isChecked() ? 1 : 0;
    Refresh_Receiver();
}

void TMain_Form::LabeledEdit_DC9_PortChange()
{
    if (const auto v = readNumber(LabeledEdit_DC9_Port))
        m_config.DC9_Port = *v;
    Check_Settings_Changed();
}

void TMain_Form::LabeledEdit_DC9_Conn_TimeoutChange()
{
    if (const auto v = readNumber(LabeledEdit_DC9_Conn_Timeout))
        m_config.DC9_Conn_Timeout = *v;
    Check_Settings_Changed();
}

void TMain_Form::CheckBox_Time_SynchClick()
{
    m_config.Time_Synch = CheckBox_Time_Synch->isChecked() ? 1 : 0;
    Refresh_Receiver();
}

void TMain_Form::LabeledEdit_DC9_Encoding_KeyChange()
{
    const KeyFormat format = RadioButton_Aes_Key_Hex->isChecked() ? KeyFormat::Hex : KeyFormat::Text;
    const QByteArray text = LabeledEdit_DC9_Encoding_Key->text().toLatin1();
    const KeyEntryResult r = applyKeyEntry(currentKey(m_config), m_config.DC9_AES_Mode, format,
                                           std::string_view(text.constData(), std::size_t(text.size())));
    std::memcpy(m_config.DC9_AES_Key, r.key.data(), sizeof m_config.DC9_AES_Key);
    if (r.textCut) {
        LabeledEdit_DC9_Encoding_Key->setText(QString::fromLatin1(r.text.data(), qsizetype(r.text.size())));
        LabeledEdit_DC9_Encoding_Key->setCursorPosition(int(r.text.size()));
    }
    if (r.beep)
        m_dialogs.beep();
    Check_Settings_Changed();
}

void TMain_Form::setAesMode(std::uint8_t mode)
{
    m_config.DC9_AES_Mode = mode;
    Refresh_Receiver();
}

void TMain_Form::RadioButton_DC9_AES_OffClick()
{
    setAesMode(0);
}

void TMain_Form::RadioButton_DC9_AES_128Click()
{
    setAesMode(1);
}

void TMain_Form::RadioButton_DC9_AES_192Click()
{
    setAesMode(2);
}

void TMain_Form::RadioButton_DC9_AES_256Click()
{
    setAesMode(3);
}

void TMain_Form::RadioButton_Aes_Key_TextClick()
{
    Refresh_Receiver();
}

void TMain_Form::RadioButton_Aes_Key_HexClick()
{
    Refresh_Receiver();
}

void TMain_Form::CheckBox_Show_AES_PasswordClick()
{
    const bool show = CheckBox_Show_AES_Password->isChecked();
    QFont f = LabeledEdit_DC9_Encoding_Key->font();
    f.setBold(!show);
    LabeledEdit_DC9_Encoding_Key->setFont(f);
    LabeledEdit_DC9_Encoding_Key->setEchoMode(show ? QLineEdit::Normal : QLineEdit::Password);
}

void TMain_Form::Refresh_Mon_Out()
{
    LabeledEdit_Mon_Port->setText(QString::number(m_config.Mon_Port));
    LabeledEdit_Test_Rec_Nr->setText(QString::number(m_config.Test_Rec_Nr));
    LabeledEdit_Out_IP->setText(fieldText(m_config.Out_IP));
    LabeledEdit_Test_Heartbeat_Period->setText(QString::number(m_config.Test_Heartbeat_Period));
    (m_config.Mon_Server != 0 ? RadioButton_Mon_Server : RadioButton_Mon_Client)->setChecked(true);
    if (m_config.Report_Format >= 0 && m_config.Report_Format < ComboBox1->count())
        ComboBox1->setCurrentIndex(m_config.Report_Format);
    else
        ComboBox1->setCurrentIndex(-1);
    if (m_config.COM_Nr[0] != 0 && !ComboBox_COM_Nr->lineEdit()->hasFocus())
        ComboBox_COM_Nr->setEditText(fieldText(m_config.COM_Nr));

    // While a link is chosen its settings stay as they are.
    const int link = m_config.Mon_Port_Open;
    CheckBox_Mon_Port_Open_TCP->setChecked(link == 1);
    CheckBox_Mon_Port_Open_TCP->setEnabled(link != 2);
    CheckBox_Mon_Port_Open_Serial->setChecked(link == 2);
    CheckBox_Mon_Port_Open_Serial->setEnabled(link != 1);
    const bool free = link != 1 && link != 2;
    for (QWidget* w :
         std::initializer_list<QWidget*>{LabeledEdit_Mon_Port, RadioButton_Mon_Server, RadioButton_Mon_Client,
                                         ComboBox_COM_Nr, Button_Com_Settings})
        w->setEnabled(free);
    LabeledEdit_Out_IP->setEnabled(free && m_config.Mon_Server == 0);
    Check_Settings_Changed();
    m_outputLink->publishSettings();
}

void TMain_Form::CheckBox_Mon_Port_Open_TCPClick()
{
    m_config.Mon_Port_Open = CheckBox_Mon_Port_Open_TCP->isChecked() ? 1 : 0;
    m_outputLink->openSoon();
    Refresh_Mon_Out();
}

void TMain_Form::CheckBox_Mon_Port_Open_SerialClick()
{
    m_config.Mon_Port_Open = CheckBox_Mon_Port_Open_Serial->isChecked() ? 2 : 0;
    m_outputLink->openSoon();
    Refresh_Mon_Out();
}

void TMain_Form::RadioButton_Mon_ServerClick()
{
    m_config.Mon_Server = 1;
    Refresh_Mon_Out();
}

void TMain_Form::RadioButton_Mon_ClientClick()
{
    m_config.Mon_Server = 0;
    Refresh_Mon_Out();
}

void TMain_Form::LabeledEdit_Mon_PortChange()
{
    if (const auto v = readNumber(LabeledEdit_Mon_Port))
        m_config.Mon_Port = *v;
    Check_Settings_Changed();
}

void TMain_Form::LabeledEdit_Out_IPChange()
{
    copyField(m_config.Out_IP, LabeledEdit_Out_IP->text(), 15);
    Check_Settings_Changed();
}

void TMain_Form::LabeledEdit_Test_Heartbeat_PeriodChange()
{
    if (const auto v = readNumber(LabeledEdit_Test_Heartbeat_Period))
        m_config.Test_Heartbeat_Period = *v;
    Check_Settings_Changed();
    m_outputLink->publishSettings();
}

void TMain_Form::LabeledEdit_Test_Rec_NrChange()
{
    if (const auto v = readNumber(LabeledEdit_Test_Rec_Nr))
        m_config.Test_Rec_Nr = std::int8_t(std::uint8_t(*v & 0xFF)); // one byte on disk: the low 8 bits
    Check_Settings_Changed();
    m_outputLink->publishSettings();
}

void TMain_Form::ComboBox1Change()
{
    m_config.Report_Format = std::int8_t(ComboBox1->currentIndex());
    Check_Settings_Changed();
    m_outputLink->publishSettings();
}

void TMain_Form::ComboBox_COM_NrChange()
{
    copyField(m_config.COM_Nr, ComboBox_COM_Nr->currentText(), 5);
    Check_Settings_Changed();
}
