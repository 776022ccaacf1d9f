// The "System Log" window: shows this month's log file and can empty it.
#pragma once

#include <QMainWindow>
#include <functional>
#include <string>

class Dialogs;
class QAction;
class QPlainTextEdit;

class TForm_Log : public QMainWindow {
public:
    // `fileName` names the log file to show (the one the last line went to).
    TForm_Log(std::function<std::string()> fileName, Dialogs& dialogs, QWidget* parent = nullptr);

    QPlainTextEdit* Memo_Log = nullptr;
    QAction* Log_Menu_Clear = nullptr;

    void FormShow();            // loads the whole file
    void Log_Menu_ClearClick(); // asks, then empties the file
    void reload() { FormShow(); }

protected:
    void showEvent(QShowEvent* event) override;

private:
    std::function<std::string()> m_fileName;
    Dialogs& m_dialogs;
};
