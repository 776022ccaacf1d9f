// Cost of storing accepted messages: one message staged and committed on its own, and group
// commits (journal, extended data and account slots written, one sync per file) of several.
#include "dc09/StoreEvent.h"
#include "store/AccountTable.h"
#include "store/Journal.h"
#include "store/ParallelSync.h"
#include "store/RecordText.h"

#include <benchmark/benchmark.h>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {
class ScratchDir {
public:
    explicit ScratchDir(const std::filesystem::path& base = std::filesystem::temp_directory_path())
    {
        std::string pattern = (base / "ardentel-bench-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr)
            m_path = pattern;
    }
    ~ScratchDir()
    {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    [[nodiscard]] std::string file(const char* name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

DC9_Message makeMessage(const std::string& account)
{
    DC9_Message m;
    setFieldText(m.receiver, "R1");
    setFieldText(m.line, "L2");
    setFieldText(m.account, account);
    setFieldText(m.event, "1130");
    setFieldText(m.partition, "01");
    setFieldText(m.zone, "015");
    setFieldText(m.extended, "[Q87][B192.168.1.20]");
    return m;
}

// state.range(0) accounts in the table; messages cycle over them, so the lookup walks on average
// half of the used slots.
void BM_StoreDc9Event(benchmark::State& state)
{
    ScratchDir dir;
    Journal journal({dir.file("kalvor.dat"), dir.file("extevn.dat")}, {}, [](int) {});
    AccountTable accounts(dir.file("latevn.dat"));
    journal.load();
    accounts.load();
    const int accountCount = int(state.range(0));
    std::vector<DC9_Message> messages;
    for (int i = 0; i < accountCount; ++i)
        messages.push_back(makeMessage(std::to_string(100000 + i)));
    for (const DC9_Message& m : messages)
        (void)Store_DC9_Event(m, 1796601600, "10.1.2.3", 50001, accounts, journal);

    std::size_t next = 0;
    for (auto _ : state) {
        (void)Store_DC9_Event(messages[next], 1796601600, "10.1.2.3", 50001, accounts, journal);
        next = (next + 1) % messages.size();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_StoreDc9Event)->Arg(1)->Arg(100)->Arg(2048)->Unit(benchmark::kMicrosecond);

// One group commit of state.range(0) events from as many accounts, in a data directory under `base`:
// the real disk (/var/tmp, ext4 on the build machine) or memory (/dev/shm, tmpfs), where the sync
// costs nothing and what remains is the writing itself.
// With `parallel`, the three files are synced at the same time, as the receiver does.
void groupCommit(benchmark::State& state, const char* base, bool parallel)
{
    if (!std::filesystem::is_directory(base)) {
        state.SkipWithError("no such directory");
        return;
    }
    ScratchDir dir(base);
    Journal journal({dir.file("kalvor.dat"), dir.file("extevn.dat")}, {}, [](int) {});
    AccountTable accounts(dir.file("latevn.dat"));
    journal.load();
    accounts.load();
    const int events = int(state.range(0));
    std::vector<DC9_Message> messages;
    for (int i = 0; i < events; ++i)
        messages.push_back(makeMessage(std::to_string(100000 + i)));
    ParallelSync syncs;
    for (auto _ : state) {
        CommitGroup group;
        for (const DC9_Message& m : messages)
            group.add(Stage_DC9_Event(m, 1796601600, "10.1.2.3", 50001, accounts, journal));
        if (!group.commit(journal, accounts, parallel ? &syncs : nullptr).ok()) {
            state.SkipWithError("commit failed");
            return;
        }
    }
    state.SetItemsProcessed(state.iterations() * events);
}
BENCHMARK_CAPTURE(groupCommit, disk_var_tmp, "/var/tmp", true)
    ->Arg(1)
    ->Arg(8)
    ->Arg(64)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(groupCommit, disk_var_tmp_one_by_one, "/var/tmp", false)
    ->Arg(1)
    ->Arg(8)
    ->Arg(64)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(groupCommit, tmpfs_dev_shm, "/dev/shm", true)
    ->Arg(1)
    ->Arg(8)
    ->Arg(64)
    ->Unit(benchmark::kMicrosecond);
} // namespace
