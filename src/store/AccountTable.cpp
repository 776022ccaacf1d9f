// The account table image, its changes on their way to the log, its file view and the
// supervision countdown.
#include "store/AccountTable.h"

#include "store/EventLog.h"
#include "store/Journal.h"
#include "store/RecordText.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>

namespace {
constexpr std::int32_t kMinutesWithSignal = 6;
constexpr std::int32_t kMinutesWithoutSignal = 70;

// Minutes to seconds without overflow, whatever a damaged file holds; a negative value stops the count.
std::int32_t countdownFor(std::int32_t minutes)
{
    const std::int64_t seconds = std::int64_t(minutes) * 60;
    return std::int32_t(std::clamp<std::int64_t>(seconds, 0, std::numeric_limits<std::int32_t>::max()));
}

// The "[Q" value as a whole number, stored as its low 8 bits; anything else (a point, too many
// digits) is no usable value.
std::uint8_t signalOf(const char* value)
{
    const std::string_view text(value);
    std::int32_t number = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (ec != std::errc() || end != text.data() + text.size())
        return accounts::kNoSignal;
    return std::uint8_t(number & 0xFF);
}

// Two records that differ only in their countdown are the same record: the countdown means
// nothing on disk.
bool sameRecord(const AccountRecord& a, const AccountRecord& b)
{
    return std::memcmp(&a, &b, offsetof(AccountRecord, ping_countdown)) == 0;
}
} // namespace

AccountTable::AccountTable(std::string path, FileIo& io, LogSink log)
    : m_path(std::move(path)), m_io(io), m_log(std::move(log)), m_image(accounts::kImageSize, 0),
      m_changed(accounts::kSlots, 0)
{
}

AccountTable::~AccountTable()
{
    std::lock_guard files(m_fileMutex);
    if (m_fd >= 0)
        m_io.close(m_fd);
}

AccountRecord* AccountTable::slotAt(std::size_t slot)
{
    return reinterpret_cast<AccountRecord*>(m_image.data() + slot * sizeof(AccountRecord));
}

void AccountTable::note(FileFailure f)
{
    m_episodes.note(f);
    if (f.newEpisode && m_log)
        m_log(f.text(), LogColour::Red);
}

void AccountTable::load()
{
    // Start-up errors are silent: an unreadable file gives an empty table.
    std::vector<std::uint8_t> image(accounts::kImageSize, 0);
    if (m_io.exists(m_path)) {
        (void)m_io.readFile(m_path, image.data(), image.size());
    } else if (m_io.createFile(m_path, image.data(), image.size()).ok()) {
        (void)m_io.syncFile(m_path);
        (void)m_io.syncDirectoryOf(m_path);
    }

    std::lock_guard lock(m_mutex);
    std::memcpy(m_image.data(), image.data(), image.size());
    for (std::size_t j = 0; j < accounts::kSlots; ++j) {
        AccountRecord* slot = slotAt(j);
        slot->ping_countdown = countdownFor(slot->ping_minutes);
    }
    std::fill(m_changed.begin(), m_changed.end(), 0);
    m_changedList.clear();
    rebuildIndex();
}

std::optional<std::size_t> AccountTable::findSlot(std::string_view account) const
{
    const auto it = m_index.find(account);
    if (it == m_index.end())
        return std::nullopt;
    return it->second;
}

std::optional<std::size_t> AccountTable::slotOf(std::string_view account) const
{
    std::lock_guard lock(m_mutex);
    return findSlot(account);
}

std::optional<std::size_t> AccountTable::firstFreeSlot() const
{
    for (std::size_t j = 0; j < accounts::kSlots; ++j) {
        if (m_image[j * sizeof(AccountRecord) + offsetof(AccountRecord, account)] == 0)
            return j;
    }
    return std::nullopt;
}

void AccountTable::rebuildIndex()
{
    m_index.clear();
    for (std::size_t j = 0; j < accounts::kSlots; ++j) {
        const std::string_view account = fieldText(slotAt(j)->account);
        if (!account.empty())
            m_index.emplace(account, j); // a duplicate from a damaged file keeps its first slot
    }
}

void AccountTable::markChangedLocked(std::size_t slot)
{
    if (m_changed[slot])
        return;
    m_changed[slot] = 1;
    m_changedList.push_back(std::uint16_t(slot));
}

void AccountTable::needsCommit()
{
    if (onNeedsCommit)
        onNeedsCommit();
}

