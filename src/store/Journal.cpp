// The event journal images, their files, and the extended-data helpers shared with the views.
#include "store/Journal.h"

#include "config/Clock.h"
#include "store/RecordText.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

namespace {
constexpr std::size_t kMaxExtendedText = journal::kExtendedSlotSize - 1;

std::int64_t journalOffset(std::size_t slot)
{
    return std::int64_t(journal::kHeaderSize + slot * sizeof(JournalRecord));
}

std::int64_t extendedOffset(std::size_t slot)
{
    return std::int64_t(slot * journal::kExtendedSlotSize);
}

bool isPendingEvent(const JournalRecord& slot)
{
    return (slot.status & journal::kStored) && !(slot.status & journal::kReported) &&
           fieldText(slot.event) != "NULL";
}

std::string localDateTime(std::time_t seconds)
{
    const std::tm tm = localTimeOf(seconds);
    char text[128];
    const std::size_t n = std::strftime(text, sizeof text, "%x %X", &tm);
    return std::string(text, n);
}

// Both strerror_r flavours: the GNU one returns the text, the POSIX one fills the buffer.
[[maybe_unused]] const char* errorTextOf(int result, const char* buffer)
{
    return result == 0 ? buffer : "Unknown error";
}
[[maybe_unused]] const char* errorTextOf(const char* result, const char*)
{
    return result;
}
} // namespace

Journal::Journal(Paths paths, LogSink log, std::function<void(int seconds)> pause, FileIo& io)
    : m_paths(std::move(paths)), m_log(std::move(log)), m_pause(std::move(pause)), m_io(io),
      m_image(journal::kImageSize, 0), m_extended(journal::kExtendedImageSize, 0),
      m_durability(journal::kSlots, kNotOnDisk), m_unannounced(journal::kSlots, 0)
{
}

JournalRecord* Journal::slotAt(std::size_t slot)
{
    return reinterpret_cast<JournalRecord*>(m_image.data() + journal::kHeaderSize +
                                            slot * sizeof(JournalRecord));
}

char* Journal::extendedAt(std::size_t slot)
{
    return reinterpret_cast<char*>(m_extended.data() + slot * journal::kExtendedSlotSize);
}

FileFailure Journal::failure(const char* what, const std::string& path, int error)
{
    FileFailure f;
    f.what = what;
    f.path = path;
    f.error = error;
    return f;
}

void Journal::logFailure(FileFailure& failure)
{
    // A disk that stays broken would otherwise repeat the same line after every pause.
    m_episodes.note(failure);
    if (failure.newEpisode && m_log)
        m_log(failure.text(), LogColour::Red);
}

void Journal::pause()
{
    constexpr int kPauseSeconds = 5;
    if (m_pause)
        m_pause(kPauseSeconds);
    else
        std::this_thread::sleep_for(std::chrono::seconds(kPauseSeconds));
}

void Journal::loadImage(const std::string& path, std::vector<std::uint8_t>& image)
{
    // Start-up errors are silent: whatever could not be read stays zero.
    if (m_io.exists(path)) {
        (void)m_io.readFile(path, image.data(), image.size());
    } else {
        (void)m_io.createFile(path, image.data(), image.size());
    }
}

void Journal::load()
{
    loadJournalFile();
    loadExtendedFile();
}

void Journal::loadJournalFile()
{
    // Read outside the lock like every other file access; the image is then taken over whole.
    std::vector<std::uint8_t> image(journal::kImageSize, 0);
    loadImage(m_paths.journal, image);
    std::lock_guard lock(m_mutex);
    std::memcpy(m_image.data(), image.data(), image.size());
    // What a slot of status 1 in the file holds is written again by the first persist pass.
    std::fill(m_durability.begin(), m_durability.end(), kNotOnDisk);
    std::fill(m_unannounced.begin(), m_unannounced.end(), 0);
}

void Journal::loadExtendedFile()
{
    std::vector<std::uint8_t> extended(journal::kExtendedImageSize, 0);
    loadImage(m_paths.extended, extended);
    std::lock_guard lock(m_mutex);
    std::memcpy(m_extended.data(), extended.data(), extended.size());
}

