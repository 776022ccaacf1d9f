// What makes two messages the same: the account, the sequence number, the header's receiver and
// line, the token and the data as received and decrypted, without its time stamp.
#include "dc09/RepeatFilter.h"

#include "store/EventLog.h"
#include "store/RecordText.h"

namespace {

// The data without a trailing "_HH:MM:SS,MM-DD-YYYY" stamp.
std::string_view withoutStamp(std::string_view content)
{
    const std::size_t underscore = content.rfind('_');
    if (underscore != std::string_view::npos && content.size() - underscore >= 20 &&
        content.find(']', underscore) == std::string_view::npos)
        return content.substr(0, underscore);
    return content;
}

std::string keyFrom(std::string_view account, int sequence, std::string_view receiver, std::string_view line,
                    std::string_view token, std::string_view content)
{
    std::string key;
    const std::string_view data = withoutStamp(content);
    key.reserve(account.size() + receiver.size() + line.size() + token.size() + data.size() + 16);
    key.append(account);
    key += '\x1f'; // no field may hold it unnoticed: it ends each one
    key += std::to_string(sequence);
    for (const std::string_view part : {receiver, line, token, data}) {
        key += '\x1f';
        key.append(part);
    }
    return key;
}

bool withinWindow(std::int64_t first, std::int64_t now)
{
    // Either way round: a clock set back must not make every old message new, nor the reverse.
    const std::int64_t d = now - first;
    return d <= RepeatFilter::kWindowSeconds && d >= -RepeatFilter::kWindowSeconds;
}

} // namespace

std::string RepeatFilter::keyOf(const DC9_Message& m)
{
    return keyFrom(fieldText(m.account), m.sequence, fieldText(m.receiver), fieldText(m.line), fieldText(m.token),
                   fieldText(m.content));
}

std::string RepeatFilter::keyOf(const LoggedEvent& row)
{
    return keyFrom(fieldText(row.record.account), row.sequence, fieldText(row.record.receiver),
                   fieldText(row.record.line), row.token, row.content);
}

void RepeatFilter::expire(std::int64_t now)
{
    while (!m_order.empty()) {
        const Order& front = m_order.front();
        if (withinWindow(front.received, now) && m_entries.size() <= kMaxEntries)
            break;
        const auto it = m_entries.find(front.key);
        if (it != m_entries.end() && it->second.id == front.id)
            m_entries.erase(it);
        m_order.pop_front();
    }
}

RepeatFilter::Entry* RepeatFilter::find(const DC9_Message& message, std::int64_t now)
{
    expire(now);
    const auto it = m_entries.find(keyOf(message));
    if (it == m_entries.end() || !withinWindow(it->second.received, now))
        return nullptr;
    return &it->second;
}

RepeatFilter::Entry& RepeatFilter::add(std::string key, Entry entry)
{
    entry.id = m_nextId++;
    m_order.push_back(Order{key, entry.id, entry.received});
    Entry& slot = m_entries[std::move(key)];
    slot = entry;
    return slot;
}

RepeatFilter::Entry& RepeatFilter::remember(const DC9_Message& message, std::int64_t now, std::uint64_t ticket)
{
    expire(now);
    Entry entry;
    entry.received = now;
    entry.ticket = ticket;
    return add(keyOf(message), entry);
}

void RepeatFilter::loadFrom(std::span<const LoggedEvent> rows, std::int64_t now)
{
    clear();
    for (const LoggedEvent& row : rows) {
        // Events taken over from the ring files carry no sequence number: nothing can repeat them.
        if (row.sequence < 0 || !withinWindow(row.receivedUtc, now) || row.receivedUtc > now)
            continue;
        Entry entry;
        entry.received = row.receivedUtc;
        (void)add(keyOf(row), entry);
    }
    expire(now);
}

void RepeatFilter::clear()
{
    m_entries.clear();
    m_order.clear();
}
