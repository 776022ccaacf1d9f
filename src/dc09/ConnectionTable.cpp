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

std::optional<std::size_t> Connection_Table::touch(std::string_view address, int port, std::int32_t seconds)
{
    seconds = std::max<std::int32_t>(seconds, 0);
    // The connection's own slot first, wherever it lies: taking an earlier free slot instead would
    // leave the old one running down and closing the connection before its renewed time is up.
    for (std::size_t i = 0; i < kSlots; ++i) {
        Connection_Slot& s = m_slots[i];
        if (s.seconds_left != 0 && matches(s, address, port)) {
            s.seconds_left = seconds;
            return i;
        }
    }
    for (std::size_t i = 0; i < kSlots; ++i) {
        Connection_Slot& s = m_slots[i];
        if (s.seconds_left == 0) {
            s.remote_port = port;
            setAddress(s, address);
            s.seconds_left = seconds;
            return i;
        }
    }
    return std::nullopt;
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
        if (s.seconds_left == 1) {
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
