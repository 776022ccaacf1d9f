// An accepted DC-09 message becomes one journal event; its account is brought up to date first,
// because a "[B" address in the extended data replaces the connection's address in the event.
#include "dc09/StoreEvent.h"

#include "store/AccountTable.h"
#include "store/Journal.h"
#include "store/ParallelSync.h"
#include "store/RecordText.h"

#include <algorithm>
#include <cstring>

namespace {
constexpr std::size_t kMaxAddress = sizeof(JournalRecord::address) - 1;
}

StagedEvent Stage_DC9_Event(const DC9_Message& message, std::time_t received, std::string_view remoteAddress,
                            int remotePort, AccountTable& accounts, Journal& journal)
{
    JournalRecord record;
    std::memset(&record, 0, sizeof record);
    record.status = journal::kStored;
    setFieldText(record.receiver, fieldText(message.receiver));
    setFieldText(record.line, fieldText(message.line));
    setFieldText(record.account, fieldText(message.account));
    setFieldText(record.event, fieldText(message.event));
    setFieldText(record.partition, fieldText(message.partition));
    setFieldText(record.zone, fieldText(message.zone));
    record.time_received = std::int32_t(received);
    // An address that does not fit is left out rather than cut into a wrong one.
    if (remoteAddress.size() <= kMaxAddress)
        setFieldText(record.address, remoteAddress);
    record.port = remotePort;

    char extended[sizeof message.extended];
    setFieldText(extended, fieldText(message.extended));

    StagedEvent staged;
    staged.accountSlot = accounts.stage(record, extended);
    staged.journalSlot = journal.stage(record, extended);
    return staged;
}

void CommitGroup::add(const StagedEvent& event)
{
    m_journalSlots.push_back(std::uint16_t(event.journalSlot));
    if (event.accountSlot) {
        const auto slot = std::uint16_t(*event.accountSlot);
        // Panels send in bursts from few accounts: the last one added is the one to look for.
        if (std::find(m_accountSlots.rbegin(), m_accountSlots.rend(), slot) == m_accountSlots.rend())
            m_accountSlots.push_back(slot);
    }
}

void CommitGroup::append(const CommitGroup& other)
{
    m_journalSlots.insert(m_journalSlots.end(), other.m_journalSlots.begin(), other.m_journalSlots.end());
    for (const std::uint16_t slot : other.m_accountSlots) {
        if (std::find(m_accountSlots.begin(), m_accountSlots.end(), slot) == m_accountSlots.end())
            m_accountSlots.push_back(slot);
    }
}

void CommitGroup::clear()
{
    m_journalSlots.clear();
    m_accountSlots.clear();
}

FileFailure CommitGroup::commit(Journal& journal, AccountTable& accounts, ParallelSync* syncs,
                                const std::function<void()>& beforeFinish) const
{
    Journal::Commit events;
    AccountTable::Commit records;
    FileFailure failed = journal.writeCommit(m_journalSlots, events);
    if (failed.ok())
        failed = accounts.writeCommit(m_accountSlots, records);
    if (failed.ok()) {
        std::vector<PendingSync> files = events.pending();
        const std::vector<PendingSync> more = records.pending();
        files.insert(files.end(), more.begin(), more.end());
        failed = syncs != nullptr ? syncs->syncAll(files) : syncEach(files);
    }
    if (beforeFinish)
        beforeFinish();
    accounts.finishCommit(records, failed);
    journal.finishCommit(events, failed);
    return failed;
}

void CommitGroup::abandon(Journal& journal) const
{
    journal.abandonCommit(m_journalSlots);
}

FileFailure Store_DC9_Event(const DC9_Message& message, std::time_t received, std::string_view remoteAddress,
                            int remotePort, AccountTable& accounts, Journal& journal)
{
    CommitGroup group;
    group.add(Stage_DC9_Event(message, received, remoteAddress, remotePort, accounts, journal));
    return group.commit(journal, accounts);
}
