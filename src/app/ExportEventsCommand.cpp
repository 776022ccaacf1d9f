// The export: the filter from the options, the log opened as a visitor, the rows streamed as CSV
// into a temporary file that takes the file's name only once it is whole.
#include "app/ExportEventsCommand.h"

#include "store/EventCsv.h"
#include "store/EventLog.h"

#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::size_t kFlushBytes = 1 << 20;

int failed(const std::string& message)
{
    std::fprintf(stderr, "ardentel: %s\n", message.c_str());
    return 1;
}

bool writeAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes.remove_prefix(std::size_t(n));
    }
    return true;
}

std::optional<std::pair<dev_t, ino_t>> identity(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return std::nullopt;
    return std::make_pair(st.st_dev, st.st_ino);
}

// Whether `file` is one of the receiver's own files: writing it would lose what it holds.
bool isDataFile(const std::string& file, const DataPaths& paths)
{
    const auto target = identity(file);
    const std::array<const std::string*, 6> own = {&paths.config,   &paths.journal,  &paths.extended,
                                                   &paths.accounts, &paths.eventLog, &paths.accountKeys};
    for (const std::string* path : own) {
        if (target && identity(*path) == target)
            return true;
    }
    // A file not there yet, in the data directory, under a name the receiver uses or will.
    const std::size_t slash = file.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : file.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? file : file.substr(slash + 1);
    if (identity(dir) != identity(paths.dir))
        return false;
    static const std::array<std::string_view, 10> kNames = {
        "kalvor.cfg", "kalvor.dat",        "extevn.dat",    "latevn.dat",    "account_keys.cfg",
        "events.db",  "events.db-journal", "events.db-wal", "events.db-shm", "ardentel.lock"};
    for (const std::string_view own : kNames) {
        if (name == own)
            return true;
    }
    // The monthly log files, kalvor_YYYY_MM.log and the part set aside.
    return name.rfind("kalvor_", 0) == 0 && name.size() > 4 && name.compare(name.size() - 4, 4, ".log") == 0;
}

// Where the rows go: standard output, a file that is no plain file (a pipe, a device) as it is, or a
// temporary file beside FILE renamed to it at the end, so that a failed export leaves no half file
// that looks whole.
class Output {
public:
    explicit Output(std::string file) : m_file(std::move(file)) {}
    ~Output()
    {
        if (m_fd >= 0 && m_fd != STDOUT_FILENO)
            ::close(m_fd);
        if (!m_temporary.empty())
            ::unlink(m_temporary.c_str());
    }
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    [[nodiscard]] std::string name() const { return m_file == "-" ? "standard output" : m_file; }

    bool open()
    {
        if (m_file == "-") {
            m_fd = STDOUT_FILENO;
            return true;
        }
        struct stat st {};
        if (::stat(m_file.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
            m_fd = ::open(m_file.c_str(), O_WRONLY | O_CLOEXEC);
            return m_fd >= 0;
        }
        std::string pattern = m_file + ".XXXXXX";
        m_fd = ::mkstemp(pattern.data());
        if (m_fd < 0)
            return false;
        m_temporary = pattern;
        // mkstemp makes it 0600; the export gets the mode any new file of the user's would.
        const mode_t mask = ::umask(0);
        ::umask(mask);
        (void)::fchmod(m_fd, 0666 & ~mask);
        return true;
    }
    bool write(std::string_view bytes) { return writeAll(m_fd, bytes); }
    bool finish()
    {
        if (m_temporary.empty())
            return true;
        if (::fdatasync(m_fd) != 0 || ::close(m_fd) != 0) {
            m_fd = -1;
            return false;
        }
        m_fd = -1;
        if (::rename(m_temporary.c_str(), m_file.c_str()) != 0)
            return false;
        m_temporary.clear();
        return true;
    }

private:
    std::string m_file;
    std::string m_temporary;
    int m_fd = -1;
};

} // namespace

int runExportEvents(const CommandLine& cl, const DataPaths& paths)
{
    EventFilter filter;
    if (!cl.exportAccount.empty()) {
        if (cl.exportAccount.size() > 16)
            return failed("--account: \"" + cl.exportAccount + "\" is not 1 to 16 hex digits");
        for (const char c : cl.exportAccount) {
            if (!std::isxdigit(static_cast<unsigned char>(c)))
                return failed("--account: \"" + cl.exportAccount + "\" is not 1 to 16 hex digits");
            filter.account += char(std::toupper(static_cast<unsigned char>(c)));
        }
    }
    if (!cl.exportFrom.empty()) {
        filter.fromUtc = EventLog::localDayStart(cl.exportFrom);
        if (!filter.fromUtc)
            return failed("--from: \"" + cl.exportFrom + "\" is not a date (YYYY-MM-DD)");
    }
    if (!cl.exportTo.empty()) {
        // The whole of the last day.
        filter.beforeUtc = EventLog::localDayStart(cl.exportTo, 1);
        if (!filter.beforeUtc)
            return failed("--to: \"" + cl.exportTo + "\" is not a date (YYYY-MM-DD)");
    }
    if (filter.fromUtc && filter.beforeUtc && *filter.fromUtc >= *filter.beforeUtc)
        return failed("--from " + cl.exportFrom + " is after --to " + cl.exportTo);

    const std::string file = *cl.exportEvents;
    if (file != "-" && isDataFile(file, paths))
        return failed("will not write " + file + ": it is one of the receiver's own files");

    EventLog log(paths.eventLog, EventLog::Role::Visitor);
    if (!log.isOpen()) {
        if (log.lastFailure().error == ENOENT && !identity(paths.eventLog))
            return failed("no event log in " + paths.dir + " (events.db is not there)");
        return failed("cannot read the event log: " + log.lastFailure().text());
    }
    Output out(file);
    if (!out.open())
        return failed("cannot write " + out.name() + ": " + std::strerror(errno));
    std::string buffer = csv::headerRow();
    std::int64_t rows = 0;
    bool written = true;
    int writeError = 0;
    const FileFailure read = log.forEachMatch(filter, [&](const LoggedEvent& e) {
        csv::appendRow(buffer, e);
        ++rows;
        if (buffer.size() >= kFlushBytes) {
            written = out.write(buffer);
            writeError = errno;
            buffer.clear();
        }
        return written;
    });
    if (written) {
        written = out.write(buffer);
        writeError = errno;
    }
    if (!written)
        return failed("cannot write " + out.name() + ": " + std::strerror(writeError));
    if (!read.ok())
        return failed("cannot read the event log: " + read.text());
    if (log.changedSinceOpen())
        return failed("the event log changed while it was read (a receiver started on " + paths.dir +
                      "?): run the export again");
    if (!out.finish())
        return failed("cannot write " + out.name() + ": " + std::strerror(errno));
    std::fprintf(stderr, "ardentel: %lld events written to %s\n", static_cast<long long>(rows),
                 out.name().c_str());
    return 0;
}