bool AccountTable::contains(std::string_view account) const
{
    std::lock_guard lock(m_mutex);
    return !account.empty() && findSlot(account).has_value();
}

std::optional<std::size_t> AccountTable::stage(JournalRecord& record, const char* extended)
{
    const std::optional<std::size_t> index = updateImage(record, extended);
    if (index && onChanged)
        onChanged();
    if (!index && onNoSlot && record.account[0] != 0)
        onNoSlot(fieldText(record.account));
    return index;
}

std::optional<std::size_t> AccountTable::updateImage(JournalRecord& record, const char* extended)
{
    const std::string_view account = fieldText(record.account);
    // An empty number would match the first free slot and fill it as an account nobody can see.
    if (account.empty())
        return std::nullopt;

    const std::string_view ext = boundedText(extended, journal::kExtendedSlotSize - 1);
    char quality[17];
    char address[17];
    const bool hasQuality = Find_Tag_Value("[Q", ext, quality);
    const bool hasAddress = Find_Tag_Value("[B", ext, address);
    const std::uint8_t signal = hasQuality ? signalOf(quality) : accounts::kNoSignal;

    std::lock_guard lock(m_mutex);
    std::size_t index = 0;
    const std::optional<std::size_t> found = findSlot(account);
    if (found) {
        index = *found;
    } else {
        const std::optional<std::size_t> free = firstFreeSlot();
        if (!free)
            return std::nullopt; // full: the journal keeps the connection's address
        index = *free;
        AccountRecord* slot = slotAt(index);
        std::memset(slot, 0, sizeof *slot);
        setFieldText(slot->account, account);
        m_index.emplace(fieldText(slot->account), index);
        slot->ping_minutes = hasQuality ? kMinutesWithSignal : kMinutesWithoutSignal;
    }
    AccountRecord* slot = slotAt(index);
    slot->last_time = record.time_received;
    setFieldText(slot->receiver, fieldText(record.receiver));
    setFieldText(slot->line, fieldText(record.line));
    setFieldText(slot->event, fieldText(record.event));
    setFieldText(slot->partition, fieldText(record.partition));
    setFieldText(slot->zone, fieldText(record.zone));
    slot->port = record.port;
    slot->signal = signal;
    if (hasAddress) {
        setFieldText(slot->address, address);
        setFieldText(record.address, address);
    } else {
        setFieldText(slot->address, fieldText(record.address));
    }
    if (slot->ping_minutes != 0)
        slot->ping_countdown = countdownFor(slot->ping_minutes);
    // A restore report is due from now on, and the record committed with the event carries it: a
    // restart in between still sends it.
    if (slot->sup_flags & accounts::kMissing) {
        slot->sup_flags &= std::uint8_t(~accounts::kMissing);
        slot->sup_flags |= accounts::kReportDue;
    }
    markChangedLocked(index);
    return index;
}

std::vector<LoggedAccount> AccountTable::takeChanged()
{
    std::lock_guard lock(m_mutex);
    std::vector<LoggedAccount> out;
    out.reserve(m_changedList.size());
    std::sort(m_changedList.begin(), m_changedList.end());
    for (const std::uint16_t j : m_changedList) {
        LoggedAccount& a = out.emplace_back();
        a.slot = j;
        std::memcpy(&a.record, slotAt(j), sizeof a.record);
        m_changed[j] = 0;
    }
    m_changedList.clear();
    return out;
}

void AccountTable::restoreChanged(std::span<const LoggedAccount> slots)
{
    {
        std::lock_guard lock(m_mutex);
        for (const LoggedAccount& a : slots) {
            if (a.slot >= 0 && std::size_t(a.slot) < accounts::kSlots)
                markChangedLocked(std::size_t(a.slot));
        }
    }
}

bool AccountTable::anyChanged() const
{
    std::lock_guard lock(m_mutex);
    return !m_changedList.empty();
}

IoResult AccountTable::descriptorLocked()
{
    if (m_fd >= 0)
        return IoResult{m_fd, 0};
    const IoResult opened = m_io.openOrRestore(m_path, accounts::kImageSize, [this] {
        std::lock_guard lock(m_mutex);
        return m_image;
    });
    if (opened.ok())
        m_fd = opened.fd();
    return opened;
}

