// The messages accepted in the last minute. A panel that missed an answer (a lost segment, a dropped
// connection) sends the same message again; the receiver answers it again but must not store and
// forward the alarm twice, or the centre sees it twice.
#pragma once

#include "dc09/Dc09Message.h"
#include "dc09/StoreEvent.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <unordered_map>

class Journal;

class RepeatFilter {
public:
    // A copy received this long after the first, or less, is a repeat; one later is a new event.
    static constexpr std::int64_t kWindowSeconds = 60;
    // Messages remembered at most: a minute of a busy centre. Beyond it the oldest are forgotten first,
    // so an overloaded receiver at worst stores a late repeat again, as it did before.
    static constexpr std::size_t kMaxEntries = 16384;

    struct Entry {
        int sequence = -1;         // -1: not known (taken from the journal, whose slots keep none)
        std::int64_t received = 0; // the first copy's reception time
        StagedEvent staged;        // where the first copy was stored
        std::uint64_t batch = 0;   // the receiver's answer batch that commits it; 0: read from disk
        std::uint64_t id = 0;
    };

    // The first copy of this message when it came within the window before (or after) `now`. A copy
    // remembered without its sequence number takes this one's.
    [[nodiscard]] Entry* find(const DC9_Message& message, std::int64_t now);
    void remember(const DC9_Message& message, std::int64_t now, const StagedEvent& staged, std::uint64_t batch);
    // After a restart: the journal's events of the last minute (before `now`). A journal slot holds
    // every field of the message but its sequence number and time stamp, so these match on the rest.
    void loadFrom(const Journal& journal, std::int64_t now);
    void clear();

    [[nodiscard]] std::size_t size() const { return m_entries.size() + m_loaded.size(); }

private:
    using Entries = std::unordered_multimap<std::string, Entry>;
    struct Order {
        bool loaded;
        std::string key;
        std::uint64_t id;
    };
    void expire(std::int64_t now);
    Entry& add(Entries& into, std::string key, Entry entry);

    // By content and sequence number, so a panel's many messages of one content do not share a key.
    Entries m_entries;
    Entries m_loaded; // from the journal, by content alone
    std::deque<Order> m_order; // oldest first
    std::uint64_t m_nextId = 1;
};
