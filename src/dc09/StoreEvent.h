// Turns an accepted DC-09 message into a journal event and an account update in memory, and the
// row that the event log commits before the panel's answer goes out.
#pragma once

#include "dc09/Dc09Message.h"
#include "store/EventStore.h"

#include <cstdint>
#include <ctime>
#include <string_view>

class AccountTable;
class Journal;

// Where a message came from.
struct EventSource {
    std::string_view transport; // "tcp" or "udp"
    std::string_view address;   // dotted IPv4 text
    int port = 0;
};

// Memory only: the account's slot is brought up to date first (a "[B" address replaces the
// connection's), then the event takes its ring slot under `stage`. The row carries everything the
// log keeps of it.
[[nodiscard]] StagedRow Stage_DC9_Event(const DC9_Message& message, std::time_t received, const EventSource& source,
                                        std::uint64_t stage, AccountTable& accounts, Journal& journal);
