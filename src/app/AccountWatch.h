// What the receiver says about accounts that the Object List does not let in: an unknown account
// while only known ones may report (DC9_Known_Accounts_Only), and a new account for which the full
// table has no slot. Each such account is logged in red once an hour, however often it sends.
#pragma once

#include "config/Clock.h"
#include "config/ConfigRecord.h"
#include "log/LogSink.h"
#include "log/LogThrottle.h"

#include <mutex>
#include <string_view>

class AccountTable;

class AccountWatch {
public:
    static constexpr std::int64_t kLogIntervalMs = 3600 * 1000;
    static constexpr std::size_t kRemembered = 4096; // accounts whose line is paced, at most

    AccountWatch(const Config_Record& config, const AccountTable& accounts, const Clock& clock, LogSink log);

    // Whether the account may report: any while DC9_Known_Accounts_Only is off, otherwise only one
    // in the Object List. A refused account is logged.
    [[nodiscard]] bool admitted(std::string_view account);
    // A new account found no free slot: its events are stored and forwarded, but it is not supervised.
    void noSlot(std::string_view account);

private:
    const Config_Record& m_config;
    const AccountTable& m_accounts;
    const Clock& m_clock;
    LogSink m_log;
    std::mutex m_mutex; // the table's callbacks may come from the thread that commits
    LogThrottle m_unknownLines{kLogIntervalMs, kRemembered};
    LogThrottle m_noSlotLines{kLogIntervalMs, kRemembered};
};
