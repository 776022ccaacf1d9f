// The alarm traffic of a service as lines on standard output (where journald picks them up): one
// for every event that reached the event log, one for every repeat of a stored message that was
// answered and not stored again, one for every report the automation software acknowledged, each
// with its local date and time to the millisecond, and the system log's lines (which carry their own). Lines
// are gathered from any thread and written by a thread of their own: a reader of standard output that stops
// reading (a full pipe) holds up that thread, never the receiver, and what does not fit meanwhile is counted.
#pragma once

#include "config/Clock.h"
#include "store/JournalRecord.h"

#include <QObject>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <thread>

class TrafficLines {
public:
    // Lines waiting for the writer at most; beyond that (standard output blocked) they are counted
    // instead and the count is written with the next lines.
    static constexpr std::size_t kMaxPendingBytes = 1024 * 1024;

    // `context` is not used any more; the writer is a thread of this object's own. The lines' times
    // come from `clock` (the system's when none); it must outlive this object.
    explicit TrafficLines(QObject* context, std::FILE* out = stdout, const Clock* clock = nullptr);
    ~TrafficLines(); // writes what is waiting, for at most a second
    TrafficLines(const TrafficLines&) = delete;
    TrafficLines& operator=(const TrafficLines&) = delete;

    // Any thread.
    void stored(std::span<const JournalRecord> records);
    void reported(std::string_view line);
    void repeat(std::string_view account, int sequence, std::string_view address, int port);
    // Any other line (the system log's), in order with the rest.
    void line(std::string_view text);
    // Waits until what was queued so far is written, for at most `wait`; true when it was.
    bool flush(std::chrono::milliseconds wait = std::chrono::milliseconds(2000));

    // "event 1234 E130 zone 015 from 10.0.0.5:40123": account, qualifier letter (E new, R restore,
    // P previously reported, any other digit kept) and code, zone, address and port. A link test
    // reads "NULL" in place of the event.
    [[nodiscard]] static std::string storedLine(const JournalRecord& record);
    // "reported " + the line as sent, without its closing DC4.
    [[nodiscard]] static std::string reportedLine(std::string_view line);
    // "repeat 1234 sequence 0002 from 10.0.0.5:40123, answered, not stored again".
    [[nodiscard]] static std::string repeatLine(std::string_view account, int sequence,
                                                std::string_view address, int port);

private:
    void queue(const std::string& lines);
    // "2026-12-09 15:13:48.915  " for the traffic lines queued now.
    [[nodiscard]] std::string stamp() const;
    void run();

    std::FILE* m_out;
    SystemClock m_systemClock;
    const Clock& m_clock;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::string m_pending;       // under m_mutex
    std::size_t m_dropped = 0;   // under m_mutex
    std::uint64_t m_queued = 0;  // under m_mutex: batches queued so far
    std::uint64_t m_written = 0; // under m_mutex: batches written so far
    bool m_stop = false;         // under m_mutex
    std::thread m_writer;        // last: started once the rest exists
};
