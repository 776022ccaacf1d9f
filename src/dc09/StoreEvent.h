// Turns an accepted DC-09 message into a journal event and an account update, and writes them to
// disk in groups before the panels' answers go out.
#pragma once

#include "dc09/Dc09Message.h"
#include "store/FileIo.h"

#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

class AccountTable;
class Journal;
class ParallelSync;

// Where one staged event went in memory.
struct StagedEvent {
    std::size_t journalSlot = 0;
    std::optional<std::size_t> accountSlot; // none when the account table is full
};

// Memory only: the event waits in its journal slot until a commit writes it.
[[nodiscard]] StagedEvent Stage_DC9_Event(const DC9_Message& message, std::time_t received,
                                          std::string_view remoteAddress, int remotePort,
                                          AccountTable& accounts, Journal& journal);

// The slots of the events staged since the last commit. Each account slot is written once however
// many of the group's events it had.
class CommitGroup {
public:
    void add(const StagedEvent& event);
    void append(const CommitGroup& other);
    void clear();
    [[nodiscard]] bool empty() const { return m_journalSlots.empty(); }
    [[nodiscard]] std::size_t events() const { return m_journalSlots.size(); }

    // Journal slots, their extended texts and the header, then the account slots; then one sync per
    // file, all at once through `syncs` when given. The first failure ends the commit: the group's
    // events must then go unanswered.
    // `beforeFinish` runs once the files are synced, before the slots count as on disk.
    [[nodiscard]] FileFailure commit(Journal& journal, AccountTable& accounts, ParallelSync* syncs = nullptr,
                                     const std::function<void()>& beforeFinish = {}) const;
    // After a commit that could not run at all: the persist pass takes the events over.
    void abandon(Journal& journal) const;

private:
    std::vector<std::uint16_t> m_journalSlots;
    std::vector<std::uint16_t> m_accountSlots;
};

// Stage and commit one event on its own; the failure, if any, is the caller's to report.
[[nodiscard]] FileFailure Store_DC9_Event(const DC9_Message& message, std::time_t received,
                                          std::string_view remoteAddress, int remotePort,
                                          AccountTable& accounts, Journal& journal);
