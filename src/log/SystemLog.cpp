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

// The user's short date and long time (the program sets the locale at start-up), as files begun
// before the ISO form write them.
std::string localeLineAt(const std::tm& tm, std::string_view text)
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

std::string lineAt(const std::tm& tm, std::string_view text, LogDateStyle style, LogColour colour)
{
    if (style == LogDateStyle::Locale)
        return localeLineAt(tm, text);
    std::string line = isoDateTime(tm);
    line.append(colour == LogColour::Red ? " ! " : "  ").append(text);
    return line;
}

// The line as the view shows it: the ISO form without the file's colour mark.
std::string formatShown(const std::tm& tm, std::string_view text)
{
    return lineAt(tm, text, LogDateStyle::Iso, LogColour::Black);
}

bool digitsAt(std::string_view line, std::size_t from, std::size_t count)
{
    if (line.size() < from + count)
        return false;
    for (std::size_t i = from; i < from + count; ++i)
        if (line[i] < '0' || line[i] > '9')
            return false;
    return true;
}

int numberAt(std::string_view line, std::size_t from, std::size_t count)
{
    int n = 0;
    for (std::size_t i = from; i < from + count; ++i)
        n = n * 10 + (line[i] - '0');
    return n;
}

constexpr std::size_t kIsoLength = 19; // "yyyy-mm-dd hh:mm:ss"

bool startsIso(std::string_view line)
{
    return digitsAt(line, 0, 4) && line[4] == '-' && digitsAt(line, 5, 2) && line[7] == '-' &&
           digitsAt(line, 8, 2) && line[10] == ' ' && digitsAt(line, 11, 2) && line[13] == ':' &&
           digitsAt(line, 14, 2) && line[16] == ':' && digitsAt(line, 17, 2);
}

// A date and time in the locale's form, or, failing that, in the C locale's (what a receiver run
// without a language setting wrote); the rest of the line after them.
const char* parseLocaleDate(const std::string& line, std::tm& tm)
{
    for (const char* format : {"%x %X", "%m/%d/%y %H:%M:%S"}) {
        tm = std::tm{};
        const char* rest = ::strptime(line.c_str(), format, &tm);
        if (rest != nullptr && rest[0] == ' ' && rest[1] == ' ')
            return rest + 2;
    }
    return nullptr;
}
} // namespace

std::string isoDateTime(const std::tm& tm)
{
    char text[32];
    const int n = std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900,
                                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return std::string(text, n > 0 ? std::size_t(n) : 0);
}

LogLineParts parseLogLine(std::string_view line)
{
    LogLineParts parts;
    parts.text = line;
    if (startsIso(line) && line.size() >= kIsoLength + 2) {
        const std::string_view gap = line.substr(kIsoLength, 3);
        const bool red = gap == " ! ";
        if (red || gap.substr(0, 2) == "  ") {
            parts.dated = true;
            parts.colour = red ? LogColour::Red : LogColour::Black;
            parts.text = line.substr(kIsoLength + (red ? 3 : 2));
            parts.time.tm_year = numberAt(line, 0, 4) - 1900;
            parts.time.tm_mon = numberAt(line, 5, 2) - 1;
            parts.time.tm_mday = numberAt(line, 8, 2);
            parts.time.tm_hour = numberAt(line, 11, 2);
            parts.time.tm_min = numberAt(line, 14, 2);
            parts.time.tm_sec = numberAt(line, 17, 2);
            return parts;
        }
    }
    const std::string copy(line.substr(0, 64)); // a date is near the start, and strptime needs a NUL
    std::tm tm{};
    if (const char* rest = parseLocaleDate(copy, tm)) {
        parts.dated = true;
        parts.time = tm;
        parts.text = line.substr(std::size_t(rest - copy.c_str()));
    }
    return parts;
}

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
    return formatShown(localTimeOf(m_clock.wallNow().seconds), text);
}

void SystemLog::write(std::string_view text, LogColour colour)
{
    // One reading of the clock serves both the line and the file name, so a line written at
    // midnight at the end of a month lands in the file of the month its time stamp shows.
    const std::time_t now = m_clock.wallNow().seconds;
    const std::tm tm = localTimeOf(now);

    char name[48];
    std::snprintf(name, sizeof name, "kalvor_%d_%02d.log", tm.tm_year + 1900, tm.tm_mon + 1);
    m_currentFile = m_dir + name;
    append(m_currentFile, tm, text, colour);
}

LogDateStyle SystemLog::styleOf(const std::string& path, off_t size)
{
    if (size == 0) {
        m_styledFile = path;
        m_style = LogDateStyle::Iso;
    } else if (path != m_styledFile) {
        char first[kIsoLength] = {};
        ssize_t n = -1;
        if (const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW); fd >= 0) {
            n = ::pread(fd, first, sizeof first, 0);
            ::close(fd);
        }
        // A file that cannot be read back is taken for one from before, in the older form.
        m_styledFile = path;
        m_style = n == ssize_t(sizeof first) && startsIso(std::string_view(first, sizeof first))
                      ? LogDateStyle::Iso
                      : LogDateStyle::Locale;
    }
    return m_style;
}

void SystemLog::append(const std::string& path, const std::tm& tm, std::string_view text, LogColour colour)
{
    // A line that cannot be written is dropped without a report; it is still shown.
    off_t size = 0;
    int fd = openAtEnd(path, size);
    std::string noteText;
    std::string line = fd >= 0 ? lineAt(tm, text, styleOf(path, size), colour) : std::string();
    const std::uint64_t limit = maxFileBytes(m_config);
    if (fd >= 0 && size > 0 && std::uint64_t(size) + line.size() + 2 > limit) {
        // The month's file is set aside once (an older part is replaced), so the disk holds at most
        // twice the limit per month however much is logged.
        char setAside[48];
        std::snprintf(setAside, sizeof setAside, "kalvor_%d_%02d.1.log", tm.tm_year + 1900, tm.tm_mon + 1);
        ::close(fd);
        if (::rename(path.c_str(), (m_dir + setAside).c_str()) == 0) {
            noteText = "Log file reached " + std::to_string(limit / (1024 * 1024)) +
                       " MiB; its earlier part is kept as " + setAside;
            fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            // The new part is a new file: begun in the ISO form.
            const LogDateStyle style = styleOf(path, 0);
            line = lineAt(tm, text, style, colour);
            if (fd >= 0)
                writeAll(fd, lineAt(tm, noteText, style, LogColour::Black) + "\r\n");
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
        if (!noteText.empty())
            onLine(formatShown(tm, noteText), LogColour::Black);
        onLine(formatShown(tm, text), colour);
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
