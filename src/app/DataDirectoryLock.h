// Marks a data directory as in use: an exclusive flock on its lock file "ardentel.lock", held by a
// running receiver for its whole life and by a settings change (--set) while it writes. The lock goes
// with the process however it ends (even SIGKILL). The file is the receiver user's own, mode 0600, so
// no other user can open it, let alone hold the lock and keep the receiver from starting.
#pragma once

#include <chrono>
#include <string>

class DataDirectoryLock {
public:
    enum class State {
        Acquired,
        InUse,      // another process holds it
        NotOwnLock, // the lock file is another user's, or not a plain file: osError says why
        Unavailable // the directory cannot be locked at all (osError says why)
    };
    static constexpr const char* kFileName = "ardentel.lock";

    DataDirectoryLock() = default;
    ~DataDirectoryLock();
    DataDirectoryLock(const DataDirectoryLock&) = delete;
    DataDirectoryLock& operator=(const DataDirectoryLock&) = delete;

    // Tries again for up to `patience`: a settings change holds the lock only for a moment.
    [[nodiscard]] State acquire(const std::string& directory, std::chrono::milliseconds patience);
    [[nodiscard]] int osError() const { return m_osError; }
    [[nodiscard]] const std::string& path() const { return m_path; }

private:
    int m_fd = -1;
    int m_osError = 0;
    std::string m_path;
};
