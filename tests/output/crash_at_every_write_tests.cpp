// The storage protocol proven by crashing: one scenario (a panel that repeats its unanswered frame,
// then a new alarm of the same content, then events that wrap the ring over events not yet
// forwarded) is run once for every write and sync it makes, crashing at that one: what was not
// synced is lost, the stores start again from the disk, and the panels go on as real ones do. Every
// event a panel saw acknowledged must reach the automation software.
#include "../support/FaultInjection.h"
#include "config/Clock.h"
#include "dc09/EventIntake.h"
#include "output/MonitoringThread.h"
#include "output/OutputMessages.h"
#include "store/EventLog.h"
#include "store/StoreTestSupport.h"

#include <filesystem>
#include <iostream>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

constexpr std::time_t kStart = 1796601600;

// Every line acknowledged at once; what it acknowledged is what the automation software has.
class AckingTransport : public OutputTransport {
public:
    Exchange exchangeLine(const std::string& line, Kind kind, std::chrono::milliseconds) override
    {
        if (kind == Kind::Report)
            taken[line.substr(0, line.find(output::kDc4))] += 1;
        return Exchange{SendResult::Sent, output::kAck};
    }
    std::map<std::string, int> taken;
};

DC9_Message message(const char* account, int sequence, int zone)
{
    DC9_Message m;
    m.sequence = sequence;
    setFieldText(m.receiver, "1");
    setFieldText(m.line, "1");
    setFieldText(m.account, account);
    setFieldText(m.event, "1130");
    setFieldText(m.partition, "01");
    char z[8];
    std::snprintf(z, sizeof z, "%03d", zone % 1000);
    setFieldText(m.zone, z);
    setFieldText(m.token, "ADM-CID");
    setFieldText(m.content, std::string("[#") + account + "|1130 01 " + z + "]");
    return m;
}

std::string lineOf(const DC9_Message& m)
{
    JournalRecord r{};
    setFieldText(r.receiver, fieldText(m.receiver));
    setFieldText(r.line, fieldText(m.line));
    setFieldText(r.account, fieldText(m.account));
    setFieldText(r.event, fieldText(m.event));
    setFieldText(r.partition, fieldText(m.partition));
    setFieldText(r.zone, fieldText(m.zone));
    const std::string line = Format_Report(r, 0);
    return line.substr(0, line.find(output::kDc4));
}

// A running receiver's stores, intake and forwarding pass over one data directory.
struct World {
    World(const std::string& dir, ManualClock& clock, AckingTransport& transport)
        : stack(io, dir), intake(config, stack.accounts, stack.journal, stack.store),
          forwarder(stack.journal, stack.accounts, stack.store, shared, transport, clock,
                    [] { return ForwardingSettings{}; }, MonitoringHooks{}, MonitoringTiming{0ms, 0ms, 0ms, 0ms})
    {
        config = defaultConfig();
        (void)stack.open(); // a failure here is the crash itself; the scenario notices it
        stack.accounts.onNeedsCommit = [this] { (void)stack.store.requestCommit(); };
        intake.loadRepeats(std::int64_t(clock.wallNow().seconds));
        shared.Output_Link_State = output::kLinkUp;
    }
    static inline faults::FaultyFileIo io;
    Config_Record config{};
    StoreStack stack;
    EventIntake intake;
    OutputShared shared;
    Monitoring_Thread forwarder;
};

// The panels: each sends its messages in order, one at a time, the current one again until it is
// acknowledged.
struct Panel {
    std::vector<DC9_Message> messages;
    std::size_t next = 0;
    [[nodiscard]] bool done() const { return next == messages.size(); }
};

struct Outcome {
    std::map<std::string, int> acknowledged; // report line -> events acknowledged with it
    std::map<std::string, int> forwarded;
    int crashes = 0;
    std::uint64_t operations = 0;
    std::vector<std::string> badFiles;
};

// What the prepared directory holds: 2,040 events, all forwarded but the oldest 20, which the new
// events wrap the ring over before the link comes up.
constexpr int kPrepared = 2040;
constexpr int kPreparedPending = 20;
constexpr int kLinkUpAtTurn = 20;

std::string preparedLine(int i)
{
    return lineOf(message("7777", 1 + i % 9999, 100 + i % 800));
}

void prepare(const std::string& dir)
{
    StoreStack stack(FileIo::posix(), dir);
    ASSERT_TRUE(stack.open());
    std::vector<StagedRow> rows;
    std::uint64_t stage = 0;
    for (int i = 0; i < kPrepared; ++i) {
        const DC9_Message m = message("7777", 1 + i % 9999, 100 + i % 800);
        rows.push_back(Stage_DC9_Event(m, kStart - 3600, EventSource{"tcp", "10.0.0.9", 4000}, ++stage,
                                       stack.accounts, stack.journal));
        if (rows.size() == 255 || i + 1 == kPrepared) {
            ASSERT_TRUE(stack.store.commitNow(std::exchange(rows, {})).ok());
        }
    }
    // Reported, as the automation software left them, except the oldest.
    const auto log = stack.store.connect(EventLog::Role::Forwarder);
    std::vector<ReportMark> marks;
    for (const LoggedEvent& e : log->pending(kPrepared)) {
        if (e.id <= kPreparedPending)
            continue;
        marks.push_back(ReportMark{e.id, kStart - 3000, "prepared"});
        ASSERT_TRUE(stack.journal.markReported(std::size_t(e.journalSlot), e.id));
    }
    ASSERT_TRUE(log->markReported(marks).ok());
    stack.store.housekeep();
}

