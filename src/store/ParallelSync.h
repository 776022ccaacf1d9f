// Syncs the files of one commit at the same time: the disk then flushes them together, and the
// commit waits for about one flush instead of one per file.
#pragma once

#include "store/FileIo.h"

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>
#include <vector>

class ParallelSync {
public:
    explicit ParallelSync(std::size_t helpers = 2);
    ~ParallelSync();
    ParallelSync(const ParallelSync&) = delete;
    ParallelSync& operator=(const ParallelSync&) = delete;

    // Syncs every file; the caller's thread takes its share. The first failure in the list's order
    // is the result. One call at a time.
    [[nodiscard]] FileFailure syncAll(const std::vector<PendingSync>& files);

private:
    void run();
    void syncNext(std::unique_lock<std::mutex>& lock);

    std::mutex m_mutex;
    std::condition_variable m_work;
    std::condition_variable m_done;
    const std::vector<PendingSync>* m_files = nullptr; // under m_mutex, during a call
    std::vector<IoResult> m_results;
    std::size_t m_next = 0;     // the next file to take
    std::size_t m_finished = 0; // files synced so far
    bool m_stop = false;
    std::vector<std::thread> m_helpers; // last: started once the rest exists
};
