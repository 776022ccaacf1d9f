// The "Object List" window over a real account table in a temporary directory: rows, the colours
// of a missing account, editing the timeout in place, deleting (never by the keyboard alone), the
// widths of the columns, and hiding.
#include "QtPrinters.h"
#include "store/AccountTable.h"
#include "store/StoreTestSupport.h"
#include "ui/AccountListModel.h"
#include "ui/Dialogs.h"
#include "ui/GridView.h"
#include "ui/LatestEventsForm.h"

#include <QImage>
#include <QLineEdit>
#include <QTest>
#include <gtest/gtest.h>

namespace {

class ObjectList : public ::testing::Test {
protected:
    void SetUp() override
    {
        accounts.load();
        accounts.onChanged = [this] { ++writes; };
        // What the event log's commit does a moment later: the file follows.
        accounts.onNeedsCommit = [this] { accounts.committed(accounts.takeChanged()); };
    }
    std::size_t add(const char* account, const char* extended = "[Q40]")
    {
        JournalRecord r = makeRecord(account);
        const std::size_t slot = *accounts.stage(r, extended);
        accounts.committed(accounts.takeChanged());
        return slot;
    }
    QString cell(int row, int column) const { return form.model()->index(row, column).data().toString(); }
    QRect cellRect(int row, int column) const
    {
        return form.StringGrid_Latest_Events->visualRect(form.model()->index(row, column));
    }
    void click(int row, int column)
    {
        QTest::mouseClick(form.StringGrid_Latest_Events->viewport(), Qt::LeftButton, {},
                          cellRect(row, column).center());
    }
    // Whether any pixel of the cell, as drawn now, has `colour`.
    bool cellHas(int row, int column, const QColor& colour) const
    {
        const QImage shot = form.StringGrid_Latest_Events->viewport()->grab().toImage();
        const QRect r = cellRect(row, column).adjusted(1, 1, -1, -1);
        for (int y = r.top(); y <= r.bottom(); ++y)
            for (int x = r.left(); x <= r.right(); ++x)
                if (shot.pixelColor(x, y) == colour)
                    return true;
        return false;
    }

