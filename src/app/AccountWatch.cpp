#include "app/AccountWatch.h"

#include "store/AccountRecord.h"
#include "store/AccountTable.h"

#include <string>

AccountWatch::AccountWatch(const Config_Record& config, const AccountTable& accounts, const Clock& clock,
                           LogSink log)
    : m_config(config), m_accounts(accounts), m_clock(clock), m_log(std::move(log))
{
}

bool AccountWatch::admitted(std::string_view account)
{
    if (!knownAccountsOnly(m_config) || m_accounts.contains(account))
        return true;
    std::unique_lock lock(m_mutex);
    if (!m_unknownLines.allow(account, m_clock.steadyMillis()))
        return false;
    lock.unlock();
    const std::string a(account);
    if (m_log)
        m_log("Account " + a +
                  " is not in the Object List: its messages are answered DUH (DC9_Known_Accounts_Only=1; "
                  "add it with --add-account " +
                  a + ").",
              LogColour::Red);
    return false;
}

void AccountWatch::noSlot(std::string_view account)
{
    std::unique_lock lock(m_mutex);
    if (!m_noSlotLines.allow(account, m_clock.steadyMillis()))
        return;
    lock.unlock();
    if (m_log)
        m_log("Account " + std::string(account) + " found no free slot in the Object List (all " +
                  std::to_string(accounts::kSlots) +
                  " are taken): its events are stored and forwarded, but it is not supervised. Delete "
                  "accounts that no longer report.",
              LogColour::Red);
}
