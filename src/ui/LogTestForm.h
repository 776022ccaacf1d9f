// The "Data Log" window: the raw traffic trace, kept in memory and saved to a text file on request.
#pragma once

#include <QMainWindow>

class Dialogs;
class QAction;
class QPlainTextEdit;

class TForm_Log_Test : public QMainWindow {
public:
    // A receiver that runs for months must not grow the trace without bound: only the newest lines stay.
    static constexpr int kMaxLines = 10000;

    explicit TForm_Log_Test(Dialogs& dialogs, QWidget* parent = nullptr);

    QPlainTextEdit* Memo_Log_Test = nullptr;
    QAction* Meniu_Log_Save = nullptr;
    QAction* Clear1 = nullptr;

    // One trace line; dropped while the window is hidden.
    void appendTrace(const QString& line);

    void Meniu_Log_SaveClick();
    void Clear1Click();

protected:
    void showEvent(QShowEvent* event) override;

private:
    Dialogs& m_dialogs;
};
