// Cost of refreshing the Event List over a full, wrapped journal and the Object List over a full
// account table, shown on the offscreen platform and drawn, as the receiver's main thread pays it.
#include "store/AccountTable.h"
#include "store/Journal.h"
#include "store/RecordText.h"
#include "ui/Dialogs.h"
#include "ui/EventListModel.h"
#include "ui/EventsForm.h"
#include "ui/GridView.h"
#include "ui/LatestEventsForm.h"

#include <QApplication>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>
#include <string>

namespace {

JournalRecord eventRecord(std::size_t i)
{
    JournalRecord r{};
    setFieldText(r.receiver, "1");
    setFieldText(r.line, "1");
    setFieldText(r.account, std::to_string(1000 + i % 4096));
    setFieldText(r.event, i % 7 == 0 ? "NULL" : "1130");
    setFieldText(r.partition, "01");
    setFieldText(r.zone, "015");
    setFieldText(r.address, "192.168.10.20");
    r.time_received = 1796601600 + std::int32_t(i);
    return r;
}

void BM_EventListRefreshFullWrappedJournal(benchmark::State& state)
{
    QTemporaryDir dir;
    Journal journal(Journal::Paths{dir.filePath(QStringLiteral("kalvor.dat")).toStdString(),
                                   dir.filePath(QStringLiteral("extevn.dat")).toStdString()},
                    LogSink{});
    journal.load();
    for (std::size_t i = 0; i < journal::kSlots + 10; ++i) // wrapped: next_slot is 10
        journal.append(eventRecord(i), "[Q87]");
    ScriptedDialogs dialogs;
    TForm_Events form(journal, dialogs);
    form.show();
    QApplication::processEvents(); // laid out and exposed, so a repaint draws
    if (form.model()->rowCount() != int(journal::kSlots))
        state.SkipWithError("the journal is not shown in full");
    for (auto _ : state) {
        form.Refresh_Log_GridExecute();
        form.StringGrid_Events->viewport()->repaint(); // the cells drawn, as the next paint would
    }
}
BENCHMARK(BM_EventListRefreshFullWrappedJournal)->Unit(benchmark::kMillisecond);

void BM_ObjectListRefreshFullTable(benchmark::State& state)
{
    QTemporaryDir dir;
    AccountTable accounts(dir.filePath(QStringLiteral("latevn.dat")).toStdString());
    accounts.load();
    for (std::size_t i = 0; i < accounts::kSlots; ++i) {
        JournalRecord r = eventRecord(i);
        (void)accounts.stage(r, "[Q50]");
    }
    ScriptedDialogs dialogs;
    TForm_Latest_Events form(accounts, dialogs);
    form.show();
    QApplication::processEvents();
    for (auto _ : state) {
        form.Refresh_ID_List_GridExecute();
        form.StringGrid_Latest_Events->viewport()->repaint();
    }
}
BENCHMARK(BM_ObjectListRefreshFullTable)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
