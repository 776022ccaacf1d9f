// The Event List's searches of the event log, on a thread of their own: the window's thread is the
// receiver's too, and must never wait for a walk through the log.
#pragma once

#include "store/EventLog.h"

#include <QObject>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

class HistorySearch : public QObject {
public:
    // The newest matches a search shows at most.
    static constexpr std::size_t kShownRows = 2048;
    using Opener = std::function<std::unique_ptr<EventLog>()>;

    // `open` gives the thread its own connection to the log (called on that thread, again after a
    // failure). The thread starts with the first request.
    explicit HistorySearch(Opener open, QObject* parent = nullptr);
    ~HistorySearch() override; // waits for the search under way

    // A request not begun yet is replaced by a newer one; only the newest request's result is delivered.
    void request(const EventFilter& filter);
    // Results that may still come are dropped.
    void cancel();
    // A request whose result has not been delivered yet.
    [[nodiscard]] bool busy() const { return m_delivered != m_requested; }

    // Called on this object's thread with the result of the newest request.
    std::function<void(const HistoryPage&)> onFound;

private:
    void run();

    Opener m_open;
    std::uint64_t m_requested = 0; // this object's thread only
    std::uint64_t m_delivered = 0; // this object's thread only
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::optional<std::pair<std::uint64_t, EventFilter>> m_next; // under m_mutex
    bool m_stop = false;                                         // under m_mutex
    std::thread m_thread;
};
