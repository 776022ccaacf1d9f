// Single-instance test: a second copy finds the lock taken and ends without touching any file.
#include "app/SingleInstance.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

SingleInstance::~SingleInstance()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

std::string SingleInstance::lockDirectory()
{
    for (const char* name : {"ARDENTEL_RUNTIME_DIR", "XDG_RUNTIME_DIR", "TMPDIR"}) {
        const char* value = std::getenv(name);
        if (value && *value)
            return value;
    }
    return "/tmp";
}

SingleInstance::State SingleInstance::acquire(const std::string& directory)
{
    m_path = directory;
    if (m_path.empty() || m_path.back() != '/')
        m_path.push_back('/');
    m_path += "Pemlox.exe";
    // Close-on-exec: programs we start (socat) must not keep the lock after we end.
    const int fd = ::open(m_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        m_osError = errno;
        return State::Unavailable;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        m_osError = errno;
        ::close(fd);
        return m_osError == EWOULDBLOCK ? State::AlreadyRunning : State::Unavailable;
    }
    m_fd = fd;
    return State::Acquired;
}