Outcome runScenario(const std::string& dir, std::uint64_t crashAt)
{
    faults::reset();
    faults::crashAt(crashAt);
    Outcome out;
    ManualClock clock(kStart);
    AckingTransport transport;
    std::vector<Panel> panels(2);
    panels[0].messages = {message("1234", 1, 1), message("1234", 2, 1)}; // the same content, a new number
    for (int i = 1; i <= 24; ++i)
        panels[1].messages.push_back(message("5678", i, i));
    auto world = std::make_unique<World>(dir, clock, transport);
    const auto restartIfCrashed = [&] {
        if (!faults::crashed())
            return false;
        ++out.crashes;
        out.operations += faults::operations();
        world.reset(); // what it does on the way out fails: the power is gone
        faults::reset();
        clock.advance(5000);
        world = std::make_unique<World>(dir, clock, transport);
        return true;
    };
    for (int turn = 0; turn < 200; ++turn) {
        bool all = true;
        std::map<std::uint64_t, Panel*> waiting;
        for (Panel& p : panels) {
            if (p.done())
                continue;
            all = false;
            const EventIntake::Taken taken = world->intake.accepted(
                p.messages[p.next], clock.wallNow().seconds, EventSource{"tcp", "10.0.0.1", 5000});
            waiting[taken.answer] = &p;
        }
        if (all)
            break;
        world->shared.Output_Link_State = turn >= kLinkUpAtTurn ? output::kLinkUp : 0;
        world->intake.seal();
        world->stack.store.commitQueued();
        for (const EventIntake::Decision& d : world->intake.decide().answers) {
            Panel* p = waiting[d.answer];
            if (d.send && p != nullptr) {
                ++out.acknowledged[lineOf(p->messages[p->next])];
                ++p->next;
            }
        }
        if (restartIfCrashed())
            continue;
        world->forwarder.runPass();
        if (restartIfCrashed())
            continue;
        if (turn % 3 == 2)
            world->stack.store.housekeep();
        (void)restartIfCrashed();
        clock.advance(1000);
    }
    // The last start, with no crash to come: everything still pending goes out.
    out.operations += faults::operations();
    world.reset();
    faults::reset();
    world = std::make_unique<World>(dir, clock, transport);
    world->shared.Output_Link_State = output::kLinkUp;
    for (int pass = 0; pass < 100 && world->stack.store.connect(EventLog::Role::Reader)->pendingCount() > 0; ++pass)
        world->forwarder.runPass();
    world.reset();
    out.forwarded = transport.taken;
    for (const auto& [name, size] : {std::pair{"kalvor.dat", 139268u}, {"extevn.dat", 131072u}, {"latevn.dat", 163840u}})
        if (std::filesystem::file_size(dir + "/" + name) != size)
            out.badFiles.push_back(name);
    return out;
}

// The disk's sync time is no part of what is tested: memory serves where it can.
std::string scratchBase()
{
    return std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "";
}

TEST(CrashAtEveryWrite, EveryAcknowledgedEventIsForwardedWhereverThePowerWent)
{
    faults::installLogLayer();
    TempDir prepared(scratchBase());
    prepare(prepared.path());
    const auto copyInto = [&](const TempDir& to) {
        for (const auto& entry : std::filesystem::directory_iterator(prepared.path()))
            std::filesystem::copy(entry.path(), to.path() + "/" + entry.path().filename().string(),
                                  std::filesystem::copy_options::overwrite_existing);
    };

    // The scenario without a crash: how many writes and syncs it makes.
    TempDir dry(scratchBase());
    copyInto(dry);
    const Outcome clean = runScenario(dry.path(), 0);
    ASSERT_EQ(clean.crashes, 0);
    const std::uint64_t operations = clean.operations;
    ASSERT_GT(operations, 20u);
    std::cout << "[ scenario ] " << operations << " writes and syncs, each one a crash point\n";

    for (std::uint64_t k = 1; k <= operations; ++k) {
        SCOPED_TRACE("crash at operation " + std::to_string(k));
        TempDir dir(scratchBase());
        copyInto(dir);
        const Outcome o = runScenario(dir.path(), k);
        EXPECT_EQ(o.crashes, 1);
        EXPECT_TRUE(o.badFiles.empty()) << o.badFiles.front();
        for (const auto& [line, times] : o.acknowledged) {
            const auto it = o.forwarded.find(line);
            const int forwarded = it == o.forwarded.end() ? 0 : it->second;
            EXPECT_GE(forwarded, times) << line << " acknowledged " << times << " times";
        }
        for (int i = 0; i < kPreparedPending; ++i)
            EXPECT_GE(o.forwarded.count(preparedLine(i)), 1u) << "an event the ring wrapped over: " << i;
        if (HasFailure())
            break; // one crash point's story is enough to read
    }
}

} // namespace
