// A few helper threads that wait for files to sync; each takes the next file not yet taken.
#include "store/ParallelSync.h"

ParallelSync::ParallelSync(std::size_t helpers)
{
    for (std::size_t i = 0; i < helpers; ++i)
        m_helpers.emplace_back([this] { run(); });
}

ParallelSync::~ParallelSync()
{
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_work.notify_all();
    for (std::thread& t : m_helpers)
        t.join();
}

void ParallelSync::syncNext(std::unique_lock<std::mutex>& lock)
{
    const std::size_t i = m_next++;
    const PendingSync file = (*m_files)[i];
    lock.unlock();
    const IoResult result = file.io->sync(file.fd);
    lock.lock();
    m_results[i] = result;
    if (++m_finished == m_files->size())
        m_done.notify_all();
}

FileFailure ParallelSync::syncAll(const std::vector<PendingSync>& files)
{
    if (files.size() <= 1 || m_helpers.empty())
        return syncEach(files);
    std::unique_lock lock(m_mutex);
    m_files = &files;
    m_results.assign(files.size(), IoResult{});
    m_next = 0;
    m_finished = 0;
    m_work.notify_all();
    while (m_next < files.size())
        syncNext(lock);
    m_done.wait(lock, [&] { return m_finished == files.size(); });
    m_files = nullptr;
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (!m_results[i].ok())
            return FileFailure{"Disk write error. ", files[i].path, m_results[i].error};
    }
    return {};
}

void ParallelSync::run()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_work.wait(lock, [&] { return m_stop || (m_files != nullptr && m_next < m_files->size()); });
        if (m_stop)
            return;
        syncNext(lock);
    }
}
