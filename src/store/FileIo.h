// Small POSIX file helpers for the record files. Every call reports the errno of what failed, and a
// test can slip a failing layer in their place to reach the error paths.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

struct IoResult {
    std::int64_t value = 0; // descriptor, offset or byte count
    int error = 0;          // errno of the failed call, 0 on success
    [[nodiscard]] bool ok() const { return error == 0; }
    [[nodiscard]] int fd() const { return int(value); }
};

// How a file is opened for writing: the record files are written in place and never created on the
// way, except where a caller creates them on purpose.
enum class OpenMode { Existing, Create, CreateTruncate };

class FileIo {
public:
    virtual ~FileIo() = default;

    [[nodiscard]] virtual bool exists(const std::string& path);
    [[nodiscard]] virtual IoResult openRead(const std::string& path);
    [[nodiscard]] virtual IoResult openWrite(const std::string& path, OpenMode mode);
    [[nodiscard]] virtual IoResult seek(int fd, std::int64_t offset); // from the start of the file
    [[nodiscard]] virtual IoResult seekEnd(int fd);
    // Writes all of `size` bytes, retrying short writes; anything less is an error.
    [[nodiscard]] virtual IoResult write(int fd, const void* data, std::size_t size);
    // Writes all of `size` bytes at `offset` (pwrite: one call where seek and write take two).
    [[nodiscard]] virtual IoResult writeAtOffset(int fd, std::int64_t offset, const void* data,
                                                 std::size_t size);
    // Reads until `size` bytes or the end of the file; value is the count read.
    [[nodiscard]] virtual IoResult read(int fd, void* data, std::size_t size);
    // fdatasync: what was written through any descriptor of the file is on the disk when this
    // succeeds. A failure may mean written pages were lost: what they held must be written again.
    [[nodiscard]] virtual IoResult sync(int fd);
    virtual void close(int fd);

    // open (existing), positioned write, close: one record written in place.
    [[nodiscard]] IoResult writeAt(const std::string& path, std::int64_t offset, const void* data,
                                   std::size_t size);
    // Reads up to `size` bytes of an existing file from its start; value is the count read.
    [[nodiscard]] IoResult readFile(const std::string& path, void* data, std::size_t size);
    // Creates (or empties) the file and writes `size` bytes into it.
    [[nodiscard]] IoResult createFile(const std::string& path, const void* data, std::size_t size);
    // Opens, syncs and closes the file: what was written to it through any descriptor is on disk.
    [[nodiscard]] IoResult syncFile(const std::string& path);
    // Syncs the directory that holds `path`, so that a name made in it survives a power cut.
    [[nodiscard]] virtual IoResult syncDirectoryOf(const std::string& path);
    // Whether a descriptor kept open for `path` still writes to the file of that name, at its full
    // `size`: false once the file was deleted, replaced or cut short under it.
    [[nodiscard]] virtual bool stillWhole(int fd, const std::string& path, std::size_t size);
    // The size of the regular file open as `fd`; nothing for another kind of file or a failure.
    [[nodiscard]] virtual std::optional<std::uint64_t> regularFileSize(int fd);
    // Opens an existing record file of `size` bytes for writing in place. A file that is not there
    // (it could not be made at start-up, or it was deleted) is made again from `image()`, written
    // whole and synced with its directory entry, so that what memory holds is not lost around the
    // records written next; one shorter than `size` gets the rest of `image()`.
    [[nodiscard]] IoResult openOrRestore(const std::string& path, std::size_t size,
                                         const std::function<std::vector<std::uint8_t>()>& image);

    // The process-wide plain POSIX layer.
    [[nodiscard]] static FileIo& posix();
};

// One failed file operation: which of the log texts applies, on which file, and the errno. Empty
// (`what` null) when nothing failed.
struct FileFailure {
    const char* what = nullptr; // "File open error. ", "File seek error. " or "Disk write error. "
    std::string path;
    int error = 0;
    std::string detail;      // what the failing layer said besides the OS error, when it said more
    bool newEpisode = false; // the first failure on this file since it last worked: log it
    [[nodiscard]] bool ok() const { return what == nullptr; }
    [[nodiscard]] static FileFailure of(const char* what, std::string path, int error)
    {
        FileFailure f;
        f.what = what;
        f.path = std::move(path);
        f.error = error;
        return f;
    }
    // The red log line: the text, the file's full path and the OS error text.
    [[nodiscard]] std::string text() const;
};

// A file written by a commit and still to be synced; the commit's owner syncs it (together with
// the other files of the commit) before it finishes the commit.
struct PendingSync {
    FileIo* io = nullptr;
    int fd = -1;
    std::string path;
};

// Syncs each file in turn; the first failure is a "Disk write error. " on that file.
[[nodiscard]] FileFailure syncEach(const std::vector<PendingSync>& files);

// Which files are failing now, so a failure is logged once when it starts and not again on every
// retry until the file has been written successfully. Safe from any thread.
class FailureEpisodes {
public:
    // Marks the failure's file as failing; sets newEpisode when it was not failing before.
    void note(FileFailure& failure);
    void ended(const std::string& path);

private:
    std::mutex m_mutex;
    std::set<std::string> m_failing;
};
