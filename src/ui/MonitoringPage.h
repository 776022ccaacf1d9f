// The "Automation Software Interface" page: the output link (TCP server or client, or the serial
// port), the supervisory heartbeat and the report format. Each control writes its field at once.
#pragma once

#include "config/ConfigRecord.h"
#include "serial/ComPorts.h"

#include <QWidget>
#include <functional>

class Dialogs;
class QButtonGroup;
class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;
class QRadioButton;
class TForm_Com_Settings;

class MonitoringPage : public QWidget {
    Q_OBJECT
public:
    MonitoringPage(Config_Record& config, Dialogs& dialogs, QWidget* parent = nullptr);

    // The serial settings dialog that "Settings" opens and the refresh fills.
    void setComSettingsForm(TForm_Com_Settings* form) { m_comSettings = form; }
    // Where the serial ports are looked for, and whether the link's own port is open now.
    void setPortLookup(comports::Lookup lookup) { m_portLookup = std::move(lookup); }
    void setSerialPortOpen(std::function<bool()> isOpen) { m_serialPortOpen = std::move(isOpen); }

    // Refresh_Mon_Out: every field into its control; while a link is chosen its settings are locked.
    void Refresh_Mon_Out();
    // Com_Ports_AvailableExecute: the list of usable ports COM1..COM64 anew, unless the link's port
    // is open (probing would find it in use); an empty COM_Nr becomes the first usable port.
    void Com_Ports_AvailableExecute();
    void Button_Com_SettingsClick();

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
    void CheckBox_Test_Heartbeat_LengthClick();
    void CheckBox_Out_Account_Q_LinesClick();

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
    QCheckBox* CheckBox_Test_Heartbeat_Length = nullptr; // ticked: the 20-character heartbeat
    QComboBox* ComboBox1 = nullptr;
    QCheckBox* CheckBox_Out_Account_Q_Lines = nullptr; // ticked: accounts of 5 to 10 characters on Q lines

signals:
    void settingsEdited();        // a field may have changed: Check_Settings_Changed
    void outputLinkToggled();     // an "Open" box: the link acts at its next tick, within 500 ms
    void outputSettingsChanged(); // what the forwarding thread reads may have changed

private:
    void switchLink(int kind, bool on);

    Config_Record& m_config;
    Dialogs& m_dialogs;
    QButtonGroup* m_monModeGroup = nullptr;
    TForm_Com_Settings* m_comSettings = nullptr;
    comports::Lookup m_portLookup;
    std::function<bool()> m_serialPortOpen;
};
