// Where accepted events become durable: the commit thread writes each group of events, with the
// account table's changes, as one transaction of the event log, and reports back before any of the
// group's answers go out; the ring and account files follow as views. A housekeeping thread syncs
// those views and the log's checkpoints, deletes rows past their keeping time and says when a
// commit hangs.
#pragma once

#include "log/LogSink.h"
#include "store/EventLog.h"
#include "store/FileIo.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

class AccountTable;
class Clock;
class Journal;

// One event on its way to the log, and the stage number its ring slot knows it by.
struct StagedRow {
    LoggedEvent row;
    std::uint64_t stage = 0;
};

class EventStore {
public:
    // Events in one commit at most, besides those carried over from a commit that failed: each sync
    // answers this many panels at most.
    static constexpr std::size_t kMaxCommitEvents = 256;
    // A commit that has not returned after this long is said in red, once.
    static constexpr std::chrono::milliseconds kSlowCommit{5000};
    // How often the views and the log's checkpoints are synced.
    static constexpr std::chrono::milliseconds kHousekeepingInterval{1000};
    // A WAL this long (frames of one page) is copied into the database file to its last frame by the
    // commit thread between two commits, so the next commit writes it from its start again.
    static constexpr int kWalRestartFrames = 4096;
    static constexpr int kDefaultKeepDays = 90;
    static constexpr int kDeleteBatch = 500;

    EventStore(std::string logPath, Journal& journal, AccountTable& accounts, LogSink log = {});
    // Ends both threads once what was submitted is committed.
    ~EventStore();
    // The same, waiting at most `wait` for the commit under way: false when it did not end (a disk
    // that hangs), and the threads still run; the object must then be kept alive.
    [[nodiscard]] bool finish(std::chrono::milliseconds wait);
    EventStore(const EventStore&) = delete;
    EventStore& operator=(const EventStore&) = delete;

    // Start-up, after the ring and account files are loaded and before anything is staged: opens the
    // log; a new log takes over what the files hold; then the files are made to agree with the log.
    // False when the log cannot be opened now: every commit tries again, and nothing is answered
    // until one succeeds.
    bool open();
    // Starts the threads.
    void start();
    // Called on the commit thread whenever results are ready; may be changed at any time.
    void setWake(std::function<void()> wake);

    // Queues a group; returns its ticket. Tickets increase, and results come in ticket order. A
    // commit that succeeds has also committed everything submitted before it.
    std::uint64_t submit(std::vector<StagedRow> rows);
    // A commit with nothing new in it: for account changes, or to try a failed commit again.
    std::uint64_t requestCommit();
    // Submits the rows and waits for their commit; before start() it runs on the caller's thread.
    // For tools, benchmarks and tests; the receiver never waits like this.
    [[nodiscard]] FileFailure commitNow(std::vector<StagedRow> rows);
    // Before start(): runs what was submitted (and a retry of what failed) on the caller's thread.
    void commitQueued();
    // Clear journal: the ring view is emptied (files synced), and the log remembers from which event
    // on the view holds events again; its rows stay. Returns what could not be written.
    [[nodiscard]] std::vector<std::string> clearView();

    struct Result {
        std::uint64_t ticket = 0;
        FileFailure failure; // ok() when the group is in the log
    };
    [[nodiscard]] std::vector<Result> takeResults();
    // The newest ticket whose commit succeeded (0 for none): everything submitted up to it is in the log.
    [[nodiscard]] std::uint64_t committedThrough() const;

    // Events submitted (or carried over from a failed commit) and not yet in the log.
    [[nodiscard]] std::size_t pendingEvents() const;
    // Waits until at most `events` are pending (0: everything committed, nothing carried over), for
    // at most `timeout`. True when that happened.
    bool waitForPendingAtMost(std::size_t events, std::chrono::milliseconds timeout);

