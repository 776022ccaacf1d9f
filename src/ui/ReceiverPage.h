// The "DC-09 Receiver" page: receiver port (TCP, and UDP beside it), connection time-out, time
// synchronisation, the encryption key, how repeats and time stamps are handled, and the field quirks
// of some panel families. Each control writes its field of the settings record at once.
#pragma once

#include "config/ConfigRecord.h"

#include <QWidget>
#include <cstdint>
#include <vector>

class Dialogs;
class QButtonGroup;
class QCheckBox;
class QLineEdit;
class QRadioButton;

class ReceiverPage : public QWidget {
    Q_OBJECT
public:
    ReceiverPage(Config_Record& config, Dialogs& dialogs, QWidget* parent = nullptr);

    // Refresh_Receiver: every field into its control; while the port is open its settings are locked.
    void Refresh_Receiver();

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
    void CheckBox_DC9_UDPClick();
    // The boxes of one byte each (repeats, UTC, the quirks): ticked stores 1, cleared 0.
    void flagBoxClick(QCheckBox* box);

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
    QCheckBox* CheckBox_DC9_UDP = nullptr;
    QCheckBox* CheckBox_DC9_Store_Repeats = nullptr; // ticked: every copy stored
    QCheckBox* CheckBox_DC9_Time_UTC = nullptr;
    QCheckBox* CheckBox_DC9_SIA_DCS = nullptr; // ticked: "SIA-DCS" messages taken
    QCheckBox* CheckBox_DC9_Quirk_Lower_Hex = nullptr;
    QCheckBox* CheckBox_DC9_Quirk_CRC_CR = nullptr;
    QCheckBox* CheckBox_DC9_Quirk_Binary_CRC = nullptr;

signals:
    void settingsEdited();                     // a field may have changed: Check_Settings_Changed
    void portEnableClicked();                  // the receiver tries its port again at the next second
                                               // ("Open" and "UDP" alike)
    void portTextChanged(const QString& text); // the port as shown, for the receiver's closing line

private:
    void showKey();
    [[nodiscard]] QString shownKeyText() const;
    // A hex key shorter than its mode needs shows red: it is no whole key yet.
    void markShortHexKey();
    void setAesMode(std::uint8_t mode);

    Config_Record& m_config;
    Dialogs& m_dialogs;
    QButtonGroup* m_aesModeGroup = nullptr;
    QButtonGroup* m_keyFormatGroup = nullptr;
    // The operator chose "Text" for the key: shown so even where text cannot show every byte.
    bool m_textChosen = false;
    // Each box of one byte with the byte it edits; UDP is one of them.
    struct FlagBox {
        QCheckBox* box;
        std::uint8_t Config_Record::*field;
    };
    std::vector<FlagBox> m_flagBoxes;
};
