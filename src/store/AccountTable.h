// The table of up to 2048 reporting accounts (latevn.dat) with their supervision countdowns.
// The receiving (GUI) thread changes it; the forwarding thread reads it and clears report_due.
#pragma once

#include "store/AccountRecord.h"
#include "store/FileIo.h"
#include "store/JournalRecord.h"

#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

class AccountTable {
public:
    explicit AccountTable(std::string path, FileIo& io = FileIo::posix());

    void load(); // Load accounts
    // Update account; may replace record.address with the "[B" value. Returns the slot, or none when
    // the account has no slot (table full, or an empty account number).
    std::optional<std::size_t> update(JournalRecord& record, const char* extended);
    // The same in memory only: the caller commits the slot before it answers.
    [[nodiscard]] std::optional<std::size_t> stage(JournalRecord& record, const char* extended);
    // A commit: writes the slots as memory holds them now; the caller syncs what `pending()` lists
    // (with the journal's files), then finishes with the outcome. Nothing is logged here.
    class Commit {
    public:
        Commit() = default;
        Commit(const Commit&) = delete;
        Commit& operator=(const Commit&) = delete;
        [[nodiscard]] std::vector<PendingSync> pending() const;

    private:
        friend class AccountTable;
        AccountTable* m_table = nullptr;
        bool m_any = false;
        int m_fd = -1;
    };
    [[nodiscard]] FileFailure writeCommit(std::span<const std::uint16_t> slots, Commit& commit);
    // Sets outcome.newEpisode when the failure is on latevn.dat.
    void finishCommit(Commit& commit, FileFailure& outcome);
    void writeAccount(std::size_t slot);                         // Write account
    void supervisionTick();                                      // Supervision tick, once a second
    void setPingMinutes(std::size_t slot, std::int32_t minutes); // Set ping minutes
    void deleteAccount(std::size_t slot);                        // Delete account

    [[nodiscard]] std::mutex& mutex() const { return m_mutex; }
    [[nodiscard]] AccountRecord record(std::size_t slot) const; // copy under the lock
    [[nodiscard]] const std::uint8_t* image() const { return m_image.data(); }

    // What the forwarding side needs to send one supervision report, copied under the lock.
    struct DueReport {
        std::size_t slot = 0;
        std::string receiver;
        std::string line;
        std::string account;
        bool missing = false; // "1350" when set, "3350" when clear
    };
    // The first slot at or after `from` whose report_due is set.
    [[nodiscard]] std::optional<DueReport> nextReportDue(std::size_t from = 0) const;

    // Forwarding side: clears report_due once the automation software acknowledged the report, and
    // writes the slot so that a restart does not send the report again.
    void clearReportDue(std::size_t slot);
    // The same, but only while the slot still holds `report`'s account in the state that was
    // reported: a deletion may have moved the slots, or the account may have gone missing or come
    // back during the answer wait, and that newer change must still be reported. True when cleared.
    bool clearReportDue(const DueReport& report);

    // Refresh of the Object List window.
    std::function<void()> onChanged;
    // A new account found no free slot (the table is full): its event is still stored and forwarded.
    // Called by update() and stage(), on the caller's thread, without the table's lock.
    std::function<void(std::string_view account)> onNoSlot;

    // Whether the account has a slot (it is in the Object List). Any thread.
    [[nodiscard]] bool contains(std::string_view account) const;

private:
    [[nodiscard]] AccountRecord* slotAt(std::size_t slot);
    [[nodiscard]] bool writeSlot(std::size_t slot);
    // Update account in memory only.
    [[nodiscard]] std::optional<std::size_t> updateImage(JournalRecord& record, const char* extended);
    [[nodiscard]] std::optional<std::size_t> findSlot(std::string_view account) const;
    [[nodiscard]] std::optional<std::size_t> firstFreeSlot() const;
    void rebuildIndex();

    struct TextHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view text) const noexcept
        {
            return std::hash<std::string_view>{}(text);
        }
    };

    std::string m_path;
    FileIo& m_io;
    mutable std::mutex m_mutex; // guards the image; never held across file I/O
    // Taken around copying a slot and writing it, by every writer of latevn.dat (receiver, commit,
    // forwarding thread), so an older copy never lands on top of a newer one. Never held across a sync.
    std::mutex m_fileMutex;
    FailureEpisodes m_episodes;
    std::vector<std::uint8_t> m_image; // accounts::kImageSize, never reallocated
    // Account number to its first slot, so a full table is not walked for every message. Only this
    // class changes the account texts: it is rebuilt at load and after a deletion, extended on create.
    std::unordered_map<std::string, std::size_t, TextHash, std::equal_to<>> m_index;
};
