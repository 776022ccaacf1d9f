// The "System Log" window: a plain view of the month's log file with a "Clear" entry.
#include "ui/LogForm.h"

#include "log/SystemLog.h"
#include "ui/Dialogs.h"

#include <QAction>
#include <QFile>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
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
    Memo_Log->setLineWrapMode(QPlainTextEdit::WidgetWidth);
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

const QColor kLogRed(255, 0, 0);

struct ShownLine {
    QString text;
    LogColour colour;
};

// A line of the file as the window shows it: dated in the ISO form whichever form the file has, and
// without the file's colour mark.
ShownLine shownLine(QByteArray line)
{
    if (line.endsWith('\r'))
        line.chop(1);
    const LogLineParts parts = parseLogLine(std::string_view(line.constData(), std::size_t(line.size())));
    if (!parts.dated)
        return {QString::fromLocal8Bit(line), LogColour::Black};
    const std::string date = isoDateTime(parts.time);
    return {QString::fromLatin1(date.data(), qsizetype(date.size())) + QStringLiteral("  ") +
                QString::fromLocal8Bit(parts.text.data(), qsizetype(parts.text.size())),
            parts.colour};
}

// The whole lines of `bytes`, newest first; a last line without its line end yet is left out.
std::vector<ShownLine> newestFirst(const QByteArray& bytes)
{
    QList<QByteArray> lines = bytes.split('\n');
    lines.removeLast(); // empty after the last line end, or a line still being written
    std::vector<ShownLine> shown;
    shown.reserve(std::size_t(lines.size()));
    for (auto it = lines.crbegin(); it != lines.crend(); ++it)
        shown.push_back(shownLine(*it));
    return shown;
}

qint64 wholeLinesSize(const QByteArray& bytes)
{
    return bytes.lastIndexOf('\n') + 1;
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
    m_loadedSize = wholeLinesSize(content);
    // A month's file may be long: put in as one text, then only the red lines given their colour.
    const std::vector<ShownLine> lines = newestFirst(content.left(m_loadedSize));
    QStringList texts;
    texts.reserve(qsizetype(lines.size()));
    for (const ShownLine& line : lines)
        texts << line.text;
    Memo_Log->setPlainText(texts.join(QLatin1Char('\n')));
    QTextCharFormat red;
    red.setForeground(kLogRed);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].colour != LogColour::Red)
            continue;
        QTextCursor cursor(Memo_Log->document()->findBlockByNumber(int(i)));
        cursor.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
        cursor.setCharFormat(red);
    }
    Memo_Log->verticalScrollBar()->setValue(0);
}

void TForm_Log::prependLines(const QByteArray& bytes)
{
    const std::vector<ShownLine> lines = newestFirst(bytes);
    if (lines.empty())
        return;
    QTextDocument* doc = Memo_Log->document();
    const bool wasEmpty = doc->isEmpty();
    QTextCursor cursor(doc);
    cursor.beginEditBlock();
    cursor.movePosition(QTextCursor::Start);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        QTextCharFormat format;
        if (lines[i].colour == LogColour::Red)
            format.setForeground(kLogRed);
        cursor.insertText(lines[i].text, format);
        if (i + 1 < lines.size() || !wasEmpty)
            cursor.insertBlock();
    }
    cursor.endEditBlock();
    Memo_Log->verticalScrollBar()->setValue(0);
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
    const qint64 whole = wholeLinesSize(added);
    if (whole == 0)
        return;
    m_loadedSize += whole;
    prependLines(added.left(whole));
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
