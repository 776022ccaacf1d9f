// The "System Log" window: shows this month's log file, newest line first, each line dated alike
// and in its colour, and can empty it.
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
    // Follows the file as it grows: only what was added since the last load is read, so a long
    // month does not make every new line reload megabytes. A shorter or other file is read whole.
    void reload();

protected:
    void showEvent(QShowEvent* event) override;

private:
    // Whole lines of the file, oldest first, put on top of what is shown.
    void prependLines(const QByteArray& bytes);

    std::function<std::string()> m_fileName;
    Dialogs& m_dialogs;
    std::string m_loadedFile;
    qint64 m_loadedSize = 0;
};
