// The "Automation Software Interface" page: the output link (TCP server or client, or the serial
// port), the supervisory heartbeat and the report format. Each control writes its field at once.
#pragma once

#include "config/ConfigRecord.h"

#include <QWidget>

class Dialogs;
class QButtonGroup;
class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;
class QRadioButton;

class MonitoringPage : public QWidget {
    Q_OBJECT
public:
    MonitoringPage(Config_Record& config, Dialogs& dialogs, QWidget* parent = nullptr);

    // Refresh_Mon_Out: every field into its control; while a link is chosen its settings are locked.
    void Refresh_Mon_Out();

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

signals:
    void settingsEdited();        // a field may have changed: Check_Settings_Changed
    void outputLinkToggled();     // an "Open" box: the link acts at its next tick, within 500 ms
    void outputSettingsChanged(); // what the forwarding thread reads may have changed

private:
    void switchLink(int kind, bool on);

    Config_Record& m_config;
    Dialogs& m_dialogs;
    QButtonGroup* m_monModeGroup = nullptr;
};
