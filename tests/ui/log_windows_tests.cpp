// The "System Log" and "Data Log" windows on their own, with scripted answers.
#include "QtPrinters.h"
#include "ui/Dialogs.h"
#include "ui/LogForm.h"
#include "ui/LogTestForm.h"

#include <QAction>
#include <QFile>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTextBlock>
#include <gtest/gtest.h>

namespace {

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

void writeFile(const QString& path, const QByteArray& content)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(content);
}

class SystemLogWindow : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString logPath = dir.filePath(QStringLiteral("kalvor_2026_12.log"));
    ScriptedDialogs dialogs;
    TForm_Log form{[this] { return logPath.toStdString(); }, dialogs};
};

// Newest line on top, each dated in the ISO form whichever form its file has, red lines red, long
// lines wrapped; lines added later go on top, and a line still being written waits for its end.
TEST_F(SystemLogWindow, ShowsTheFileNewestFirstDatedAlikeAndInItsColours)
{
    writeFile(logPath, "12/31/26 23:59:57  older form\r\n"
                       "2026-12-31 23:59:58 ! red\r\n"
                       "no date\r\n"
                       "2026-12-31 23:59:59  black\r\n");
    form.show();
    EXPECT_EQ(form.Memo_Log->lineWrapMode(), QPlainTextEdit::WidgetWidth);
    const auto lines = [this] {
        std::vector<std::pair<QString, bool>> out; // text, red
        for (QTextBlock b = form.Memo_Log->document()->begin(); b.isValid(); b = b.next())
            out.emplace_back(b.text(),
                             b.begin().fragment().charFormat().foreground().color() == QColor(255, 0, 0));
        return out;
    };
    using Lines = std::vector<std::pair<QString, bool>>;
    EXPECT_EQ(lines(), (Lines{{QStringLiteral("2026-12-31 23:59:59  black"), false},
                              {QStringLiteral("no date"), false},
                              {QStringLiteral("2026-12-31 23:59:58  red"), true},
                              {QStringLiteral("2026-12-31 23:59:57  older form"), false}}));
    {
        QFile f(logPath);
        ASSERT_TRUE(f.open(QIODevice::Append));
        f.write("2027-01-01 00:00:00 ! newer\r\n2027-01-01 00:00:01  half");
    }
    form.reload();
    EXPECT_EQ(lines().size(), 5u);
    EXPECT_EQ(lines().front(), std::make_pair(QStringLiteral("2027-01-01 00:00:00  newer"), true));
    {
        QFile f(logPath);
        ASSERT_TRUE(f.open(QIODevice::Append));
        f.write(" done\r\n");
    }
    form.reload();
    EXPECT_EQ(lines().front(), std::make_pair(QStringLiteral("2027-01-01 00:00:01  half done"), false));
    EXPECT_EQ(lines()[1].first, QStringLiteral("2027-01-01 00:00:00  newer"));
}

TEST_F(SystemLogWindow, ClearAsksAndOnlyOkEmptiesTheFile)
{
    const QByteArray content = "line\r\n";
    writeFile(logPath, content);
    form.show();

    dialogs.answers = {Dialogs::Answer::Cancel};
    form.Log_Menu_Clear->trigger();
    ASSERT_EQ(dialogs.asked.size(), 1u);
    EXPECT_EQ(dialogs.asked[0].title, QStringLiteral("Clear Log Records"));
    EXPECT_EQ(dialogs.asked[0].text, QStringLiteral("     Are you sure you want to delete log records?"));
    EXPECT_EQ(dialogs.asked[0].buttons, Dialogs::Buttons::OkCancel);
    EXPECT_EQ(readAll(logPath), content);
    EXPECT_EQ(form.Memo_Log->toPlainText(), QStringLiteral("line"));

    dialogs.answers = {Dialogs::Answer::Ok};
    form.Log_Menu_Clear->trigger();
    EXPECT_TRUE(QFile::exists(logPath));
    EXPECT_EQ(QFile(logPath).size(), 0);
    EXPECT_TRUE(form.Memo_Log->toPlainText().isEmpty());
}

TEST_F(SystemLogWindow, FollowsTheFileAsItGrowsAndStartsOverWhenItShrinks)
{
    form.show(); // no file yet
    writeFile(logPath, "a\r\n");
    form.reload();
    EXPECT_EQ(form.Memo_Log->toPlainText(), QStringLiteral("a"));
    {
        QFile f(logPath);
        ASSERT_TRUE(f.open(QIODevice::Append));
        f.write("b\r\nc\r\n");
    }
    form.reload();
    form.reload(); // nothing new: nothing changes
    EXPECT_EQ(form.Memo_Log->toPlainText(), QStringLiteral("c\nb\na"));

    // Emptied and written again by someone else: read whole, nothing of the old content stays.
    writeFile(logPath, "d\r\n");
    form.reload();
    EXPECT_EQ(form.Memo_Log->toPlainText(), QStringLiteral("d"));

    // A new month's file is read whole.
    logPath = dir.filePath(QStringLiteral("kalvor_2027_01.log"));
    writeFile(logPath, "january\r\n");
    form.reload();
    EXPECT_EQ(form.Memo_Log->toPlainText(), QStringLiteral("january"));
}

