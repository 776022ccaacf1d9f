// Layout and handlers of the "Automation Software Interface" page.
#include "ui/MonitoringPage.h"

#include "ui/ComSettingsForm.h"
#include "ui/Dialogs.h"
#include "ui/FormHelpers.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

using forms::named;

MonitoringPage::MonitoringPage(Config_Record& config, Dialogs& dialogs, QWidget* parent)
    : QWidget(parent), m_config(config), m_dialogs(dialogs)
{
    setObjectName(QStringLiteral("TabSheet_Mon_Software"));
    auto* grid = new QGridLayout(this);

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
    LabeledEdit_Mon_Port = forms::labeledEdit(tcpGrid, "LabeledEdit_Mon_Port", "Port: ", 5);
    forms::setDigitsOnly(LabeledEdit_Mon_Port);
    forms::watchSettingField(LabeledEdit_Mon_Port, "Mon_Port", m_dialogs,
                             [this] { return m_config.Mon_Port; });
    LabeledEdit_Out_IP = forms::labeledEdit(tcpGrid, "LabeledEdit_Out_IP", "IP: ", 15);

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
        forms::labeledEdit(hbGrid, "LabeledEdit_Test_Heartbeat_Period", "Sending Period: ", 3);
    forms::setDigitsOnly(LabeledEdit_Test_Heartbeat_Period);
    forms::watchSettingField(LabeledEdit_Test_Heartbeat_Period, "Test_Heartbeat_Period", m_dialogs,
                             [this] { return m_config.Test_Heartbeat_Period; });
    LabeledEdit_Test_Rec_Nr = forms::labeledEdit(hbGrid, "LabeledEdit_Test_Rec_Nr", "Receiver Number: ", 6);
    forms::setDigitsOnly(LabeledEdit_Test_Rec_Nr);
    forms::watchSettingField(LabeledEdit_Test_Rec_Nr, "Test_Rec_Nr", m_dialogs,
                             [this] { return receiverNumber(m_config); });
    CheckBox_Test_Heartbeat_Length =
        named(new QCheckBox(QStringLiteral("20-character heartbeat")), "CheckBox_Test_Heartbeat_Length");
    hbGrid->addWidget(CheckBox_Test_Heartbeat_Length, hbGrid->rowCount(), 0, 1, 2);

    auto* fmtBox = named(new QGroupBox(QStringLiteral("Report Format")), "GroupBox_Report_Format");
    auto* fmtLayout = new QVBoxLayout(fmtBox);
    ComboBox1 = named(new QComboBox, "ComboBox1");
    ComboBox1->addItems({QStringLiteral("SG MLR2-DG"), QStringLiteral("SG MLR2000")});
    fmtLayout->addWidget(ComboBox1);
    CheckBox_Out_Account_Q_Lines =
        named(new QCheckBox(QStringLiteral("Q lines for accounts of 5 to 10 characters")),
              "CheckBox_Out_Account_Q_Lines");
    fmtLayout->addWidget(CheckBox_Out_Account_Q_Lines);

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
    connect(Button_Com_Settings, &QPushButton::clicked, this, [this] { Button_Com_SettingsClick(); });
    connect(CheckBox_Test_Heartbeat_Length, &QCheckBox::clicked, this,
            [this] { CheckBox_Test_Heartbeat_LengthClick(); });
    connect(CheckBox_Out_Account_Q_Lines, &QCheckBox::clicked, this,
            [this] { CheckBox_Out_Account_Q_LinesClick(); });
}

void MonitoringPage::Refresh_Mon_Out()
{
    LabeledEdit_Mon_Port->setText(QString::number(m_config.Mon_Port));
    LabeledEdit_Test_Rec_Nr->setText(QString::number(receiverNumber(m_config)));
    LabeledEdit_Out_IP->setText(forms::fieldText(m_config.Out_IP));
    LabeledEdit_Test_Heartbeat_Period->setText(QString::number(m_config.Test_Heartbeat_Period));
    // Shown as it is sent: a byte the sender does not know means 22.
    CheckBox_Test_Heartbeat_Length->setChecked(heartbeatLength(m_config) == kShortHeartbeatLength);
    CheckBox_Out_Account_Q_Lines->setChecked(m_config.Out_Account_Q_Lines != 0);
    (m_config.Mon_Server != 0 ? RadioButton_Mon_Server : RadioButton_Mon_Client)->setChecked(true);
    if (m_config.Report_Format >= 0 && m_config.Report_Format < ComboBox1->count())
        ComboBox1->setCurrentIndex(m_config.Report_Format);
    else
        ComboBox1->setCurrentIndex(-1);
    if (m_config.COM_Nr[0] != 0 && !ComboBox_COM_Nr->lineEdit()->hasFocus())
        ComboBox_COM_Nr->setEditText(forms::fieldText(m_config.COM_Nr));

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
    if (m_comSettings)
        m_comSettings->refreshBaudList(!free);
    emit settingsEdited();
    emit outputSettingsChanged();
}

