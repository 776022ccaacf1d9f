// The table of up to 2048 reporting accounts (latevn.dat) with their supervision countdowns.
#pragma once

#include "store/AccountRecord.h"
#include "store/JournalRecord.h"

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class AccountTable {
public:
    explicit AccountTable(std::string path);

    void load();                                                        // Load accounts
    // Update account; may replace record.address with the "[B" value. Returns the slot, or none when full.
    std::optional<std::size_t> update(JournalRecord& record, const char* extended);
    void writeAccount(std::size_t slot);                                // Write account
    void supervisionTick();                                             // Supervision tick, once a second
    void setPingMinutes(std::size_t slot, std::int32_t minutes);       // Set ping minutes
    void deleteAccount(std::size_t slot);                               // Delete account

    [[nodiscard]] std::mutex& mutex() const { return m_mutex; }
    [[nodiscard]] AccountRecord record(std::size_t slot) const;         // copy under the lock
    [[nodiscard]] const std::uint8_t* image() const { return m_image.data(); }
    // Forwarding side: clears report_due once the automation software acknowledged the report.
    void clearReportDue(std::size_t slot);

    // Refresh of the Object List window.
    std::function<void()> onChanged;

private:
    std::string m_path;
    mutable std::mutex m_mutex;
    std::vector<std::uint8_t> m_image; // accounts::kImageSize, never reallocated
};
