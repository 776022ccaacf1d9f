// The ring journal of 2048 events (kalvor.dat) and its parallel extended-data texts (extevn.dat),
// held whole in memory. The event log is the record of every event; these files are its view in
// the fixed format that operators and older readers know: written from memory after each commit of
// the log, synced at checkpoints, and made to agree with the log at start-up.
#pragma once

#include "log/LogSink.h"
#include "store/FileIo.h"
#include "store/JournalRecord.h"

#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

class Clock;
struct LoggedEvent;

class Journal {
public:
    struct Paths {
        std::string journal;  // kalvor.dat
        std::string extended; // extevn.dat
    };

    // `log` is called from the thread that hit the error (the commit thread for view writes).
    explicit Journal(Paths paths, LogSink log = {}, FileIo& io = FileIo::posix());
    ~Journal();
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    void load(); // both files; a missing one is made, zero-filled, synced with its directory entry
    // The two halves, for a start-up that reads the settings file between them.
    void loadJournalFile();
    void loadExtendedFile();

    // Memory only: the event waits in its slot until the log's commit of it. `stage` tells this
    // event from a later one in the same slot. Returns the slot.
    [[nodiscard]] std::size_t stage(const JournalRecord& record, const char* extended, std::uint64_t stage);
    // The same without a commit to wait for (tests, and windows shown without a receiver).
    std::size_t append(const JournalRecord& record, const char* extended)
    {
        return stage(record, extended, 0);
    }

    struct CommittedSlot {
        std::uint16_t slot = 0;
        std::uint64_t stage = 0;
        std::int64_t logId = 0;
    };
    // After the log's commit: each slot that still holds its event counts as saved and goes to the
    // files (not synced: the log is the record, the files catch up at the next checkpoint).
    void committed(std::span<const CommittedSlot> slots);
    // The same in two steps: memory at once (before the panels' answers go out, so that the window
    // never shows an acknowledged event as unknown), the files after the answers.
    void noteCommitted(std::span<const CommittedSlot> slots);
    void writeCommitted();
    // The automation software acknowledged the event: memory and the status byte on disk, unsynced.
    // False when the slot holds another event by now (the view wrapped), which is no error.
    bool markReported(std::size_t slot, std::int64_t logId);
    // An acknowledgement that turned out doubtful: the event is pending again.
    void markPending(std::size_t slot, std::int64_t logId);
    // Writes what is still to be written and syncs both files when they were written since the last
    // checkpoint. A failure is logged once per file until it works again.
    FileFailure checkpoint();

    // Start-up, once the log is open: the newest events of the log (newest first, at most 2048, after
    // a Clear only those that came after it) are what the view holds. A slot that disagrees is
    // rewritten, a slot no event of the log holds is emptied, and the files are synced when written.
    // Returns the number of slots rewritten.
    std::size_t reconcile(std::span<const LoggedEvent> newestFirst, bool clearedBefore);
    // For a log that has just been made: the events the ring holds, oldest first, as rows.
    [[nodiscard]] std::vector<LoggedEvent> takeOverRows() const;

    struct ClearFailure {
        std::string text; // "File creation error 1" and so on
    };
    // Clear journal: the images are cleared in any case, both files are written with zeros and synced.
    [[nodiscard]] std::vector<ClearFailure> clear();

    // Readers take the lock while they copy what they need.
    [[nodiscard]] std::mutex& mutex() const { return m_mutex; }
    [[nodiscard]] std::uint32_t nextSlot() const;    // header value as stored (may be damaged)
    [[nodiscard]] std::size_t nextSlotIndex() const; // the slot the next event goes to: nextSlot() % 2048
    [[nodiscard]] JournalRecord record(std::size_t slot) const;     // copy under the lock
    [[nodiscard]] std::string extendedText(std::size_t slot) const; // at most 63 characters
    // The log's id of the event the slot holds, 0 when it has none (not committed yet, or loaded
    // from a file before the log knew it).
    [[nodiscard]] std::int64_t logIdOf(std::size_t slot) const;
    [[nodiscard]] const std::uint8_t* image() const { return m_image.data(); }
    [[nodiscard]] const std::uint8_t* extendedImage() const { return m_extended.data(); }

    // The tick clock of the "Journal full" lines (at most one a second); none means the system's.
    void setClock(const Clock* clock) { m_clock = clock; }

    // Called (from whichever thread changed the view) after a commit, a report or a Clear.
    std::function<void()> onChanged;

private:
    [[nodiscard]] JournalRecord* slotAt(std::size_t slot);
    [[nodiscard]] char* extendedAt(std::size_t slot);
    void loadImage(const std::string& path, std::vector<std::uint8_t>& image);
    // Under m_fileMutex: writes the slots marked unwritten whose events are committed, in runs of
    // neighbours, and the header; clears their marks when written.
    [[nodiscard]] FileFailure flushLocked();
    [[nodiscard]] IoResult descriptorLocked(int& fd, const std::string& path, std::size_t size);
    // What the files should hold now: the committed events, with their status bytes as on disk.
    [[nodiscard]] std::vector<std::uint8_t> viewImage(bool journalFile);
    void dropDescriptorsLocked();
    // Under m_fileMutex: the files are opened afresh and every committed slot and the header written.
    void writeAllAgainLocked();
    void note(FileFailure failure);
    [[nodiscard]] std::string lostSummary(); // under m_mutex: the count of overwrites not yet logged
    [[nodiscard]] std::int64_t steadyNow() const;

    Paths m_paths;
    LogSink m_log;
    FileIo& m_io;
    const Clock* m_clock = nullptr;
    mutable std::mutex m_mutex; // guards the images and the per-slot vectors
    // Serialises writes to the files between the commit thread, the forwarding thread and Clear.
    std::mutex m_fileMutex;
    std::vector<std::uint8_t> m_image;      // journal::kImageSize, never reallocated
    std::vector<std::uint8_t> m_extended;   // journal::kExtendedImageSize, never reallocated
    std::vector<std::uint64_t> m_slotStage; // under m_mutex
    std::vector<std::int64_t> m_slotLogId;  // under m_mutex
    // A forwarder can read a row from the log before the commit thread has told the view its id:
    // its report is kept here and taken up when the id arrives. Under m_mutex.
    std::vector<std::int64_t> m_earlyReport;
    // Slots whose committed content (or status byte) the files do not have yet. Under m_mutex.
    std::vector<std::uint8_t> m_unwritten;
    bool m_anyUnwritten = false; // under m_mutex
    // The header as the files carry it: the slot after the newest committed event. Under m_mutex.
    std::uint32_t m_viewNext = 0;
    bool m_headerUnwritten = false; // under m_mutex
    int m_journalFd = -1;           // under m_fileMutex; kept open for the run
    int m_extendedFd = -1;
    bool m_written = false; // under m_fileMutex: written since the last sync
    FailureEpisodes m_episodes;
    // Views wrapped over events not yet forwarded: at most one line a second, the rest counted.
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