std::size_t Journal::append(const JournalRecord& record, const char* extended)
{
    return appendSlot(record, extended, kNotOnDisk);
}

std::size_t Journal::stage(const JournalRecord& record, const char* extended)
{
    return appendSlot(record, extended, kCommitting);
}

bool Journal::isOnDisk(std::size_t slot) const
{
    if (slot >= journal::kSlots)
        return false;
    std::lock_guard lock(m_mutex);
    return m_durability[slot] == kOnDisk;
}

std::size_t Journal::appendSlot(const JournalRecord& record, const char* extended, std::uint8_t durability)
{
    std::string lost;
    std::size_t index = 0;
    {
        std::lock_guard lock(m_mutex);
        std::uint32_t next = 0;
        std::memcpy(&next, m_image.data(), sizeof next);
        index = next % journal::kSlots;

        JournalRecord* slot = slotAt(index);
        // The ring never refuses an event, but an alarm that was never reported must not vanish
        // silently: the operator gets its account, code and time.
        if (isPendingEvent(*slot)) {
            // Under overload every store overwrites an unreported event; a line for each would bury
            // the log and stall the window. The first in a second is written in full, the rest are
            // counted and their number written with the next line.
            const std::int64_t now = steadyNow();
            if (m_lostLines == 0 || now - m_lastLostLine >= kLostLineIntervalMs) {
                lost = lostSummary();
                if (!lost.empty())
                    lost += ' ';
                lost += "Journal full: unreported event overwritten. Account: " +
                        std::string(fieldText(slot->account)) +
                        ", event: " + std::string(fieldText(slot->event)) +
                        ", received: " + localDateTime(slot->time_received) + ".";
                m_lastLostLine = now;
                ++m_lostLines;
            } else {
                ++m_lostUnlogged;
            }
        }
        std::memcpy(slot, &record, sizeof record);
        slot->status = journal::kStored;
        m_durability[index] = durability;
        m_unannounced[index] = 1;

        char* ext = extendedAt(index);
        const std::string_view text = boundedText(extended, kMaxExtendedText);
        std::memset(ext, 0, journal::kExtendedSlotSize);
        if (!text.empty())
            std::memcpy(ext, text.data(), text.size());

        next = std::uint32_t((index + 1) & 0x7FF);
        std::memcpy(m_image.data(), &next, sizeof next);
    }
    if (!lost.empty() && m_log)
        m_log(lost, LogColour::Red);
    return index;
}

