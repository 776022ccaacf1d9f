// Connection slot bookkeeping of the DC-09 receiver.
#include "dc09/ConnectionTable.h"

#include <algorithm>
#include <cstring>

namespace {

void setAddress(Connection_Slot& slot, std::string_view address)
{
    std::memset(slot.remote_address, 0, sizeof slot.remote_address);
    const std::string_view recorded = Connection_Table::recordedAddress(address);
    recorded.copy(slot.remote_address, recorded.size());
}

} // namespace

void Connection_Table::clear()
{
    m_slots.fill(Connection_Slot{});
}

std::string_view Connection_Table::recordedAddress(std::string_view address)
{
    return address.size() < sizeof(Connection_Slot::remote_address) ? address : std::string_view();
}

bool Connection_Table::matches(const Connection_Slot& slot, std::string_view address, int port)
{
    // Whole-text comparison: a substring test would let 1.2.3.4 stand for 11.2.3.45 and close
    // an unrelated panel's connection.
    return slot.remote_port == port &&
           std::string_view(slot.remote_address,
                            ::strnlen(slot.remote_address, sizeof slot.remote_address)) ==
               recordedAddress(address);
}

void Connection_Table::take(Connection_Slot& slot, std::string_view address, int port, std::int32_t seconds)
{
    slot = Connection_Slot{};
    slot.remote_port = port;
    setAddress(slot, address);
    slot.seconds_left = std::max<std::int32_t>(seconds, 0);
    slot.last_active = ++m_activity;
}

Connection_Table::Admission Connection_Table::admit(std::string_view address, int port, std::int32_t seconds,
                                                    std::size_t maxPerAddress)
{
    Admission admission;
    const std::string_view recorded = recordedAddress(address);
    // Addresses too long to record cannot be told apart, so they have no limit of their own.
    if (maxPerAddress != 0 && !recorded.empty()) {
        std::size_t held = 0;
        std::optional<std::size_t> oldest;
        for (std::size_t i = 0; i < kSlots; ++i) {
            const Connection_Slot& s = m_slots[i];
            if (s.seconds_left == 0 || !matches(s, address, s.remote_port) || s.remote_port == port) {
                continue;
            }
            ++held;
            if (!s.framed && (!oldest || s.last_active < m_slots[*oldest].last_active)) {
                oldest = i;
            }
        }
        if (held >= maxPerAddress) {
            admission.reason = Reason::AddressLimit;
            if (oldest) {
                admission.displaced = m_slots[*oldest];
                take(m_slots[*oldest], address, port, seconds);
                admission.slot = oldest;
            }
            return admission;
        }
    }
    // A slot still recorded for this very connection (its release never came) is taken over.
    std::optional<std::size_t> chosen;
    std::optional<std::size_t> idlest; // the unframed connection idle the longest
    for (std::size_t i = 0; i < kSlots && !chosen; ++i) {
        const Connection_Slot& s = m_slots[i];
        if (s.seconds_left == 0 || matches(s, address, port)) {
            chosen = i;
        } else if (!s.framed && (!idlest || s.last_active < m_slots[*idlest].last_active)) {
            idlest = i;
        }
    }
    if (!chosen && idlest) {
        admission.displaced = m_slots[*idlest];
        admission.reason = Reason::TableFull;
        chosen = idlest;
    }
    if (!chosen) {
        admission.reason = Reason::TableFull; // every slot holds a connection that sent a whole frame
        return admission;
    }
    take(m_slots[*chosen], address, port, seconds);
    admission.slot = chosen;
    return admission;
}

std::optional<std::size_t> Connection_Table::touch(std::string_view address, int port, std::int32_t seconds)
{
    seconds = std::max<std::int32_t>(seconds, 0);
    // The connection's own slot first, wherever it lies: taking an earlier free slot instead would
    // leave the old one running down and closing the connection before its renewed time is up.
    std::optional<std::size_t> index;
    for (std::size_t i = 0; i < kSlots && !index; ++i) {
        if (m_slots[i].seconds_left != 0 && matches(m_slots[i], address, port)) {
            index = i;
        }
    }
    for (std::size_t i = 0; i < kSlots && !index; ++i) {
        if (m_slots[i].seconds_left == 0) {
            take(m_slots[i], address, port, seconds);
            index = i;
        }
    }
    if (!index) {
        return std::nullopt;
    }
    Connection_Slot& s = m_slots[*index];
    s.seconds_left = seconds;
    s.framed = true;
    s.seconds_unframed = 0;
    s.last_active = ++m_activity;
    return index;
}

bool Connection_Table::release(std::string_view address, int port)
{
    bool released = false;
    for (Connection_Slot& s : m_slots) {
        if (s.seconds_left != 0 && matches(s, address, port)) {
            s = Connection_Slot{};
            released = true;
        }
    }
    return released;
}

void Connection_Table::tick(const std::function<void(std::string_view address, int port)>& close)
{
    for (Connection_Slot& s : m_slots) {
        if (s.seconds_left == 0) {
            continue;
        }
        const bool waitedTooLong = !s.framed && ++s.seconds_unframed >= kFirstFrameSeconds;
        if (s.seconds_left == 1 || waitedTooLong) {
            // Free the slot before closing: the close may report the connection gone at once,
            // and that report must find nothing left to release.
            const Connection_Slot expired = s;
            s = Connection_Slot{};
            if (close) {
                close(std::string_view(expired.remote_address,
                                       ::strnlen(expired.remote_address, sizeof expired.remote_address)),
                      expired.remote_port);
            }
            continue;
        }
        --s.seconds_left;
    }
}

std::size_t Connection_Table::inUse() const
{
    return std::size_t(std::count_if(m_slots.begin(), m_slots.end(),
                                     [](const Connection_Slot& s) { return s.seconds_left != 0; }));
}
