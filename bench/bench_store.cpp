// Cost of storing accepted messages: one group commit of the event log (the transaction with its
// rows and account slots, synced, then the views written) for groups of 1, 8, 64 and 256 events,
// in wall time: the sync is the disk's time, not the calling thread's.
#include "dc09/StoreEvent.h"
#include "store/AccountTable.h"
#include "store/EventStore.h"
#include "store/Journal.h"
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

DC9_Message makeMessage(const std::string& account, int sequence)
{
    DC9_Message m;
    m.sequence = sequence % 10000;
    setFieldText(m.receiver, "R1");
    setFieldText(m.line, "L2");
    setFieldText(m.account, account);
    setFieldText(m.event, "1130");
    setFieldText(m.partition, "01");
    setFieldText(m.zone, "015");
    setFieldText(m.extended, "[Q87][B192.168.1.20]");
    setFieldText(m.token, "ADM-CID");
    setFieldText(m.content, "[#" + account + "|1130 01 015][Q87][B192.168.1.20]");
    return m;
}

// One group commit of state.range(0) events from as many accounts, in a data directory under `base`:
// the real disk (/var/tmp, ext4 on the build machine) or memory (/dev/shm, tmpfs), where the sync
// costs nothing and what remains is the writing itself.
void groupCommit(benchmark::State& state, const char* base)
{
    if (!std::filesystem::is_directory(base)) {
        state.SkipWithError("no such directory");
        return;
    }
    ScratchDir dir(base);
    Journal journal({dir.file("kalvor.dat"), dir.file("extevn.dat")});
    AccountTable accounts(dir.file("latevn.dat"));
    journal.load();
    accounts.load();
    EventStore store(dir.file("events.db"), journal, accounts);
    if (!store.open()) {
        state.SkipWithError("the event log could not be opened");
        return;
    }
    const int events = int(state.range(0));
    std::vector<DC9_Message> messages;
    for (int i = 0; i < events; ++i)
        messages.push_back(makeMessage(std::to_string(100000 + i), i));
    std::uint64_t stage = 0;
    for (auto _ : state) {
        std::vector<StagedRow> rows;
        rows.reserve(messages.size());
        for (const DC9_Message& m : messages)
            rows.push_back(Stage_DC9_Event(m, 1796601600, EventSource{"tcp", "10.1.2.3", 50001}, ++stage,
                                           accounts, journal));
        if (!store.commitNow(std::move(rows)).ok()) {
            state.SkipWithError("commit failed");
            return;
        }
    }
    state.SetItemsProcessed(state.iterations() * events);
}
BENCHMARK_CAPTURE(groupCommit, disk_var_tmp, "/var/tmp")
    ->Arg(1)
    ->Arg(8)
    ->Arg(64)
    ->Arg(256)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(groupCommit, tmpfs_dev_shm, "/dev/shm")
    ->Arg(1)
    ->Arg(8)
    ->Arg(64)
    ->Arg(256)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);
} // namespace
