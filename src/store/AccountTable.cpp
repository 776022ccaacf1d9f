// The account table image, its file and the supervision countdown.
#include "store/AccountTable.h"

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
} // namespace

AccountTable::AccountTable(std::string path, FileIo& io)
    : m_path(std::move(path)), m_io(io), m_image(accounts::kImageSize, 0)
{
}

AccountRecord* AccountTable::slotAt(std::size_t slot)
{
    return reinterpret_cast<AccountRecord*>(m_image.data() + slot * sizeof(AccountRecord));
}

void AccountTable::load()
{
    // Start-up errors are silent: an unreadable file gives an empty table.
    std::vector<std::uint8_t> image(accounts::kImageSize, 0);
    if (m_io.exists(m_path))
        (void)m_io.readFile(m_path, image.data(), image.size());
    else
        (void)m_io.createFile(m_path, image.data(), image.size());

    std::lock_guard lock(m_mutex);
    std::memcpy(m_image.data(), image.data(), image.size());
    for (std::size_t j = 0; j < accounts::kSlots; ++j) {
        AccountRecord* slot = slotAt(j);
        slot->ping_countdown = countdownFor(slot->ping_minutes);
    }
    rebuildIndex();
}

std::optional<std::size_t> AccountTable::findSlot(std::string_view account) const
{
    const auto it = m_index.find(account);
    if (it == m_index.end())
        return std::nullopt;
    return it->second;
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

bool AccountTable::contains(std::string_view account) const
{
    std::lock_guard lock(m_mutex);
    return !account.empty() && findSlot(account).has_value();
}

std::optional<std::size_t> AccountTable::update(JournalRecord& record, const char* extended)
{
    const std::optional<std::size_t> index = updateImage(record, extended);
    if (!index && onNoSlot && record.account[0] != 0)
        onNoSlot(fieldText(record.account));
    if (!index)
        return std::nullopt;
    (void)writeSlot(*index); // silent on failure: memory holds the new values
    if (onChanged)
        onChanged();
    return index;
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
    // A restore report is due from now on, and the record written next carries it: a restart in
    // between still sends it.
    if (slot->sup_flags & accounts::kMissing) {
        slot->sup_flags &= std::uint8_t(~accounts::kMissing);
        slot->sup_flags |= accounts::kReportDue;
    }
    return index;
}

bool AccountTable::writeSlot(std::size_t slot)
{
    AccountRecord copy;
    std::lock_guard files(m_fileMutex);
    {
        std::lock_guard lock(m_mutex);
        std::memcpy(&copy, slotAt(slot), sizeof copy);
    }
    return m_io.writeAt(m_path, std::int64_t(slot * sizeof(AccountRecord)), &copy, sizeof copy).ok();
}

std::vector<PendingSync> AccountTable::Commit::pending() const
{
    if (m_table == nullptr || m_fd < 0)
        return {};
    return {PendingSync{&m_table->m_io, m_fd, m_table->m_path}};
}

FileFailure AccountTable::writeCommit(std::span<const std::uint16_t> slots, Commit& commit)
{
    commit.m_table = this;
    commit.m_any = !slots.empty();
    if (slots.empty())
        return {};
    std::lock_guard files(m_fileMutex);
    const IoResult opened = m_io.openOrRestore(m_path, accounts::kImageSize, [this] {
        std::lock_guard lock(m_mutex);
        return m_image;
    });
    if (!opened.ok())
        return FileFailure{"File open error. ", m_path, opened.error};
    commit.m_fd = opened.fd();
    for (const std::uint16_t j : slots) {
        if (j >= accounts::kSlots)
            continue;
        AccountRecord copy;
        {
            std::lock_guard lock(m_mutex);
            std::memcpy(&copy, slotAt(j), sizeof copy);
        }
        if (const IoResult r =
                m_io.writeAtOffset(commit.m_fd, std::int64_t(j * sizeof copy), &copy, sizeof copy);
            !r.ok())
            return FileFailure{"Disk write error. ", m_path, r.error};
    }
    return {};
}

void AccountTable::finishCommit(Commit& commit, FileFailure& outcome)
{
    if (commit.m_fd >= 0)
        m_io.close(commit.m_fd);
    commit.m_fd = -1;
    if (!commit.m_any)
        return;
    if (outcome.ok())
        m_episodes.ended(m_path);
    else if (outcome.path == m_path)
        m_episodes.note(outcome);
}

void AccountTable::writeAccount(std::size_t slot)
{
    if (slot >= accounts::kSlots)
        return;
    if (writeSlot(slot) && onChanged)
        onChanged();
}

void AccountTable::supervisionTick()
{
    std::vector<std::size_t> expired;
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
                // Written below with report_due set, so the loss is still reported after a restart.
                slot->ping_countdown = 0;
                slot->sup_flags |= accounts::kMissing | accounts::kReportDue;
                expired.push_back(j);
            }
        }
    }
    for (const std::size_t j : expired) {
        if (writeSlot(j) && onChanged)
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
    }
    writeAccount(slot);
}

void AccountTable::deleteAccount(std::size_t slot)
{
    if (slot >= accounts::kSlots)
        return;
    std::vector<std::uint8_t> copy;
    std::lock_guard files(m_fileMutex);
    {
        std::lock_guard lock(m_mutex);
        std::uint8_t* at = m_image.data() + slot * sizeof(AccountRecord);
        std::uint8_t* last = m_image.data() + (accounts::kSlots - 1) * sizeof(AccountRecord);
        std::memmove(at, at + sizeof(AccountRecord), std::size_t(last - at));
        std::memset(last, 0, sizeof(AccountRecord));
        rebuildIndex();
        copy = m_image;
    }
    const IoResult opened = m_io.openWrite(m_path, OpenMode::Existing);
    if (opened.ok()) {
        (void)m_io.write(opened.fd(), copy.data(), copy.size());
        m_io.close(opened.fd());
    }
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

void AccountTable::clearReportDue(std::size_t slot)
{
    if (slot >= accounts::kSlots)
        return;
    {
        std::lock_guard lock(m_mutex);
        slotAt(slot)->sup_flags &= std::uint8_t(~accounts::kReportDue);
    }
    (void)writeSlot(slot); // a failed write only means the report is sent once more after a restart
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
    }
    (void)writeSlot(report.slot);
    return true;
}
