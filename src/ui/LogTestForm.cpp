// The "Data Log" window: trace lines while it is shown, "Save" to a text file, "Clear".
#include "ui/LogTestForm.h"

#include "ui/Dialogs.h"

#include <QAction>
#include <QFile>
#include <QFileInfo>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextDocument>

TForm_Log_Test::TForm_Log_Test(Dialogs& dialogs, QWidget* parent)
    : QMainWindow(parent, Qt::Window | Qt::WindowStaysOnTopHint), m_dialogs(dialogs)
{
    setObjectName(QStringLiteral("Form_Log_Test"));
    setWindowTitle(QStringLiteral("Data Log"));
    resize(720, 420);

    Memo_Log_Test = new QPlainTextEdit(this);
    Memo_Log_Test->setObjectName(QStringLiteral("Memo_Log_Test"));
    Memo_Log_Test->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo_Log_Test->setLineWrapMode(QPlainTextEdit::NoWrap);
    Memo_Log_Test->setMaximumBlockCount(kMaxLines);
    setCentralWidget(Memo_Log_Test);

    Meniu_Log_Save = new QAction(QStringLiteral("Save"), this);
    Meniu_Log_Save->setObjectName(QStringLiteral("Meniu_Log_Save"));
    Clear1 = new QAction(QStringLiteral("Clear"), this);
    Clear1->setObjectName(QStringLiteral("Clear1"));
    menuBar()->addAction(Meniu_Log_Save);
    menuBar()->addAction(Clear1);
    connect(Meniu_Log_Save, &QAction::triggered, this, [this] { Meniu_Log_SaveClick(); });
    connect(Clear1, &QAction::triggered, this, [this] { Clear1Click(); });
}

void TForm_Log_Test::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    if (QWidget* owner = parentWidget()) {
        QRect r = frameGeometry();
        r.moveCenter(owner->frameGeometry().center());
        move(r.topLeft());
    }
}

void TForm_Log_Test::appendTrace(const QString& line)
{
    if (!isVisible())
        return;
    Memo_Log_Test->appendPlainText(line);
}

void TForm_Log_Test::Meniu_Log_SaveClick()
{
    const QString name =
        m_dialogs.saveFileName(this, QStringLiteral("txt"), QStringLiteral("Log file  (*.txt)"));
    if (name.isEmpty())
        return;
    if (QFileInfo::exists(name)) {
        const auto answer =
            m_dialogs.ask(this, QStringLiteral("File name already exist"),
                          QStringLiteral("This file name already exist, do you want to override it?"),
                          Dialogs::Buttons::YesNo, Dialogs::Icon::None);
        if (answer != Dialogs::Answer::Yes)
            return;
    }
    QByteArray content;
    for (QTextBlock b = Memo_Log_Test->document()->begin(); b.isValid(); b = b.next()) {
        // The trace holds received bytes as Latin-1 characters: saved back, each is its own byte again.
        content += b.text().toLatin1();
        content += "\r\n";
    }
    if (Memo_Log_Test->document()->isEmpty())
        content.clear();
    QFile file(name);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(content) != content.size() ||
        !file.flush()) {
        m_dialogs.error(this, QStringLiteral("Ardentel"),
                        QStringLiteral("Cannot write %1: %2").arg(name, file.errorString()));
    }
}

void TForm_Log_Test::Clear1Click()
{
    Memo_Log_Test->clear();
}
