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

std::string withSequence(std::string key, int sequence)
{
    return key += std::to_string(sequence);
}

} // namespace

void RepeatFilter::expire(std::int64_t now)
{
    while (!m_order.empty()) {
        const Order& front = m_order.front();
        Entries& entries = front.loaded ? m_loaded : m_entries;
        auto [begin, end] = entries.equal_range(front.key);
        auto it = std::find_if(begin, end, [id = front.id](const auto& e) { return e.second.id == id; });
        if (it != end && withinWindow(it->second.received, now) && size() <= kMaxEntries)
            break;
        if (it != end)
            entries.erase(it);
        m_order.pop_front();
    }
}

RepeatFilter::Entry* RepeatFilter::find(const DC9_Message& message, std::int64_t now)
{
    expire(now);
    const std::string content = keyOf(message);
    std::string key = withSequence(content, message.sequence);
    auto [begin, end] = m_entries.equal_range(key);
    for (auto it = begin; it != end; ++it) {
        if (withinWindow(it->second.received, now))
            return &it->second;
    }
    auto [lbegin, lend] = m_loaded.equal_range(content);
    for (auto it = lbegin; it != lend; ++it) {
        if (withinWindow(it->second.received, now)) {
            // From now on only this sequence number repeats it.
            Entry entry = it->second;
            entry.sequence = message.sequence;
            m_loaded.erase(it);
            return &add(m_entries, std::move(key), entry);
        }
    }
    return nullptr;
}

RepeatFilter::Entry& RepeatFilter::add(Entries& into, std::string key, Entry entry)
{
    entry.id = m_nextId++;
    m_order.push_back(Order{&into == &m_loaded, key, entry.id});
    return into.emplace(std::move(key), entry)->second;
}

void RepeatFilter::remember(const DC9_Message& message, std::int64_t now, const StagedEvent& staged,
                            std::uint64_t batch)
{
    expire(now);
    Entry entry;
    entry.sequence = message.sequence;
    entry.received = now;
    entry.staged = staged;
    entry.batch = batch;
    (void)add(m_entries, withSequence(keyOf(message), message.sequence), entry);
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
        (void)add(m_loaded, keyOf(fieldText(r.receiver), fieldText(r.line), fieldText(r.account), fieldText(r.event),
                  fieldText(r.partition), fieldText(r.zone), extended),
            entry);
    }
    expire(now);
}

void RepeatFilter::clear()
{
    m_entries.clear();
    m_loaded.clear();
    m_order.clear();
}
