#include "app/DataDirectoryLock.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
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
    m_path = directory;
    if (!m_path.empty() && m_path.back() != '/')
        m_path += '/';
    m_path += kFileName;
    // Close-on-exec: a socat we started must not keep the directory locked after we end, or the
    // restarted service could never take it again.
    const int fd = ::open(m_path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        m_osError = errno;
        // Someone else's file (or a link in its place): their receiver may be using the directory. No
        // file at all and none can be made: the directory is not writable, as before.
        struct stat there {};
        const bool exists = ::lstat(m_path.c_str(), &there) == 0;
        return m_osError == ELOOP || (exists && (m_osError == EACCES || m_osError == EPERM))
                   ? State::NotOwnLock
                   : State::Unavailable;
    }
    struct stat file {};
    struct stat dir {};
    const uid_t self = ::geteuid();
    if (::fstat(fd, &file) != 0 || !S_ISREG(file.st_mode) || (file.st_uid != self && self != 0)) {
        ::close(fd);
        m_osError = EPERM;
        return State::NotOwnLock;
    }
    // Made by root in the directory of the service's user: it stays that user's, or the service could
    // no longer open it.
    if (self == 0 && ::stat(directory.c_str(), &dir) == 0 && dir.st_uid != file.st_uid)
        (void)::fchown(fd, dir.st_uid, dir.st_gid);
    if ((file.st_mode & 077) != 0)
        (void)::fchmod(fd, 0600);

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
