// Alarm traffic lines of the service.
#include "app/TrafficLines.h"

#include "log/TraceText.h"
#include "output/OutputMessages.h"

#include <QMetaObject>
#include <cstdio>
#include <cstring>

namespace {

// Field text from the network goes into a log line by line: nothing in it may start a new line or
// carry control bytes into the reader's terminal.
void appendText(std::string& out, const char* field, std::size_t width)
{
    const std::size_t n = ::strnlen(field, width);
    for (std::size_t i = 0; i < n; ++i) {
        const auto c = static_cast<unsigned char>(field[i]);
        out += (c < 0x20 || c >= 0x7F) ? '?' : char(c);
    }
}

template <std::size_t N> void appendField(std::string& out, const char (&field)[N])
{
    appendText(out, field, N);
}

} // namespace

TrafficLines::TrafficLines(QObject*, std::FILE* out, const Clock* clock)
    : m_out(out), m_clock(clock != nullptr ? *clock : m_systemClock), m_writer([this] { run(); })
{
}

TrafficLines::~TrafficLines()
{
    (void)flush(std::chrono::milliseconds(1000));
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_changed.notify_all();
    // A writer held up by a reader that never reads again is left behind: the process is ending.
    if (flush(std::chrono::milliseconds(0)))
        m_writer.join();
    else
        m_writer.detach();
}

std::string TrafficLines::storedLine(const JournalRecord& record)
{
    std::string line = "event ";
    appendField(line, record.account);
    line += ' ';
    std::string event;
    appendField(event, record.event);
    if (event != "NULL")
        event = Qualified_Event_Text(event);
    line += event.empty() ? std::string("-") : event;
    line += " zone ";
    std::string zone;
    appendField(zone, record.zone);
    line += zone.empty() ? std::string("-") : zone;
    line += " from ";
    appendField(line, record.address);
    line += ':';
    line += std::to_string(record.port);
    return line;
}

std::string TrafficLines::reportedLine(std::string_view line)
{
    if (!line.empty() && line.back() == '\x14')
        line.remove_suffix(1);
    std::string out = "reported ";
    appendText(out, line.data(), line.size());
    return out;
}

std::string TrafficLines::repeatLine(std::string_view account, int sequence, std::string_view address,
                                     int port)
{
    std::string line = "repeat ";
    appendText(line, account.data(), account.size());
    char number[40];
    std::snprintf(number, sizeof number, " sequence %04d from ", sequence);
    line += number;
    appendText(line, address.data(), address.size());
    line += ':';
    line += std::to_string(port);
    line += ", answered, not stored again";
    return line;
}

std::string TrafficLines::stamp() const
{
    return traceDateTimeText(m_clock.wallNow()) + "  ";
}

void TrafficLines::stored(std::span<const JournalRecord> records)
{
    const std::string time = stamp();
    std::string lines;
    lines.reserve(records.size() * 72);
    for (const JournalRecord& r : records) {
        lines += time;
        lines += storedLine(r);
        lines += '\n';
    }
    queue(lines);
}

void TrafficLines::reported(std::string_view line)
{
    queue(stamp() + reportedLine(line) + '\n');
}

void TrafficLines::repeat(std::string_view account, int sequence, std::string_view address, int port)
{
    queue(stamp() + repeatLine(account, sequence, address, port) + '\n');
}

void TrafficLines::line(std::string_view text)
{
    std::string out(text);
    out += '\n';
    queue(out);
}

void TrafficLines::queue(const std::string& lines)
{
    if (lines.empty())
        return;
    {
        std::lock_guard lock(m_mutex);
        if (m_pending.size() + lines.size() > kMaxPendingBytes) {
            for (const char c : lines)
                m_dropped += c == '\n' ? 1 : 0;
        } else {
            m_pending += lines;
        }
        ++m_queued;
    }
    m_changed.notify_all();
}

bool TrafficLines::flush(std::chrono::milliseconds wait)
{
    std::unique_lock lock(m_mutex);
    const std::uint64_t target = m_queued;
    return m_changed.wait_for(lock, wait, [&] { return m_written >= target; });
}

void TrafficLines::run()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [&] { return m_stop || m_queued > m_written; });
        if (m_queued == m_written && m_stop)
            return;
        std::string lines;
        lines.swap(m_pending);
        const std::size_t dropped = std::exchange(m_dropped, 0);
        const std::uint64_t batch = m_queued;
        lock.unlock();
        if (dropped > 0)
            lines += std::to_string(dropped) + " traffic lines not shown (output too slow)\n";
        // A reader that has gone costs these lines, nothing more (SIGPIPE is ignored).
        if (!lines.empty()) {
            (void)std::fwrite(lines.data(), 1, lines.size(), m_out);
            (void)std::fflush(m_out);
        }
        lock.lock();
        m_written = batch;
        m_changed.notify_all();
    }
}
