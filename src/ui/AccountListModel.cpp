// Texts and colours of the Object List cells, straight from each row's account slot.
#include "ui/AccountListModel.h"

#include "store/AccountTable.h"
#include "store/RecordText.h"
#include "ui/GridTexts.h"
#include "ui/GridView.h"

#include <QGuiApplication>
#include <QPalette>
#include <array>
#include <mutex>

namespace {

const std::array<const char*, AccountListModel::kColumns> kHeaders = {"Time / Date",
                                                                      "Account Number",
                                                                      "Receiver Number",
                                                                      "Line Number",
                                                                      "Qualifier + Event",
                                                                      "Group / Partition",
                                                                      "Zone / User",
                                                                      "IP Address",
                                                                      "Signal Quality",
                                                                      "Ping Timeout",
                                                                      ""};

const QColor kMissingBackground(255, 0, 0);
const QColor kMissingSelectedText(255, 255, 0);
const QColor kSelectedBackground(250, 250, 250);

QString cellText(const AccountRecord& r, int column)
{
    switch (column) {
    case 0:
        return grid::timeText(r.last_time);
    case 1:
        return grid::latin1(fieldText(r.account));
    case 2:
        return grid::latin1(fieldText(r.receiver));
    case 3:
        return grid::latin1(fieldText(r.line));
    case 4:
        return grid::eventText(fieldText(r.event));
    case 5:
        return grid::latin1(fieldText(r.partition));
    case 6:
        return grid::latin1(fieldText(r.zone));
    case 7:
        return grid::latin1(fieldText(r.address));
    case 8:
        return r.signal == accounts::kNoSignal ? QString() : QStringLiteral(" %1 %").arg(r.signal);
    case 9:
        return QStringLiteral("%1 min").arg(r.ping_minutes);
    default:
        return QString();
    }
}

} // namespace

AccountListModel::AccountListModel(const AccountTable& accounts, QObject* parent)
    : QAbstractTableModel(parent), m_accounts(accounts)
{
}

void AccountListModel::rebuild()
{
    int last = -1;
    {
        std::lock_guard lock(m_accounts.mutex());
        const auto* records = reinterpret_cast<const AccountRecord*>(m_accounts.image());
        for (std::size_t j = accounts::kSlots; j-- > 0;) {
            if (records[j].account[0] != '\0') {
                last = int(j);
                break;
            }
        }
    }
    const int after = std::max(1, last + 1);
    if (after > m_rows) {
        beginInsertRows({}, m_rows, after - 1);
        m_rows = after;
        endInsertRows();
    } else if (after < m_rows) {
        beginRemoveRows({}, after, m_rows - 1);
        m_rows = after;
        endRemoveRows();
    }
    emit dataChanged(index(0, 0), index(m_rows - 1, kColumns - 1));
}

int AccountListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : m_rows;
}

int AccountListModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : kColumns;
}

QVariant AccountListModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= kColumns)
        return {};
    return QString::fromLatin1(kHeaders[std::size_t(section)]);
}

QVariant AccountListModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid())
        return {};
    const AccountRecord r = m_accounts.record(std::size_t(index.row()));
    const bool used = r.account[0] != '\0';
    const bool missing = used && (r.sup_flags & accounts::kMissing) != 0;
    switch (role) {
    case Qt::DisplayRole:
        return used ? cellText(r, index.column()) : QString();
    case Qt::ToolTipRole: // a long description may end in "…" in its cell
        return used && index.column() == kEventColumn ? QVariant(cellText(r, index.column())) : QVariant();
    case Qt::DecorationRole:
        if (used && index.column() == kDeleteColumn && !m_deleteIcon.isNull())
            return m_deleteIcon;
        return {};
    case Qt::BackgroundRole:
        return missing ? QVariant(kMissingBackground) : QVariant();
    case Qt::ForegroundRole:
        return missing ? QVariant(QGuiApplication::palette().color(QPalette::HighlightedText)) : QVariant();
    case grid::kSelectedBackgroundRole:
        return missing ? kMissingBackground : kSelectedBackground;
    case grid::kSelectedForegroundRole:
        return missing ? kMissingSelectedText : QGuiApplication::palette().color(QPalette::Text);
    default:
        return {};
    }
}
