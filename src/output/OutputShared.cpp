// The answer hand-off between the link's receive side and the forwarding thread.
#include "output/OutputShared.h"

#include "output/OutputMessages.h"

void ManualResetEvent::set()
{
    {
        std::lock_guard lock(m_mutex);
        m_set = true;
    }
    m_changed.notify_all();
}

void ManualResetEvent::reset()
{
    std::lock_guard lock(m_mutex);
    m_set = false;
}

bool ManualResetEvent::waitFor(std::chrono::milliseconds timeout)
{
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [this] { return m_set; });
}

bool ManualResetEvent::isSet() const
{
    std::lock_guard lock(m_mutex);
    return m_set;
}

namespace {

std::atomic<std::uint8_t>& slotOf(Answer_Handoff& handoff, output::AnswerSlot slot)
{
    return slot == output::AnswerSlot::Heartbeat ? handoff.heartbeat_answer : handoff.report_answer;
}

output::LinkId& sourceOf(Answer_Handoff& handoff, output::AnswerSlot slot)
{
    return slot == output::AnswerSlot::Heartbeat ? handoff.heartbeat_source : handoff.report_source;
}

} // namespace

void Arm_Answer(Answer_Handoff& handoff, output::AnswerSlot slot, output::LinkId source)
{
    std::lock_guard lock(handoff.mutex);
    slotOf(handoff, slot).store(output::kSlotWaiting);
    sourceOf(handoff, slot) = source;
    handoff.answer_event.reset();
}

std::uint8_t Disarm_Answer(Answer_Handoff& handoff, output::AnswerSlot slot)
{
    std::lock_guard lock(handoff.mutex);
    sourceOf(handoff, slot) = output::kNoLink;
    return slotOf(handoff, slot).exchange(output::kSlotIdle);
}

std::optional<std::uint8_t> Await_Answer(Answer_Handoff& handoff, output::AnswerSlot slot,
                                         std::chrono::milliseconds wait)
{
    const bool signalled = handoff.answer_event.waitFor(wait);
    // Taken back in one step with the last look at it: an answer that lands just as the wait ends
    // still counts, since it came on this line's connection after this line.
    const std::uint8_t value = Disarm_Answer(handoff, slot);
    if (signalled || Is_Answer_Byte(value))
        return value;
    return std::nullopt;
}

output::LinkId Answer_Pending(const Answer_Handoff& handoff)
{
    std::lock_guard lock(handoff.mutex);
    if (handoff.heartbeat_answer.load() == output::kSlotWaiting &&
        handoff.heartbeat_source != output::kNoLink)
        return handoff.heartbeat_source;
    if (handoff.report_answer.load() == output::kSlotWaiting && handoff.report_source != output::kNoLink)
        return handoff.report_source;
    return output::kNoLink;
}

void Deliver_Answer(Answer_Handoff& handoff, std::uint8_t byte, output::LinkId source)
{
    if (!Is_Answer_Byte(byte) || source == output::kNoLink)
        return;
    bool taken = false;
    {
        std::lock_guard lock(handoff.mutex);
        for (const output::AnswerSlot slot : {output::AnswerSlot::Heartbeat, output::AnswerSlot::Report}) {
            std::atomic<std::uint8_t>& value = slotOf(handoff, slot);
            if (value.load() == output::kSlotWaiting && sourceOf(handoff, slot) == source) {
                value.store(byte);
                taken = true;
            }
        }
    }
    // Set after the slot, so the thread never wakes to a slot that does not hold the answer yet.
    if (taken)
        handoff.answer_event.set();
    else
        (byte == output::kAck ? handoff.stray_acks : handoff.stray_naks).fetch_add(1);
}
