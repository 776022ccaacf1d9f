// "Serial Port Settings": the baud rate of the serial output link; data bits, stop bits, parity
// and flow control are fixed and shown for information.
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

    // The page's refresh: the eight rates again, COM_Baud shown, and the list locked while a link is chosen.
    void refreshBaudList(bool locked);

    void ComboBox_COM_BaudChange();
    void Button1Click();

    QComboBox* ComboBox_COM_Baud = nullptr;
    QLineEdit* Edit1 = nullptr; // data bits
    QLineEdit* Edit2 = nullptr; // stop bits
    QLineEdit* Edit3 = nullptr; // parity
    QLineEdit* Edit4 = nullptr; // flow control
    QPushButton* Button1 = nullptr;

signals:
    void settingsEdited(); // COM_Baud may have changed: Check_Settings_Changed

protected:
    void showEvent(QShowEvent* event) override;

private:
    Config_Record& m_config;
    Dialogs& m_dialogs;
};
