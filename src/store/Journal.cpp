// The ring view of the event log: its images, its files, and the extended-data helpers shared with
// the views.
#include "store/Journal.h"

#include "config/Clock.h"
#include "store/EventLog.h"
#include "store/RecordText.h"

#include <algorithm>
#include <chrono>
#include <cstring>

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

bool isUnforwarded(const JournalRecord& slot)
{
    return (slot.status & journal::kStored) && !(slot.status & journal::kReported) &&
           fieldText(slot.event) != "NULL";
}

// What a slot's status byte reads on disk: 1 for an event not yet reported, 7 once reported.
std::uint8_t fileStatus(std::uint8_t memory)
{
    if (!(memory & journal::kStored))
        return 0;
    return (memory & journal::kReported)
               ? std::uint8_t(journal::kStored | journal::kSaved | journal::kReported)
               : journal::kStored;
}

std::string localDateTime(std::time_t seconds)
{
    const std::tm tm = localTimeOf(seconds);
    char text[128];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
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

FileFailure failure(const char* what, const std::string& path, int error)
{
    FileFailure f;
    f.what = what;
    f.path = path;
    f.error = error;
    return f;
}
} // namespace

Journal::Journal(Paths paths, LogSink log, FileIo& io)
    : m_paths(std::move(paths)), m_log(std::move(log)), m_io(io), m_image(journal::kImageSize, 0),
      m_extended(journal::kExtendedImageSize, 0), m_slotStage(journal::kSlots, 0),
      m_slotLogId(journal::kSlots, 0), m_earlyReport(journal::kSlots, 0), m_unwritten(journal::kSlots, 0)
{
}

