// The receiver's table of 2048 connection slots: which panel connection is closed after how many
// more seconds of silence, and which one gives up its slot when a new connection finds the table
// full. Pure bookkeeping; the sockets themselves stay with the receiver.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <unordered_map>

struct Connection_Slot {
    std::int32_t remote_port = 0;
    char remote_address[16] = {};  // dotted IPv4, at most 15 characters
    std::int32_t seconds_left = 0; // 0: the slot is free
    // Beyond the countdown: whether the connection ever sent a whole frame, the seconds it has held
    // the slot without one, and when it last did something that counts (a larger number is later).
    bool framed = false;
    std::int32_t seconds_unframed = 0;
    std::uint64_t last_active = 0;
};

class Connection_Table {
public:
    static constexpr std::size_t kSlots = 2048;

    // Seconds a new connection, or one whose last block was not accepted, may stay silent.
    static constexpr std::int32_t kShortSeconds = 5;
    // A connection that has sent no whole frame this long after connecting is closed, however its
    // countdown was set.
    static constexpr std::int32_t kFirstFrameSeconds = 10;

    // Why a connection lost its slot to a newcomer, or why the newcomer got none.
    enum class Reason { None, TableFull, AddressLimit };

    struct Admission {
        std::optional<std::size_t> slot; // none: the newcomer is refused
        // The connection that gave up its slot (to be closed), if any.
        std::optional<Connection_Slot> displaced;
        Reason reason = Reason::None; // of the displacement or of the refusal
    };

    // Marks every slot free.
    void clear();

    // A new connection. It takes a free slot; when there is none, the slot of a connection that never
    // sent a whole frame, the one idle the longest; it is refused only when every slot holds a
    // connection that did. With `maxPerAddress` (0: no limit) an address at its limit gives up its own
    // oldest connection without a frame, or the newcomer is refused.
    [[nodiscard]] Admission admit(std::string_view address, int port, std::int32_t seconds,
                                  std::size_t maxPerAddress = 0);

    // A whole frame came on the connection: finds its slot, or takes the first free one, and sets its
    // countdown. A negative count is taken as 0 (the slot is then free). Returns the slot, or none when
    // every slot is held by other connections (the connection then goes unsupervised).
    std::optional<std::size_t> touch(std::string_view address, int port, std::int32_t seconds);

    // Frees the slot of a connection that has gone (closed by the panel), so it is not held for a
    // connection that no longer exists. Returns whether a slot was freed.
    bool release(std::string_view address, int port);

    // One second: every slot in use counts down; a slot at its last second, or one that has waited
    // too long for its first whole frame, first has its connection closed through `close`, then
    // becomes free.
    void tick(const std::function<void(std::string_view address, int port)>& close);

    [[nodiscard]] const Connection_Slot& slot(std::size_t index) const { return m_slots.at(index); }
    [[nodiscard]] std::size_t inUse() const;

    // The address as a slot records it: an address that does not fit is recorded empty rather than
    // cut, so a cut prefix can never stand for a different connection.
    [[nodiscard]] static std::string_view recordedAddress(std::string_view address);

    // Whether a slot (in use or not) records this connection.
    [[nodiscard]] static bool matches(const Connection_Slot& slot, std::string_view address, int port);

private:
    // A connection as the slots know it: its recorded address and its port.
    struct Key {
        std::array<char, 16> address{};
        std::int32_t port = 0;
        bool operator==(const Key&) const = default;
    };
    struct KeyHash {
        std::size_t operator()(const Key& key) const;
    };
    static constexpr std::uint16_t kNone = 0xFFFF;

    [[nodiscard]] static Key keyOf(std::string_view address, int port);
    [[nodiscard]] std::optional<std::size_t> find(std::string_view address, int port) const;
    [[nodiscard]] std::optional<std::size_t> firstFree() const;
    [[nodiscard]] bool used(std::size_t index) const { return (m_used[index / 64] >> (index % 64)) & 1u; }
    void take(std::size_t index, std::string_view address, int port, std::int32_t seconds);
    void free(std::size_t index);
    void unlinkUnframed(std::size_t index);

    // Every operation on a connection costs the same however full the table: which slots are in use
    // (a bit each), which slot holds which connection, and the slots without a whole frame in the
    // order they were taken, the one idle the longest first.
    std::array<Connection_Slot, kSlots> m_slots{};
    std::array<std::uint64_t, kSlots / 64> m_used{};
    std::unordered_map<Key, std::uint16_t, KeyHash> m_index;
    std::array<std::uint16_t, kSlots> m_next{};
    std::array<std::uint16_t, kSlots> m_prev{};
    std::uint16_t m_oldestUnframed = kNone;
    std::uint16_t m_newestUnframed = kNone;
    std::uint64_t m_activity = 0;
};

// The receiver header names the table in the project's own style.
using ConnectionTable = Connection_Table;
