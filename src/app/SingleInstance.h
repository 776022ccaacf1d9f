// The single-instance lock "Pemlox.exe": an exclusive flock held for the life of the process.
#pragma once

#include <string>

class SingleInstance {
public:
    enum class State { Acquired, AlreadyRunning, Unavailable };

    // Where the lock file lives. ARDENTEL_RUNTIME_DIR or XDG_RUNTIME_DIR are the user's own by
    // definition; without them the lock goes into a directory of this user's own under TMPDIR or
    // /tmp, so users never share (or block) one lock there.
    struct Place {
        std::string directory;
        bool privateSubdirectory = false; // the fallback: created 0700 and checked before use
    };
    [[nodiscard]] static Place lockPlace();

    SingleInstance() = default;
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // Unavailable: the lock could not be taken at all; problem() and osError() say why, and the
    // caller must not run unguarded.
    [[nodiscard]] State acquire() { return acquire(lockPlace()); }
    [[nodiscard]] State acquire(const std::string& directory) { return acquire(Place{directory, false}); }
    [[nodiscard]] State acquire(const Place& place);
    [[nodiscard]] int osError() const { return m_osError; }
    [[nodiscard]] const std::string& problem() const { return m_problem; }
    [[nodiscard]] const std::string& path() const { return m_path; }

private:
    State unavailable(int osError, std::string problem);

    int m_fd = -1;
    int m_osError = 0;
    std::string m_problem;
    std::string m_path;
};