Journal::~Journal()
{
    std::lock_guard files(m_fileMutex);
    dropDescriptorsLocked();
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

void Journal::note(FileFailure f)
{
    // A disk that stays broken would otherwise repeat the same line after every commit.
    m_episodes.note(f);
    if (f.newEpisode && m_log)
        m_log(f.text(), LogColour::Red);
}

void Journal::loadImage(const std::string& path, std::vector<std::uint8_t>& image)
{
    // Start-up errors are silent: whatever could not be read stays zero. A file made here is synced
    // with its directory entry, so that a power cut cannot take the name away again.
    if (m_io.exists(path)) {
        (void)m_io.readFile(path, image.data(), image.size());
    } else if (m_io.createFile(path, image.data(), image.size()).ok()) {
        (void)m_io.syncFile(path);
        (void)m_io.syncDirectoryOf(path);
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
    std::fill(m_slotStage.begin(), m_slotStage.end(), 0);
    std::fill(m_slotLogId.begin(), m_slotLogId.end(), 0);
    std::memcpy(&m_viewNext, m_image.data(), sizeof m_viewNext);
}

void Journal::loadExtendedFile()
{
    std::vector<std::uint8_t> extended(journal::kExtendedImageSize, 0);
    loadImage(m_paths.extended, extended);
    std::lock_guard lock(m_mutex);
    std::memcpy(m_extended.data(), extended.data(), extended.size());
}

std::size_t Journal::stage(const JournalRecord& record, const char* extended, std::uint64_t stage)
{
    std::string lost;
    std::size_t index = 0;
    {
        std::lock_guard lock(m_mutex);
        std::uint32_t next = 0;
        std::memcpy(&next, m_image.data(), sizeof next);
        index = next % journal::kSlots;

        JournalRecord* slot = slotAt(index);
        // The view never refuses an event, and the event it covers stays in the log and is forwarded
        // from there; the operator is still told that the view no longer shows it.
        if (isUnforwarded(*slot)) {
            // Under overload every store covers an unforwarded event; a line for each would bury the
            // log. The first in a second is written in full, the rest are counted.
            const std::int64_t now = steadyNow();
            if (m_lostLines == 0 || now - m_lastLostLine >= kLostLineIntervalMs) {
                lost = lostSummary();
                if (!lost.empty())
                    lost += ' ';
                lost += "Journal full: the view wrapped over an event not yet forwarded. Account: " +
                        std::string(fieldText(slot->account)) +
                        ", event: " + std::string(fieldText(slot->event)) +
                        ", received: " + localDateTime(slot->time_received) +
                        ". It stays in the event log and is forwarded from there.";
                m_lastLostLine = now;
                ++m_lostLines;
            } else {
                ++m_lostUnlogged;
            }
        }
        std::memcpy(slot, &record, sizeof record);
        slot->status = journal::kStored;
        m_slotStage[index] = stage;
        m_slotLogId[index] = 0;
        m_unwritten[index] = 0;

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
    std::string text = "Journal full: the view wrapped over " + std::to_string(m_lostUnlogged) +
                       " more events not yet forwarded; they stay in the event log.";
    m_lostUnlogged = 0;
    return text;
}

void Journal::committed(std::span<const CommittedSlot> slots)
{
    noteCommitted(slots);
    writeCommitted();
}

void Journal::noteCommitted(std::span<const CommittedSlot> slots)
{
    std::string lost;
    {
        std::lock_guard lock(m_mutex);
        for (const CommittedSlot& c : slots) {
            // A slot refilled or cleared meanwhile shows another event by now.
            if (c.slot >= journal::kSlots || m_slotStage[c.slot] != c.stage || m_slotLogId[c.slot] != 0)
                continue;
            JournalRecord* slot = slotAt(c.slot);
            if (!(slot->status & journal::kStored))
                continue;
            slot->status |= journal::kSaved;
            if (m_earlyReport[c.slot] == c.logId)
                slot->status |= journal::kReported;
            m_earlyReport[c.slot] = 0;
            m_slotLogId[c.slot] = c.logId;
            m_unwritten[c.slot] = 1;
            m_anyUnwritten = true;
            m_viewNext = std::uint32_t((c.slot + 1) & 0x7FF);
            m_headerUnwritten = true;
        }
        // Wraps counted since the last line are written once their second is over.
        if (m_lostUnlogged > 0 && steadyNow() - m_lastLostLine >= kLostLineIntervalMs) {
            lost = lostSummary();
            m_lastLostLine = steadyNow();
        }
    }
    if (!lost.empty() && m_log)
        m_log(lost, LogColour::Red);
}

void Journal::writeCommitted()
{
    FileFailure failed;
    {
        std::lock_guard files(m_fileMutex);
        failed = flushLocked();
    }
    if (!failed.ok())
        note(failed);
    if (onChanged)
        onChanged();
}

IoResult Journal::descriptorLocked(int& fd, const std::string& path, std::size_t size)
{
    if (fd >= 0)
        return IoResult{fd, 0};
    // A file that has gone is made again from what memory holds of committed events.
    const IoResult opened =
        m_io.openOrRestore(path, size, [this, &path] { return viewImage(path == m_paths.journal); });
    if (opened.ok())
        fd = opened.fd();
    return opened;
}

std::vector<std::uint8_t> Journal::viewImage(bool journalFile)
{
    std::lock_guard lock(m_mutex);
    std::vector<std::uint8_t> image = journalFile ? m_image : m_extended;
    if (journalFile)
        std::memcpy(image.data(), &m_viewNext, sizeof m_viewNext);
    for (std::size_t i = 0; i < journal::kSlots; ++i) {
        // An event still on its way to the log is not the view's yet.
        const bool uncommitted = m_slotLogId[i] == 0 && m_slotStage[i] != 0;
        if (journalFile) {
            std::uint8_t* slot = image.data() + journal::kHeaderSize + i * sizeof(JournalRecord);
            if (uncommitted)
                std::memset(slot, 0, sizeof(JournalRecord));
            else
                slot[0] = fileStatus(slot[0]);
        } else if (uncommitted) {
            std::memset(image.data() + i * journal::kExtendedSlotSize, 0, journal::kExtendedSlotSize);
        }
    }
    return image;
}

void Journal::dropDescriptorsLocked()
{
    if (m_journalFd >= 0)
        m_io.close(m_journalFd);
    if (m_extendedFd >= 0)
        m_io.close(m_extendedFd);
    m_journalFd = -1;
    m_extendedFd = -1;
}

void Journal::writeAllAgainLocked()
{
    dropDescriptorsLocked();
    std::lock_guard lock(m_mutex);
    for (std::size_t i = 0; i < journal::kSlots; ++i)
        m_unwritten[i] = m_slotLogId[i] != 0 ? 1 : 0;
    m_anyUnwritten = true;
    m_headerUnwritten = true;
}

FileFailure Journal::flushLocked()
{
    struct Run {
        std::size_t first = 0;
        std::vector<std::uint8_t> records;
        std::vector<std::uint8_t> texts;
    };
    std::vector<Run> runs;
    std::uint32_t header = 0;
    bool writeHeader = false;
    {
        std::lock_guard lock(m_mutex);
        if (!m_anyUnwritten && !m_headerUnwritten)
            return {};
        for (std::size_t i = 0; i < journal::kSlots; ++i) {
            if (!m_unwritten[i])
                continue;
            // Only what the log holds goes to the files.
            if (m_slotLogId[i] == 0) {
                m_unwritten[i] = 0;
                continue;
            }
            if (runs.empty() || runs.back().first + runs.back().records.size() / sizeof(JournalRecord) != i)
                runs.push_back(Run{i, {}, {}});
            Run& run = runs.back();
            JournalRecord copy;
            std::memcpy(&copy, slotAt(i), sizeof copy);
            copy.status = fileStatus(copy.status);
            const auto* bytes = reinterpret_cast<const std::uint8_t*>(&copy);
            run.records.insert(run.records.end(), bytes, bytes + sizeof copy);
            const auto* text = reinterpret_cast<const std::uint8_t*>(extendedAt(i));
            run.texts.insert(run.texts.end(), text, text + journal::kExtendedSlotSize);
        }
        header = m_viewNext;
        writeHeader = m_headerUnwritten;
    }
    if (const IoResult j = descriptorLocked(m_journalFd, m_paths.journal, journal::kImageSize); !j.ok())
        return failure("File open error. ", m_paths.journal, j.error);
    if (const IoResult e = descriptorLocked(m_extendedFd, m_paths.extended, journal::kExtendedImageSize);
        !e.ok())
        return failure("File open error. ", m_paths.extended, e.error);
    for (const Run& run : runs) {
        if (const IoResult r = m_io.writeAtOffset(m_journalFd, journalOffset(run.first), run.records.data(),
                                                  run.records.size());
            !r.ok()) {
            dropDescriptorsLocked(); // made again, or opened afresh, next time
            return failure("Disk write error. ", m_paths.journal, r.error);
        }
        if (const IoResult r = m_io.writeAtOffset(m_extendedFd, extendedOffset(run.first), run.texts.data(),
                                                  run.texts.size());
            !r.ok()) {
            dropDescriptorsLocked();
            return failure("Disk write error. ", m_paths.extended, r.error);
        }
    }
    if (writeHeader) {
        if (const IoResult r = m_io.writeAtOffset(m_journalFd, 0, &header, sizeof header); !r.ok()) {
            dropDescriptorsLocked();
            return failure("Disk write error. ", m_paths.journal, r.error);
        }
    }
    m_written = m_written || !runs.empty() || writeHeader;
    {
        std::lock_guard lock(m_mutex);
        for (const Run& run : runs) {
            const std::size_t n = run.records.size() / sizeof(JournalRecord);
            std::fill_n(m_unwritten.begin() + std::ptrdiff_t(run.first), n, std::uint8_t(0));
        }
        m_anyUnwritten = std::find(m_unwritten.begin(), m_unwritten.end(), 1) != m_unwritten.end();
        if (writeHeader && m_viewNext == header)
            m_headerUnwritten = false;
    }
    m_episodes.ended(m_paths.journal);
    m_episodes.ended(m_paths.extended);
    return {};
}

bool Journal::markReported(std::size_t slot, std::int64_t logId)
{
    if (slot >= journal::kSlots || logId == 0)
        return false;
    FileFailure failed;
    {
        std::lock_guard files(m_fileMutex);
        std::uint8_t status = 0;
        {
            std::lock_guard lock(m_mutex);
            if (m_slotLogId[slot] == 0 && m_slotStage[slot] != 0) {
                m_earlyReport[slot] = logId; // committed, but the view has not heard yet
                return true;
            }
            if (m_slotLogId[slot] != logId)
                return false;
            JournalRecord* record = slotAt(slot);
            record->status |= journal::kReported;
            status = fileStatus(record->status);
            if (m_unwritten[slot])
                status = 0; // the whole slot goes out with the next flush
        }
        if (status != 0) {
            const IoResult fd = descriptorLocked(m_journalFd, m_paths.journal, journal::kImageSize);
            IoResult r = fd;
            if (fd.ok())
                r = m_io.writeAtOffset(m_journalFd, journalOffset(slot), &status, 1);
            if (!r.ok()) {
                failed =
                    failure(fd.ok() ? "Disk write error. " : "File open error. ", m_paths.journal, r.error);
                dropDescriptorsLocked();
                std::lock_guard lock(m_mutex);
                m_unwritten[slot] = 1;
                m_anyUnwritten = true;
            } else {
                m_written = true;
            }
        }
    }
    if (!failed.ok())
        note(failed);
    if (onChanged)
        onChanged();
    return true;
}

void Journal::markPending(std::size_t slot, std::int64_t logId)
{
    if (slot >= journal::kSlots || logId == 0)
        return;
    {
        std::lock_guard files(m_fileMutex);
        {
            std::lock_guard lock(m_mutex);
            if (m_slotLogId[slot] != logId)
                return;
            slotAt(slot)->status &= std::uint8_t(~journal::kReported);
            m_unwritten[slot] = 1;
            m_anyUnwritten = true;
        }
        if (const FileFailure f = flushLocked(); !f.ok())
            note(f);
    }
    if (onChanged)
        onChanged();
}

FileFailure Journal::checkpoint()
{
    FileFailure failed;
    {
        std::lock_guard files(m_fileMutex);
        // A file deleted or cut short under its open descriptor is made whole again by the next write.
        if ((m_journalFd >= 0 && !m_io.stillWhole(m_journalFd, m_paths.journal, journal::kImageSize)) ||
            (m_extendedFd >= 0 &&
             !m_io.stillWhole(m_extendedFd, m_paths.extended, journal::kExtendedImageSize))) {
            // What went to the old file is not in the new one: everything committed is written again.
            writeAllAgainLocked();
        }
        failed = flushLocked();
        if (failed.ok() && m_written && m_journalFd >= 0 && m_extendedFd >= 0) {
            if (const IoResult r = m_io.sync(m_journalFd); !r.ok())
                failed = failure("Disk write error. ", m_paths.journal, r.error);
            else if (const IoResult e = m_io.sync(m_extendedFd); !e.ok())
                failed = failure("Disk write error. ", m_paths.extended, e.error);
            if (failed.ok()) {
                m_written = false;
            } else {
                // Pages that could not be synced may be lost: everything is written again.
                writeAllAgainLocked();
            }
        }
    }
    if (!failed.ok())
        note(failed);
    return failed;
}

std::size_t Journal::reconcile(std::span<const LoggedEvent> newestFirst, bool clearedBefore)
{
    std::size_t rewritten = 0;
    bool headerChanged = false;
    {
        std::lock_guard files(m_fileMutex);
        {
            std::lock_guard lock(m_mutex);
            std::vector<std::uint8_t> covered(journal::kSlots, 0);
            std::uint32_t header = 0;
            bool haveHeader = false;
            for (const LoggedEvent& e : newestFirst) {
                if (e.journalSlot < 0 || std::size_t(e.journalSlot) >= journal::kSlots)
                    continue;
                const auto i = std::size_t(e.journalSlot);
                if (!haveHeader) {
                    header = std::uint32_t((i + 1) & 0x7FF);
                    haveHeader = true;
                }
                if (covered[i])
                    continue; // a newer event took the slot
                covered[i] = 1;
                JournalRecord wanted = e.record;
                wanted.status = e.state == ForwardState::Reported
                                    ? std::uint8_t(journal::kStored | journal::kSaved | journal::kReported)
                                    : std::uint8_t(journal::kStored | journal::kSaved);
                char text[journal::kExtendedSlotSize] = {};
                setFieldText(text, e.extended);
                JournalRecord* slot = slotAt(i);
                const bool same =
                    fileStatus(slot->status) == fileStatus(wanted.status) &&
                    std::memcmp(reinterpret_cast<const char*>(slot) + 1,
                                reinterpret_cast<const char*>(&wanted) + 1, sizeof wanted - 1) == 0 &&
                    std::memcmp(extendedAt(i), text, sizeof text) == 0;
                std::memcpy(slot, &wanted, sizeof wanted);
                std::memcpy(extendedAt(i), text, sizeof text);
                m_slotStage[i] = 0;
                m_slotLogId[i] = e.id;
                if (!same) {
                    m_unwritten[i] = 1;
                    m_anyUnwritten = true;
                    ++rewritten;
                }
            }
            // A slot that no event of the log holds was emptied by a Clear, or never written since.
            const bool logKnowsTheView = haveHeader || clearedBefore;
            for (std::size_t i = 0; logKnowsTheView && i < journal::kSlots; ++i) {
                if (covered[i])
                    continue;
                JournalRecord* slot = slotAt(i);
                const bool empty =
                    slot->status == 0 && fieldText(slot->account).empty() && extendedAt(i)[0] == '\0';
                std::memset(slot, 0, sizeof *slot);
                std::memset(extendedAt(i), 0, journal::kExtendedSlotSize);
                m_slotStage[i] = 0;
                m_slotLogId[i] = 0;
                if (!empty) {
                    ++rewritten;
                    // Written as zeros: the flush only writes committed slots, so this one goes now.
                    m_unwritten[i] = 2;
                    m_anyUnwritten = true;
                }
            }
            if (logKnowsTheView) {
                std::uint32_t stored = 0;
                std::memcpy(&stored, m_image.data(), sizeof stored);
                // A header that points past the newest event over nothing but empty slots (a ring that
                // was never full, as the files of before the log left it) says the same and stays. One
                // that points at an event (a kill between a slot's write and the header's leaves it on
                // the newest) would have the next event cover it.
                bool emptyBetween = slotAt(stored % journal::kSlots)->status == 0;
                for (std::uint32_t i = header; i != stored % journal::kSlots && emptyBetween;
                     i = (i + 1) & 0x7FF)
                    emptyBetween = slotAt(i)->status == 0;
                if (emptyBetween && stored < journal::kSlots)
                    header = stored;
                headerChanged = stored != header;
                std::memcpy(m_image.data(), &header, sizeof header);
                m_viewNext = header;
                m_headerUnwritten = true;
            }
        }
        // Emptied slots first (the flush writes committed slots only), then the rest.
        std::vector<std::size_t> emptied;
        {
            std::lock_guard lock(m_mutex);
            for (std::size_t i = 0; i < journal::kSlots; ++i) {
                if (m_unwritten[i] == 2) {
                    emptied.push_back(i);
                    m_unwritten[i] = 0;
                }
            }
        }
        FileFailure failed;
        if (!emptied.empty()) {
            const IoResult j = descriptorLocked(m_journalFd, m_paths.journal, journal::kImageSize);
            const IoResult e =
                j.ok() ? descriptorLocked(m_extendedFd, m_paths.extended, journal::kExtendedImageSize) : j;
            if (!j.ok() || !e.ok())
                failed = failure("File open error. ", !j.ok() ? m_paths.journal : m_paths.extended, e.error);
            const JournalRecord zero{};
            const char zeros[journal::kExtendedSlotSize] = {};
            for (const std::size_t i : emptied) {
                if (!failed.ok())
                    break;
                if (const IoResult r = m_io.writeAtOffset(m_journalFd, journalOffset(i), &zero, sizeof zero);
                    !r.ok())
                    failed = failure("Disk write error. ", m_paths.journal, r.error);
                else if (const IoResult t =
                             m_io.writeAtOffset(m_extendedFd, extendedOffset(i), zeros, sizeof zeros);
                         !t.ok())
                    failed = failure("Disk write error. ", m_paths.extended, t.error);
            }
            m_written = true;
        }
        if (failed.ok())
            failed = flushLocked();
        if (failed.ok() && (m_written || headerChanged)) {
            if (const IoResult r = m_io.sync(m_journalFd); !r.ok())
                failed = failure("Disk write error. ", m_paths.journal, r.error);
            else if (const IoResult t = m_io.sync(m_extendedFd); !t.ok())
                failed = failure("Disk write error. ", m_paths.extended, t.error);
            else
                m_written = false;
        }
        if (!failed.ok())
            note(failed);
    }
    return rewritten;
}

std::vector<LoggedEvent> Journal::takeOverRows() const
{
    std::vector<LoggedEvent> rows;
    std::lock_guard lock(m_mutex);
    std::uint32_t next = 0;
    std::memcpy(&next, m_image.data(), sizeof next);
    for (std::size_t k = 0; k < journal::kSlots; ++k) {
        const std::size_t i = (next + k) % journal::kSlots; // the oldest first
        const auto* slot = reinterpret_cast<const JournalRecord*>(m_image.data() + journal::kHeaderSize +
                                                                  i * sizeof(JournalRecord));
        if (!(slot->status & journal::kStored))
            continue;
        LoggedEvent& e = rows.emplace_back();
        e.receivedUtc = slot->time_received;
        e.transport = "ring";
        e.sourceAddress = std::string(fieldText(slot->address));
        e.sourcePort = slot->port;
        e.record = *slot;
        e.record.status = journal::kStored;
        const std::string_view event = fieldText(slot->event);
        e.token = event == "NULL" ? "NULL" : "ADM-CID";
        e.extended = std::string(
            boundedText(reinterpret_cast<const char*>(m_extended.data() + i * journal::kExtendedSlotSize),
                        kMaxExtendedText));
        e.journalSlot = int(i);
        e.state = event == "NULL"                       ? ForwardState::NotReportable
                  : (slot->status & journal::kReported) ? ForwardState::Reported
                                                        : ForwardState::Pending;
    }
    return rows;
}

std::vector<Journal::ClearFailure> Journal::clear()
{
    std::vector<ClearFailure> failures;
    {
        std::lock_guard files(m_fileMutex);
        {
            std::lock_guard lock(m_mutex);
            std::fill(m_image.begin(), m_image.end(), 0);
            std::fill(m_extended.begin(), m_extended.end(), 0);
            std::fill(m_slotStage.begin(), m_slotStage.end(), 0);
            std::fill(m_slotLogId.begin(), m_slotLogId.end(), 0);
            std::fill(m_unwritten.begin(), m_unwritten.end(), 0);
            m_anyUnwritten = false;
            m_headerUnwritten = false;
            m_viewNext = 0;
        }
        dropDescriptorsLocked();
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
            // A write or sync that failed would bring the old events back at the next start; say so.
            if (!m_io.write(opened.fd(), zeros.data(), size).ok() || !m_io.sync(opened.fd()).ok())
                failures.push_back({std::string("File writing error ") + number});
            m_io.close(opened.fd());
        };
        rewrite(m_paths.journal, journal::kImageSize, '1');
        rewrite(m_paths.extended, journal::kExtendedImageSize, '2');
        (void)m_io.syncDirectoryOf(m_paths.journal);
        m_written = false;
    }
    if (onChanged)
        onChanged();
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

std::int64_t Journal::logIdOf(std::size_t slot) const
{
    if (slot >= journal::kSlots)
        return 0;
    std::lock_guard lock(m_mutex);
    return m_slotLogId[slot];
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
