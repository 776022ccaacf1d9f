// The "Event List" window over a real journal in a temporary directory: which slot each row
// shows, the cell texts, the states after the real forwarding pass, clearing, and hiding.
#include "QtPrinters.h"
#include "config/Clock.h"
#include "output/MonitoringThread.h"
#include "output/OutputMessages.h"
#include "store/AccountTable.h"
#include "store/Journal.h"
#include "store/StoreTestSupport.h"
#include "ui/Dialogs.h"
#include "ui/EventListModel.h"
#include "ui/EventsForm.h"
#include "ui/GridView.h"

#include <QAction>
#include <QDir>
#include <QHeaderView>
#include <QLabel>
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
        {"3401", 1, "[Q87]", " 3   401", " 87 %", "Unknown"},
        {"1130", 3, "", " 1   130", "", "Pending"},
        {"E130", 7, "[Q12.5][B1.2.3.4]", " 5   130", " 12.5 %", "Reported"},
        {"1130", 5, "[Qx]", " 1   130", "", "Unknown"},
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
        const QStringList expected = {QStringLiteral("   00:00:00 2026-12-07"),
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

} // namespace
