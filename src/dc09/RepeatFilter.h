// The messages accepted in the last minute. A panel that missed an answer (a lost segment, a dropped
// connection) sends the same message again; the receiver answers it again but must not store and
// forward the alarm twice, or the centre sees it twice.
#pragma once

#include "dc09/Dc09Message.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <span>
#include <string>
#include <unordered_map>

struct LoggedEvent;

class RepeatFilter {
public:
    // A copy received this long after the first, or less, is a repeat; one later is a new event.
    static constexpr std::int64_t kWindowSeconds = 60;
    // Messages remembered at most: a minute of a busy centre. Beyond it the oldest are forgotten first,
    // so an overloaded receiver at worst stores a late repeat again.
    static constexpr std::size_t kMaxEntries = 16384;
    // The first copy is in a group not yet handed to the event log.
    static constexpr std::uint64_t kUnsealed = ~std::uint64_t{0};

    struct Entry {
        std::int64_t received = 0; // the first copy's reception time
        // The commit that carries the first copy; 0 when it was read from the log.
        std::uint64_t ticket = 0;
        std::uint64_t id = 0;
    };

    // The same account, sequence number and content (its time stamp aside: a panel may stamp its
    // retry anew) within the window before or after `now`.
    [[nodiscard]] Entry* find(const DC9_Message& message, std::int64_t now);
    // Remembers the first copy; the reference stays valid until the entry expires.
    Entry& remember(const DC9_Message& message, std::int64_t now, std::uint64_t ticket);
    // After a restart: the log's rows of the last minute, whose sequence numbers it keeps.
    void loadFrom(std::span<const LoggedEvent> rows, std::int64_t now);
    void clear();

    [[nodiscard]] std::size_t size() const { return m_entries.size(); }

    // What makes two copies the same message.
    [[nodiscard]] static std::string keyOf(const DC9_Message& message);
    [[nodiscard]] static std::string keyOf(const LoggedEvent& row);

private:
    void expire(std::int64_t now);
    Entry& add(std::string key, Entry entry);

    std::unordered_map<std::string, Entry> m_entries;
    struct Order {
        std::string key;
        std::uint64_t id;
        std::int64_t received;
    };
    std::deque<Order> m_order; // oldest first
    std::uint64_t m_nextId = 1;
};
