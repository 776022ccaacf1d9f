// The receiver's table of 2048 connection slots: which panel connection is closed after how many
// more seconds of silence. Pure bookkeeping; the sockets themselves stay with the receiver.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

struct Connection_Slot {
    std::int32_t remote_port = 0;
    char remote_address[16] = {};  // dotted IPv4, at most 15 characters
    std::int32_t seconds_left = 0; // 0: the slot is free
};

class Connection_Table {
public:
    static constexpr std::size_t kSlots = 2048;

    // Seconds a new connection, or one whose last block was not accepted, may stay silent.
    static constexpr std::int32_t kShortSeconds = 5;

    // Marks every slot free.
    void clear();

    // Finds the connection's slot, or takes the first free one, and sets its countdown. A negative
    // count is taken as 0 (the slot is then free). Returns the slot, or none when every slot is held
    // by other connections (the connection then goes unsupervised).
    std::optional<std::size_t> touch(std::string_view address, int port, std::int32_t seconds);

    // Frees the slot of a connection that has gone (closed by the panel), so it is not held for a
    // connection that no longer exists. Returns whether a slot was freed.
    bool release(std::string_view address, int port);

    // One second: every slot in use counts down; a slot at its last second first has its
    // connection closed through `close`, then becomes free.
    void tick(const std::function<void(std::string_view address, int port)>& close);

    [[nodiscard]] const Connection_Slot& slot(std::size_t index) const { return m_slots.at(index); }
    [[nodiscard]] std::size_t inUse() const;

    // The address as a slot records it: an address that does not fit is recorded empty rather than
    // cut, so a cut prefix can never stand for a different connection.
    [[nodiscard]] static std::string_view recordedAddress(std::string_view address);

    // Whether a slot (in use or not) records this connection.
    [[nodiscard]] static bool matches(const Connection_Slot& slot, std::string_view address, int port);

private:
    std::array<Connection_Slot, kSlots> m_slots{};
};

// The receiver header names the table in the project's own style.
using ConnectionTable = Connection_Table;
