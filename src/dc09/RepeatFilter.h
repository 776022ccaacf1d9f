// The messages accepted lately. A panel that missed an answer (a lost segment, a dropped
// connection) sends the same message again; the receiver answers it again but must not store and
// forward the alarm twice, or the centre sees it twice. An encrypted message's cipher text is
// remembered longer and under any header: its header is plain and its CRC takes no key, so a
// captured frame can be sent again under a new sequence number, and it is still one alarm.
#pragma once

#include "dc09/Dc09Message.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <span>
#include <string>
#include <unordered_map>

struct LoggedCipher;
struct LoggedEvent;

class RepeatFilter {
public:
    // A copy received this long after the first, or less, is a repeat; one later is a new event.
    static constexpr std::int64_t kWindowSeconds = 60;
    // Messages remembered at most: a minute of a busy centre. Beyond it the oldest are forgotten first,
    // so an overloaded receiver at worst stores a late repeat again.
    static constexpr std::size_t kMaxEntries = 16384;
    // The same cipher text within this long is a replay (the time window, when on, refuses older ones).
    static constexpr std::int64_t kCipherWindowSeconds = 600;
    // Cipher texts remembered at most (about 13 MiB).
    static constexpr std::size_t kMaxCiphers = 131072;
    // The first copy is in a group not yet handed to the event log.
    static constexpr std::uint64_t kUnsealed = ~std::uint64_t{0};

    struct Entry {
        std::int64_t received = 0; // the first copy's reception time
        // The commit that carries the first copy; 0 when it was read from the log.
        std::uint64_t ticket = 0;
        std::uint64_t id = 0;
        std::size_t header = 0; // cipher entries: a hash of the first copy's header
    };

    // The same account, sequence number and content (its time stamp aside: a panel may stamp its
    // retry anew) within the window before or after `now`.
    [[nodiscard]] Entry* find(const DC9_Message& message, std::int64_t now);
    // An encrypted message whose cipher text came within the cipher window. With `otherHeaderOnly`
    // (every copy of a message is stored), only a copy under another header counts.
    [[nodiscard]] Entry* findCipher(const DC9_Message& message, std::int64_t now, bool otherHeaderOnly);
    // Remembers the first copy (its cipher text as well, when encrypted). The references stay valid
    // until the entries expire; the cipher entry's is null for a plain message.
    struct Remembered {
        Entry* copy = nullptr;
        Entry* cipher = nullptr;
    };
    Remembered remember(const DC9_Message& message, std::int64_t now, std::uint64_t ticket, bool copies = true);
    // After a restart: the log's rows of the last minute, whose sequence numbers it keeps, and the
    // cipher digests of its last ten minutes.
    void loadFrom(std::span<const LoggedEvent> rows, std::int64_t now);
    void loadCiphers(std::span<const LoggedCipher> rows, std::int64_t now);
    void clear();

    [[nodiscard]] std::size_t size() const { return m_copies.entries.size(); }
    [[nodiscard]] std::size_t ciphers() const { return m_ciphers.entries.size(); }

    // What makes two copies the same message.
    [[nodiscard]] static std::string keyOf(const DC9_Message& message);
    [[nodiscard]] static std::string keyOf(const LoggedEvent& row);

private:
    using Digest = std::array<std::uint8_t, sizeof DC9_Message::cipher_digest>;
    struct DigestHash {
        std::size_t operator()(const Digest& d) const noexcept;
    };
    // Entries by key, forgotten oldest first once outside the window or beyond the count.
    template <typename Key, typename Hash> struct Memory {
        Memory(std::int64_t w, std::size_t l) : window(w), limit(l) {}
        std::int64_t window;
        std::size_t limit;
        std::unordered_map<Key, Entry, Hash> entries;
        struct Order {
            Key key;
            std::uint64_t id;
            std::int64_t received;
        };
        std::deque<Order> order; // oldest first
        std::uint64_t nextId = 1;

        void expire(std::int64_t now);
        Entry* find(const Key& key, std::int64_t now);
        Entry& add(Key key, Entry entry);
        void clear();
    };

    Memory<std::string, std::hash<std::string>> m_copies{kWindowSeconds, kMaxEntries};
    Memory<Digest, DigestHash> m_ciphers{kCipherWindowSeconds, kMaxCiphers};
};
