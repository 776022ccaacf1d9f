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
    // What is shown is the file; the view only follows it.
    Memo_Log->setReadOnly(true);
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

namespace {

QString memoText(QByteArray bytes)
{
    bytes.replace("\r", "");
    if (bytes.endsWith('\n'))
        bytes.chop(1);
    return QString::fromLocal8Bit(bytes);
}

} // namespace

void TForm_Log::FormShow()
{
    // Before the first line of the month there is no file yet: the window then shows nothing.
    m_loadedFile = m_fileName ? m_fileName() : std::string();
    m_loadedSize = 0;
    QByteArray content;
    if (!m_loadedFile.empty()) {
        QFile file(QString::fromStdString(m_loadedFile));
        if (file.open(QIODevice::ReadOnly))
            content = file.readAll();
    }
    m_loadedSize = content.size();
    Memo_Log->setPlainText(memoText(content));
    // Follow the log as it grows: the newest line is at the end of the file.
    Memo_Log->verticalScrollBar()->setValue(Memo_Log->verticalScrollBar()->maximum());
}

void TForm_Log::reload()
{
    const std::string name = m_fileName ? m_fileName() : std::string();
    QFile file(QString::fromStdString(name));
    if (name.empty() || name != m_loadedFile || !file.open(QIODevice::ReadOnly) ||
        file.size() < m_loadedSize) {
        FormShow();
        return;
    }
    if (!file.seek(m_loadedSize)) {
        FormShow();
        return;
    }
    const QByteArray added = file.readAll();
    if (added.isEmpty())
        return;
    m_loadedSize += added.size();
    const bool wasEmpty = Memo_Log->document()->isEmpty();
    if (wasEmpty)
        Memo_Log->setPlainText(memoText(added));
    else
        Memo_Log->appendPlainText(memoText(added));
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
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
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
