#include "app/StartupChecks.h"

#include "app/DataDirectoryLock.h"
#include "config/CoreDumps.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

std::string octal(mode_t mode)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04o", unsigned(mode & 07777));
    return text;
}

std::string realPath(const std::string& path)
{
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

// Takes away the permission bits in `extra` from the directory or the file (never through a link).
void tighten(const std::string& path, bool directory, mode_t extra, const char* what, const LogSink& log)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | (directory ? O_DIRECTORY : 0));
    if (fd < 0)
        return;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && (st.st_mode & extra) != 0 &&
        (directory ? S_ISDIR(st.st_mode) : S_ISREG(st.st_mode))) {
        const mode_t wanted = st.st_mode & 07777 & ~extra;
        if (::fchmod(fd, wanted) == 0)
            log(std::string(what) + " " + path + " was open to other users (mode " + octal(st.st_mode) +
                    "); it is now " + octal(wanted) + ".",
                LogColour::Black);
        else
            log(std::string(what) + " " + path + " is open to other users (mode " + octal(st.st_mode) +
                    ") and cannot be made " + octal(wanted) + ": " + std::strerror(errno),
                LogColour::Red);
    }
    ::close(fd);
}

// The names a data file of the receiver may have: its records, its lock and its monthly logs.
bool isDataFileName(const DataPaths& paths, std::string_view name)
{
    for (const std::string* path : {&paths.config, &paths.journal, &paths.extended, &paths.accounts, &paths.eventLog})
        if (std::string_view(*path).substr(paths.dir.size()) == name)
            return true;
    // The event log's companions are opened by SQLite beside it.
    for (const char* suffix : {"-wal", "-shm"})
        if (name == std::string_view(paths.eventLog).substr(paths.dir.size()).data() + std::string(suffix))
            return true;
    if (name == DataDirectoryLock::kFileName || name == kStorageProbeName)
        return true;
    return name.size() > 11 && name.substr(0, 7) == "kalvor_" && name.substr(name.size() - 4) == ".log";
}

void reportLinks(const DataPaths& paths, const LogSink& log)
{
    DIR* dir = ::opendir(paths.dir.c_str());
    if (!dir)
        return;
    std::vector<std::string> links;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name(entry->d_name);
        struct stat st {};
        if (isDataFileName(paths, name) && ::lstat((paths.dir + entry->d_name).c_str(), &st) == 0 &&
            S_ISLNK(st.st_mode))
            links.push_back(paths.dir + entry->d_name);
    }
    ::closedir(dir);
    for (const std::string& link : links)
        log(link + " is a symbolic link: the receiver neither reads nor writes a file through a link and "
                   "runs as without this file. Put the file itself in its place.",
            LogColour::Red);
}

} // namespace

bool holdsTheProgram(const std::string& directory)
{
    const std::string program = realPath("/proc/self/exe");
    const std::string dir = realPath(directory);
    if (program.empty() || dir.empty())
        return false;
    const std::size_t slash = program.rfind('/');
    return program.substr(0, slash == 0 ? 1 : slash) == dir;
}

void runStartupChecks(const DataPaths& paths, const Config_Record& config, const LogSink& log)
{
    // A key in memory: no core dump may carry it away.
    keepKeyOutOfCoreDumps(config);
    struct stat dir {};
    if (!holdsTheProgram(paths.dir) && ::stat(paths.dir.c_str(), &dir) == 0 && dir.st_uid == ::geteuid())
        tighten(paths.dir, true, 027, "The data directory", log);
    tighten(paths.config, false, 077, "The settings file", log);
    reportLinks(paths, log);
    if (config.DC9_AES_Mode >= 1 && config.DC9_AES_Mode <= 3 && config.Time_Synch == 0)
        log("Encryption is on and Time_Synch (\"Time Synchronization\") is off: a message replayed more than "
            "10 "
            "minutes after it was sent cannot be told from a new alarm. Turn it on once the panels' clocks "
            "are right.",
            LogColour::Red);
}

FileFailure checkStorage(const DataPaths& paths, FileIo& io)
{
    // A directory that takes no new file would fail the event log's companions and the next month's
    // log; one whose disk takes no sync would lose what a panel was told is stored.
    const std::string probe = paths.dir + kStorageProbeName;
    const IoResult opened = io.openWrite(probe, OpenMode::CreateTruncate);
    if (!opened.ok())
        return FileFailure::of("File open error. ", probe, opened.error);
    static constexpr std::string_view kMark = "Ardentel storage check\n";
    IoResult done = io.write(opened.fd(), kMark.data(), kMark.size());
    if (done.ok())
        done = io.sync(opened.fd());
    io.close(opened.fd());
    if (done.ok())
        done = io.syncDirectoryOf(probe);
    (void)::unlink(probe.c_str());
    if (!done.ok())
        return FileFailure::of("Disk write error. ", probe, done.error);

    const std::string wal = paths.eventLog + "-wal";
    const std::string shm = paths.eventLog + "-shm";
    for (const std::string* path :
         {&paths.config, &paths.journal, &paths.extended, &paths.accounts, &paths.eventLog, &wal, &shm}) {
        if (!io.exists(*path))
            continue; // made when it is needed, in the directory just written
        const IoResult file = io.openWrite(*path, OpenMode::Existing);
        // A link in a view's or the settings' place is never followed: the receiver runs without
        // that file (the start-up checks say so in red), and the event log still keeps every event.
        // Without the event log nothing could be acknowledged.
        const bool eventLogFile = path == &paths.eventLog || path == &wal || path == &shm;
        if (!file.ok() && file.error == ELOOP && !eventLogFile)
            continue;
        if (!file.ok())
            return FileFailure::of("File open error. ", *path, file.error);
        const IoResult synced = io.sync(file.fd());
        io.close(file.fd());
        if (!synced.ok())
            return FileFailure::of("Disk write error. ", *path, synced.error);
    }
    return {};
}
