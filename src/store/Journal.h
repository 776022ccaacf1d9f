// The ring journal of 2048 events (kalvor.dat) and its parallel extended-data texts (extevn.dat),
// held whole in memory and shared by the receiving thread and the forwarding thread.
#pragma once

#include "log/LogSink.h"
#include "store/FileIo.h"
#include "store/JournalRecord.h"

#include <array>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

class Clock;

class Journal {
public:
    struct Paths {
        std::string journal;  // kalvor.dat
        std::string extended; // extevn.dat
    };

    // `log` is called from the thread that hit the error (the forwarding thread for persist and
    // report passes); the program hands it on to the main thread. `pause` is how the forwarding
    // thread waits after a file error (5 s in the program, nothing in tests); empty means a real sleep.
    Journal(Paths paths, LogSink log, std::function<void(int seconds)> pause = {},
            FileIo& io = FileIo::posix());

    void load(); // Load journal: both files
    // The two halves, for a start-up that reads the settings file between them.
    void loadJournalFile();
    void loadExtendedFile();
    // Append event (memory only); returns the slot it went to.
    std::size_t append(const JournalRecord& record, const char* extended);
    // The same for an event whose answer waits for commitSlots: until that commit ends, the persist
    // pass leaves the slot to it.
    [[nodiscard]] std::size_t stage(const JournalRecord& record, const char* extended);
    // Writes the slots (as memory holds them now), their extended texts and the header, then syncs
    // both files. On success the slots count as on disk; on failure they are left to the persist
    // pass, and nothing is logged here (the caller decides, see FileFailure::newEpisode).
    [[nodiscard]] FileFailure commitSlots(std::span<const std::uint16_t> slots);

    // commitSlots in two halves, for a caller that syncs these files together with others: write,
    // sync what `pending()` lists, then finish with the outcome (which may concern another file).
    class Commit {
    public:
        Commit();
        ~Commit();
        Commit(const Commit&) = delete;
        Commit& operator=(const Commit&) = delete;
        [[nodiscard]] std::vector<PendingSync> pending() const;

    private:
        friend class Journal;
        struct SlotCopy;
        Journal* m_journal = nullptr;
        std::vector<std::uint16_t> m_slots;
        std::vector<SlotCopy> m_copies;
        int m_journalFd = -1;
        int m_extendedFd = -1;
    };
    [[nodiscard]] FileFailure writeCommit(std::span<const std::uint16_t> slots, Commit& commit);
    // Sets outcome.newEpisode when the failure is on one of the journal's files.
    void finishCommit(Commit& commit, FileFailure& outcome);
    // Hands staged slots whose commit could not even be tried back to the persist pass.
    void abandonCommit(std::span<const std::uint16_t> slots);
    // Persist pass (forwarding thread): slots already on disk are only marked saved; the others are
    // written and synced.
    void persistPass();
    // Whether the slot's event as memory holds it is known to be on disk (synced).
    [[nodiscard]] bool isOnDisk(std::size_t slot) const;

    // Mark reported for one sending pass: keeps kalvor.dat open from the first acknowledgement to the
    // end of the pass (destruction), which closes it and calls onChanged.
    // The marks are synced when the pass ends: one lost to a crash only means one more send.
    class ReportPass {
    public:
        explicit ReportPass(Journal& journal);
        ~ReportPass();
        ReportPass(const ReportPass&) = delete;
        ReportPass& operator=(const ReportPass&) = delete;
        // False when the pass must end (the error is logged and the pause taken). A slot that no longer
        // holds a saved event (cleared or refilled meanwhile) is left alone and counts as done.
        [[nodiscard]] bool markReported(std::size_t slot);

    private:
        Journal& m_journal;
        int m_fd = -1;
    };

    struct ClearFailure {
        std::string text; // "File creation error 1" and so on
    };
    [[nodiscard]] std::vector<ClearFailure> clear(); // Clear journal; the images are cleared in any case

