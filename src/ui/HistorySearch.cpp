// The search thread and the hand-over of its results to the window's thread.
#include "ui/HistorySearch.h"

#include <QMetaObject>
#include <cerrno>

HistorySearch::HistorySearch(Opener open, QObject* parent) : QObject(parent), m_open(std::move(open)) {}

HistorySearch::~HistorySearch()
{
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

void HistorySearch::request(const EventFilter& filter)
{
    const std::uint64_t ticket = ++m_requested;
    {
        std::lock_guard lock(m_mutex);
        m_next = std::make_pair(ticket, filter);
    }
    if (!m_thread.joinable())
        m_thread = std::thread([this] { run(); });
    m_wake.notify_all();
}

void HistorySearch::cancel()
{
    {
        std::lock_guard lock(m_mutex);
        m_next.reset();
    }
    m_delivered = ++m_requested;
}

void HistorySearch::run()
{
    std::unique_ptr<EventLog> log;
    for (;;) {
        std::pair<std::uint64_t, EventFilter> job;
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [this] { return m_stop || m_next.has_value(); });
            if (m_stop)
                return;
            job = std::move(*m_next);
            m_next.reset();
        }
        if (log == nullptr || !log->isOpen())
            log = m_open ? m_open() : nullptr;
        HistoryPage page;
        if (log == nullptr)
            page.failure = FileFailure::of("File open error. ", "events.db", ENOENT);
        else
            page = log->find(job.second, kShownRows);
        // Queued to this object: dropped with it when the window goes first.
        QMetaObject::invokeMethod(
            this,
            [this, ticket = job.first, page = std::move(page)] {
                if (ticket != m_requested)
                    return; // a newer request is on its way
                m_delivered = ticket;
                if (onFound)
                    onFound(page);
            },
            Qt::QueuedConnection);
    }
}
