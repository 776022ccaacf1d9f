// The commit thread and the housekeeping thread of the event log.
#include "store/EventStore.h"

#include <pthread.h>

#include "config/Clock.h"
#include "store/AccountTable.h"
#include "store/Journal.h"

#include <algorithm>
#include <cerrno>

EventStore::EventStore(std::string logPath, Journal& journal, AccountTable& accounts, LogSink log)
    : m_path(std::move(logPath)), m_journal(journal), m_accounts(accounts), m_log(std::move(log))
{
}

EventStore::~EventStore()
{
    (void)finish(std::chrono::hours(24));
}

bool EventStore::finish(std::chrono::milliseconds wait)
{
    {
        std::unique_lock lock(m_mutex);
        m_stop = true;
        m_work.notify_all();
        m_housekeepingWake.notify_all();
        // What was submitted is committed first; a disk that hangs is not waited for beyond `wait`.
        if (!m_done.wait_for(lock, wait, [&] { return m_commitsEnded || !m_committer.joinable(); }))
            return false;
    }
    if (m_committer.joinable())
        m_committer.join();
    if (m_housekeeping.joinable())
        m_housekeeping.join();
    // The views are synced once more, after the last commit.
    (void)m_journal.checkpoint();
    (void)m_accounts.checkpoint();
    return true;
}

std::int64_t EventStore::nowUtc() const
{
    if (m_clock != nullptr)
        return std::int64_t(m_clock->wallNow().seconds);
    return std::int64_t(std::time(nullptr));
}