    // Readers take the lock while they copy what they need.
    [[nodiscard]] std::mutex& mutex() const { return m_mutex; }
    [[nodiscard]] std::uint32_t nextSlot() const;    // header value as stored (may be damaged)
    [[nodiscard]] std::size_t nextSlotIndex() const; // the slot the next event goes to: nextSlot() % 2048
    [[nodiscard]] JournalRecord record(std::size_t slot) const;     // copy under the lock
    [[nodiscard]] std::string extendedText(std::size_t slot) const; // at most 63 characters
    [[nodiscard]] const std::uint8_t* image() const { return m_image.data(); }
    [[nodiscard]] const std::uint8_t* extendedImage() const { return m_extended.data(); }

    // The tick clock of the "Journal full" lines (at most one a second); none means the system's.
    // Must be safe on the forwarding thread.
    void setClock(const Clock* clock) { m_clock = clock; }

    // Called (from whichever thread changed the files) after a persist or report pass.
    std::function<void()> onChanged;
    // Called once for each event appended in this run, as soon as it is on disk (by its commit or by
    // a persist pass), with the records as written; from the writing thread, outside the locks. Events
    // loaded at start-up are not announced again. Set before any event is appended; must not block.
    std::function<void(std::span<const JournalRecord> records)> onStored;

private:
    [[nodiscard]] JournalRecord* slotAt(std::size_t slot);
    [[nodiscard]] char* extendedAt(std::size_t slot);
    // Logs the failure when it starts an episode on its file; the pause is the caller's.
    void logFailure(FileFailure& failure);
    [[nodiscard]] static FileFailure failure(const char* what, const std::string& path, int error);
    std::size_t appendSlot(const JournalRecord& record, const char* extended, std::uint8_t durability);
    void pause();
    // Under m_mutex: the slot's event reached the disk as `written`; queued for onStored once.
    void noteStored(std::size_t slot, const JournalRecord& written, std::vector<JournalRecord>& out);
    void announce(const std::vector<JournalRecord>& stored) const; // outside the locks
    // Under m_fileMutex: opens one of the two files for writing, making it again from memory when it
    // is missing.
    [[nodiscard]] IoResult openOrRestore(const std::string& path);
    void loadImage(const std::string& path, std::vector<std::uint8_t>& image);
    [[nodiscard]] std::string lostSummary(); // under m_mutex: the count of overwrites not yet logged
    [[nodiscard]] std::int64_t steadyNow() const;

    Paths m_paths;
    LogSink m_log;
    std::function<void(int)> m_pause;
    FileIo& m_io;
    const Clock* m_clock = nullptr;
    mutable std::mutex m_mutex; // guards both images: slot, header, status writes and Clear
    // Serialises writes to the journal files between the forwarding thread and Clear, so a pass
    // never writes a stale slot into a file that Clear has just emptied. Never held across a pause.
    std::mutex m_fileMutex;
    std::vector<std::uint8_t> m_image;    // journal::kImageSize, never reallocated
    std::vector<std::uint8_t> m_extended; // journal::kExtendedImageSize, never reallocated
    std::vector<std::uint16_t> m_toSave;  // slots a persist pass writes; under m_fileMutex
    // Per slot, whether its event is on disk: kept in memory only, the status bits on disk are not
    // changed for it. Under m_mutex.
    enum Durability : std::uint8_t { kNotOnDisk = 0, kCommitting = 1, kOnDisk = 2 };
    std::vector<std::uint8_t> m_durability;
    // Per slot, whether onStored still has to hear of its event (appended in this run). Under m_mutex.
    std::vector<std::uint8_t> m_unannounced;
    FailureEpisodes m_episodes;
    // Overwritten unreported events: at most one line a second, the rest counted (under m_mutex).
    static constexpr std::int64_t kLostLineIntervalMs = 1000;
    std::int64_t m_lastLostLine = 0;
    std::uint64_t m_lostLines = 0;
    std::uint64_t m_lostUnlogged = 0;
};

// Find tag value: copies up to 16 of the digits and points that follow the first `tag` in `text`
// into `out` (at least 17 bytes, always NUL-terminated); true when at least one was copied.
[[nodiscard]] bool Find_Tag_Value(const char* tag, const char* text, char* out);
[[nodiscard]] bool Find_Tag_Value(std::string_view tag, std::string_view text, char* out);

// OS error text: " Error: " + number + ". " + the system's text for that errno (at most 255 characters).
[[nodiscard]] std::string OS_Error_Text(int number);
