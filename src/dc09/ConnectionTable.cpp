// Connection slot bookkeeping of the DC-09 receiver.
#include "dc09/ConnectionTable.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string_view>

namespace {

void setAddress(Connection_Slot& slot, std::string_view address)
{
    std::memset(slot.remote_address, 0, sizeof slot.remote_address);
    const std::string_view recorded = Connection_Table::recordedAddress(address);
    recorded.copy(slot.remote_address, recorded.size());
}

std::string_view addressOf(const Connection_Slot& slot)
{
    return std::string_view(slot.remote_address, ::strnlen(slot.remote_address, sizeof slot.remote_address));
}

} // namespace

std::size_t Connection_Table::KeyHash::operator()(const Key& key) const
{
    return std::hash<std::string_view>{}(std::string_view(key.address.data(), key.address.size())) ^
           (std::size_t(std::uint32_t(key.port)) * 0x9E3779B97F4A7C15ull);
}

Connection_Table::Key Connection_Table::keyOf(std::string_view address, int port)
{
    Key key;
    const std::string_view recorded = recordedAddress(address);
    recorded.copy(key.address.data(), recorded.size());
    key.port = port;
    return key;
}

void Connection_Table::clear()
{
    m_slots.fill(Connection_Slot{});
    m_used.fill(0);
    m_index.clear();
    m_oldestUnframed = kNone;
    m_newestUnframed = kNone;
}

std::string_view Connection_Table::recordedAddress(std::string_view address)
{
    return address.size() < sizeof(Connection_Slot::remote_address) ? address : std::string_view();
}

bool Connection_Table::matches(const Connection_Slot& slot, std::string_view address, int port)
{
    // Whole-text comparison: a substring test would let 1.2.3.4 stand for 11.2.3.45 and close
    // an unrelated panel's connection.
    return slot.remote_port == port && addressOf(slot) == recordedAddress(address);
}

std::optional<std::size_t> Connection_Table::find(std::string_view address, int port) const
{
    const auto it = m_index.find(keyOf(address, port));
    return it == m_index.end() ? std::nullopt : std::optional<std::size_t>(it->second);
}

std::optional<std::size_t> Connection_Table::firstFree() const
{
    for (std::size_t word = 0; word < m_used.size(); ++word) {
        if (m_used[word] != ~std::uint64_t(0)) {
            return word * 64 + std::size_t(std::countr_one(m_used[word]));
        }
    }
    return std::nullopt;
}

void Connection_Table::take(std::size_t index, std::string_view address, int port, std::int32_t seconds)
{
    if (used(index)) {
        free(index);
    }
    seconds = std::max<std::int32_t>(seconds, 0);
    if (seconds == 0) {
        return; // a countdown of 0 is a free slot
    }
    Connection_Slot& slot = m_slots[index];
    slot = Connection_Slot{};
    slot.remote_port = port;
    setAddress(slot, address);
    slot.seconds_left = seconds;
    slot.last_active = ++m_activity;
    m_used[index / 64] |= std::uint64_t(1) << (index % 64);
    m_index[keyOf(address, port)] = std::uint16_t(index);
    // The newest of the slots without a frame.
    m_prev[index] = m_newestUnframed;
    m_next[index] = kNone;
    if (m_newestUnframed != kNone) {
        m_next[m_newestUnframed] = std::uint16_t(index);
    } else {
        m_oldestUnframed = std::uint16_t(index);
    }
    m_newestUnframed = std::uint16_t(index);
}

void Connection_Table::unlinkUnframed(std::size_t index)
{
    const std::uint16_t prev = m_prev[index];
    const std::uint16_t next = m_next[index];
    (prev != kNone ? m_next[prev] : m_oldestUnframed) = next;
    (next != kNone ? m_prev[next] : m_newestUnframed) = prev;
}

