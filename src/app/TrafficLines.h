// The alarm traffic of a service as lines on standard output (where journald picks them up): one
// for every event that reached the journal files, one for every report the automation software
// acknowledged. Lines are gathered from any thread and written by the main thread once per turn of
// its event loop, so a busy receiver pays a copy per event, not a write and a flush.
#pragma once

#include "store/JournalRecord.h"

#include <QObject>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

class TrafficLines {
public:
    // Lines waiting for the main thread at most; beyond that (standard output blocked, the main
    // thread stalled) they are counted instead and the count is written with the next flush.
    static constexpr std::size_t kMaxPendingBytes = 1024 * 1024;

    // `context` lives on the main thread; the flushes run there.
    explicit TrafficLines(QObject* context, std::FILE* out = stdout);
    TrafficLines(const TrafficLines&) = delete;
    TrafficLines& operator=(const TrafficLines&) = delete;

    // Any thread.
    void stored(std::span<const JournalRecord> records);
    void reported(std::string_view line);
    // Main thread: writes what is waiting and flushes the stream.
    void flush();

    // "event 1234 E130 zone 015 from 10.0.0.5:40123": account, qualifier letter (E new, R restore,
    // P previously reported, any other digit kept) and code, zone, address and port. A link test
    // reads "NULL" in place of the event.
    [[nodiscard]] static std::string storedLine(const JournalRecord& record);
    // "reported " + the line as sent, without its closing DC4.
    [[nodiscard]] static std::string reportedLine(std::string_view line);

private:
    void queue(const std::string& lines);

    QObject* m_context;
    std::FILE* m_out;
    std::mutex m_mutex;
    std::string m_pending;       // under m_mutex
    std::size_t m_dropped = 0;   // under m_mutex
    std::atomic<bool> m_posted{false};
};
