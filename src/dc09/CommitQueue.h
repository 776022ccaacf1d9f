// The receiver's group commits, run on threads of their own: the receiving thread goes on reading
// while the disk syncs, and hands out each group's answers once that group is on disk. Two commits
// may be under way at once (the disk serves their flushes together); they end in the order they
// were submitted.
#pragma once

#include "dc09/StoreEvent.h"
#include "store/FileIo.h"
#include "store/ParallelSync.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class AccountTable;
class Journal;

class CommitQueue {
public:
    // `wake` is called on the commit thread whenever results are ready to be taken.
    CommitQueue(Journal& journal, AccountTable& accounts, std::function<void()> wake);
    // Commits whatever was submitted, then ends the thread.
    ~CommitQueue();
    CommitQueue(const CommitQueue&) = delete;
    CommitQueue& operator=(const CommitQueue&) = delete;

    // Queues a group; returns its ticket. Tickets increase, and results come in ticket order.
    std::uint64_t submit(CommitGroup group);

    struct Result {
        std::uint64_t ticket = 0;
        FileFailure failure; // ok() when the group is on disk
    };
    [[nodiscard]] std::vector<Result> takeResults();

    // Events submitted and not yet committed.
    [[nodiscard]] std::size_t pendingEvents() const;
    // Blocks until at most `events` are pending; with 0, until everything submitted is committed.
    void waitForPendingAtMost(std::size_t events);

private:
    void run();

    static constexpr std::size_t kWorkers = 2;

    Journal& m_journal;
    AccountTable& m_accounts;
    std::function<void()> m_wake;
    mutable std::mutex m_mutex;
    std::condition_variable m_work;
    std::condition_variable m_done;
    std::condition_variable m_turn;
    std::deque<std::pair<std::uint64_t, CommitGroup>> m_queue; // under m_mutex
    std::vector<Result> m_results;                             // under m_mutex
    std::size_t m_pendingEvents = 0;                           // under m_mutex
    std::uint64_t m_nextTicket = 1;                            // under m_mutex
    std::uint64_t m_nextToFinish = 1;                          // under m_mutex
    bool m_stop = false;                                       // under m_mutex
    std::vector<std::thread> m_threads;                        // last: started once the rest exists
};
