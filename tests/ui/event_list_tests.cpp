// The "Event List" window over a real journal in a temporary directory: which slot each row
// shows, the cell texts, the states after the real forwarding pass, clearing, and hiding.
#include "QtPrinters.h"
#include "config/Clock.h"
#include "output/MonitoringThread.h"
#include "output/OutputMessages.h"
#include "store/AccountTable.h"
#include "store/Journal.h"
#include "store/StoreTestSupport.h"
#include "support/QtWait.h"
#include "ui/Dialogs.h"
#include "ui/EventListModel.h"
#include "ui/EventsForm.h"
#include "ui/GridView.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStatusBar>
#include <gtest/gtest.h>

namespace {

class EventList : public ::testing::Test {
protected:
    // Writes kalvor.dat with `next_slot` and the given slots stored (account = slot number), then loads it.
    void loadJournal(std::uint32_t next, const std::vector<std::size_t>& stored)
    {
        std::vector<std::uint8_t> image(journal::kImageSize, 0);
        std::memcpy(image.data(), &next, sizeof next);
        for (const std::size_t slot : stored) {
            JournalRecord r = makeRecord(std::to_string(slot).c_str());
            r.status = journal::kStored;
            std::memcpy(image.data() + journal::kHeaderSize + slot * sizeof r, &r, sizeof r);
        }
        writeBytes(dir.file("kalvor.dat"), image);
        journal.load();
    }
    QString cell(int row, int column) const { return form.model()->index(row, column).data().toString(); }
    QString countText() const
    {
        return form.StatusBar1->findChild<QLabel*>(QStringLiteral("StatusBar1_Panel0"))->text();
    }