std::int64_t Journal::steadyNow() const
{
    if (m_clock)
        return m_clock->steadyMillis();
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string Journal::lostSummary()
{
    if (m_lostUnlogged == 0)
        return {};
    std::string text =
        "Journal full: " + std::to_string(m_lostUnlogged) + " more unreported events overwritten.";
    m_lostUnlogged = 0;
    return text;
}

// One slot as it went to the files, to tell afterwards whether memory still holds that event.
struct Journal::Commit::SlotCopy {
    std::uint16_t slot = 0;
    JournalRecord record{};
    char extended[journal::kExtendedSlotSize] = {};
};

Journal::Commit::Commit() = default;
Journal::Commit::~Commit() = default;

std::vector<PendingSync> Journal::Commit::pending() const
{
    std::vector<PendingSync> files;
    if (m_journal != nullptr && m_journalFd >= 0 && m_extendedFd >= 0) {
        files.push_back({&m_journal->m_io, m_journalFd, m_journal->m_paths.journal});
        files.push_back({&m_journal->m_io, m_extendedFd, m_journal->m_paths.extended});
    }
    return files;
}

FileFailure Journal::commitSlots(std::span<const std::uint16_t> slots)
{
    Commit commit;
    FileFailure failed = writeCommit(slots, commit);
    if (failed.ok())
        failed = syncEach(commit.pending());
    finishCommit(commit, failed);
    return failed;
}

FileFailure Journal::writeCommit(std::span<const std::uint16_t> slots, Commit& commit)
{
    commit.m_journal = this;
    commit.m_slots.assign(slots.begin(), slots.end());
    if (slots.empty())
        return {};
    std::vector<Commit::SlotCopy>& copies = commit.m_copies;
    copies.reserve(slots.size());
    // Copied and written under the file lock, so a later writer of the same slot (a persist pass,
    // Clear) can never have its bytes overtaken by an older copy.
    std::lock_guard files(m_fileMutex);
    const IoResult j = openOrRestore(m_paths.journal);
    const IoResult e = j.ok() ? openOrRestore(m_paths.extended) : IoResult{};
    if (!j.ok())
        return failure("File open error. ", m_paths.journal, j.error);
    commit.m_journalFd = j.fd();
    if (!e.ok())
        return failure("File open error. ", m_paths.extended, e.error);
    commit.m_extendedFd = e.fd();
    std::uint8_t header[journal::kHeaderSize];
    {
        std::lock_guard lock(m_mutex);
        for (const std::uint16_t i : slots) {
            if (i >= journal::kSlots)
                continue;
            Commit::SlotCopy& c = copies.emplace_back();
            c.slot = i;
            std::memcpy(&c.record, slotAt(i), sizeof c.record);
            std::memcpy(c.extended, extendedAt(i), sizeof c.extended);
        }
        std::memcpy(header, m_image.data(), sizeof header);
    }
    for (const Commit::SlotCopy& c : copies) {
        if (const IoResult r =
                m_io.writeAtOffset(commit.m_journalFd, journalOffset(c.slot), &c.record, sizeof c.record);
            !r.ok())
            return failure("Disk write error. ", m_paths.journal, r.error);
        if (const IoResult r = m_io.writeAtOffset(commit.m_extendedFd, extendedOffset(c.slot), c.extended,
                                                  sizeof c.extended);
            !r.ok())
            return failure("Disk write error. ", m_paths.extended, r.error);
    }
    if (const IoResult r = m_io.writeAtOffset(commit.m_journalFd, 0, header, sizeof header); !r.ok())
        return failure("Disk write error. ", m_paths.journal, r.error);
    return {};
}

void Journal::finishCommit(Commit& commit, FileFailure& outcome)
{
    if (commit.m_journalFd >= 0)
        m_io.close(commit.m_journalFd);
    if (commit.m_extendedFd >= 0)
        m_io.close(commit.m_extendedFd);
    commit.m_journalFd = -1;
    commit.m_extendedFd = -1;
    std::vector<JournalRecord> stored;
    if (outcome.ok()) {
        std::lock_guard lock(m_mutex);
        for (const Commit::SlotCopy& c : commit.m_copies) {
            // A slot refilled meanwhile belongs to the commit of its new event.
            if (std::memcmp(slotAt(c.slot), &c.record, sizeof c.record) == 0 &&
                std::memcmp(extendedAt(c.slot), c.extended, sizeof c.extended) == 0) {
                m_durability[c.slot] = kOnDisk;
                noteStored(c.slot, c.record, stored);
            }
        }
    } else {
        abandonCommit(commit.m_slots); // left to the persist pass, which writes them once the files work
    }
    announce(stored);
    if (commit.m_slots.empty())
        return;
    if (outcome.ok()) {
        m_episodes.ended(m_paths.journal);
        m_episodes.ended(m_paths.extended);
    } else if (outcome.path == m_paths.journal || outcome.path == m_paths.extended) {
        m_episodes.note(outcome);
    }
}

IoResult Journal::openOrRestore(const std::string& path)
{
    const std::size_t size = path == m_paths.journal ? journal::kImageSize : journal::kExtendedImageSize;
    return m_io.openOrRestore(path, size, [this, &path] {
        std::lock_guard lock(m_mutex);
        if (path != m_paths.journal)
            return m_extended;
        // The file's own status values: a slot saved but not reported reads 1 there, not 3.
        std::vector<std::uint8_t> image = m_image;
        for (std::size_t i = 0; i < journal::kSlots; ++i) {
            std::uint8_t& status = image[journal::kHeaderSize + i * sizeof(JournalRecord)];
            if (!(status & journal::kReported))
                status = std::uint8_t(status & ~journal::kSaved);
        }
        return image;
    });
}

void Journal::noteStored(std::size_t slot, const JournalRecord& written, std::vector<JournalRecord>& out)
{
    if (!m_unannounced[slot])
        return;
    m_unannounced[slot] = 0;
    if (onStored)
        out.push_back(written);
}

void Journal::announce(const std::vector<JournalRecord>& stored) const
{
    if (!stored.empty() && onStored)
        onStored(std::span<const JournalRecord>(stored));
}

void Journal::abandonCommit(std::span<const std::uint16_t> slots)
{
    std::lock_guard lock(m_mutex);
    for (const std::uint16_t i : slots) {
        if (i < journal::kSlots && m_durability[i] == kCommitting)
            m_durability[i] = kNotOnDisk;
    }
}

void Journal::persistPass()
{
    FileFailure failed;
    bool opened = false;
    bool marked = false;
    std::string lost;
    std::vector<JournalRecord> stored;
    using SlotCopy = Commit::SlotCopy;
    {
        // Overwrites counted since the last line are written once their second is over.
        std::lock_guard lock(m_mutex);
        const std::int64_t now = steadyNow();
        if (m_lostUnlogged > 0 && now - m_lastLostLine >= kLostLineIntervalMs) {
            lost = lostSummary();
            m_lastLostLine = now;
        }
    }
    if (!lost.empty() && m_log)
        m_log(lost, LogColour::Red);
    {
        std::lock_guard files(m_fileMutex);
        // Slots to take, chosen in one look: a slot stored while the pass runs waits for the next
        // pass, so a later slot is never saved (and reported) before an earlier one. A slot whose
        // commit still runs is the receiver's; commits end in the order they began, so whatever is on
        // disk already came before it.
        std::vector<std::uint16_t> onDisk;
        {
            std::lock_guard lock(m_mutex);
            m_toSave.clear();
            for (std::size_t i = 0; i < journal::kSlots; ++i) {
                const std::uint8_t status = m_image[journal::kHeaderSize + i * sizeof(JournalRecord)];
                if (!(status & journal::kStored) || (status & journal::kSaved))
                    continue;
                if (m_durability[i] == kCommitting)
                    continue;
                if (m_durability[i] == kOnDisk)
                    onDisk.push_back(std::uint16_t(i));
                else
                    m_toSave.push_back(std::uint16_t(i));
            }
            // Already on disk: no write, only the mark, unless an earlier slot still has to be written.
            if (m_toSave.empty()) {
                for (const std::uint16_t i : onDisk)
                    slotAt(i)->status |= journal::kSaved;
                marked = !onDisk.empty();
            }
        }
        int journalFd = -1;
        int extendedFd = -1;
        std::vector<SlotCopy> written;
        for (const std::size_t i : m_toSave) {
            SlotCopy copy;
            copy.slot = std::uint16_t(i);
            {
                std::lock_guard lock(m_mutex);
                const JournalRecord* slot = slotAt(i);
                if (!(slot->status & journal::kStored) || (slot->status & journal::kSaved) ||
                    m_durability[i] != kNotOnDisk)
                    continue;
                std::memcpy(&copy.record, slot, sizeof copy.record);
                std::memcpy(copy.extended, extendedAt(i), sizeof copy.extended);
            }
            if (!opened) {
                const IoResult j = openOrRestore(m_paths.journal);
                if (!j.ok()) {
                    failed = failure("File open error. ", m_paths.journal, j.error);
                    break;
                }
                const IoResult e = openOrRestore(m_paths.extended);
                if (!e.ok()) {
                    m_io.close(j.fd());
                    failed = failure("File open error. ", m_paths.extended, e.error);
                    break;
                }
                journalFd = j.fd();
                extendedFd = e.fd();
                opened = true;
            }
            if (IoResult r = m_io.seek(journalFd, journalOffset(i)); !r.ok()) {
                failed = failure("File seek error. ", m_paths.journal, r.error);
                break;
            }
            if (IoResult r = m_io.seek(extendedFd, extendedOffset(i)); !r.ok()) {
                failed = failure("File seek error. ", m_paths.extended, r.error);
                break;
            }
            if (IoResult r = m_io.write(journalFd, &copy.record, sizeof copy.record); !r.ok()) {
                failed = failure("Disk write error. ", m_paths.journal, r.error);
                break;
            }
            if (IoResult r = m_io.write(extendedFd, copy.extended, sizeof copy.extended); !r.ok()) {
                failed = failure("Disk write error. ", m_paths.extended, r.error);
                break;
            }
            written.push_back(copy);
        }
        if (opened && failed.ok()) {
            std::uint8_t header[journal::kHeaderSize];
            {
                std::lock_guard lock(m_mutex);
                std::memcpy(header, m_image.data(), sizeof header);
            }
            if (IoResult r = m_io.seek(journalFd, 0); !r.ok())
                failed = failure("File seek error. ", m_paths.journal, r.error);
            else if (r = m_io.write(journalFd, header, sizeof header); !r.ok())
                failed = failure("Disk write error. ", m_paths.journal, r.error);
            else if (r = m_io.sync(journalFd); !r.ok())
                failed = failure("Disk write error. ", m_paths.journal, r.error);
            else if (r = m_io.sync(extendedFd); !r.ok())
                failed = failure("Disk write error. ", m_paths.extended, r.error);
        }
        if (opened) {
            m_io.close(journalFd);
            m_io.close(extendedFd);
        }
        if (opened && failed.ok()) {
            // The slot may have been refilled by the receiver while it was being written; only the
            // content that reached the disk counts as saved.
            std::lock_guard lock(m_mutex);
            for (const SlotCopy& c : written) {
                if (std::memcmp(slotAt(c.slot), &c.record, sizeof c.record) != 0 ||
                    std::memcmp(extendedAt(c.slot), c.extended, sizeof c.extended) != 0)
                    continue;
                slotAt(c.slot)->status |= journal::kSaved;
                m_durability[c.slot] = kOnDisk;
                noteStored(c.slot, c.record, stored);
            }
            for (const std::uint16_t i : onDisk) {
                if (m_durability[i] == kOnDisk && (slotAt(i)->status & journal::kStored))
                    slotAt(i)->status |= journal::kSaved;
            }
            marked = true;
        }
    }
    announce(stored);
    if (!failed.ok()) {
        logFailure(failed);
        pause();
    } else if (opened) {
        m_episodes.ended(m_paths.journal);
        m_episodes.ended(m_paths.extended);
    }
    if ((opened || marked) && onChanged)
        onChanged();
}

Journal::ReportPass::ReportPass(Journal& journal) : m_journal(journal) {}

Journal::ReportPass::~ReportPass()
{
    if (m_fd < 0)
        return;
    if (const IoResult r = m_journal.m_io.sync(m_fd); !r.ok()) {
        // No pause here: the next pass meets the same disk and pauses then.
        FileFailure f = failure("Disk write error. ", m_journal.m_paths.journal, r.error);
        m_journal.logFailure(f);
    }
    m_journal.m_io.close(m_fd);
    if (m_journal.onChanged)
        m_journal.onChanged();
}

bool Journal::ReportPass::markReported(std::size_t slot)
{
    if (slot >= journal::kSlots)
        return true;
    FileFailure failed;
    const std::string& path = m_journal.m_paths.journal;
    {
        std::lock_guard files(m_journal.m_fileMutex);
        if (m_fd < 0) {
            const IoResult opened = m_journal.openOrRestore(path);
            if (!opened.ok())
                failed = failure("File open error. ", path, opened.error);
            else
                m_fd = opened.fd();
        }
        std::uint8_t status = 0;
        bool write = false;
        if (failed.ok()) {
            std::lock_guard lock(m_journal.m_mutex);
            JournalRecord* record = m_journal.slotAt(slot);
            // An acknowledgement only ever concerns a saved event; after a Clear or a refill of the
            // slot there is nothing left to mark, and a status byte written now would damage the file.
            constexpr std::uint8_t kSavedEvent = journal::kStored | journal::kSaved;
            if ((record->status & kSavedEvent) == kSavedEvent) {
                record->status |= journal::kReported;
                status = record->status;
                write = true;
            }
        }
        if (write) {
            if (IoResult r = m_journal.m_io.seek(m_fd, journalOffset(slot)); !r.ok())
                failed = failure("File seek error. ", path, r.error);
            else if (r = m_journal.m_io.write(m_fd, &status, 1); !r.ok())
                failed = failure("Disk write error. ", path, r.error);
        }
    }
    if (failed.ok()) {
        if (m_fd >= 0)
            m_journal.m_episodes.ended(path);
        return true;
    }
    m_journal.logFailure(failed);
    m_journal.pause();
    return false;
}

std::vector<Journal::ClearFailure> Journal::clear()
{
    std::vector<ClearFailure> failures;
    std::lock_guard files(m_fileMutex);
    {
        std::lock_guard lock(m_mutex);
        std::fill(m_image.begin(), m_image.end(), 0);
        std::fill(m_extended.begin(), m_extended.end(), 0);
        std::fill(m_durability.begin(), m_durability.end(), kNotOnDisk);
        std::fill(m_unannounced.begin(), m_unannounced.end(), 0);
    }
    const std::vector<std::uint8_t> zeros(journal::kImageSize, 0);
    const auto rewrite = [&](const std::string& path, std::size_t size, char number) {
        const IoResult created = m_io.openWrite(path, OpenMode::CreateTruncate);
        if (created.ok())
            m_io.close(created.fd());
        else
            failures.push_back({std::string("File creation error ") + number});
        const IoResult opened = m_io.openWrite(path, OpenMode::Existing);
        if (!opened.ok()) {
            failures.push_back({std::string("File opening error ") + number});
            return;
        }
        // A failed write would bring the old events back at the next start; say so.
        if (!m_io.write(opened.fd(), zeros.data(), size).ok())
            failures.push_back({std::string("File writing error ") + number});
        m_io.close(opened.fd());
    };
    rewrite(m_paths.journal, journal::kImageSize, '1');
    rewrite(m_paths.extended, journal::kExtendedImageSize, '2');
    return failures;
}

std::uint32_t Journal::nextSlot() const
{
    std::lock_guard lock(m_mutex);
    std::uint32_t next = 0;
    std::memcpy(&next, m_image.data(), sizeof next);
    return next;
}

std::size_t Journal::nextSlotIndex() const
{
    return nextSlot() % journal::kSlots;
}

JournalRecord Journal::record(std::size_t slot) const
{
    JournalRecord copy{};
    if (slot >= journal::kSlots)
        return copy;
    std::lock_guard lock(m_mutex);
    std::memcpy(&copy, m_image.data() + journal::kHeaderSize + slot * sizeof(JournalRecord), sizeof copy);
    return copy;
}

std::string Journal::extendedText(std::size_t slot) const
{
    if (slot >= journal::kSlots)
        return {};
    std::lock_guard lock(m_mutex);
    const auto* text = reinterpret_cast<const char*>(m_extended.data() + slot * journal::kExtendedSlotSize);
    return std::string(boundedText(text, kMaxExtendedText));
}

bool Find_Tag_Value(std::string_view tag, std::string_view text, char* out)
{
    constexpr std::size_t kMaxValue = 16;
    if (out == nullptr)
        return false;
    // The value may fill all 16 places; the 17th byte keeps it terminated.
    std::memset(out, 0, kMaxValue + 1);
    if (tag.empty())
        return false;
    const std::size_t at = text.find(tag);
    if (at == std::string_view::npos)
        return false;
    std::size_t n = 0;
    for (std::size_t i = at + tag.size(); i < text.size() && n < kMaxValue; ++i) {
        const char c = text[i];
        if (!((c >= '0' && c <= '9') || c == '.'))
            break;
        out[n++] = c;
    }
    return n > 0;
}

bool Find_Tag_Value(const char* tag, const char* text, char* out)
{
    if (tag == nullptr || text == nullptr) {
        if (out != nullptr)
            std::memset(out, 0, 17);
        return false;
    }
    return Find_Tag_Value(std::string_view(tag), std::string_view(text), out);
}

std::string OS_Error_Text(int number)
{
    char buffer[256] = {};
    const char* text = errorTextOf(strerror_r(number, buffer, sizeof buffer), buffer);
    std::string message = " Error: " + std::to_string(number) + ". ";
    message.append(boundedText(text, 255));
    return message;
}
