// The TCP connections to the automation software, shared by the main thread, which accepts,
// connects and drops them, and the forwarding thread, which sends each line and reads its answer on
// the connection's own descriptor. No socket object of Qt ever reads these descriptors: a line and
// its answer need no turn of the main thread, however busy the panels keep it.
//
// One mutex guards the list. The forwarding thread holds it only to pick the connection and to mark
// the line in flight; its I/O runs without it. A descriptor with a line in flight is never closed
// under it: the main thread takes the connection off the list at once, and the exchange closes the
// descriptor when it ends. So a descriptor number cannot be reused by a panel's connection while a
// line may still go out on it, and an answer on its way to a line in flight is still read.
#pragma once

#include "output/OutputShared.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

class AutomationConnections {
public:
    enum class Side { Server, Client };
    // The system's send on a descriptor, never blocking; returns the bytes sent, or -1 with errno.
    using SendFunction = std::function<ssize_t(int fd, const char* data, std::size_t size)>;

    // What one exchange came to.
    struct Exchange {
        enum class Sent {
            Whole,        // the whole line went out; `answer` says what came back
            NoConnection, // nothing to send to on that side
            NotWhole,     // nothing, or only a part, went out: no answer can count for it
        };
        Sent sent = Sent::NoConnection;
        std::optional<std::uint8_t> answer; // ACK or NAK, the first byte of a block after the line
        // The connection the lines go to was found closed or failed, or was given up after a part of
        // a line: the link is down until a connection is there again.
        bool targetLost = false;
        // An answer byte was waiting before the line went out: nobody waited for it.
        bool strayBefore = false;
        // A different answer byte came right after the answer (in its block or its quiet time).
        bool doubtful = false;
        // A quiet time followed the answer and nothing else came: the connection is in step.
        bool settled = false;
    };

    // A connection taken off the list because its peer closed it or it failed.
    struct Gone {
        output::LinkId id = output::kNoLink;
        Side side = Side::Server;
        std::string peer;
        int error = 0;          // the socket's error (errno), 0 for an orderly close
        bool wasTarget = false; // the lines went to it
    };

    AutomationConnections() = default;
    // The quiet time after an answer on a connection on probation (see kSettle); 0 leaves it out.
    void setSettleTime(std::chrono::milliseconds settle) { m_settle = settle; }
    ~AutomationConnections(); // closes every descriptor; no exchange may be under way
    AutomationConnections(const AutomationConnections&) = delete;
    AutomationConnections& operator=(const AutomationConnections&) = delete;

    // Main thread. The table owns the descriptors it is given from then on.
    output::LinkId addServer(int fd, std::string peer); // the newest; lines go to it
    output::LinkId setClient(int fd, std::string peer); // replaces a client there was
    // Off the list at once; the descriptor is closed now, or when the exchange on it ends. The peers
    // of the connections taken off, for the log.
    std::string remove(output::LinkId id);
    std::vector<std::string> removeAll(Side side);
    // Takes off the connections whose peer has closed or that failed: those the forwarding thread
    // found so, and those a look without waiting and without reading finds so. The one with a line
    // in flight is left to its exchange.
    [[nodiscard]] std::vector<Gone> reap();

    // Any thread.
    [[nodiscard]] std::size_t serverCount() const; // not counting those found gone
    [[nodiscard]] output::LinkId oldestServer() const;
    [[nodiscard]] bool clientConnected() const;
    [[nodiscard]] output::LinkId inFlight() const; // the connection a line is out on

    // Forwarding thread, one exchange at a time: bytes already waiting on the target connection are
    // thrown away (they answer some earlier line), the line is sent without blocking, and the first
    // ACK or NAK that starts a block read within `wait` is its answer. A peer that closes or fails
    // ends the wait at once. A part of a line shuts the connection down, so that the fragment cannot
    // run into the next line; a peer that reads nothing (nothing could be sent) keeps it.
    [[nodiscard]] Exchange exchange(Side side, std::string_view line, std::chrono::milliseconds wait,
                                    const SendFunction& send = {});
    // Forwarding thread, between exchanges: watches the target connection for `wait` (or its own
    // quiet time, when longer) and says whether an answer byte came that no line waited for. What
    // comes is thrown away.
    [[nodiscard]] bool strayAnswerWithin(Side side, std::chrono::milliseconds wait);

private:
    struct Entry {
        output::LinkId id = output::kNoLink;
        int fd = -1;
        Side side = Side::Server;
        std::string peer;
        bool lost = false; // found closed or failed by the forwarding thread
        int error = 0;
        // Lines answered on this connection so far, and whether it ever sent more than one answer to a
        // line: see settleAfterAnswer.
        std::uint32_t answered = 0;
        bool doubles = false;
        // Its quiet time: longer each time an answer turned up after the quiet time was over.
        std::chrono::milliseconds quiet{0};
    };
    enum class Waiting { Nothing, Closed, Failed };
    // What came in bytes nobody waited for.
    struct Stray {
        bool any = false;     // bytes at all
        bool answers = false; // ACK or NAK among them
        bool differs = false; // an answer other than `credited`
    };

    [[nodiscard]] Entry* targetLocked(Side side);
    [[nodiscard]] bool isTargetLocked(const Entry& entry) const;
    void closeLocked(const Entry& entry);
    [[nodiscard]] bool markLost(output::LinkId id, int error);
    [[nodiscard]] Waiting discardWaiting(int fd, int& error, Stray& stray, std::uint8_t credited = 0);
    // After an answer on a connection still on probation or known to answer twice: waits until the
    // connection has been quiet for its quiet time, throwing away what comes meanwhile.
    [[nodiscard]] Waiting settleAfterAnswer(int fd, std::chrono::milliseconds quiet, int& error, Stray& stray,
                                            std::uint8_t credited);
    // Whether the answer just read on `id` must be followed by a quiet time (how long, or 0), and
    // records a duplicate seen on it.
    [[nodiscard]] std::chrono::milliseconds needsSettle(output::LinkId id, bool duplicateSeen);
    // An answer turned up after the quiet time: the connection keeps a longer one from now on.
    void lengthenQuiet(output::LinkId id);
    [[nodiscard]] Exchange unanswered(output::LinkId id, int fd, std::chrono::milliseconds wait, Exchange result);
    [[nodiscard]] Exchange exchangeOn(output::LinkId id, int fd, std::string_view line,
                                      std::chrono::milliseconds wait, const SendFunction& send);
    void endExchange();

    mutable std::mutex m_mutex;
    std::vector<Entry> m_entries; // server connections oldest first, and the client
    output::LinkId m_nextId = 1;
    output::LinkId m_inFlight = output::kNoLink;
    int m_inFlightFd = -1;
    bool m_closeAfterExchange = false; // taken off the list while its line was out

    // One exchange at a time; it also guards the read buffer.
    std::mutex m_exchangeMutex;
    std::vector<char> m_block = std::vector<char>(64 * 1024);
    // A one-byte answer names no line: a second ACK that the automation software writes for one line
    // and that arrives after the next line went out is indistinguishable from that line's answer. So
    // a new connection is on probation for its first lines, each answer followed by a quiet time, and
    // one that has shown a duplicate keeps the quiet time for good; a sound peer pays it only at the
    // start and then runs at full speed.
    static constexpr std::uint32_t kProbationLines = 8;
    static constexpr std::chrono::milliseconds kSettle{10};
    static constexpr std::chrono::milliseconds kLongestQuiet{320};
    std::chrono::milliseconds m_settle = kSettle;
};
