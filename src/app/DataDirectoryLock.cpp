#include "app/DataDirectoryLock.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

DataDirectoryLock::~DataDirectoryLock()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

DataDirectoryLock::State DataDirectoryLock::acquire(const std::string& directory,
                                                    std::chrono::milliseconds patience)
{
    // Close-on-exec: a socat we started must not keep the directory locked after we end, or the
    // restarted service could never take it again.
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        m_osError = errno;
        return State::Unavailable;
    }
    const auto giveUp = std::chrono::steady_clock::now() + patience;
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        m_osError = errno;
        if (m_osError == EINTR)
            continue;
        if (m_osError != EWOULDBLOCK || std::chrono::steady_clock::now() >= giveUp) {
            ::close(fd);
            return m_osError == EWOULDBLOCK ? State::InUse : State::Unavailable;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    m_osError = 0;
    m_fd = fd;
    return State::Acquired;
}