void Connection_Table::free(std::size_t index)
{
    Connection_Slot& slot = m_slots[index];
    if (!slot.framed) {
        unlinkUnframed(index);
    }
    if (const auto it = m_index.find(keyOf(addressOf(slot), slot.remote_port));
        it != m_index.end() && it->second == index) {
        m_index.erase(it);
    }
    m_used[index / 64] &= ~(std::uint64_t(1) << (index % 64));
    slot = Connection_Slot{};
}

Connection_Table::Admission Connection_Table::admit(std::string_view address, int port, std::int32_t seconds,
                                                    std::size_t maxPerAddress)
{
    Admission admission;
    // A slot still recorded for this very connection (its release never came) is taken over.
    if (const std::optional<std::size_t> own = find(address, port)) {
        take(*own, address, port, seconds);
        admission.slot = own;
        return admission;
    }
    const std::string_view recorded = recordedAddress(address);
    // Addresses too long to record cannot be told apart, so they have no limit of their own.
    if (maxPerAddress != 0 && !recorded.empty()) {
        std::size_t held = 0;
        for (std::size_t i = 0; i < kSlots; ++i) {
            held += used(i) && m_slots[i].remote_port != port && addressOf(m_slots[i]) == recorded ? 1 : 0;
        }
        if (held >= maxPerAddress) {
            admission.reason = Reason::AddressLimit;
            std::uint16_t oldest = m_oldestUnframed;
            while (oldest != kNone && addressOf(m_slots[oldest]) != recorded) {
                oldest = m_next[oldest];
            }
            if (oldest != kNone) {
                admission.displaced = m_slots[oldest];
                take(oldest, address, port, seconds);
                admission.slot = oldest;
            }
            return admission;
        }
    }
    std::optional<std::size_t> chosen = firstFree();
    if (!chosen && m_oldestUnframed != kNone) {
        admission.displaced = m_slots[m_oldestUnframed];
        admission.reason = Reason::TableFull;
        chosen = m_oldestUnframed;
    }
    if (!chosen) {
        admission.reason = Reason::TableFull; // every slot holds a connection that sent a whole frame
        return admission;
    }
    take(*chosen, address, port, seconds);
    admission.slot = chosen;
    return admission;
}

std::optional<std::size_t> Connection_Table::touch(std::string_view address, int port, std::int32_t seconds)
{
    // The connection's own slot first, wherever it lies: taking an earlier free slot instead would
    // leave the old one running down and closing the connection before its renewed time is up.
    std::optional<std::size_t> index = find(address, port);
    if (!index) {
        index = firstFree();
        if (!index) {
            return std::nullopt;
        }
        take(*index, address, port, seconds);
    }
    if (seconds <= 0) {
        if (used(*index)) {
            free(*index);
        }
        return index;
    }
    Connection_Slot& s = m_slots[*index];
    if (!s.framed) {
        unlinkUnframed(*index);
        s.framed = true;
    }
    s.seconds_left = seconds;
    s.seconds_unframed = 0;
    s.last_active = ++m_activity;
    return index;
}

bool Connection_Table::release(std::string_view address, int port)
{
    const std::optional<std::size_t> index = find(address, port);
    if (!index) {
        return false;
    }
    free(*index);
    return true;
}

void Connection_Table::tick(const std::function<void(std::string_view address, int port)>& close)
{
    for (std::size_t i = 0; i < kSlots; ++i) {
        if (!used(i)) {
            continue;
        }
        Connection_Slot& s = m_slots[i];
        const bool waitedTooLong = !s.framed && ++s.seconds_unframed >= kFirstFrameSeconds;
        if (s.seconds_left == 1 || waitedTooLong) {
            // Free the slot before closing: the close may report the connection gone at once,
            // and that report must find nothing left to release.
            const Connection_Slot expired = s;
            free(i);
            if (close) {
                close(addressOf(expired), expired.remote_port);
            }
            continue;
        }
        --s.seconds_left;
    }
}

std::size_t Connection_Table::inUse() const
{
    std::size_t n = 0;
    for (const std::uint64_t word : m_used) {
        n += std::size_t(std::popcount(word));
    }
    return n;
}