std::int64_t EventStore::steadyMs() const
{
    if (m_clock != nullptr)
        return m_clock->steadyMillis();
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool EventStore::open()
{
    // What the files hold now is what a new log takes over, even when it can only be made later.
    m_takeOverRows = m_journal.takeOverRows();
    m_takeOverAccounts = m_accounts.takeOverSlots();
    m_writer = std::make_unique<EventLog>(m_path, EventLog::Role::Writer);
    if (!m_writer->isOpen()) {
        FileFailure f = m_writer->lastFailure();
        m_episodes.note(f);
        if (m_log)
            m_log(f.text(), LogColour::Red);
        return false;
    }
    (void)FileIo::posix().syncDirectoryOf(m_path);
    m_takenOver = m_writer->takenOver();
    if (!m_takenOver) {
        if (const FileFailure f = takeOverLocked(); !f.ok()) {
            if (m_log)
                m_log(f.text(), LogColour::Red);
            return false;
        }
    }
    const std::int64_t cleared = m_writer->viewClearedThrough();
    const std::vector<LoggedEvent> newest = m_writer->newest(journal::kSlots, cleared);
    (void)m_journal.reconcile(newest, cleared > 0);
    (void)m_accounts.reconcile(m_writer->accounts());
    return true;
}

FileFailure EventStore::takeOverLocked()
{
    std::vector<LoggedEvent> rows = m_takeOverRows;
    EventLog::CommitNotes notes;
    notes.takenOver = true;
    FileFailure f = m_writer->commit(rows, m_takeOverAccounts, notes);
    if (f.ok()) {
        m_takenOver = true;
        m_takeOverRows.clear();
        m_takeOverAccounts.clear();
    }
    return f;
}

bool EventStore::ensureOpenLocked()
{
    if (m_writer && m_writer->isOpen() && m_takenOver)
        return true;
    if (!m_writer || !m_writer->isOpen()) {
        m_writer = std::make_unique<EventLog>(m_path, EventLog::Role::Writer);
        if (!m_writer->isOpen())
            return false;
        (void)FileIo::posix().syncDirectoryOf(m_path);
        m_takenOver = m_writer->takenOver();
    }
    // Made late (the directory was not writable at start-up): the files as they were come first.
    if (!m_takenOver && !takeOverLocked().ok())
        return false;
    return true;
}

std::vector<LoggedEvent> EventStore::receivedSince(std::int64_t fromUtc)
{
    if (!m_writer || !m_writer->isOpen())
        return {};
    return m_writer->receivedSince(fromUtc);
}

std::vector<LoggedCipher> EventStore::ciphersSince(std::int64_t fromUtc, std::size_t limit)
{
    if (!m_writer || !m_writer->isOpen())
        return {};
    return m_writer->ciphersSince(fromUtc, limit);
}

void EventStore::setWake(std::function<void()> wake)
{
    std::lock_guard lock(m_mutex);
    m_wake = std::move(wake);
}

void EventStore::start()
{
    if (m_committer.joinable())
        return;
    // Named for top -H, strace and a debugger: which thread waits on the disk is the first question.
    m_committer = std::thread([this] {
        (void)::pthread_setname_np(::pthread_self(), "log-commit");
        runCommits();
    });
    m_housekeeping = std::thread([this] {
        (void)::pthread_setname_np(::pthread_self(), "log-housekeep");
        runHousekeeping();
    });
}

std::uint64_t EventStore::submit(std::vector<StagedRow> rows)
{
    std::uint64_t ticket = 0;
    {
        std::lock_guard lock(m_mutex);
        ticket = m_nextTicket++;
        m_pendingEvents += rows.size();
        m_queue.push_back(Group{ticket, std::move(rows), false});
    }
    m_work.notify_one();
    return ticket;
}

std::uint64_t EventStore::requestCommit()
{
    std::uint64_t ticket = 0;
    {
        std::lock_guard lock(m_mutex);
        // One empty commit waiting is enough: it takes every change made until it runs.
        if (m_emptyQueued != 0)
            return m_emptyQueued;
        ticket = m_nextTicket++;
        m_emptyQueued = ticket;
        m_queue.push_back(Group{ticket, {}, false});
    }
    m_work.notify_one();
    return ticket;
}

FileFailure EventStore::commitNow(std::vector<StagedRow> rows)
{
    std::unique_lock inline_(m_inlineCommits, std::defer_lock);
    if (!m_committer.joinable())
        inline_.lock();
    const std::uint64_t ticket = submit(std::move(rows));
    std::unique_lock lock(m_mutex);
    if (!m_committer.joinable()) {
        while (m_resultsThrough < ticket && !m_queue.empty())
            commitOnce(lock);
    } else {
        m_done.wait(lock, [&] { return m_resultsThrough >= ticket; });
    }
    for (auto it = m_results.begin(); it != m_results.end(); ++it) {
        if (it->ticket == ticket) {
            FileFailure f = it->failure;
            m_results.erase(it);
            return f;
        }
    }
    return m_committedThrough >= ticket ? FileFailure{} : FileFailure::of("Disk write error. ", m_path, EIO);
}

void EventStore::commitQueued()
{
    std::lock_guard inline_(m_inlineCommits);
    std::unique_lock lock(m_mutex);
    if (m_committer.joinable())
        return;
    if (m_queue.empty() && m_retryDue)
        m_queue.push_back(Group{m_nextTicket++, {}, false});
    while (!m_queue.empty())
        commitOnce(lock);
}

std::vector<std::string> EventStore::clearView()
{
    std::vector<std::string> failures;
    for (const Journal::ClearFailure& f : m_journal.clear())
        failures.push_back(f.text);
    {
        std::lock_guard lock(m_mutex);
        m_queue.push_back(Group{m_nextTicket++, {}, true});
    }
    m_work.notify_one();
    return failures;
}

std::vector<EventStore::Result> EventStore::takeResults()
{
    std::lock_guard lock(m_mutex);
    std::vector<Result> results;
    results.swap(m_results);
    return results;
}

std::uint64_t EventStore::committedThrough() const
{
    std::lock_guard lock(m_mutex);
    return m_committedThrough;
}

std::size_t EventStore::pendingEvents() const
{
    std::lock_guard lock(m_mutex);
    return m_pendingEvents;
}

bool EventStore::waitForPendingAtMost(std::size_t events, std::chrono::milliseconds timeout)
{
    std::unique_lock lock(m_mutex);
    return m_done.wait_for(lock, timeout, [&] {
        return events == 0 ? m_queue.empty() && !m_committing && m_pendingEvents == 0
                           : m_pendingEvents <= events;
    });
}

std::unique_ptr<EventLog> EventStore::connect(EventLog::Role role) const
{
    return std::make_unique<EventLog>(m_path, role);
}

void EventStore::runCommits()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        // A failed commit is tried again once a second even when nothing new comes: what it held
        // was never answered, but it is kept and forwarded once the disk works.
        const auto work = [&] { return m_stop || !m_queue.empty(); };
        if (m_retryDue)
            m_work.wait_for(lock, std::chrono::seconds(1), work);
        else
            m_work.wait(lock, work);
        // Stopping with nothing left to commit, or with a disk that keeps failing: what is carried
        // was never answered anyway.
        if (m_queue.empty() && (m_stop || !m_retryDue)) {
            m_commitsEnded = true;
            m_done.notify_all();
            return;
        }
        commitOnce(lock);
    }
}

