// The commit thread: takes every group queued since its last commit and commits them as one, so
// under load each sync carries more events instead of the queue growing.
#include "dc09/CommitQueue.h"

#include <algorithm>
#include <cerrno>

namespace {
// A merged commit never grows beyond this many events: its answers must not wait for a huge write.
constexpr std::size_t kMaxMergedEvents = 512;
} // namespace

CommitQueue::CommitQueue(Journal& journal, AccountTable& accounts, std::function<void()> wake)
    : m_journal(journal), m_accounts(accounts), m_wake(std::move(wake))
{
    for (std::size_t i = 0; i < kWorkers; ++i)
        m_threads.emplace_back([this] { run(); });
}

CommitQueue::~CommitQueue()
{
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_work.notify_all();
    for (std::thread& t : m_threads)
        t.join();
}

std::uint64_t CommitQueue::submit(CommitGroup group)
{
    std::uint64_t ticket = 0;
    {
        std::lock_guard lock(m_mutex);
        ticket = m_nextTicket++;
        m_pendingEvents += group.events();
        m_queue.emplace_back(ticket, std::move(group));
    }
    m_work.notify_one();
    return ticket;
}

std::vector<CommitQueue::Result> CommitQueue::takeResults()
{
    std::lock_guard lock(m_mutex);
    std::vector<Result> results;
    results.swap(m_results);
    return results;
}

std::size_t CommitQueue::pendingEvents() const
{
    std::lock_guard lock(m_mutex);
    return m_pendingEvents;
}

void CommitQueue::waitForPendingAtMost(std::size_t events)
{
    std::unique_lock lock(m_mutex);
    m_done.wait(lock, [&] {
        return events == 0 ? m_queue.empty() && m_pendingEvents == 0 : m_pendingEvents <= events;
    });
}

void CommitQueue::run()
{
    ParallelSync syncs;
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_work.wait(lock, [&] { return m_stop || !m_queue.empty(); });
        if (m_queue.empty())
            return; // stopping, and nothing left to commit
        CommitGroup merged;
        std::vector<std::uint64_t> tickets;
        while (!m_queue.empty() &&
               (tickets.empty() || merged.events() + m_queue.front().second.events() <= kMaxMergedEvents)) {
            merged.append(m_queue.front().second);
            tickets.push_back(m_queue.front().first);
            m_queue.pop_front();
        }
        lock.unlock();
        // An earlier commit's slots must count as on disk first: the forwarding side reports in
        // that order, and the answers go out in it.
        bool myTurn = false;
        const auto waitForTurn = [&] {
            std::unique_lock turn(m_mutex);
            m_turn.wait(turn, [&] { return m_nextToFinish == tickets.front(); });
            myTurn = true;
        };
        FileFailure failure;
        try {
            failure = merged.commit(m_journal, m_accounts, &syncs, waitForTurn);
        } catch (...) {
            // Out of memory, most likely: the events go unanswered like any other failed commit.
            if (!myTurn)
                waitForTurn();
            failure = FileFailure{"Disk write error. ", std::string(), ENOMEM, true};
            merged.abandon(m_journal);
        }
        lock.lock();
        for (const std::uint64_t ticket : tickets) {
            m_results.push_back(Result{ticket, failure});
            failure.newEpisode = false; // one line for the whole merged commit
        }
        m_nextToFinish = tickets.back() + 1;
        m_turn.notify_all();
        m_pendingEvents -= std::min(m_pendingEvents, merged.events());
        m_done.notify_all();
        lock.unlock();
        if (m_wake)
            m_wake();
        lock.lock();
    }
}
