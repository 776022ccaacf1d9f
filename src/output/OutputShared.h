// What the output side shares between the main thread, the forwarding thread and the serial
// receive thread: the link state word, the liveness word and the answer hand-off.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>

namespace output {
// Output_Link_State bits.
inline constexpr std::uint32_t kLinkUp = 0x1;      // set by the output link while it can carry a line
inline constexpr std::uint32_t kEstablished = 0x2; // set by the forwarding thread on a heartbeat ACK
inline constexpr std::uint32_t kLinkReady = kLinkUp | kEstablished;
// Thread_Alive bits.
inline constexpr std::uint32_t kMonitoringAlive = 0x1;
inline constexpr std::uint32_t kSerialAlive = 0x2;
// Answer slot values.
inline constexpr std::uint8_t kSlotIdle = 0x00;
inline constexpr std::uint8_t kSlotWaiting = 0xFF;

// Which connection a line went out on and an answer came in on: each TCP connection and each
// opening of the serial port has its own, so an answer is only ever taken from the connection that
// carried the line. 0 is no connection.
using LinkId = std::uint64_t;
inline constexpr LinkId kNoLink = 0;
// The serial port's identity for its n-th opening; TCP connections count up from 1 and never reach it.
[[nodiscard]] inline constexpr LinkId serialLinkId(std::uint64_t opening)
{
    return (LinkId{1} << 63) | opening;
}
enum class AnswerSlot { Heartbeat, Report };
} // namespace output

// The settings the forwarding thread reads, published by the main thread (the thread never reads the
// configuration record itself, which only the main thread writes).
struct ForwardingSettings {
    std::int32_t Test_Heartbeat_Period = 0; // seconds; 0 means 30 s
    std::int8_t Test_Rec_Nr = 1;
    std::int8_t Report_Format = 0;
    int Heartbeat_Length = 22;    // 22, or 20 for the SG MLR2-DG form
    bool Account_Q_Lines = false; // Contact ID accounts of 5 to 10 characters as "Q" lines
};

// A manual-reset event: once set it stays set until reset; waiters wake at once while it is set.
class ManualResetEvent {
public:
    void set();
    void reset();
    // True when the event is (or becomes) set within `timeout`.
    [[nodiscard]] bool waitFor(std::chrono::milliseconds timeout);
    [[nodiscard]] bool isSet() const;

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_set = false;
};

// Answer_Handoff: the channel from the serial receive side to the forwarding thread (TCP answers are
// read by the forwarding thread itself, on the connection the line went out on). A slot is armed by
// the link's send, for the opening of the port the line went out on, once the whole line has been
// handed over; it is taken back by the forwarding thread when its wait ends. Arming, delivering and
// taking back happen under `mutex`, so an answer can neither slip in between a send and its arming
// nor be credited to a slot armed for another opening.
struct Answer_Handoff {
    ManualResetEvent answer_event;
    std::atomic<std::uint8_t> heartbeat_answer{output::kSlotIdle};
    std::atomic<std::uint8_t> report_answer{output::kSlotIdle};
    mutable std::mutex mutex;
    output::LinkId heartbeat_source = output::kNoLink; // guarded by mutex
    output::LinkId report_source = output::kNoLink;    // guarded by mutex
    // Answers that came when no slot waited for them, by kind: a one-byte answer names no line, so one
    // that nobody waited for puts the last answer in doubt.
    std::atomic<std::uint32_t> stray_acks{0};
    std::atomic<std::uint32_t> stray_naks{0};
};

// Everything the output side shares. One object, owned by the main window for the whole run.
struct OutputShared {
    std::atomic<std::uint32_t> Output_Link_State{0};
    // When the forwarding thread last logged a link error (calendar seconds), 0 when none since the
    // link came up or a heartbeat was last acknowledged: the status bar then says the link fails.
    std::atomic<std::int64_t> Link_Error_Time{0};
    // Counts the links that came up: a link lost and back before the forwarding thread looked is a
    // new link all the same, and gets its heartbeat first.
    std::atomic<std::uint64_t> Link_Generation{0};
    std::atomic<std::uint32_t> Thread_Alive{0};
    Answer_Handoff handoff;
};

// The slot waits for an answer from `source` from now on; the event is reset. Called by the link's
// send right after the line's last byte was handed to the socket or the port.
void Arm_Answer(Answer_Handoff& handoff, output::AnswerSlot slot, output::LinkId source);
// Ends the slot's wait and returns what it held (kSlotWaiting when no answer came).
[[nodiscard]] std::uint8_t Disarm_Answer(Answer_Handoff& handoff, output::AnswerSlot slot);
// The forwarding thread's wait on an armed slot: at most `wait` for the event, then the slot is taken
// back. What it held when the event was signalled, or an answer that landed just as the wait ended;
// empty when nothing came.
[[nodiscard]] std::optional<std::uint8_t> Await_Answer(Answer_Handoff& handoff, output::AnswerSlot slot,
                                                       std::chrono::milliseconds wait);
// The connection a slot still waits on (kNoLink when none does): while a line is out, the connection
// it went on must stay open so that its answer can come.
[[nodiscard]] output::LinkId Answer_Pending(const Answer_Handoff& handoff);
// Deliver_Answer: an ACK or NAK from `source` goes into every slot that waits for that source
// (heartbeat slot first), and the event is signalled when a slot took it. Any other byte, and an
// answer nobody waits for on that connection (late, doubled, or from another connection), is dropped
// without waking anyone. Called on the main thread by the serial receive thread's poll step.
void Deliver_Answer(Answer_Handoff& handoff, std::uint8_t byte, output::LinkId source);