void EventStore::commitOnce(std::unique_lock<std::mutex>& lock)
{
    // The carried rows first (they came first), then the queued groups up to the limit.
    std::vector<StagedRow> staged = std::move(m_carry);
    m_carry.clear();
    std::vector<std::uint64_t> tickets;
    std::optional<std::size_t> clearedAfter;
    std::size_t fresh = 0;
    while (!m_queue.empty()) {
        Group& g = m_queue.front();
        if (!tickets.empty() && fresh + g.rows.size() > kMaxCommitEvents)
            break;
        if (g.clearView && !clearedAfter)
            clearedAfter = staged.size();
        if (g.ticket == m_emptyQueued)
            m_emptyQueued = 0;
        fresh += g.rows.size();
        for (StagedRow& r : g.rows)
            staged.push_back(std::move(r));
        tickets.push_back(g.ticket);
        m_queue.pop_front();
    }
    m_retryDue = false;
    m_committing = true;
    m_commitStartedMs = steadyMs();
    lock.unlock();

    std::vector<LoggedEvent> rows;
    rows.reserve(staged.size());
    for (const StagedRow& s : staged)
        rows.push_back(s.row);
    std::vector<LoggedAccount> accounts = m_accounts.takeChanged();
    FileFailure failure;
    try {
        if (!ensureOpenLocked()) {
            failure = m_writer ? m_writer->lastFailure() : FileFailure::of("File open error. ", m_path, EIO);
            if (failure.ok())
                failure = FileFailure::of("File open error. ", m_path, EIO);
        } else {
            EventLog::CommitNotes notes;
            notes.clearedAfterRows = clearedAfter;
            failure = m_writer->commit(rows, accounts, notes);
        }
    } catch (...) {
        // Out of memory, most likely: the events go unanswered like any other failed commit.
        failure = FileFailure::of("Disk write error. ", m_path, ENOMEM);
    }
    if (failure.ok())
        m_episodes.ended(m_path);
    else
        m_episodes.note(failure);
    if (!failure.ok())
        m_accounts.restoreChanged(accounts);

    const bool ok = failure.ok();
    if (onCommitted)
        onCommitted(double(steadyMs() - m_commitStartedMs) / 1000.0, failure);
    std::vector<JournalRecord> records;
    if (ok) {
        // The ring's memory first, so no window shows an acknowledged event as unknown; the files
        // follow once the answers are on their way.
        std::vector<Journal::CommittedSlot> slots;
        slots.reserve(rows.size());
        records.reserve(rows.size());
        for (std::size_t i = 0; i < rows.size(); ++i) {
            slots.push_back(
                Journal::CommittedSlot{std::uint16_t(rows[i].journalSlot), staged[i].stage, rows[i].id});
            records.push_back(rows[i].record);
        }
        m_journal.noteCommitted(slots);
    }
    lock.lock();
    for (const std::uint64_t ticket : tickets) {
        m_results.push_back(Result{ticket, failure});
        failure.newEpisode = false; // one line for the whole commit
    }
    if (!tickets.empty())
        m_resultsThrough = tickets.back();
    if (ok) {
        if (!tickets.empty())
            m_committedThrough = tickets.back();
        m_pendingEvents -= std::min(m_pendingEvents, staged.size());
    } else {
        // Kept (and still pending) for the next commit; their panels were not answered and send
        // them again, and the answer to that repeat waits for this copy to be in the log.
        for (StagedRow& s : staged)
            s.row.id = 0;
        m_carry = std::move(staged);
        staged.clear();
        m_retryDue = true;
    }
    m_committing = false;
    m_slowCommitSaid = false;
    m_done.notify_all();
    const std::function<void()> wake = m_wake;
    lock.unlock();
    if (wake)
        wake();
    if (ok) {
        m_journal.writeCommitted();
        m_accounts.committed(accounts);
        if (onStored && !records.empty())
            onStored(records);
        if (m_walRestartDue) {
            // Tried after a few commits more when another checkpoint or a reader held it back.
            EventLog::CheckpointProgress done;
            const bool complete = m_writer->checkpoint(&done).ok() && done.walFrames > 0 &&
                                  done.copiedFrames >= done.walFrames;
            if (complete || ++m_walRestartTries >= kWalRestartTries) {
                m_walRestartDue = false;
                m_walRestartTries = 0;
            }
        }
    }
    lock.lock();
}

