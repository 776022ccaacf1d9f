// What the output side shares between the main thread, the forwarding thread and the serial
// receive thread: the link state word, the liveness word and the answer hand-off.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

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
} // namespace output

// The settings the forwarding thread reads, published by the main thread (the thread never reads the
// configuration record itself, which only the main thread writes).
struct ForwardingSettings {
    std::int32_t Test_Heartbeat_Period = 0; // seconds; 0 means 30 s
    std::int8_t Test_Rec_Nr = 1;
    std::int8_t Report_Format = 0;
    int Heartbeat_Length = 22; // 22, or 20 for the SG MLR2-DG form
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

// Answer_Handoff: the only channel from the link's receive side to the forwarding thread.
struct Answer_Handoff {
    ManualResetEvent answer_event;
    std::atomic<std::uint8_t> heartbeat_answer{output::kSlotIdle};
    std::atomic<std::uint8_t> report_answer{output::kSlotIdle};
};

// Everything the output side shares. One object, owned by the main window for the whole run.
struct OutputShared {
    std::atomic<std::uint32_t> Output_Link_State{0};
    std::atomic<std::uint32_t> Thread_Alive{0};
    Answer_Handoff handoff;
};

// Deliver_Answer: an ACK or NAK goes into every slot that is waiting (heartbeat slot first), then
// the event is signalled. Any other byte is dropped. Called on the main thread.
void Deliver_Answer(Answer_Handoff& handoff, std::uint8_t byte);