TEST_F(SystemLogWindow, MissingFileShowsAnEmptyWindow)
{
    form.show();
    EXPECT_TRUE(form.Memo_Log->toPlainText().isEmpty());
}

class DataLogWindow : public ::testing::Test {
protected:
    QTemporaryDir dir;
    ScriptedDialogs dialogs;
    TForm_Log_Test form{dialogs};
};

TEST_F(DataLogWindow, TraceLinesAreKeptOnlyWhileShown)
{
    form.appendTrace(QStringLiteral("dropped"));
    form.show();
    form.appendTrace(QStringLiteral("12:00:01:5  kept"));
    EXPECT_EQ(form.Memo_Log_Test->toPlainText(), QStringLiteral("12:00:01:5  kept"));
    form.Clear1->trigger();
    EXPECT_TRUE(form.Memo_Log_Test->toPlainText().isEmpty());
}

TEST_F(DataLogWindow, SaveWritesCrLfLinesAndAsksBeforeReplacing)
{
    form.show();
    form.appendTrace(QStringLiteral("a"));
    form.appendTrace(QStringLiteral("b"));
    const QString target = dir.filePath(QStringLiteral("trace.txt"));

    // A new file: no question.
    dialogs.saveNames = {target};
    form.Meniu_Log_Save->trigger();
    EXPECT_TRUE(dialogs.asked.empty());
    EXPECT_EQ(readAll(target), QByteArray("a\r\nb\r\n"));
    ASSERT_EQ(dialogs.saveFilters.size(), 1);

    // An existing file and No: left as it was.
    form.appendTrace(QStringLiteral("c"));
    dialogs.saveNames = {target};
    dialogs.answers = {Dialogs::Answer::No};
    form.Meniu_Log_Save->trigger();
    ASSERT_EQ(dialogs.asked.size(), 1u);
    EXPECT_EQ(dialogs.asked[0].title, QStringLiteral("File name already exist"));
    EXPECT_EQ(dialogs.asked[0].text,
              QStringLiteral("This file name already exist, do you want to override it?"));
    EXPECT_EQ(dialogs.asked[0].icon, Dialogs::Icon::None);
    EXPECT_EQ(readAll(target), QByteArray("a\r\nb\r\n"));

    // Yes replaces the earlier content.
    dialogs.saveNames = {target};
    dialogs.answers = {Dialogs::Answer::Yes};
    form.Meniu_Log_Save->trigger();
    EXPECT_EQ(readAll(target), QByteArray("a\r\nb\r\nc\r\n"));

    // Cancelled dialog: nothing asked, nothing written.
    form.Meniu_Log_Save->trigger();
    EXPECT_EQ(dialogs.asked.size(), 2u);
}

TEST_F(DataLogWindow, SavedTraceKeepsEveryReceivedByte)
{
    // Received bytes reach the trace as Latin-1 characters; the file must hold the bytes themselves.
    const QByteArray received("\x01\x7F\xA0\xE9\xFF", 5);
    form.show();
    form.appendTrace(QString::fromLatin1(received));
    const QString target = dir.filePath(QStringLiteral("bytes.txt"));
    dialogs.saveNames = {target};
    form.Meniu_Log_Save->trigger();
    EXPECT_EQ(readAll(target), received + "\r\n");
}

TEST_F(DataLogWindow, AFailedSaveIsReportedAndTheTraceStays)
{
    form.show();
    form.appendTrace(QStringLiteral("kept"));
    dialogs.saveNames = {dir.filePath(QStringLiteral("no/such/dir/trace.txt"))};
    form.Meniu_Log_Save->trigger();
    ASSERT_EQ(dialogs.asked.size(), 1u);
    EXPECT_EQ(dialogs.asked[0].title, QStringLiteral("Ardentel"));
    EXPECT_EQ(dialogs.asked[0].icon, Dialogs::Icon::Error);
    EXPECT_EQ(form.Memo_Log_Test->toPlainText(), QStringLiteral("kept"));
}

TEST_F(DataLogWindow, KeepsOnlyTheNewestLines)
{
    form.show();
    const int extra = 25;
    for (int i = 0; i < TForm_Log_Test::kMaxLines + extra; ++i)
        form.appendTrace(QString::number(i));
    const QTextDocument* doc = form.Memo_Log_Test->document();
    EXPECT_EQ(doc->blockCount(), TForm_Log_Test::kMaxLines);
    EXPECT_EQ(doc->firstBlock().text(), QString::number(extra));
    EXPECT_EQ(doc->lastBlock().text(), QString::number(TForm_Log_Test::kMaxLines + extra - 1));
}

TEST(HeadlessDialogs, TakeTheSafeAnswerOfEveryQuestion)
{
    HeadlessDialogs d;
    EXPECT_EQ(d.ask(nullptr, QStringLiteral("t"), QStringLiteral("Save current settings?"),
                    Dialogs::Buttons::YesNo, Dialogs::Icon::Question),
              Dialogs::Answer::No);
    EXPECT_EQ(d.ask(nullptr, QStringLiteral("t"), QStringLiteral("x"), Dialogs::Buttons::OkCancel,
                    Dialogs::Icon::Question),
              Dialogs::Answer::Cancel);
    EXPECT_TRUE(d.saveFileName(nullptr, QStringLiteral("txt"), QStringLiteral("*.txt")).isEmpty());
}

} // namespace
