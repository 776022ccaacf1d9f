// The system log writer: one dated line per call, appended to the month's file before returning.
#include "log/SystemLog.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

namespace {
constexpr std::uint64_t kDefaultMaxFileMiB = 64;

void writeAll(int fd, const std::string& data)
{
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += std::size_t(n);
    }
}

// Opens the file for appending: the descriptor and the size it has now, or -1 when it cannot be opened.
int openAtEnd(const std::string& path, off_t& size)
{
    // Never appended through a link planted in the log file's place (the line still shows).
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0)
        return -1;
    size = ::lseek(fd, 0, SEEK_END);
    if (size < 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// The user's short date and long time (the program sets the locale at start-up).
std::string lineAt(const std::tm& tm, std::string_view text)
{
    char date[64];
    char time[64];
    const std::size_t dateLength = std::strftime(date, sizeof date, "%x", &tm);
    const std::size_t timeLength = std::strftime(time, sizeof time, "%X", &tm);
    std::string line;
    line.reserve(dateLength + timeLength + 3 + text.size());
    line.append(date, dateLength).append(" ").append(time, timeLength).append("  ").append(text);
    return line;
}
} // namespace

SystemLog::SystemLog(std::string dataDir, const Clock& clock, const Config_Record* config)
    : m_dir(std::move(dataDir)), m_clock(clock), m_config(config)
{
    if (m_dir.empty())
        m_dir = "./";
    if (m_dir.back() != '/')
        m_dir.push_back('/');
}

std::uint64_t SystemLog::maxFileBytes(const Config_Record* config)
{
    const std::uint64_t mib =
        config != nullptr && config->Log_File_Max_MiB != 0 ? config->Log_File_Max_MiB : kDefaultMaxFileMiB;
    return mib * 1024 * 1024;
}

std::string SystemLog::formatLine(std::string_view text) const
{
    return lineAt(localTimeOf(m_clock.wallNow().seconds), text);
}

void SystemLog::write(std::string_view text, LogColour colour)
{
    // One reading of the clock serves both the line and the file name, so a line written at
    // midnight at the end of a month lands in the file of the month its time stamp shows.
    const std::time_t now = m_clock.wallNow().seconds;
    const std::tm tm = localTimeOf(now);
    const std::string line = lineAt(tm, text);

    char name[48];
    std::snprintf(name, sizeof name, "kalvor_%d_%02d.log", tm.tm_year + 1900, tm.tm_mon + 1);
    m_currentFile = m_dir + name;
    append(m_currentFile, tm, line, colour);
}

void SystemLog::append(const std::string& path, const std::tm& tm, const std::string& line, LogColour colour)
{
    // A line that cannot be written is dropped without a report; it is still shown.
    off_t size = 0;
    int fd = openAtEnd(path, size);
    std::string note;
    const std::uint64_t limit = maxFileBytes(m_config);
    if (fd >= 0 && size > 0 && std::uint64_t(size) + line.size() + 2 > limit) {
        // The month's file is set aside once (an older part is replaced), so the disk holds at most
        // twice the limit per month however much is logged.
        char setAside[48];
        std::snprintf(setAside, sizeof setAside, "kalvor_%d_%02d.1.log", tm.tm_year + 1900, tm.tm_mon + 1);
        ::close(fd);
        if (::rename(path.c_str(), (m_dir + setAside).c_str()) == 0) {
            note = lineAt(tm, "Log file reached " + std::to_string(limit / (1024 * 1024)) +
                                  " MiB; its earlier part is kept as " + setAside);
            fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (fd >= 0)
                writeAll(fd, note + "\r\n");
        } else {
            // Lines keep coming after the limit rather than being lost.
            fd = openAtEnd(path, size);
        }
    }
    if (fd >= 0) {
        writeAll(fd, line + "\r\n");
        ::close(fd);
    }
    if (onLine) {
        if (!note.empty())
            onLine(note, LogColour::Black);
        onLine(line, colour);
    }
}

bool KeyRing::type(char key)
{
    static constexpr char kSequence[] = "dbg go";
    m_ring[m_pos] = key;
    const bool match = std::memcmp(m_ring, kSequence, sizeof kSequence - 1) == 0;
    m_pos = (m_pos + 1) & 0x0F;
    return match;
}