void EventStore::housekeep()
{
    std::lock_guard round(m_housekeepingMutex);
    {
        std::unique_lock lock(m_mutex);
        if (m_committing && !m_slowCommitSaid && steadyMs() - m_commitStartedMs >= kSlowCommit.count()) {
            m_slowCommitSaid = true;
            lock.unlock();
            if (m_log)
                m_log("The event log has not finished a commit for " +
                          std::to_string(kSlowCommit.count() / 1000) + " seconds: " + m_path +
                          ". Panels are answered once it has.",
                      LogColour::Red);
        }
    }
    (void)m_journal.checkpoint();
    (void)m_accounts.checkpoint();
    if (!m_housekeeper || !m_housekeeper->isOpen())
        m_housekeeper = std::make_unique<EventLog>(m_path, EventLog::Role::Housekeeper);
    if (!m_housekeeper->isOpen())
        return;
    EventLog::CheckpointProgress progress;
    (void)m_housekeeper->checkpoint(&progress);
    // Beside commits that never pause, a checkpoint never reaches the frame written last, and SQLite
    // starts the WAL again only once one has: it would grow by every commit, as far as the disk
    // goes, and each commit's sync would also write the file's new size. What this round left is
    // what the commit thread copies, between two commits.
    if (progress.walFrames >= m_walRestartFrames)
        m_walRestartDue = true;
    const std::int64_t now = steadyMs();
    if (now < m_nextDeletionMs)
        return;
    const int days = m_keepDays.load() > 0 ? m_keepDays.load() : kDefaultKeepDays;
    const int deleted = m_housekeeper->deleteOlderThan(nowUtc() - std::int64_t(days) * 86400, kDeleteBatch);
    // Small batches while there is more to delete, so a commit never waits long behind one; then rest.
    m_nextDeletionMs = deleted >= kDeleteBatch ? now : now + 60'000;
}

void EventStore::runHousekeeping()
{
    std::unique_lock lock(m_mutex);
    while (!m_stop) {
        m_housekeepingWake.wait_for(lock, kHousekeepingInterval, [&] { return m_stop; });
        if (m_stop)
            break;
        lock.unlock();
        try {
            housekeep();
        } catch (...) {
            // Housekeeping is tried again next round; the commits do not depend on it.
        }
        lock.lock();
    }
}