    TempDir dir;
    Journal journal{Journal::Paths{dir.file("kalvor.dat"), dir.file("extevn.dat")}, LogSink{}};
    ScriptedDialogs dialogs;
    TForm_Events form{journal, dialogs};
};

TEST_F(EventList, RowsShowTheJournalNewestFirst)
{
    std::vector<std::size_t> all(journal::kSlots);
    for (std::size_t i = 0; i < all.size(); ++i)
        all[i] = i;
    struct Row {
        const char* name;
        std::uint32_t next;
        std::vector<std::size_t> stored;
        std::vector<std::pair<int, int>> rowAndSlot; // row from 1, as the operator counts them
        int rows;
    };
    const Row rows[] = {
        {"empty", 0, {}, {}, 1},
        {"three", 3, {0, 1, 2}, {{1, 2}, {3, 0}}, 3},
        {"wrapped", 10, all, {{1, 9}, {10, 0}, {11, 2047}, {2048, 10}}, 2048},
        // A damaged file with a gap: every stored event is still listed, none hidden behind empty rows.
        {"gap", 6, {0, 1, 5}, {{1, 5}, {2, 1}, {3, 0}}, 3},
        {"next beyond the ring", 2048 + 2, {0, 1}, {{1, 1}, {2, 0}}, 2},
    };
    form.show();
    for (const Row& row : rows) {
        loadJournal(row.next, row.stored);
        form.Refresh_Log_GridExecute();
        EXPECT_EQ(form.model()->rowCount(), row.rows) << row.name;
        EXPECT_EQ(countText(), QStringLiteral("Events received: %1").arg(row.stored.size())) << row.name;
        for (const auto& [at, slot] : row.rowAndSlot)
            EXPECT_EQ(cell(at - 1, 3), QStringLiteral(" %1").arg(slot)) << row.name << " row " << at;
    }
    // The empty journal's one row is blank in every column.
    loadJournal(0, {});
    form.Refresh_Log_GridExecute();
    for (int c = 0; c < EventListModel::kColumns; ++c)
        EXPECT_EQ(cell(0, c), QString()) << c;
    EXPECT_FALSE(form.Menu_Events_Export->isEnabled());
    EXPECT_EQ(form.StringGrid_Events->horizontalHeader()->height(), grid::kHeaderHeight);
}

TEST_F(EventList, CellTextsOfEventsAndLinkTests)
{
    struct Row {
        const char* event;
        std::uint8_t status;
        const char* extended;
        const char* eventText;
        const char* signal;
        const char* statusText;
    };
    const Row rows[] = {
        {"3401", 1, "[Q87]", " 3   401 Open/close by user", " 87 %", "Unknown"},
        {"1130", 3, "", " 1   130 Burglary", "", "Pending"},
        {"E130", 7, "[Q12.5][B1.2.3.4]", " 5   130 Burglary", " 12.5 %", "Reported"},
        {"1130", 5, "[Qx]", " 1   130 Burglary", "", "Unknown"},
        {"NULL", 3, "", " PING", "", "Not reportable"},
        {"NULL", 7, "", " PING", "", "Not reportable"},
    };
    form.show();
    for (const Row& row : rows) {
        ASSERT_TRUE(journal.clear().empty());
        JournalRecord r = makeRecord("1234", row.event);
        journal.append(r, row.extended);
        // The status byte as the forwarding side would have left it.
        std::vector<std::uint8_t> image(journal.image(), journal.image() + journal::kImageSize);
        image[journal::kHeaderSize] = row.status;
        image[0] = 1;
        writeBytes(dir.file("kalvor.dat"), image);
        journal.loadJournalFile();
        form.Refresh_Log_GridExecute();
        const QStringList expected = {QStringLiteral("2026-12-07 00:00:00"),
                                      QStringLiteral(" 0001"),
                                      QStringLiteral(" 02"),
                                      QStringLiteral(" 1234"),
                                      QString::fromLatin1(row.eventText),
                                      QStringLiteral(" 01"),
                                      QStringLiteral(" 015"),
                                      QStringLiteral(" 10.0.0.7"),
                                      QString::fromLatin1(row.signal),
                                      QString::fromLatin1(row.statusText)};
        for (int c = 0; c < EventListModel::kColumns; ++c)
            EXPECT_EQ(cell(0, c), expected[c]) << row.event << "/" << int(row.status) << " column " << c;
    }
}

// Every caption, and every cell of a common event, whole in the font in use.
TEST_F(EventList, HeadersAndCellsFit)
{
    journal.append(makeRecord("1234", "1602"), "[Q87]");
    form.show();
    auto* header = static_cast<GridHeader*>(form.StringGrid_Events->horizontalHeader());
    const QFontMetrics metrics = form.StringGrid_Events->fontMetrics();
    for (int c = 0; c < EventListModel::kColumns; ++c) {
        const QString caption = form.model()->headerData(c, Qt::Horizontal).toString();
        EXPECT_GE(header->sectionSize(c), header->fittingWidth(caption)) << caption.toStdString();
        EXPECT_GT(header->sectionSize(c), metrics.horizontalAdvance(cell(0, c)) + 4)
            << cell(0, c).toStdString();
    }
}

// The automation software as the forwarding thread sees it: every line acknowledged at once.
class AckingTransport : public OutputTransport {
public:
    explicit AckingTransport(OutputShared& shared) : m_shared(shared) {}
    Exchange exchangeLine(const std::string&, Kind kind, std::chrono::milliseconds wait) override
    {
        constexpr output::LinkId kConnection = 1;
        const output::AnswerSlot slot =
            kind == Kind::Heartbeat ? output::AnswerSlot::Heartbeat : output::AnswerSlot::Report;
        Arm_Answer(m_shared.handoff, slot, kConnection);
        Deliver_Answer(m_shared.handoff, output::kAck, kConnection);
        return Exchange{SendResult::Sent, Await_Answer(m_shared.handoff, slot, wait)};
    }

private:
    OutputShared& m_shared;
};

TEST(EventListStates, StatusFollowsTheLogAndTheRealForwardingPass)
{
    StoreStack stores;
    ASSERT_TRUE(stores.open());
    ScriptedDialogs dialogs;
    TForm_Events form{stores.journal, dialogs};
    OutputShared shared;
    AckingTransport transport(shared);
    ManualClock clock(kTestTime);
    int refreshes = 0;
    MonitoringHooks hooks;
    hooks.refreshEvents = [&] { ++refreshes; };
    Monitoring_Thread thread(
        stores.journal, stores.accounts, stores.store, shared, transport, clock,
        [] { return ForwardingSettings{}; }, hooks);
    form.show();
    const auto status = [&] { return form.model()->index(0, 9).data().toString(); };

    std::vector<StagedRow> rows;
    rows.push_back(stores.stage(makeRecord("1234")));
    form.Refresh_Log_GridExecute();
    EXPECT_EQ(status(), QStringLiteral("Unknown")) << "staged, not yet in the log";
    ASSERT_TRUE(stores.store.commitNow(std::move(rows)).ok());
    thread.runPass(); // link down: nothing sent
    form.Refresh_Log_GridExecute();
    EXPECT_EQ(status(), QStringLiteral("Pending"));
    shared.Output_Link_State.store(output::kLinkUp);
    thread.runPass(); // heartbeat, then the report, each acknowledged
    form.Refresh_Log_GridExecute();
    EXPECT_EQ(status(), QStringLiteral("Reported"));
    EXPECT_GE(refreshes, 1);
}

TEST_F(EventList, ClearAsksAndOnlyOkEmptiesBothFiles)
{
    loadJournal(2, {0, 1});
    form.show();
    const auto journalBytes = readBytes(dir.file("kalvor.dat"));
    const auto extendedBytes = readBytes(dir.file("extevn.dat"));

    dialogs.answers = {Dialogs::Answer::Cancel};
    form.Clear1->trigger();
    ASSERT_EQ(dialogs.asked.size(), 1u);
    EXPECT_EQ(dialogs.asked[0].title, QStringLiteral("Clear Events"));
    EXPECT_EQ(dialogs.asked[0].text, QStringLiteral("     Are you sure you want to delete all events?"));
    EXPECT_EQ(dialogs.asked[0].buttons, Dialogs::Buttons::OkCancel);
    EXPECT_EQ(readBytes(dir.file("kalvor.dat")), journalBytes);
    EXPECT_EQ(readBytes(dir.file("extevn.dat")), extendedBytes);
    EXPECT_EQ(countText(), QStringLiteral("Events received: 2"));

    dialogs.answers = {Dialogs::Answer::Ok};
    form.Clear1->trigger();
    EXPECT_EQ(readBytes(dir.file("kalvor.dat")), std::vector<std::uint8_t>(journal::kImageSize, 0));
    EXPECT_EQ(readBytes(dir.file("extevn.dat")), std::vector<std::uint8_t>(journal::kExtendedImageSize, 0));
    EXPECT_EQ(countText(), QStringLiteral("Events received: 0"));
    EXPECT_EQ(dialogs.asked.size(), 2u);
}

TEST_F(EventList, AClearThatCannotWriteTheJournalSaysSoAndStillEmptiesTheList)
{
    loadJournal(1, {0});
    form.show();
    // Something that can be neither created nor opened as a file stands where kalvor.dat was.
    ASSERT_TRUE(QFile::remove(QString::fromStdString(dir.file("kalvor.dat"))));
    ASSERT_TRUE(QDir().mkdir(QString::fromStdString(dir.file("kalvor.dat"))));
    dialogs.answers = {Dialogs::Answer::Ok};
    form.Clear1Click();
    QStringList boxes;
    for (std::size_t i = 1; i < dialogs.asked.size(); ++i) {
        EXPECT_EQ(dialogs.asked[i].title, QStringLiteral("Error"));
        boxes << dialogs.asked[i].text;
    }
    EXPECT_EQ(boxes,
              (QStringList{QStringLiteral("File creation error 1"), QStringLiteral("File opening error 1")}));
    EXPECT_EQ(countText(), QStringLiteral("Events received: 0"));
}

TEST_F(EventList, NothingIsRebuiltWhileHiddenAndShowingRebuilds)
{
    journal.load();
    journal.append(makeRecord("1234"), "");
    form.Refresh_Log_GridExecute();
    form.requestRefresh();
    EXPECT_FALSE(form.refreshPending());
    EXPECT_EQ(cell(0, 3), QString());
    form.show();
    EXPECT_EQ(cell(0, 3), QStringLiteral(" 1234"));
    form.requestRefresh();
    EXPECT_TRUE(form.refreshPending());
}

// The filter row over the event log: history the ring no longer shows, found by account, text and
// days; a row that does not read; the way back to the ring; and "Export" of what is shown.
TEST(EventListHistory, TheFilterFindsTheLogsEventsAndExportWritesTheRowsShown)
{
    StoreStack stores;
    ASSERT_TRUE(stores.open());
    std::vector<StagedRow> rows;
    rows.push_back(stores.stage(makeRecord("1234", "1130", kTestTime)));
    rows.push_back(stores.stage(makeRecord("5678", "BA", kTestTime + 86400), "[Q55]"));
    ASSERT_TRUE(stores.store.commitNow(std::move(rows)).ok());
    ASSERT_TRUE(stores.store.clearView().empty()); // the ring view is empty; the log keeps both
    ASSERT_TRUE(stores.add(makeRecord("1234", "3130", kTestTime + 2 * 86400)).ok());
    ScriptedDialogs dialogs;
    TForm_Events form{stores.journal, dialogs};
    EXPECT_FALSE(form.Menu_Events_Export->isEnabled()) << "no log, no export";
    form.setEventLog([&stores] { return stores.store.connect(EventLog::Role::Reader); });
    form.show();
    const auto count = [&] {
        return form.StatusBar1->findChild<QLabel*>(QStringLiteral("StatusBar1_Panel0"))->text();
    };
    const auto column = [&](int c) {
        std::vector<std::string> cells;
        for (int r = 0; r < form.model()->rowCount(); ++r)
            cells.push_back(form.model()->index(r, c).data().toString().toStdString());
        return cells;
    };
    ASSERT_EQ(count(), QStringLiteral("Events received: 1"));

    struct Row {
        const char* account;
        const char* text;
        const char* from;
        const char* to;
        const char* count;
        std::vector<std::string> accounts;
        std::vector<std::string> states;
        const char* note;
    };
    const Row filters[] = {
        {"1234", "", "", "", "Events found: 2", {" 1234", " 1234"}, {"Pending", "Pending"}, ""},
        {"", "ba", "", "", "Events found: 1", {" 5678"}, {"Pending"}, ""},
        {"", "", "2026-12-08", "2026-12-08", "Events found: 1", {" 5678"}, {"Pending"}, ""},
        {"", "", "2026-12-07", "", "Events found: 3", {" 1234", " 5678", " 1234"}, {}, ""},
        // A row that does not read leaves the list as it was and says why.
        {"",
         "",
         "2026-12-32",
         "",
         "Events found: 3",
         {" 1234", " 5678", " 1234"},
         {},
         "From: a date as YYYY-MM-DD, such as 2026-12-07"},
        {"",
         "",
         "2026-12-09",
         "2026-12-08",
         "Events found: 3",
         {" 1234", " 5678", " 1234"},
         {},
         "From is after To"},
        {"9999", "", "", "", "Events found: 0", {""}, {""}, ""},
        // Every field empty: the ring again.
        {"", "", "", "", "Events received: 1", {" 1234"}, {"Pending"}, ""},
    };
    for (const Row& row : filters) {
        form.Edit_Filter_Account->setText(QString::fromLatin1(row.account));
        form.Edit_Filter_Text->setText(QString::fromLatin1(row.text));
        form.Edit_Filter_From->setText(QString::fromLatin1(row.from));
        form.Edit_Filter_To->setText(QString::fromLatin1(row.to));
        form.applyFilter();
        ASSERT_TRUE(testsupport::waitUntil([&] { return !form.searching(); })) << row.account << row.text;
        EXPECT_EQ(count(), QString::fromLatin1(row.count)) << row.account << row.text << row.from;
        EXPECT_EQ(column(3), row.accounts) << row.account << row.text << row.from;
        if (!row.states.empty()) {
            EXPECT_EQ(column(9), row.states) << row.account << row.text;
        }
        EXPECT_EQ(form.noteText(), QString::fromLatin1(row.note)) << row.account << row.text << row.from;
    }

    // Typing searches once the operator pauses.
    form.Edit_Filter_Account->setText(QStringLiteral("5678"));
    emit form.Edit_Filter_Account->textEdited(form.Edit_Filter_Account->text());
    EXPECT_TRUE(testsupport::waitUntil([&] { return count() == QStringLiteral("Events found: 1"); }));

    // A new event of the account reaches the filtered list with the next refresh.
    form.Edit_Filter_Account->setText(QStringLiteral("1234"));
    form.applyFilter();
    ASSERT_TRUE(testsupport::waitUntil([&] { return !form.searching(); }));
    ASSERT_TRUE(stores.add(makeRecord("1234", "1401", kTestTime + 3 * 86400)).ok());
    form.Refresh_Log_GridExecute();
    ASSERT_TRUE(testsupport::waitUntil([&] { return !form.searching(); }));
    EXPECT_EQ(column(4), (std::vector<std::string>{" 1   401 Open/close by user", " 3   130 Burglary",
                                                   " 1   130 Burglary"}));

    // Export writes the rows shown: the filter's, then (after "Show All") the ring's.
    const QString file = QString::fromStdString(stores.file("shown.csv"));
    const auto exported = [&] {
        QFile f(file);
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()).split(QStringLiteral("\r\n"))
                                           : QStringList();
    };
    dialogs.saveNames = {file};
    form.Menu_Events_Export->trigger();
    QStringList lines = exported();
    ASSERT_EQ(lines.size(), 5); // header, three rows, and the empty rest after the last CRLF
    EXPECT_TRUE(lines[0].startsWith(QStringLiteral("Time Received,Receiver Number,")))
        << lines[0].toStdString();
    EXPECT_EQ(lines[1], QStringLiteral("2026-12-10 00:00:00,0001,02,1234,1   401,01,015,10.0.0.7,,Pending,"
                                       "10.0.0.7,4,ADM-CID,Open/close by user"));
    EXPECT_EQ(form.noteText(), QStringLiteral("3 events written to ") + file);
    form.Button_Filter_Clear->click();
    dialogs.saveNames = {file};
    form.Menu_Events_Export->trigger();
    lines = exported();
    ASSERT_EQ(lines.size(), 4);
    EXPECT_TRUE(lines[1].startsWith(QStringLiteral("2026-12-10 00:00:00"))) << lines[1].toStdString();
    EXPECT_TRUE(lines[2].startsWith(QStringLiteral("2026-12-09 00:00:00"))) << lines[2].toStdString();
    // Cancelled, nothing is written; a place that cannot take the file says so.
    ASSERT_TRUE(QFile::remove(file));
    form.Menu_Events_Export->trigger();
    EXPECT_FALSE(QFile::exists(file));
    dialogs.saveNames = {QString::fromStdString(stores.file("no-such-dir/shown.csv"))};
    form.Menu_Events_Export->trigger();
    ASSERT_FALSE(dialogs.asked.empty());
    EXPECT_EQ(dialogs.asked.back().title, QStringLiteral("Error"));
    EXPECT_TRUE(dialogs.asked.back().text.startsWith(QStringLiteral("Cannot export to ")))
        << dialogs.asked.back().text.toStdString();
}

} // namespace
