// The rows of the Event List: the journal newest first, read from the journal's images when a cell
// is drawn. A rebuild only notes which slot each row shows; the texts are never copied.
#pragma once

#include <QAbstractTableModel>
#include <cstdint>
#include <vector>

class Journal;

class EventListModel : public QAbstractTableModel {
public:
    static constexpr int kColumns = 10;

    explicit EventListModel(const Journal& journal, QObject* parent = nullptr);

    // The rows anew: every slot that holds an event, starting with the one before `next_slot` and going
    // back round the ring. Returns the number of events shown.
    std::size_t rebuild();

    // The journal slot shown in `row` (from 0), or -1 for the empty row of an empty journal.
    [[nodiscard]] int slotOfRow(int row) const;

    [[nodiscard]] int rowCount(const QModelIndex& parent = {}) const override;
    [[nodiscard]] int columnCount(const QModelIndex& parent = {}) const override;
    [[nodiscard]] QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    [[nodiscard]] QVariant headerData(int section, Qt::Orientation orientation,
                                      int role = Qt::DisplayRole) const override;

private:
    const Journal& m_journal;
    std::vector<std::uint16_t> m_slots; // newest first
};