    TempDir dir;
    AccountTable accounts{dir.file("latevn.dat")};
    ScriptedDialogs dialogs;
    TForm_Latest_Events form{accounts, dialogs};
    int writes = 0;
};

TEST_F(ObjectList, RowsAndTextsFollowTheAccountSlots)
{
    form.show();
    EXPECT_EQ(form.model()->rowCount(), 1); // an empty table: one blank row
    EXPECT_EQ(cell(0, 1), QString());
    add("1234", "[Q87]");
    add("5678", "");
    JournalRecord test = makeRecord("9ABC", "NULL");
    (void)accounts.stage(test, "");
    form.Refresh_ID_List_GridExecute();
    EXPECT_EQ(form.model()->rowCount(), 3);
    const QStringList first = {QStringLiteral("2026-12-07 00:00:00"),
                               QStringLiteral("1234"),
                               QStringLiteral("0001"),
                               QStringLiteral("02"),
                               QStringLiteral(" 1   130 Burglary"),
                               QStringLiteral("01"),
                               QStringLiteral("015"),
                               QStringLiteral("10.0.0.7"),
                               QStringLiteral(" 87 %"),
                               QStringLiteral("6 min"),
                               QString()};
    for (int c = 0; c < AccountListModel::kColumns; ++c)
        EXPECT_EQ(cell(0, c), first[c]) << c;
    EXPECT_EQ(cell(1, 8), QString()); // no signal value
    EXPECT_EQ(cell(1, 9), QStringLiteral("70 min"));
    EXPECT_EQ(cell(2, 4), QStringLiteral(" PING"));
    EXPECT_FALSE(form.model()->index(0, AccountListModel::kDeleteColumn).data(Qt::DecorationRole).isNull());
}

TEST_F(ObjectList, AMissingAccountIsRedAndItsTextTurnsYellowWhenSelected)
{
    add("1111");
    const std::size_t slot = add("2222");
    accounts.setPingMinutes(slot, 1);
    for (int i = 0; i < 60; ++i)
        accounts.supervisionTick();
    ASSERT_TRUE(accounts.record(slot).sup_flags & accounts::kMissing);
    form.show();
    const QColor red(255, 0, 0);
    const QColor yellow(255, 255, 0);
    for (int c = 0; c < AccountListModel::kColumns; ++c)
        EXPECT_TRUE(cellHas(1, c, red)) << c;
    EXPECT_FALSE(cellHas(0, 1, red));
    EXPECT_FALSE(cellHas(1, 1, yellow));
    click(1, 1);
    EXPECT_TRUE(cellHas(1, 1, red));
    EXPECT_TRUE(cellHas(1, 1, yellow));
}

TEST_F(ObjectList, TheTimeoutIsEditedInPlaceAndWrittenOnEveryChange)
{
    const std::size_t slot = add("1234");
    form.show();
    click(0, AccountListModel::kTimeoutColumn);
    ASSERT_TRUE(form.Edit_Tmr->isVisible());
    EXPECT_EQ(form.Edit_Tmr->text(), QStringLiteral("6"));
    EXPECT_EQ(form.Edit_Tmr->geometry(), cellRect(0, AccountListModel::kTimeoutColumn));

    QTest::keyClick(form.Edit_Tmr, Qt::Key_Backspace); // an empty box writes nothing
    writes = 0;
    QTest::keyClicks(form.Edit_Tmr, QStringLiteral("x"));
    EXPECT_EQ(dialogs.beeps, 1);
    EXPECT_EQ(form.Edit_Tmr->text(), QString());
    EXPECT_EQ(writes, 0);
    QTest::keyClicks(form.Edit_Tmr, QStringLiteral("15"));
    EXPECT_EQ(writes, 2);
    EXPECT_EQ(int(accounts.record(slot).ping_minutes), 15);
    EXPECT_EQ(int(accounts.record(slot).ping_countdown), 900);
    const auto file = readBytes(dir.file("latevn.dat"));
    std::int32_t onDisk = 0;
    std::memcpy(&onDisk, file.data() + slot * sizeof(AccountRecord) + offsetof(AccountRecord, ping_minutes),
                4);
    EXPECT_EQ(onDisk, 15);

    click(0, 1); // another column hides the box
    EXPECT_FALSE(form.Edit_Tmr->isVisible());
}

TEST_F(ObjectList, DeleteAsksAndYesCompactsTheTableAndRewritesTheFile)
{
    add("AAAA");
    add("BBBB");
    add("CCCC");
    form.show();
    const auto before = readBytes(dir.file("latevn.dat"));

    dialogs.answers = {Dialogs::Answer::No};
    click(0, AccountListModel::kDeleteColumn);
    ASSERT_EQ(dialogs.asked.size(), 1u);
    EXPECT_EQ(dialogs.asked[0].text, QStringLiteral("Delete object  AAAA ?"));
    EXPECT_EQ(dialogs.asked[0].buttons, Dialogs::Buttons::YesNo);
    EXPECT_EQ(readBytes(dir.file("latevn.dat")), before);

    dialogs.answers = {Dialogs::Answer::Yes};
    click(0, AccountListModel::kDeleteColumn);
    std::vector<std::uint8_t> expected(before.begin() + sizeof(AccountRecord), before.end());
    expected.resize(before.size(), 0);
    EXPECT_EQ(readBytes(dir.file("latevn.dat")), expected);
    EXPECT_EQ(form.model()->rowCount(), 2);
    EXPECT_EQ(cell(0, 1), QStringLiteral("BBBB"));

    // A free row offers nothing to delete.
    form.Refresh_ID_List_GridExecute();
    form.StringGrid_Latest_EventsSelectCell(AccountListModel::kDeleteColumn, 3);
    EXPECT_EQ(dialogs.asked.size(), 2u);
}

// Right, End, Tab and the rest never take the focus to the bin, where choosing a cell asks to
// delete and Enter would answer; the question itself has No as the button Enter presses.
TEST_F(ObjectList, TheKeyboardNeverReachesTheBinAndDeletingDefaultsToNo)
{
    add("AAAA");
    add("BBBB");
    form.show();
    GridView* grid = form.StringGrid_Latest_Events;
    struct Row {
        const char* name;
        int startRow;
        int startColumn;
        std::vector<std::pair<int, Qt::KeyboardModifiers>> keys;
        int endRow;
        int endColumn;
    };
    const int bin = AccountListModel::kDeleteColumn;
    const int timeout = AccountListModel::kTimeoutColumn;
    const std::vector<std::pair<int, Qt::KeyboardModifiers>> rights(12, {Qt::Key_Right, Qt::NoModifier});
    const Row rows[] = {
        {"Right to the end", 0, 0, rights, 0, timeout},
        {"End", 0, 1, {{Qt::Key_End, Qt::NoModifier}}, 0, timeout},
        {"Tab past the row's end", 0, timeout, {{Qt::Key_Tab, Qt::NoModifier}}, 1, 0},
        {"Backtab into the row before", 1, 0, {{Qt::Key_Backtab, Qt::ShiftModifier}}, 0, timeout},
        {"Down from the clicked bin", 0, bin, {{Qt::Key_Down, Qt::NoModifier}}, 1, timeout},
        {"Ctrl+End", 0, 0, {{Qt::Key_End, Qt::ControlModifier}}, 1, timeout},
    };
    for (const Row& row : rows) {
        grid->setCurrentIndex(form.model()->index(row.startRow, row.startColumn));
        for (const auto& [key, modifiers] : row.keys) {
            QTest::keyClick(grid, Qt::Key(key), modifiers);
            ASSERT_NE(grid->currentIndex().column(), bin) << row.name;
        }
        QTest::keyClick(grid, Qt::Key_Return);
        EXPECT_EQ(grid->currentIndex().row(), row.endRow) << row.name;
        EXPECT_EQ(grid->currentIndex().column(), row.endColumn) << row.name;
        EXPECT_TRUE(dialogs.asked.empty()) << row.name;
    }
    click(0, bin);
    ASSERT_EQ(dialogs.asked.size(), 1u);
    EXPECT_EQ(dialogs.asked[0].defaultButton, Dialogs::Answer::No);
    EXPECT_EQ(form.model()->rowCount(), 2); // nobody answered: the default kept the account
}

// Every caption, and every cell of a common event, whole in the font in use.
TEST_F(ObjectList, HeadersAndCellsFit)
{
    JournalRecord test = makeRecord("1234", "1602");
    (void)accounts.stage(test, "[Q87]");
    form.show();
    auto* header = static_cast<GridHeader*>(form.StringGrid_Latest_Events->horizontalHeader());
    const QFontMetrics metrics = form.StringGrid_Latest_Events->fontMetrics();
    for (int c = 0; c < AccountListModel::kColumns; ++c) {
        const QString caption = form.model()->headerData(c, Qt::Horizontal).toString();
        EXPECT_GE(header->sectionSize(c), header->fittingWidth(caption)) << caption.toStdString();
        EXPECT_GT(header->sectionSize(c), metrics.horizontalAdvance(cell(0, c)) + 4)
            << cell(0, c).toStdString();
    }
    // "Group / Partition" needs both of its lines: a section one line would take is too wide.
    const QString group = QStringLiteral("Group / Partition");
    EXPECT_LT(header->fittingWidth(group), metrics.horizontalAdvance(group));
    EXPECT_GE(header->fittingWidth(group), metrics.horizontalAdvance(QStringLiteral("Partition")));
}

TEST_F(ObjectList, NothingIsRebuiltWhileHiddenAndShowingRebuilds)
{
    add("1234");
    add("5678");
    form.Refresh_ID_List_GridExecute();
    form.requestRefresh();
    EXPECT_FALSE(form.refreshPending());
    EXPECT_EQ(form.model()->rowCount(), 1);
    form.show();
    EXPECT_EQ(form.model()->rowCount(), 2);
    add("9ABC");
    form.requestRefresh();
    EXPECT_TRUE(form.refreshPending());
    EXPECT_FALSE(form.Edit_Tmr->isVisible());
}

} // namespace
