// Repeats, groups and the order of answers.
#include "dc09/EventIntake.h"

#include "store/AccountTable.h"
#include "store/Journal.h"

#include <algorithm>

EventIntake::EventIntake(const Config_Record& config, AccountTable& accounts, Journal& journal, EventStore& store)
    : m_config(config), m_accounts(accounts), m_journal(journal), m_store(store)
{
}

EventIntake::Taken EventIntake::accepted(const DC9_Message& message, std::time_t received, const EventSource& source)
{
    Taken taken;
    taken.answer = m_nextAnswer++;
    const bool filtered = repeatsReceivedOnce(m_config);
    const auto now = std::int64_t(received);
    RepeatFilter::Entry* first = filtered ? m_repeats.find(message, now) : nullptr;
    if (first == nullptr) // a captured frame sent again under another header, whatever the setting
        first = m_repeats.findCipher(message, now, !filtered);
    if (first != nullptr) {
        taken.repeat = true;
        Pending p{taken.answer, false, 0};
        if (first->ticket == RepeatFilter::kUnsealed) {
            p.own = true; // the first copy is in this very group
        } else if (first->ticket != 0 && first->ticket > m_store.committedThrough()) {
            p.ticket = first->ticket;
            // Its commit has come back failed: this is the panel's retry, so the copy carried since is
            // committed again, and this answer goes out if that works.
            if (first->ticket <= m_resultsThrough)
                m_open.commitWanted = true;
        }
        m_open.answers.push_back(p);
        return taken;
    }
    m_group.push_back(Stage_DC9_Event(message, received, source, m_nextStage++, m_accounts, m_journal));
    if (filtered || message.encrypted) {
        const RepeatFilter::Remembered r = m_repeats.remember(message, now, RepeatFilter::kUnsealed, filtered);
        for (RepeatFilter::Entry* e : {r.copy, r.cipher}) {
            if (e != nullptr)
                m_open.firstCopies.push_back(e);
        }
    }
    m_open.answers.push_back(Pending{taken.answer, true, 0});
    return taken;
}

std::uint64_t EventIntake::unstored()
{
    const std::uint64_t answer = m_nextAnswer++;
    m_open.answers.push_back(Pending{answer, false, 0});
    return answer;
}

void EventIntake::seal()
{
    if (m_open.answers.empty() && m_group.empty())
        return;
    Batch batch = std::move(m_open);
    m_open = Batch{};
    if (!m_group.empty()) {
        batch.ticket = m_store.submit(std::move(m_group));
        m_group.clear();
    } else if (batch.commitWanted) {
        batch.ticket = m_store.requestCommit();
    } else {
        // Only answers that wait for earlier commits, or for none: the last repeat's first copy decides.
        for (const Pending& p : batch.answers)
            batch.ticket = std::max(batch.ticket, p.ticket);
    }
    for (Pending& p : batch.answers) {
        if (p.own)
            p.ticket = batch.ticket;
    }
    for (RepeatFilter::Entry* e : batch.firstCopies)
        e->ticket = batch.ticket;
    batch.firstCopies.clear();
    m_sealed.push_back(std::move(batch));
}

EventIntake::Decided EventIntake::decide()
{
    Decided decided;
    for (const EventStore::Result& r : m_store.takeResults()) {
        m_resultsThrough = std::max(m_resultsThrough, r.ticket);
        if (!r.failure.ok() && r.failure.newEpisode)
            decided.failed.push_back(r.failure);
    }
    // A commit that succeeded has committed everything before it, failed commits' rows included.
    const std::uint64_t committed = m_store.committedThrough();
    m_resultsThrough = std::max(m_resultsThrough, committed);
    while (!m_sealed.empty() && m_sealed.front().ticket <= m_resultsThrough) {
        for (const Pending& p : m_sealed.front().answers)
            decided.answers.push_back(Decision{p.answer, p.ticket == 0 || p.ticket <= committed});
        m_sealed.pop_front();
    }
    return decided;
}

std::size_t EventIntake::pendingEvents() const
{
    return m_group.size() + m_store.pendingEvents();
}

std::size_t EventIntake::undecided() const
{
    std::size_t n = m_open.answers.size();
    for (const Batch& b : m_sealed)
        n += b.answers.size();
    return n;
}

void EventIntake::loadRepeats(std::int64_t now)
{
    m_repeats.loadFrom(m_store.receivedSince(now - RepeatFilter::kWindowSeconds), now);
    m_repeats.loadCiphers(m_store.ciphersSince(now - RepeatFilter::kCipherWindowSeconds, RepeatFilter::kMaxCiphers),
                          now);
}
