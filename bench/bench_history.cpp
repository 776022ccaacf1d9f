// The Event List's filter and the CSV export over an event log of 1,000,000 events: 1,000 accounts
// reporting in turn, one event every 3 seconds (35 days), as the receiver writes them. Each filter
// is timed as the window's search runs it (the newest 2,048 matches), on a connection that has read
// the log before (its pages in the system's cache, as on a receiver that has run a while).
#include "store/EventCsv.h"
#include "store/EventLog.h"
#include "store/RecordText.h"

#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <string>
#include <unistd.h>

namespace {

constexpr int kEvents = 1000000;
constexpr int kAccounts = 1000;
constexpr std::int64_t kFirstUtc = 1796601600; // 2026-12-07 00:00:00 UTC
constexpr std::int64_t kSpacing = 3;
constexpr std::size_t kShown = 2048;

class LogOfAMillion {
public:
    LogOfAMillion()
    {
        std::string pattern = (std::filesystem::path("/var/tmp") / "ardentel-bench-history-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr)
            return;
        m_dir = pattern;
        EventLog writer(path(), EventLog::Role::Writer);
        if (!writer.isOpen())
            return;
        static const char* const kCodes[] = {"1130", "3130", "1401", "3401", "1602", "NULL", "BA", "1120"};
        std::vector<LoggedEvent> batch;
        for (int i = 0; i < kEvents; ++i) {
            LoggedEvent& e = batch.emplace_back();
            const std::string account = std::to_string(100000 + i % kAccounts);
            const std::string address =
                "10.1." + std::to_string(i % kAccounts / 250) + "." + std::to_string(i % 250);
            const char* code = kCodes[(i / kAccounts) % 8];
            const std::string zone = std::to_string(100 + i % 900);
            e.receivedUtc = kFirstUtc + std::int64_t(i) * kSpacing;
            e.transport = "tcp";
            e.sourceAddress = address;
            e.sourcePort = 40000 + i % 20000;
            e.sequence = i % 10000;
            e.token = std::string(code) == "NULL" ? "NULL"
                      : std::string(code) == "BA" ? "SIA-DCS"
                                                  : "ADM-CID";
            e.content = "[#" + account + "|" + code + " 01 " + zone + "][Q" + std::to_string(40 + i % 60) +
                        "][B" + address + "]";
            e.extended = "[Q" + std::to_string(40 + i % 60) + "][B" + address + "]";
            setFieldText(e.record.receiver, "0001");
            setFieldText(e.record.line, "02");
            setFieldText(e.record.account, account);
            setFieldText(e.record.event, code);
            setFieldText(e.record.partition, "01");
            setFieldText(e.record.zone, zone);
            setFieldText(e.record.address, address);
            e.journalSlot = i % 2048;
            e.accountSlot = i % kAccounts;
            e.state = e.token == "NULL" ? ForwardState::NotReportable : ForwardState::Reported;
            if (batch.size() == 20000 || i + 1 == kEvents) {
                if (!writer.commit(batch, {}).ok())
                    return;
                batch.clear();
            }
        }
        (void)writer.checkpoint();
        m_ready = true;
    }
    ~LogOfAMillion()
    {
        std::error_code ec;
        if (!m_dir.empty())
            std::filesystem::remove_all(m_dir, ec);
    }
    [[nodiscard]] bool ready() const { return m_ready; }
    [[nodiscard]] std::string path() const { return m_dir + "/events.db"; }
    [[nodiscard]] std::string file(const char* name) const { return m_dir + "/" + name; }

private:
    std::string m_dir;
    bool m_ready = false;
};

LogOfAMillion& theLog()
{
    static LogOfAMillion log;
    return log;
}

// The local midnight of the day `day` days after the first event's.
std::int64_t dayStart(int day)
{
    return *EventLog::localDayStart(EventLog::localTimeText(kFirstUtc).substr(0, 10), day);
}

void filter(benchmark::State& state, EventFilter filter)
{
    if (!theLog().ready()) {
        state.SkipWithError("the log of a million events could not be written");
        return;
    }
    EventLog log(theLog().path(), EventLog::Role::Reader);
    (void)log.find(filter, kShown); // the pages it reads are in the cache from here on
    std::size_t rows = 0;
    bool cut = false;
    for (auto _ : state) {
        const HistoryPage page = log.find(filter, kShown);
        if (!page.failure.ok()) {
            state.SkipWithError(page.failure.text().c_str());
            return;
        }
        rows = page.rows.size();
        cut = page.textSearchCut;
        benchmark::DoNotOptimize(page.rows.data());
    }
    state.counters["rows"] = double(rows);
    state.counters["text_cut"] = cut ? 1 : 0;
}

EventFilter withAccount(const char* account)
{
    EventFilter f;
    f.account = account;
    return f;
}
EventFilter withDays(int first, int days)
{
    EventFilter f;
    f.fromUtc = dayStart(first);
    f.beforeUtc = dayStart(first + days);
    return f;
}
EventFilter withText(EventFilter f, const char* text)
{
    f.text = text;
    return f;
}

// The baseline: the newest 2,048 rows as the ring view's query reads them.
void newestRows(benchmark::State& state)
{
    if (!theLog().ready()) {
        state.SkipWithError("the log of a million events could not be written");
        return;
    }
    EventLog log(theLog().path(), EventLog::Role::Reader);
    (void)log.newest(kShown, 0);
    for (auto _ : state)
        benchmark::DoNotOptimize(log.newest(kShown, 0).data());
}
BENCHMARK(newestRows)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(filter, all_days, withDays(0, 100))->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(filter, account, withAccount("100123"))->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(filter, one_day, withDays(20, 1))->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(filter, account_and_week,
                  [] {
                      EventFilter f = withDays(10, 7);
                      f.account = "100777";
                      return f;
                  }())
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(filter, text_common, withText({}, "1401"))->Unit(benchmark::kMillisecond);
// Text that no event holds: the whole search reaches as far back as it may.
BENCHMARK_CAPTURE(filter, text_nowhere, withText({}, "no such text"))->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(filter, text_nowhere_all_days, withText(withDays(0, 100), "no such text"))
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(filter, text_nowhere_one_day, withText(withDays(20, 1), "no such text"))
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(filter, text_nowhere_account, withText(withAccount("100123"), "no such text"))
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(filter, text_address, withText({}, "10.1.3.17]"))->Unit(benchmark::kMillisecond);

// --export-events's loop: every event as a CSV row, written to a file on the same disk.
void exportAll(benchmark::State& state)
{
    if (!theLog().ready()) {
        state.SkipWithError("the log of a million events could not be written");
        return;
    }
    const std::string out = theLog().file("export.csv");
    std::int64_t rows = 0;
    for (auto _ : state) {
        EventLog log(theLog().path(), EventLog::Role::Visitor);
        const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        std::string buffer = csv::headerRow();
        rows = 0;
        bool ok = fd >= 0;
        const FileFailure read = log.forEachMatch({}, [&](const LoggedEvent& e) {
            csv::appendRow(buffer, e);
            ++rows;
            if (buffer.size() >= (1 << 20)) {
                ok = ok && ::write(fd, buffer.data(), buffer.size()) == ssize_t(buffer.size());
                buffer.clear();
            }
            return true;
        });
        ok = ok && ::write(fd, buffer.data(), buffer.size()) == ssize_t(buffer.size());
        if (fd >= 0)
            ::close(fd);
        if (!read.ok() || !ok) {
            state.SkipWithError("the export failed");
            return;
        }
    }
    state.counters["rows"] = double(rows);
    state.SetItemsProcessed(state.iterations() * rows);
}
BENCHMARK(exportAll)->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace
