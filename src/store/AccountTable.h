// The table of up to 2048 reporting accounts (latevn.dat) with their supervision countdowns. The
// receiving (GUI) thread changes it; the forwarding thread reads it and clears report_due. Every
// change is written to the event log by the next commit (the log is the record); the file is its
// view, written after that commit and synced at checkpoints.
#pragma once

#include "log/LogSink.h"
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

struct LoggedAccount;

class AccountTable {
public:
    explicit AccountTable(std::string path, FileIo& io = FileIo::posix(), LogSink log = {});
    ~AccountTable();
    AccountTable(const AccountTable&) = delete;
    AccountTable& operator=(const AccountTable&) = delete;

    void load(); // Load accounts; a missing file is made, synced with its directory entry
    // Update account, in memory: the next commit of the log takes it. May replace record.address with
    // the "[B" value. Returns the slot, or none when the account has no slot (table full, or an empty
    // account number).
    [[nodiscard]] std::optional<std::size_t> stage(JournalRecord& record, const char* extended);
    void supervisionTick();                                      // Supervision tick, once a second
    void setPingMinutes(std::size_t slot, std::int32_t minutes); // Set ping minutes
    void deleteAccount(std::size_t slot);                        // Delete account

    // The commit's side: the slots changed since the last commit, copied as they are now, and no longer
    // counted as changed. A commit that fails hands them back.
    [[nodiscard]] std::vector<LoggedAccount> takeChanged();
    void restoreChanged(std::span<const LoggedAccount> slots);
    [[nodiscard]] bool anyChanged() const;
    // After the log's commit of these copies: they go to the file, unsynced.
    void committed(std::span<const LoggedAccount> slots);
    // Syncs the file when it was written since the last checkpoint; failures logged once per episode.
    FileFailure checkpoint();
    // Start-up, once the log is open: the log's slots are the table; any slot that disagrees is
    // rewritten in memory and in the file (synced). Returns the number of slots rewritten.
    std::size_t reconcile(std::span<const LoggedAccount> fromLog);
    // For a log that has just been made: every slot in use, as the file held it.
    [[nodiscard]] std::vector<LoggedAccount> takeOverSlots() const;

    [[nodiscard]] std::mutex& mutex() const { return m_mutex; }
    [[nodiscard]] AccountRecord record(std::size_t slot) const; // copy under the lock
    [[nodiscard]] const std::uint8_t* image() const { return m_image.data(); }
    [[nodiscard]] std::optional<std::size_t> slotOf(std::string_view account) const;

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
    // Forwarding side: clears report_due once the automation software acknowledged the report, but
    // only while the slot still holds `report`'s account in the state that was reported: a deletion
    // may have moved the slots, or the account may have changed state during the answer wait, and
    // that newer change must still be reported. True when cleared.
    bool clearReportDue(const DueReport& report);
    // An acknowledgement that turned out doubtful: the report is due again, unless the account has
    // changed state since (then that change is due anyway).
    void reportAgain(const DueReport& report);

    // Refresh of the Object List window.
    std::function<void()> onChanged;
    // Something changed that the next commit must take (called outside the locks, on the thread that
    // changed it): the owner asks for a commit.
    std::function<void()> onNeedsCommit;
    // A new account found no free slot (the table is full): its event is still stored and forwarded.
    // Called by stage(), on the caller's thread, without the table's lock.
    std::function<void(std::string_view account)> onNoSlot;

    // Whether the account has a slot (it is in the Object List). Any thread.
    [[nodiscard]] bool contains(std::string_view account) const;

private:
    [[nodiscard]] AccountRecord* slotAt(std::size_t slot);
    [[nodiscard]] std::optional<std::size_t> updateImage(JournalRecord& record, const char* extended);
    [[nodiscard]] std::optional<std::size_t> findSlot(std::string_view account) const;
    [[nodiscard]] std::optional<std::size_t> firstFreeSlot() const;
    void rebuildIndex();
    void markChangedLocked(std::size_t slot);
    void needsCommit();
    [[nodiscard]] FileFailure writeLocked(std::span<const LoggedAccount> slots);
    [[nodiscard]] IoResult descriptorLocked();
    void note(FileFailure failure);

    struct TextHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view text) const noexcept
        {
            return std::hash<std::string_view>{}(text);
        }
    };

    std::string m_path;
    FileIo& m_io;
    LogSink m_log;
    mutable std::mutex m_mutex; // guards the image and the change marks; never held across file I/O
    std::mutex m_fileMutex;     // the file, its descriptor and the copies last written
    FailureEpisodes m_episodes;
    std::vector<std::uint8_t> m_image; // accounts::kImageSize, never reallocated
    std::vector<std::uint8_t> m_changed; // per slot: not yet taken by a commit
    std::vector<std::uint16_t> m_changedList;
    // Account number to its first slot, so a full table is not walked for every message. Only this
    // class changes the account texts: it is rebuilt at load and after a deletion, extended on create.
    std::unordered_map<std::string, std::size_t, TextHash, std::equal_to<>> m_index;
    int m_fd = -1;          // under m_fileMutex; kept open for the run
    bool m_written = false; // under m_fileMutex
    // Committed copies the file has not taken yet (a write that failed), by slot; under m_fileMutex.
    std::unordered_map<int, AccountRecord> m_unwritten;
};
