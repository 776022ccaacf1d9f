// The rows of the Object List: account slot j in row j, read from the account table's image when a
// cell is drawn. Missing accounts are red; their text turns yellow when selected.
#pragma once

#include <QAbstractTableModel>
#include <QPixmap>

class AccountTable;

class AccountListModel : public QAbstractTableModel {
public:
    static constexpr int kColumns = 11;
    static constexpr int kEventColumn = 4;
    static constexpr int kTimeoutColumn = 9;
    static constexpr int kDeleteColumn = 10;

    explicit AccountListModel(const AccountTable& accounts, QObject* parent = nullptr);

    // The rows anew: up to the last used slot (one blank row for an empty table).
    void rebuild();
    // The picture drawn in the delete column of used rows.
    void setDeleteIcon(const QPixmap& icon) { m_deleteIcon = icon; }

    [[nodiscard]] int rowCount(const QModelIndex& parent = {}) const override;
    [[nodiscard]] int columnCount(const QModelIndex& parent = {}) const override;
    [[nodiscard]] QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    [[nodiscard]] QVariant headerData(int section, Qt::Orientation orientation,
                                      int role = Qt::DisplayRole) const override;

private:
    const AccountTable& m_accounts;
    int m_rows = 1;
    QPixmap m_deleteIcon;
};
