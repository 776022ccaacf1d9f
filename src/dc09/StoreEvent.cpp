// An accepted DC-09 message becomes one journal event; its account is brought up to date first,
// because a "[B" address in the extended data replaces the connection's address in the event.
#include "dc09/StoreEvent.h"

#include "store/AccountTable.h"
#include "store/Journal.h"
#include "store/RecordText.h"

#include <cstring>

namespace {
constexpr std::size_t kMaxAddress = sizeof(JournalRecord::address) - 1;
}

StagedRow Stage_DC9_Event(const DC9_Message& message, std::time_t received, const EventSource& source,
                          std::uint64_t stage, AccountTable& accounts, Journal& journal)
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
    if (source.address.size() <= kMaxAddress)
        setFieldText(record.address, source.address);
    record.port = source.port;

    char extended[sizeof message.extended];
    setFieldText(extended, fieldText(message.extended));

    StagedRow staged;
    staged.stage = stage;
    const std::optional<std::size_t> accountSlot = accounts.stage(record, extended);
    staged.row.journalSlot = int(journal.stage(record, extended, stage));
    LoggedEvent& row = staged.row;
    row.receivedUtc = std::int64_t(received);
    row.transport = std::string(source.transport);
    row.sourceAddress = std::string(source.address);
    row.sourcePort = source.port;
    row.sequence = message.sequence;
    row.token = std::string(fieldText(message.token));
    row.content = std::string(fieldText(message.content));
    if (message.encrypted)
        row.cipher.assign(reinterpret_cast<const char*>(message.cipher_digest), sizeof message.cipher_digest);
    row.record = record;
    row.extended = std::string(fieldText(extended));
    row.accountSlot = accountSlot ? int(*accountSlot) : -1;
    // Link tests are kept but never forwarded.
    row.state = fieldText(record.event) == "NULL" ? ForwardState::NotReportable : ForwardState::Pending;
    return staged;
}
