// The ring journal of 2048 events (kalvor.dat) and its parallel extended-data texts (extevn.dat),
// held whole in memory and shared by the receiving thread and the forwarding thread.
#pragma once

#include "log/LogSink.h"
#include "store/JournalRecord.h"

#include <array>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

class Journal {
public:
    struct Paths {
        std::string journal;  // kalvor.dat
        std::string extended; // extevn.dat
    };

    // `pause` is how the forwarding thread waits after a file error (5 s in the program, nothing in tests).
    Journal(Paths paths, LogSink log, std::function<void(int seconds)> pause = {});

    void load();                                                  // Load journal
    void append(const JournalRecord& record, const char* extended); // Append event (memory only)
    void persistPass();                                           // Persist pass (forwarding thread)

    // Mark reported for one sending pass: keeps kalvor.dat open from the first acknowledgement to end().
    class ReportPass {
    public:
        explicit ReportPass(Journal& journal);
        ~ReportPass();
        ReportPass(const ReportPass&) = delete;
        ReportPass& operator=(const ReportPass&) = delete;
        // False when the pass must end (the error is logged and the pause taken).
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
    [[nodiscard]] std::uint32_t nextSlot() const;           // header value as stored
    [[nodiscard]] JournalRecord record(std::size_t slot) const; // copy under the lock
    [[nodiscard]] std::string extendedText(std::size_t slot) const;
    [[nodiscard]] const std::uint8_t* image() const { return m_image.data(); }
    [[nodiscard]] const std::uint8_t* extendedImage() const { return m_extended.data(); }

    // Called (from whichever thread changed the files) after a persist or report pass.
    std::function<void()> onChanged;

private:
    Paths m_paths;
    LogSink m_log;
    std::function<void(int)> m_pause;
    mutable std::mutex m_mutex;
    std::vector<std::uint8_t> m_image;    // journal::kImageSize, never reallocated
    std::vector<std::uint8_t> m_extended; // journal::kExtendedImageSize, never reallocated
};

// Find tag value: copies up to 16 of the digits and points that follow `tag` in `text` into `out`
// (at least 17 bytes); true when at least one was copied.
[[nodiscard]] bool Find_Tag_Value(const char* tag, const char* text, char* out);

// OS error text: " Error: " + errno + ". " + the system's text for it; the errno is returned through `number`.
[[nodiscard]] std::string OS_Error_Text(int number);
