// Texts of the Event List cells, straight from the journal slot of each row.
#include "ui/EventListModel.h"

#include "store/Journal.h"
#include "store/RecordText.h"
#include "ui/GridTexts.h"

#include <array>
#include <cstring>
#include <mutex>

namespace {

QString blankThen(std::string_view text)
{
    return QLatin1Char(' ') + grid::latin1(text);
}

// The columns that read the same from a ring slot and from a row of the log.
QVariant fieldColumn(const JournalRecord& r, int column)
{
    switch (column) {
    case 1:
        return blankThen(fieldText(r.receiver));
    case 2:
        return blankThen(fieldText(r.line));
    case 3:
        return blankThen(fieldText(r.account));
    case 4:
        return grid::eventText(fieldText(r.event));
    case 5:
        return blankThen(fieldText(r.partition));
    case 6:
        return blankThen(fieldText(r.zone));
    case 7:
        return blankThen(fieldText(r.address));
    default:
        return {};
    }
}

QString statusText(const JournalRecord& r)
{
    if (fieldText(r.event) == "NULL")
        return QStringLiteral("Not reportable");
    switch (r.status) {
    case journal::kStored | journal::kSaved:
        return QStringLiteral("Pending");
    case journal::kStored | journal::kSaved | journal::kReported:
        return QStringLiteral("Reported");
    default:
        return QStringLiteral("Unknown");
    }
}

} // namespace

EventListModel::EventListModel(const Journal& journal, QObject* parent)
    : QAbstractTableModel(parent), m_journal(journal)
{
    m_slots.reserve(journal::kSlots);
}

std::size_t EventListModel::rebuild()
{
    std::vector<std::uint16_t> rows;
    rows.reserve(journal::kSlots);
    {
        // One look at the status bytes; the cells read the slots themselves when they are drawn.
        std::lock_guard lock(m_journal.mutex());
        const std::uint8_t* image = m_journal.image();
        std::uint32_t next = 0;
        std::memcpy(&next, image, sizeof next);
        for (std::size_t r = 0; r < journal::kSlots; ++r) {
            const std::size_t slot = (std::size_t(next) + journal::kSlots - 1 - r) % journal::kSlots;
            if (image[journal::kHeaderSize + slot * sizeof(JournalRecord)] != 0)
                rows.push_back(std::uint16_t(slot));
        }
    }
    replaceRows(rows.size(), [&] {
        m_slots = std::move(rows);
        m_logged.clear();
        m_showsLogged = false;
    });
    return m_slots.size();
}

void EventListModel::showLogged(std::vector<LoggedEvent> rows)
{
    replaceRows(rows.size(), [&] {
        m_logged = std::move(rows);
        m_slots.clear();
        m_showsLogged = true;
    });
}

template <typename Assign> void EventListModel::replaceRows(std::size_t rows, Assign assign)
{
    // Nothing to show still shows one empty row under the header.
    const int before = rowCount();
    const int after = std::max<int>(1, int(rows));
    if (after > before) {
        beginInsertRows({}, before, after - 1);
        assign();
        endInsertRows();
    } else if (after < before) {
        beginRemoveRows({}, after, before - 1);
        assign();
        endRemoveRows();
    } else {
        assign();
    }
    emit dataChanged(index(0, 0), index(after - 1, kColumns - 1));
}

int EventListModel::slotOfRow(int row) const
{
    return row >= 0 && std::size_t(row) < m_slots.size() ? int(m_slots[std::size_t(row)]) : -1;
}

int EventListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : std::max<int>(1, int(m_showsLogged ? m_logged.size() : m_slots.size()));
}

int EventListModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : kColumns;
}

QVariant EventListModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= kColumns)
        return {};
    return QString::fromLatin1(eventlist::kHeaders[std::size_t(section)]);
}

QVariant EventListModel::data(const QModelIndex& index, int role) const
{
    // A long description may end in "…" in its cell; the tip shows it whole.
    if (role == Qt::ToolTipRole && index.column() == kEventColumn)
        return data(index, Qt::DisplayRole);
    if (role != Qt::DisplayRole || !index.isValid())
        return {};
    if (m_showsLogged) {
        const auto row = std::size_t(index.row());
        return row < m_logged.size() ? loggedData(m_logged[row], index.column()) : QString();
    }
    const int slot = slotOfRow(index.row());
    if (slot < 0)
        return QString();
    const JournalRecord r = m_journal.record(std::size_t(slot));
    if (r.status == 0)
        return QString(); // cleared since the last rebuild
    switch (index.column()) {
    case 0:
        return grid::timeText(r.time_received);
    case 8:
        return grid::latin1(eventlist::signalText(m_journal.extendedText(std::size_t(slot))));
    case 9:
        return statusText(r);
    default:
        return fieldColumn(r, index.column());
    }
}

QVariant EventListModel::loggedData(const LoggedEvent& e, int column) const
{
    const JournalRecord& r = e.record;
    switch (column) {
    case 0:
        return grid::timeText(std::time_t(e.receivedUtc));
    case 8:
        return grid::latin1(eventlist::signalText(e.extended));
    case 9:
        return QString::fromLatin1(eventlist::stateText(e.state, fieldText(r.event)));
    default:
        return fieldColumn(r, column);
    }
}