    // A connection of the caller's own to the log (the forwarding thread's, a reader's); it may not
    // be open yet when the log cannot be opened.
    [[nodiscard]] std::unique_ptr<EventLog> connect(EventLog::Role role) const;
    [[nodiscard]] const std::string& logPath() const { return m_path; }
    // Before start(): the rows received at or after `fromUtc` (the repeats' memory after a restart).
    [[nodiscard]] std::vector<LoggedEvent> receivedSince(std::int64_t fromUtc);
    // Before start(): the newest `limit` encrypted messages since `fromUtc` (the replays' memory).
    [[nodiscard]] std::vector<LoggedCipher> ciphersSince(std::int64_t fromUtc, std::size_t limit);
    // Days the log keeps its rows; 0 means the default.
    void setKeepDays(int days) { m_keepDays.store(days); }
    // The clock of the keeping time and of a commit that hangs (tests move it); the system clock
    // otherwise. Set before start().
    void setClock(const Clock* clock) { m_clock = clock; }
    // Tests: a shorter WAL than kWalRestartFrames is written from its start again.
    void setWalRestartFrames(int frames) { m_walRestartFrames = frames; }
    // Runs one round of the housekeeping on the caller's thread (tests; the thread runs it itself).
    void housekeep();

    // Called on the commit thread after each successful commit with the records as committed, once
    // per event. Set before start(); must not block.
    std::function<void(std::span<const JournalRecord>)> onStored;
    // Called on the commit thread after each commit, whatever its outcome, with how long it took.
    // Set before start(); must not block.
    std::function<void(double seconds, const FileFailure& failure)> onCommitted;

private:
    struct Group {
        std::uint64_t ticket = 0;
        std::vector<StagedRow> rows;
        bool clearView = false;
    };
    void runCommits();
    void runHousekeeping();
    [[nodiscard]] bool ensureOpenLocked();      // commit thread
    [[nodiscard]] FileFailure takeOverLocked(); // commit thread or open()
    void commitOnce(std::unique_lock<std::mutex>& lock);
    [[nodiscard]] std::int64_t nowUtc() const;
    [[nodiscard]] std::int64_t steadyMs() const;

    std::string m_path;
    Journal& m_journal;
    AccountTable& m_accounts;
    LogSink m_log;
    const Clock* m_clock = nullptr;
    std::atomic<int> m_keepDays{0};
    int m_walRestartFrames = kWalRestartFrames;
    // Set by the housekeeping when the WAL has grown past m_walRestartFrames; taken by the commit thread.
    std::atomic<bool> m_walRestartDue{false};
    static constexpr int kWalRestartTries = 8;
    int m_walRestartTries = 0; // commit thread

    // The writer's connection: used by open() before the threads start, then by the commit thread only.
    std::unique_ptr<EventLog> m_writer;
    bool m_takenOver = false;
    // What the files held at start-up, taken over by the first commit when the log could not be
    // opened at once.
    std::vector<LoggedEvent> m_takeOverRows;
    std::vector<LoggedAccount> m_takeOverAccounts;
    FailureEpisodes m_episodes;

    mutable std::mutex m_mutex;
    std::condition_variable m_work;
    std::condition_variable m_done;
    std::deque<Group> m_queue;      // under m_mutex
    std::vector<StagedRow> m_carry; // under m_mutex: rows of failed commits, first in the next one
    std::vector<Result> m_results;  // under m_mutex
    std::size_t m_pendingEvents = 0;
    std::uint64_t m_nextTicket = 1;
    std::uint64_t m_committedThrough = 0;
    std::uint64_t m_resultsThrough = 0; // the newest ticket with a result
    std::uint64_t m_emptyQueued = 0;    // ticket of an empty group still queued, 0 for none
    bool m_retryDue = false;            // a commit failed: try again even with nothing new
    bool m_committing = false;
    std::int64_t m_commitStartedMs = 0;
    bool m_slowCommitSaid = false;
    bool m_stop = false;
    bool m_commitsEnded = false;
    std::function<void()> m_wake;

    std::mutex m_inlineCommits;     // commitNow's commits on callers' threads, one at a time
    std::mutex m_housekeepingMutex; // one round at a time
    std::unique_ptr<EventLog> m_housekeeper;
    std::int64_t m_nextDeletionMs = 0;
    std::condition_variable m_housekeepingWake;
    std::thread m_committer;
    std::thread m_housekeeping;
};
