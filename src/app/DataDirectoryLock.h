// Marks a data directory as in use: an exclusive flock on the directory itself, held by a running
// receiver for its whole life and by a settings change (--set) while it writes. No file is added
// to the directory, and the lock goes with the process however it ends (even SIGKILL).
#pragma once

#include <chrono>
#include <string>

class DataDirectoryLock {
public:
    enum class State {
        Acquired,
        InUse,      // another process holds it
        Unavailable // the directory cannot be locked at all (osError says why)
    };

    DataDirectoryLock() = default;
    ~DataDirectoryLock();
    DataDirectoryLock(const DataDirectoryLock&) = delete;
    DataDirectoryLock& operator=(const DataDirectoryLock&) = delete;

    // Tries again for up to `patience`: a settings change holds the lock only for a moment.
    [[nodiscard]] State acquire(const std::string& directory, std::chrono::milliseconds patience);
    [[nodiscard]] int osError() const { return m_osError; }

private:
    int m_fd = -1;
    int m_osError = 0;
};
