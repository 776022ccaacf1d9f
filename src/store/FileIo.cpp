// Plain POSIX implementation of the record-file helpers.
#include "store/FileIo.h"

#include "store/Journal.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
IoResult failure(int error)
{
    return IoResult{-1, error != 0 ? error : EIO};
}
} // namespace

bool FileIo::exists(const std::string& path)
{
    // A link counts as there, even a dangling one: it is refused when opened, never replaced by a file
    // made at its target.
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

IoResult FileIo::openRead(const std::string& path)
{
    // No data file is read or written through a link: whoever can plant one in the data directory
    // would otherwise have the receiver write wherever its user may (ELOOP).
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return failure(errno);
    return IoResult{fd, 0};
}

IoResult FileIo::openWrite(const std::string& path, OpenMode mode)
{
    int flags = O_WRONLY | O_CLOEXEC | O_NOFOLLOW;
    if (mode != OpenMode::Existing)
        flags |= O_CREAT;
    if (mode == OpenMode::CreateTruncate)
        flags |= O_TRUNC;
    const int fd = ::open(path.c_str(), flags, 0644);
    if (fd < 0)
        return failure(errno);
    return IoResult{fd, 0};
}

IoResult FileIo::seek(int fd, std::int64_t offset)
{
    const off_t at = ::lseek(fd, off_t(offset), SEEK_SET);
    if (at < 0)
        return failure(errno);
    return IoResult{at, 0};
}

IoResult FileIo::seekEnd(int fd)
{
    const off_t at = ::lseek(fd, 0, SEEK_END);
    if (at < 0)
        return failure(errno);
    return IoResult{at, 0};
}

IoResult FileIo::write(int fd, const void* data, std::size_t size)
{
    const auto* bytes = static_cast<const unsigned char*>(data);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, bytes + done, size - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return failure(errno);
        }
        if (n == 0)
            return failure(ENOSPC); // no progress and no errno: treat as a full device
        done += std::size_t(n);
    }
    return IoResult{std::int64_t(done), 0};
}

IoResult FileIo::writeAtOffset(int fd, std::int64_t offset, const void* data, std::size_t size)
{
    const auto* bytes = static_cast<const unsigned char*>(data);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pwrite(fd, bytes + done, size - done, off_t(offset + std::int64_t(done)));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return failure(errno);
        }
        if (n == 0)
            return failure(ENOSPC);
        done += std::size_t(n);
    }
    return IoResult{std::int64_t(done), 0};
}

IoResult FileIo::read(int fd, void* data, std::size_t size)
{
    auto* bytes = static_cast<unsigned char*>(data);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::read(fd, bytes + done, size - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return failure(errno);
        }
        if (n == 0)
            break;
        done += std::size_t(n);
    }
    return IoResult{std::int64_t(done), 0};
}

IoResult FileIo::sync(int fd)
{
    for (;;) {
        if (::fdatasync(fd) == 0)
            return IoResult{0, 0};
        if (errno != EINTR)
            return failure(errno);
    }
}

void FileIo::close(int fd)
{
    if (fd >= 0)
        ::close(fd);
}

IoResult FileIo::writeAt(const std::string& path, std::int64_t offset, const void* data, std::size_t size)
{
    const IoResult opened = openWrite(path, OpenMode::Existing);
    if (!opened.ok())
        return opened;
    const IoResult result = writeAtOffset(opened.fd(), offset, data, size);
    close(opened.fd());
    return result;
}

IoResult FileIo::readFile(const std::string& path, void* data, std::size_t size)
{
    const IoResult opened = openRead(path);
    if (!opened.ok())
        return opened;
    const IoResult result = read(opened.fd(), data, size);
    close(opened.fd());
    return result;
}

IoResult FileIo::createFile(const std::string& path, const void* data, std::size_t size)
{
    const IoResult opened = openWrite(path, OpenMode::CreateTruncate);
    if (!opened.ok())
        return opened;
    const IoResult result = write(opened.fd(), data, size);
    close(opened.fd());
    return result;
}

IoResult FileIo::syncFile(const std::string& path)
{
    const IoResult opened = openWrite(path, OpenMode::Existing);
    if (!opened.ok())
        return opened;
    const IoResult result = sync(opened.fd());
    close(opened.fd());
    return result;
}

IoResult FileIo::syncDirectoryOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
    const int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0)
        return failure(errno);
    const int rc = ::fsync(dirFd);
    const int error = errno;
    ::close(dirFd);
    return rc == 0 ? IoResult{0, 0} : failure(error);
}

bool FileIo::stillWhole(int fd, const std::string& path, std::size_t size)
{
    struct stat open {};
    struct stat named {};
    if (::fstat(fd, &open) != 0 || ::stat(path.c_str(), &named) != 0)
        return false;
    return open.st_ino == named.st_ino && open.st_dev == named.st_dev && open.st_nlink > 0 &&
           std::uint64_t(open.st_size) >= size;
}

std::optional<std::uint64_t> FileIo::regularFileSize(int fd)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    return std::uint64_t(st.st_size);
}

IoResult FileIo::openOrRestore(const std::string& path, std::size_t size,
                               const std::function<std::vector<std::uint8_t>()>& image)
{
    const IoResult opened = openWrite(path, OpenMode::Existing);
    if (opened.ok()) {
        // Left short by a disk that was full when it was made: the rest comes from memory, so the
        // file has its fixed size again. Should that fail too, the records still go in place.
        if (const std::optional<std::uint64_t> now = regularFileSize(opened.fd()); now && *now < size) {
            const std::vector<std::uint8_t> bytes = image();
            if (*now < bytes.size()) {
                const auto from = std::size_t(*now);
                (void)writeAtOffset(opened.fd(), std::int64_t(from), bytes.data() + from,
                                    bytes.size() - from);
            }
        }
        return opened;
    }
    if (opened.error != ENOENT)
        return opened;
    const std::vector<std::uint8_t> bytes = image();
    // Create, not truncate: a file that appeared meanwhile is someone's, and is written in place.
    const IoResult created = openWrite(path, OpenMode::Create);
    if (!created.ok())
        return created;
    IoResult result = write(created.fd(), bytes.data(), bytes.size());
    if (result.ok())
        result = sync(created.fd());
    close(created.fd());
    if (!result.ok())
        return result;
    // The new name must survive a power cut as well as the bytes behind it.
    (void)syncDirectoryOf(path);
    return openWrite(path, OpenMode::Existing);
}

FileIo& FileIo::posix()
{
    static FileIo instance;
    return instance;
}

std::string FileFailure::text() const
{
    if (what == nullptr)
        return {};
    std::string text = std::string(what) + path + OS_Error_Text(error);
    if (!detail.empty())
        text += " (" + detail + ")";
    return text;
}

FileFailure syncEach(const std::vector<PendingSync>& files)
{
    for (const PendingSync& f : files) {
        if (const IoResult r = f.io->sync(f.fd); !r.ok())
            return FileFailure::of("Disk write error. ", f.path, r.error);
    }
    return {};
}

void FailureEpisodes::note(FileFailure& failure)
{
    std::lock_guard lock(m_mutex);
    failure.newEpisode = m_failing.insert(failure.path).second;
}

void FailureEpisodes::ended(const std::string& path)
{
    std::lock_guard lock(m_mutex);
    m_failing.erase(path);
}
