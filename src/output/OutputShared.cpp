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

void Deliver_Answer(Answer_Handoff& handoff, std::uint8_t byte)
{
    if (!Is_Answer_Byte(byte))
        return;
    // Only a slot that waits takes the byte; compare-exchange keeps a late answer from overwriting
    // a slot the thread has already put back to idle.
    for (auto* slot : {&handoff.heartbeat_answer, &handoff.report_answer}) {
        std::uint8_t waiting = output::kSlotWaiting;
        (void)slot->compare_exchange_strong(waiting, byte);
    }
    handoff.answer_event.set();
}