void MonitoringPage::switchLink(int kind, bool on)
{
    m_config.Mon_Port_Open = std::int8_t(on ? kind : 0);
    emit outputLinkToggled();
    Refresh_Mon_Out();
}

void MonitoringPage::CheckBox_Mon_Port_Open_TCPClick()
{
    switchLink(1, CheckBox_Mon_Port_Open_TCP->isChecked());
}

void MonitoringPage::CheckBox_Mon_Port_Open_SerialClick()
{
    switchLink(2, CheckBox_Mon_Port_Open_Serial->isChecked());
}

void MonitoringPage::RadioButton_Mon_ServerClick()
{
    m_config.Mon_Server = 1;
    Refresh_Mon_Out();
}

void MonitoringPage::RadioButton_Mon_ClientClick()
{
    m_config.Mon_Server = 0;
    Refresh_Mon_Out();
}

void MonitoringPage::LabeledEdit_Mon_PortChange()
{
    if (const auto v = forms::readSetting(LabeledEdit_Mon_Port, "Mon_Port", m_dialogs, this))
        m_config.Mon_Port = *v;
    emit settingsEdited();
}

void MonitoringPage::LabeledEdit_Out_IPChange()
{
    forms::copyField(m_config.Out_IP, LabeledEdit_Out_IP->text(), 15);
    emit settingsEdited();
}

void MonitoringPage::LabeledEdit_Test_Heartbeat_PeriodChange()
{
    if (const auto v =
            forms::readSetting(LabeledEdit_Test_Heartbeat_Period, "Test_Heartbeat_Period", m_dialogs, this))
        m_config.Test_Heartbeat_Period = *v;
    emit settingsEdited();
    emit outputSettingsChanged();
}

void MonitoringPage::LabeledEdit_Test_Rec_NrChange()
{
    if (const auto v = forms::readSetting(LabeledEdit_Test_Rec_Nr, "Test_Rec_Nr", m_dialogs, this))
        m_config.Test_Rec_Nr = std::int8_t(*v);
    emit settingsEdited();
    emit outputSettingsChanged();
}

void MonitoringPage::ComboBox1Change()
{
    m_config.Report_Format = std::int8_t(ComboBox1->currentIndex());
    emit settingsEdited();
    emit outputSettingsChanged();
}

void MonitoringPage::CheckBox_Test_Heartbeat_LengthClick()
{
    // Not locked with the link: the forwarding thread takes it with its next heartbeat.
    m_config.Test_Heartbeat_Length =
        CheckBox_Test_Heartbeat_Length->isChecked() ? std::uint8_t(kShortHeartbeatLength) : 0;
    Refresh_Mon_Out();
}

void MonitoringPage::CheckBox_Out_Account_Q_LinesClick()
{
    // Not locked with the link either: the next report line follows it.
    m_config.Out_Account_Q_Lines = CheckBox_Out_Account_Q_Lines->isChecked() ? 1 : 0;
    Refresh_Mon_Out();
}

void MonitoringPage::ComboBox_COM_NrChange()
{
    forms::copyField(m_config.COM_Nr, ComboBox_COM_Nr->currentText(), 5);
    emit settingsEdited();
}

void MonitoringPage::Com_Ports_AvailableExecute()
{
    const QString configured = forms::fieldText(m_config.COM_Nr);
    if (m_serialPortOpen && m_serialPortOpen()) {
        ComboBox_COM_Nr->setEditText(configured);
        return;
    }
    const std::vector<std::string> names = comports::usablePorts(m_portLookup);
    const comports::Selection chosen = comports::choose(names, configured.toStdString());
    ComboBox_COM_Nr->clear();
    for (const std::string& name : names)
        ComboBox_COM_Nr->addItem(QString::fromStdString(name));
    const QString now = QString::fromStdString(chosen.configured);
    if (now != configured)
        forms::copyField(m_config.COM_Nr, now, 5);
    if (chosen.index < names.size()) {
        ComboBox_COM_Nr->setCurrentIndex(int(chosen.index));
    } else {
        // Not listed (missing, or in use): nothing is selected, and the box still says what is configured.
        ComboBox_COM_Nr->setCurrentIndex(-1);
        ComboBox_COM_Nr->setEditText(now);
    }
    if (now != configured)
        emit settingsEdited();
}

void MonitoringPage::Button_Com_SettingsClick()
{
    if (!m_comSettings)
        return;
    m_comSettings->show();
    m_comSettings->raise();
}
