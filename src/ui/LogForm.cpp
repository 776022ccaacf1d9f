// The "System Log" window: a plain view of the month's log file with a "Clear" entry.
#include "ui/LogForm.h"

#include "ui/Dialogs.h"

#include <QAction>
#include <QFile>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

TForm_Log::TForm_Log(std::function<std::string()> fileName, Dialogs& dialogs, QWidget* parent)
    : QMainWindow(parent, Qt::Window), m_fileName(std::move(fileName)), m_dialogs(dialogs)
{
    setObjectName(QStringLiteral("Form_Log"));
    setWindowTitle(QStringLiteral("System Log"));
    resize(640, 420);

    Memo_Log = new QPlainTextEdit(this);
    Memo_Log->setObjectName(QStringLiteral("Memo_Log"));
    Memo_Log->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo_Log->setLineWrapMode(QPlainTextEdit::NoWrap);
    setCentralWidget(Memo_Log);

    Log_Menu_Clear = new QAction(QStringLiteral("Clear"), this);
    Log_Menu_Clear->setObjectName(QStringLiteral("Log_Menu_Clear"));
    menuBar()->addAction(Log_Menu_Clear);
    connect(Log_Menu_Clear, &QAction::triggered, this, [this] { Log_Menu_ClearClick(); });
}

void TForm_Log::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    FormShow();
}

void TForm_Log::FormShow()
{
    // Before the first line of the month there is no file yet: the window then shows nothing.
    const std::string name = m_fileName ? m_fileName() : std::string();
    QString text;
    if (!name.empty()) {
        QFile file(QString::fromStdString(name));
        if (file.open(QIODevice::ReadOnly))
            text = QString::fromLocal8Bit(file.readAll());
    }
    if (text.endsWith(QLatin1Char('\n')))
        text.chop(1);
    text.remove(QLatin1Char('\r'));
    Memo_Log->setPlainText(text);
    // Follow the log as it grows: the newest line is at the end of the file.
    Memo_Log->verticalScrollBar()->setValue(Memo_Log->verticalScrollBar()->maximum());
}

void TForm_Log::Log_Menu_ClearClick()
{
    const auto answer = m_dialogs.ask(this, QStringLiteral("Clear Log Records"),
                                      QStringLiteral("     Are you sure you want to delete log records?"),
                                      Dialogs::Buttons::OkCancel, Dialogs::Icon::Question);
    if (answer != Dialogs::Answer::Ok)
        return;
    const std::string name = m_fileName ? m_fileName() : std::string();
    if (!name.empty()) {
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) {
            const int err = errno;
            m_dialogs.error(
                this, QStringLiteral("Ardentel"),
                QStringLiteral("Cannot clear %1: %2")
                    .arg(QString::fromStdString(name), QString::fromLocal8Bit(std::strerror(err))));
        } else {
            ::close(fd);
        }
    }
    FormShow();
}
