// "Serial Port Settings": the baud rate and the framing (8N1 or 7E1) of the serial output link;
// data bits, stop bits, parity and flow control follow from the framing and are shown for information.
#pragma once

#include "config/ConfigRecord.h"

#include <QDialog>

class Dialogs;
class QComboBox;
class QLineEdit;
class QPushButton;

class TForm_Com_Settings : public QDialog {
    Q_OBJECT
public:
    TForm_Com_Settings(Config_Record& config, Dialogs& dialogs, QWidget* parent = nullptr);

    // The page's refresh: the eight rates again, COM_Baud and COM_Framing shown, and both lists
    // locked while a link is chosen (an open port is not reconfigured).
    void refreshBaudList(bool locked);

    void ComboBox_COM_BaudChange();
    void ComboBox_COM_FramingChange();
    void Button1Click();

    QComboBox* ComboBox_COM_Baud = nullptr;
    QComboBox* ComboBox_COM_Framing = nullptr; // "8N1", "7E1": the item index is COM_Framing
    QLineEdit* Edit1 = nullptr;                // data bits
    QLineEdit* Edit2 = nullptr;                // stop bits
    QLineEdit* Edit3 = nullptr;                // parity
    QLineEdit* Edit4 = nullptr;                // flow control
    QPushButton* Button1 = nullptr;

signals:
    void settingsEdited(); // COM_Baud or COM_Framing may have changed: Check_Settings_Changed

protected:
    void showEvent(QShowEvent* event) override;

private:
    void showFraming();

    Config_Record& m_config;
    Dialogs& m_dialogs;
};
