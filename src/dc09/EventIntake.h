// The receiver's decisions between a judged frame and its answer, with no sockets: a repeat or a new
// event, the group of one turn of the event loop, its commit, and which answers may go out once
// the commits have come back. Every answer keeps its place: answers are decided in the order they
// were taken, so each connection's answers leave in the order its frames came.
#pragma once

#include "config/ConfigRecord.h"
#include "dc09/Dc09Message.h"
#include "dc09/RepeatFilter.h"
#include "dc09/StoreEvent.h"
#include "store/EventStore.h"

#include <cstdint>
#include <ctime>
#include <deque>
#include <vector>

class AccountTable;
class Journal;

class EventIntake {
public:
    // Events of one turn committed together at most; a flood beyond that is committed in several
    // groups, so the first answers need not wait for the whole flood.
    static constexpr std::size_t kMaxGroupEvents = EventStore::kMaxCommitEvents;
    // Events not yet in the log at most before the receiver stops reading: the panels then wait in
    // TCP rather than the receiver in front of a slow disk.
    static constexpr std::size_t kMaxPendingEvents = 1024;

    EventIntake(const Config_Record& config, AccountTable& accounts, Journal& journal, EventStore& store);

    struct Taken {
        std::uint64_t answer = 0; // its number: decisions come in this order
        bool repeat = false;      // answered as the first copy was, not stored again
    };
    // An accepted message ("ACK" or "*ACK"): its answer goes out only once the event, or the first
    // copy it repeats, is in the log.
    Taken accepted(const DC9_Message& message, std::time_t received, const EventSource& source);
    // Any other answer ("NAK", "DUH"): it needs nothing from the disk, but waits its turn.
    std::uint64_t unstored();
    [[nodiscard]] bool groupFull() const { return m_group.size() >= kMaxGroupEvents; }
    [[nodiscard]] bool hasOpenAnswers() const { return !m_open.answers.empty(); }
    // End of the turn: the open group goes to the log.
    void seal();

    struct Decision {
        std::uint64_t answer = 0;
        bool send = false;
    };
    struct Decided {
        std::vector<Decision> answers;   // in order
        std::vector<FileFailure> failed; // commit failures that start an episode: say them
    };
    // Takes what the log has reported back and decides every answer whose turn has come.
    [[nodiscard]] Decided decide();

    // Events not yet in the log (the open group and the store's).
    [[nodiscard]] std::size_t pendingEvents() const;
    [[nodiscard]] bool overloaded() const { return pendingEvents() > kMaxPendingEvents; }
    [[nodiscard]] std::size_t undecided() const;
    // The repeats' memory from the log's last minute, as after a restart.
    void loadRepeats(std::int64_t now);
    [[nodiscard]] RepeatFilter& repeats() { return m_repeats; }

private:
    struct Pending {
        std::uint64_t answer = 0;
        bool own = false;         // needs this batch's commit
        std::uint64_t ticket = 0; // or this one's (a repeat's first copy); 0 for none
    };
    struct Batch {
        std::uint64_t ticket = 0; // 0: nothing to wait for
        std::vector<Pending> answers;
        std::vector<RepeatFilter::Entry*> firstCopies; // remembered in this batch, sealed with it
        bool commitWanted = false; // a repeat of a copy whose commit failed: commit it again
    };

    const Config_Record& m_config;
    AccountTable& m_accounts;
    Journal& m_journal;
    EventStore& m_store;
    RepeatFilter m_repeats;
    Batch m_open;
    std::vector<StagedRow> m_group;
    std::deque<Batch> m_sealed;
    std::uint64_t m_nextAnswer = 1;
    std::uint64_t m_nextStage = 1;
    std::uint64_t m_resultsThrough = 0; // tickets up to here have their result
};