FileFailure AccountTable::writeLocked(std::span<const LoggedAccount> slots)
{
    for (const LoggedAccount& a : slots)
        m_unwritten[a.slot] = a.record;
    if (m_unwritten.empty())
        return {};
    const IoResult fd = descriptorLocked();
    if (!fd.ok())
        return FileFailure::of("File open error. ", m_path, fd.error);
    // In runs of neighbouring slots: a burst from one panel is one write.
    std::vector<std::pair<int, AccountRecord>> ordered(m_unwritten.begin(), m_unwritten.end());
    std::sort(ordered.begin(), ordered.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<AccountRecord> run;
    int first = -1;
    const auto flush = [&]() -> IoResult {
        if (run.empty())
            return IoResult{};
        const IoResult r = m_io.writeAtOffset(m_fd, std::int64_t(first) * std::int64_t(sizeof(AccountRecord)),
                                              run.data(), run.size() * sizeof(AccountRecord));
        run.clear();
        return r;
    };
    for (const auto& [slot, record] : ordered) {
        if (!run.empty() && slot != first + int(run.size())) {
            if (const IoResult r = flush(); !r.ok()) {
                m_io.close(m_fd);
                m_fd = -1;
                return FileFailure::of("Disk write error. ", m_path, r.error);
            }
        }
        if (run.empty())
            first = slot;
        run.push_back(record);
    }
    if (const IoResult r = flush(); !r.ok()) {
        m_io.close(m_fd);
        m_fd = -1;
        return FileFailure::of("Disk write error. ", m_path, r.error);
    }
    m_unwritten.clear();
    m_written = true;
    m_episodes.ended(m_path);
    return {};
}

void AccountTable::committed(std::span<const LoggedAccount> slots)
{
    FileFailure failed;
    {
        std::lock_guard files(m_fileMutex);
        failed = writeLocked(slots);
    }
    if (!failed.ok())
        note(failed);
}

FileFailure AccountTable::checkpoint()
{
    FileFailure failed;
    {
        std::lock_guard files(m_fileMutex);
        // A file deleted or cut short under its open descriptor is made whole again now.
        if (m_fd >= 0 && !m_io.stillWhole(m_fd, m_path, accounts::kImageSize)) {
            m_io.close(m_fd);
            m_fd = -1;
            m_written = false; // the new file is made whole from memory, and synced, when it is opened
        }
        failed = writeLocked({});
        if (failed.ok() && m_written && m_fd >= 0) {
            if (const IoResult r = m_io.sync(m_fd); !r.ok()) {
                failed = FileFailure::of("Disk write error. ", m_path, r.error);
                // What the lost pages held is written again from the copies in memory.
                std::lock_guard lock(m_mutex);
                for (std::size_t j = 0; j < accounts::kSlots; ++j)
                    std::memcpy(&m_unwritten[int(j)], slotAt(j), sizeof(AccountRecord));
                m_io.close(m_fd);
                m_fd = -1;
            } else {
                m_written = false;
            }
        }
    }
    if (!failed.ok())
        note(failed);
    return failed;
}

std::size_t AccountTable::reconcile(std::span<const LoggedAccount> fromLog)
{
    std::vector<LoggedAccount> rewrite;
    {
        std::lock_guard lock(m_mutex);
        std::vector<AccountRecord> wanted(accounts::kSlots);
        std::memset(wanted.data(), 0, wanted.size() * sizeof(AccountRecord));
        for (const LoggedAccount& a : fromLog)
            wanted[std::size_t(a.slot)] = a.record;
        for (std::size_t j = 0; j < accounts::kSlots; ++j) {
            AccountRecord* slot = slotAt(j);
            if (sameRecord(*slot, wanted[j]))
                continue;
            *slot = wanted[j];
            slot->ping_countdown = countdownFor(slot->ping_minutes);
            rewrite.push_back(LoggedAccount{int(j), *slot});
        }
        if (!rewrite.empty())
            rebuildIndex();
    }
    if (!rewrite.empty()) {
        FileFailure failed;
        {
            std::lock_guard files(m_fileMutex);
            failed = writeLocked(rewrite);
            if (failed.ok()) {
                if (const IoResult r = m_io.sync(m_fd); !r.ok())
                    failed = FileFailure::of("Disk write error. ", m_path, r.error);
                else
                    m_written = false;
            }
        }
        if (!failed.ok())
            note(failed);
        if (onChanged)
            onChanged();
    }
    return rewrite.size();
}

std::vector<LoggedAccount> AccountTable::takeOverSlots() const
{
    std::lock_guard lock(m_mutex);
    std::vector<LoggedAccount> out;
    for (std::size_t j = 0; j < accounts::kSlots; ++j) {
        const auto* slot = reinterpret_cast<const AccountRecord*>(m_image.data() + j * sizeof(AccountRecord));
        if (slot->account[0] == '\0')
            continue;
        out.push_back(LoggedAccount{int(j), *slot});
    }
    return out;
}

void AccountTable::supervisionTick()
{
    bool expired = false;
    {
        std::lock_guard lock(m_mutex);
        for (std::size_t j = 0; j < accounts::kSlots; ++j) {
            AccountRecord* slot = slotAt(j);
            // A free slot never goes missing, even if a damaged file left a countdown in it.
            if (slot->account[0] == '\0')
                continue;
            if (slot->ping_countdown > 1) {
                --slot->ping_countdown;
            } else if (slot->ping_countdown == 1) {
                // Committed with report_due set, so the loss is still reported after a restart.
                slot->ping_countdown = 0;
                slot->sup_flags |= accounts::kMissing | accounts::kReportDue;
                markChangedLocked(j);
                expired = true;
            }
        }
    }
    if (expired) {
        needsCommit();
        if (onChanged)
            onChanged();
    }
}

void AccountTable::setPingMinutes(std::size_t slot, std::int32_t minutes)
{
    if (slot >= accounts::kSlots)
        return;
    {
        std::lock_guard lock(m_mutex);
        AccountRecord* record = slotAt(slot);
        if (record->ping_minutes != minutes) {
            record->ping_minutes = minutes;
            record->ping_countdown = countdownFor(minutes);
        }
        markChangedLocked(slot);
    }
    needsCommit();
    if (onChanged)
        onChanged();
}

void AccountTable::deleteAccount(std::size_t slot)
{
    if (slot >= accounts::kSlots)
        return;
    {
        std::lock_guard lock(m_mutex);
        std::uint8_t* at = m_image.data() + slot * sizeof(AccountRecord);
        std::uint8_t* last = m_image.data() + (accounts::kSlots - 1) * sizeof(AccountRecord);
        std::memmove(at, at + sizeof(AccountRecord), std::size_t(last - at));
        std::memset(last, 0, sizeof(AccountRecord));
        // The whole table is written again, whatever stray bytes the file held beyond the slots in use.
        for (std::size_t j = 0; j < accounts::kSlots; ++j)
            markChangedLocked(j);
        rebuildIndex();
    }
    needsCommit();
    if (onChanged)
        onChanged();
}

AccountRecord AccountTable::record(std::size_t slot) const
{
    AccountRecord copy{};
    if (slot >= accounts::kSlots)
        return copy;
    std::lock_guard lock(m_mutex);
    std::memcpy(&copy, m_image.data() + slot * sizeof(AccountRecord), sizeof copy);
    return copy;
}

std::optional<AccountTable::DueReport> AccountTable::nextReportDue(std::size_t from) const
{
    std::lock_guard lock(m_mutex);
    for (std::size_t j = from; j < accounts::kSlots; ++j) {
        const auto* slot = reinterpret_cast<const AccountRecord*>(m_image.data() + j * sizeof(AccountRecord));
        if (!(slot->sup_flags & accounts::kReportDue))
            continue;
        DueReport report;
        report.slot = j;
        report.receiver = fieldText(slot->receiver);
        report.line = fieldText(slot->line);
        report.account = fieldText(slot->account);
        report.missing = (slot->sup_flags & accounts::kMissing) != 0;
        return report;
    }
    return std::nullopt;
}

bool AccountTable::clearReportDue(const DueReport& report)
{
    if (report.slot >= accounts::kSlots)
        return false;
    {
        std::lock_guard lock(m_mutex);
        AccountRecord* slot = slotAt(report.slot);
        const bool missing = (slot->sup_flags & accounts::kMissing) != 0;
        if (fieldText(slot->account) != report.account || missing != report.missing)
            return false;
        slot->sup_flags &= std::uint8_t(~accounts::kReportDue);
        // A clear lost to a crash only means the report is sent once more after the restart.
        markChangedLocked(report.slot);
    }
    needsCommit();
    return true;
}

void AccountTable::reportAgain(const DueReport& report)
{
    if (report.slot >= accounts::kSlots)
        return;
    {
        std::lock_guard lock(m_mutex);
        AccountRecord* slot = slotAt(report.slot);
        const bool missing = (slot->sup_flags & accounts::kMissing) != 0;
        if (fieldText(slot->account) != report.account || missing != report.missing)
            return;
        slot->sup_flags |= accounts::kReportDue;
        markChangedLocked(report.slot);
    }
    needsCommit();
}
