// What makes two messages the same: every field the journal keeps (the address aside, since a repeat
// may come over another connection or route), and the sequence number where it is known.
#include "dc09/RepeatFilter.h"

#include "store/Journal.h"
#include "store/RecordText.h"

#include <algorithm>
#include <vector>

namespace {

std::string keyOf(std::string_view receiver, std::string_view line, std::string_view account,
                  std::string_view event, std::string_view partition, std::string_view zone,
                  std::string_view extended)
{
    std::string key;
    key.reserve(account.size() + event.size() + extended.size() + 24);
    for (const std::string_view part : {account, receiver, line, event, partition, zone, extended}) {
        key.append(part);
        key += '\x1f'; // no field may hold it unnoticed: it ends each one
    }
    return key;
}

std::string keyOf(const DC9_Message& m)
{
    return keyOf(fieldText(m.receiver), fieldText(m.line), fieldText(m.account), fieldText(m.event),
                 fieldText(m.partition), fieldText(m.zone), fieldText(m.extended));
}

bool withinWindow(std::int64_t first, std::int64_t now)
{
    // Either way round: a clock set back must not make every old message new, nor the reverse.
    const std::int64_t d = now - first;
    return d <= RepeatFilter::kWindowSeconds && d >= -RepeatFilter::kWindowSeconds;
}

} // namespace

void RepeatFilter::expire(std::int64_t now)
{
    while (!m_order.empty()) {
        const auto& [key, id] = m_order.front();
        auto [begin, end] = m_entries.equal_range(key);
        auto it = std::find_if(begin, end, [id = id](const auto& e) { return e.second.id == id; });
        if (it != end && withinWindow(it->second.received, now) && m_entries.size() <= kMaxEntries)
            break;
        if (it != end)
            m_entries.erase(it);
        m_order.pop_front();
    }
}

RepeatFilter::Entry* RepeatFilter::find(const DC9_Message& message, std::int64_t now)
{
    expire(now);
    auto [begin, end] = m_entries.equal_range(keyOf(message));
    Entry* unknown = nullptr;
    for (auto it = begin; it != end; ++it) {
        Entry& e = it->second;
        if (!withinWindow(e.received, now))
            continue;
        if (e.sequence == message.sequence)
            return &e;
        if (e.sequence < 0 && unknown == nullptr)
            unknown = &e;
    }
    if (unknown != nullptr)
        unknown->sequence = message.sequence; // from now on only this sequence number repeats it
    return unknown;
}

void RepeatFilter::add(std::string key, Entry entry)
{
    entry.id = m_nextId++;
    m_order.emplace_back(key, entry.id);
    m_entries.emplace(std::move(key), entry);
}

void RepeatFilter::remember(const DC9_Message& message, std::int64_t now, const StagedEvent& staged,
                            std::uint64_t batch)
{
    Entry entry;
    entry.sequence = message.sequence;
    entry.received = now;
    entry.staged = staged;
    entry.batch = batch;
    add(keyOf(message), entry);
    expire(now);
}

void RepeatFilter::loadFrom(const Journal& journal, std::int64_t now)
{
    clear();
    struct Found {
        std::int64_t received;
        std::size_t slot;
    };
    std::vector<Found> found;
    for (std::size_t slot = 0; slot < journal::kSlots; ++slot) {
        const JournalRecord r = journal.record(slot);
        if ((r.status & journal::kStored) != 0 && withinWindow(r.time_received, now) && r.time_received <= now)
            found.push_back({r.time_received, slot});
    }
    std::stable_sort(found.begin(), found.end(),
                     [](const Found& a, const Found& b) { return a.received < b.received; });
    for (const Found& f : found) {
        const JournalRecord r = journal.record(f.slot);
        const std::string extended = journal.extendedText(f.slot);
        Entry entry;
        entry.received = f.received;
        entry.staged.journalSlot = f.slot;
        add(keyOf(fieldText(r.receiver), fieldText(r.line), fieldText(r.account), fieldText(r.event),
                  fieldText(r.partition), fieldText(r.zone), extended),
            entry);
    }
    expire(now);
}

void RepeatFilter::clear()
{
    m_entries.clear();
    m_order.clear();
}
