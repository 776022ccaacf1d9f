// What makes two messages the same: the account, the sequence number, the header's receiver and
// line, the token and the data as received and decrypted, without its time stamp.
#include "dc09/RepeatFilter.h"

#include "store/EventLog.h"
#include "store/RecordText.h"

#include <cstring>

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

bool withinWindow(std::int64_t first, std::int64_t now, std::int64_t window)
{
    // Either way round: a clock set back must not make every old message new, nor the reverse.
    const std::int64_t d = now - first;
    return d <= window && d >= -window;
}

std::size_t headerOf(std::string_view account, int sequence, std::string_view receiver, std::string_view line)
{
    std::string key;
    key.reserve(account.size() + receiver.size() + line.size() + 8);
    key.append(account);
    key += '\x1f';
    key += std::to_string(sequence);
    key += '\x1f';
    key.append(receiver);
    key += '\x1f';
    key.append(line);
    return std::hash<std::string>{}(key);
}

std::size_t headerOf(const DC9_Message& m)
{
    return headerOf(fieldText(m.account), m.sequence, fieldText(m.receiver), fieldText(m.line));
}

} // namespace

std::size_t RepeatFilter::DigestHash::operator()(const Digest& d) const noexcept
{
    std::size_t h = 0; // the digest is uniform already: its first bytes are a hash
    std::memcpy(&h, d.data(), sizeof h);
    return h;
}

template <typename Key, typename Hash> void RepeatFilter::Memory<Key, Hash>::expire(std::int64_t now)
{
    while (!order.empty()) {
        const Order& front = order.front();
        if (withinWindow(front.received, now, window) && entries.size() <= limit)
            break;
        const auto it = entries.find(front.key);
        if (it != entries.end() && it->second.id == front.id)
            entries.erase(it);
        order.pop_front();
    }
}

template <typename Key, typename Hash>
RepeatFilter::Entry* RepeatFilter::Memory<Key, Hash>::find(const Key& key, std::int64_t now)
{
    expire(now);
    const auto it = entries.find(key);
    if (it == entries.end() || !withinWindow(it->second.received, now, window))
        return nullptr;
    return &it->second;
}

template <typename Key, typename Hash>
RepeatFilter::Entry& RepeatFilter::Memory<Key, Hash>::add(Key key, Entry entry)
{
    entry.id = nextId++;
    order.push_back(Order{key, entry.id, entry.received});
    Entry& slot = entries[std::move(key)];
    slot = entry;
    return slot;
}

template <typename Key, typename Hash> void RepeatFilter::Memory<Key, Hash>::clear()
{
    entries.clear();
    order.clear();
}

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

RepeatFilter::Entry* RepeatFilter::find(const DC9_Message& message, std::int64_t now)
{
    return m_copies.find(keyOf(message), now);
}

RepeatFilter::Entry* RepeatFilter::findCipher(const DC9_Message& message, std::int64_t now, bool otherHeaderOnly)
{
    if (!message.encrypted)
        return nullptr;
    Digest digest;
    std::memcpy(digest.data(), message.cipher_digest, digest.size());
    Entry* first = m_ciphers.find(digest, now);
    if (first != nullptr && otherHeaderOnly && first->header == headerOf(message))
        return nullptr;
    return first;
}

RepeatFilter::Remembered RepeatFilter::remember(const DC9_Message& message, std::int64_t now, std::uint64_t ticket,
                                                bool copies)
{
    Entry entry;
    entry.received = now;
    entry.ticket = ticket;
    Remembered r;
    if (copies) {
        m_copies.expire(now);
        r.copy = &m_copies.add(keyOf(message), entry);
    }
    if (message.encrypted) {
        Digest digest;
        std::memcpy(digest.data(), message.cipher_digest, digest.size());
        entry.header = headerOf(message);
        m_ciphers.expire(now);
        r.cipher = &m_ciphers.add(digest, entry);
    }
    return r;
}

void RepeatFilter::loadFrom(std::span<const LoggedEvent> rows, std::int64_t now)
{
    m_copies.clear();
    for (const LoggedEvent& row : rows) {
        // Events taken over from the ring files carry no sequence number: nothing can repeat them.
        if (row.sequence < 0 || !withinWindow(row.receivedUtc, now, kWindowSeconds) || row.receivedUtc > now)
            continue;
        Entry entry;
        entry.received = row.receivedUtc;
        (void)m_copies.add(keyOf(row), entry);
    }
    m_copies.expire(now);
}

void RepeatFilter::loadCiphers(std::span<const LoggedCipher> rows, std::int64_t now)
{
    m_ciphers.clear();
    for (const LoggedCipher& row : rows) {
        Digest digest;
        if (row.cipher.size() != digest.size() || !withinWindow(row.receivedUtc, now, kCipherWindowSeconds) ||
            row.receivedUtc > now)
            continue;
        std::memcpy(digest.data(), row.cipher.data(), digest.size());
        Entry entry;
        entry.received = row.receivedUtc;
        entry.header = headerOf(row.account, row.sequence, row.receiver, row.line);
        (void)m_ciphers.add(digest, entry);
    }
    m_ciphers.expire(now);
}

void RepeatFilter::clear()
{
    m_copies.clear();
    m_ciphers.clear();
}
