// The "Account Keys" window: which accounts have keys of their own (AES size and fingerprint,
// never the key), and the entry that sets or removes one. The keys are typed masked.
#pragma once

#include <QMainWindow>
#include <functional>

class AccountKeys;
class Dialogs;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTableWidget;

class AccountKeysForm : public QMainWindow {
public:
    // `save` writes the keys to their file and returns 0 or the errno; a key is in use only once saved.
    AccountKeysForm(AccountKeys& keys, std::function<int()> save, Dialogs& dialogs,
                    QWidget* parent = nullptr);

    void refresh();
    void setKeyClick();
    void removeKeyClick();

    QTableWidget* Grid_Account_Keys = nullptr;
    QLineEdit* Edit_Account = nullptr;
    QComboBox* ComboBox_Key_Format = nullptr;
    QLineEdit* Edit_Key = nullptr;
    QCheckBox* CheckBox_Show_Key = nullptr;
    QPushButton* Button_Set_Key = nullptr;
    QPushButton* Button_Remove_Key = nullptr;
    QLabel* Label_Status = nullptr;

protected:
    void showEvent(QShowEvent* event) override;

private:
    // Applies `change` to a copy, saves it, and only then takes it into use.
    bool commit(const std::function<void(AccountKeys&)>& change, const QString& done);

    AccountKeys& m_keys;
    std::function<int()> m_save;
    Dialogs& m_dialogs;
};
