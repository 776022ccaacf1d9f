// The rows of the Event List: either the journal newest first, read from the journal's images when a
// cell is drawn (a rebuild only notes which slot each row shows; the texts are never copied), or the
// event log's rows that a filter found, held here.
#pragma once

#include "store/EventLog.h"
#include "store/EventTexts.h"

#include <QAbstractTableModel>
#include <cstdint>
#include <vector>

class Journal;

class EventListModel : public QAbstractTableModel {
public:
    static constexpr int kColumns = int(eventlist::kColumns);
    static constexpr int kEventColumn = 4;

    explicit EventListModel(const Journal& journal, QObject* parent = nullptr);

    // The journal's rows anew: every slot that holds an event, starting with the one before
    // `next_slot` and going back round the ring. Returns the number of events shown.
    std::size_t rebuild();
    // The log's rows, newest first, in place of the journal's until the next rebuild().
    void showLogged(std::vector<LoggedEvent> rows);
    [[nodiscard]] bool showsLogged() const { return m_showsLogged; }
    [[nodiscard]] const std::vector<LoggedEvent>& loggedRows() const { return m_logged; }

    // The journal slot shown in `row` (from 0), or -1 for the empty row of an empty journal.
    [[nodiscard]] int slotOfRow(int row) const;

    [[nodiscard]] int rowCount(const QModelIndex& parent = {}) const override;
    [[nodiscard]] int columnCount(const QModelIndex& parent = {}) const override;
    [[nodiscard]] QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    [[nodiscard]] QVariant headerData(int section, Qt::Orientation orientation,
                                      int role = Qt::DisplayRole) const override;

private:
    // Swaps in the new rows with `assign`, telling the view which rows came or went.
    template <typename Assign> void replaceRows(std::size_t rows, Assign assign);
    [[nodiscard]] QVariant loggedData(const LoggedEvent& e, int column) const;

    const Journal& m_journal;
    std::vector<std::uint16_t> m_slots; // newest first
    std::vector<LoggedEvent> m_logged;  // newest first
    bool m_showsLogged = false;
};
