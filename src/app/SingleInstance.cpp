// Single-instance test: a second copy finds the lock taken and ends without touching any file.
#include "app/SingleInstance.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string withSlash(std::string directory)
{
    if (directory.empty() || directory.back() != '/')
        directory.push_back('/');
    return directory;
}

// The fallback directory must be this user's alone: another user who created it first (or put a
// link there) could otherwise hold our lock, or have us create files where they choose.
std::string checkPrivateDirectory(const std::string& directory, int& osError)
{
    if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) {
        osError = errno;
        return "cannot create the directory: " + std::string(std::strerror(osError));
    }
    struct stat info {};
    if (::lstat(directory.c_str(), &info) != 0) {
        osError = errno;
        return std::strerror(osError);
    }
    osError = EPERM;
    if (!S_ISDIR(info.st_mode))
        return "it is not a directory";
    if (info.st_uid != ::geteuid())
        return "the directory belongs to another user";
    if ((info.st_mode & 077) != 0)
        return "the directory is open to other users";
    osError = 0;
    return {};
}

} // namespace

SingleInstance::~SingleInstance()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

SingleInstance::Place SingleInstance::lockPlace()
{
    for (const char* name : {"ARDENTEL_RUNTIME_DIR", "XDG_RUNTIME_DIR"}) {
        const char* value = std::getenv(name);
        if (value && *value)
            return {value, false};
    }
    const char* tmp = std::getenv("TMPDIR");
    const std::string base = withSlash(tmp && *tmp ? tmp : "/tmp");
    return {base + "ardentel-" + std::to_string(::geteuid()), true};
}

SingleInstance::State SingleInstance::unavailable(int osError, std::string problem)
{
    m_osError = osError;
    m_problem = std::move(problem);
    return State::Unavailable;
}

SingleInstance::State SingleInstance::acquire(const Place& place)
{
    const std::string directory = withSlash(place.directory);
    m_path = directory + "Pemlox.exe";
    if (place.privateSubdirectory) {
        int osError = 0;
        std::string problem = checkPrivateDirectory(place.directory, osError);
        if (!problem.empty()) {
            m_path = place.directory;
            return unavailable(osError, std::move(problem));
        }
    }
    // Close-on-exec: programs we start (socat) must not keep the lock after we end. No link is
    // followed, so the lock never creates or locks a file somewhere else.
    const int fd = ::open(m_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        const int error = errno;
        return unavailable(error, error == ELOOP ? "it is a symbolic link" : std::strerror(error));
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return unavailable(EINVAL, "it is not a regular file");
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd);
        if (error == EWOULDBLOCK)
            return State::AlreadyRunning;
        return unavailable(error, std::strerror(error));
    }
    m_fd = fd;
    return State::Acquired;
}
