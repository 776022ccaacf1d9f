// The alarm traffic of a service as lines on standard output (where journald picks them up): one
// for every event that reached the event log, one for every report the automation software
// acknowledged, and the system log's lines. Lines are gathered from any thread and written by a
// thread of their own: a reader of standard output that stops reading (a full pipe) holds up that
// thread, never the receiver, and what does not fit meanwhile is counted.
#pragma once

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

    // `context` is not used any more; the writer is a thread of this object's own.
    explicit TrafficLines(QObject* context, std::FILE* out = stdout);
    ~TrafficLines(); // writes what is waiting, for at most a second
    TrafficLines(const TrafficLines&) = delete;
    TrafficLines& operator=(const TrafficLines&) = delete;

    // Any thread.
    void stored(std::span<const JournalRecord> records);
    void reported(std::string_view line);
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

private:
    void queue(const std::string& lines);
    void run();

    std::FILE* m_out;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::string m_pending;       // under m_mutex
    std::size_t m_dropped = 0;   // under m_mutex
    std::uint64_t m_queued = 0;  // under m_mutex: batches queued so far
    std::uint64_t m_written = 0; // under m_mutex: batches written so far
    bool m_stop = false;         // under m_mutex
    std::thread m_writer;        // last: started once the rest exists
};
