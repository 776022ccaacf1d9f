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

void Store_DC9_Event(const DC9_Message& message, std::time_t received, std::string_view remoteAddress,
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

    (void)accounts.update(record, extended);
    journal.append(record, extended);
}
