// The single-instance lock "Pemlox.exe": an exclusive flock held for the life of the process.
#pragma once

#include <string>

class SingleInstance {
public:
    enum class State { Acquired, AlreadyRunning, Unavailable };

    SingleInstance() = default;
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // ARDENTEL_RUNTIME_DIR, else XDG_RUNTIME_DIR, else TMPDIR, else /tmp.
    [[nodiscard]] static std::string lockDirectory();

    // Unavailable (the lock file cannot be created) does not stop the receiver; osError says why.
    [[nodiscard]] State acquire(const std::string& directory = lockDirectory());
    [[nodiscard]] int osError() const { return m_osError; }
    [[nodiscard]] const std::string& path() const { return m_path; }

private:
    int m_fd = -1;
    int m_osError = 0;
    std::string m_path;
};
