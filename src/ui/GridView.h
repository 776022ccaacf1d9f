// The owner-drawn grid of the Event List and the Object List: a table view over a model, with a
// header drawn as raised 3-D cells and data cells drawn centred on one line in the colours the
// model asks for.
#pragma once

#include <QHeaderView>
#include <QStyledItemDelegate>
#include <QTableView>

namespace grid {
// Roles a model may answer for the colours of a selected cell; without them the system's
// highlight colours are used. Qt::BackgroundRole and Qt::ForegroundRole give the unselected ones.
inline constexpr int kSelectedBackgroundRole = Qt::UserRole + 1;
inline constexpr int kSelectedForegroundRole = Qt::UserRole + 2;
inline constexpr int kDefaultRowHeight = 18;
inline constexpr int kHeaderHeight = 2 * kDefaultRowHeight;
} // namespace grid

// Header cells: button face, a 1-pixel raised frame, the caption centred and word-wrapped.
class GridHeader : public QHeaderView {
public:
    explicit GridHeader(QWidget* parent = nullptr);
    [[nodiscard]] QSize sizeHint() const override;
    // The narrowest section that shows `caption` whole, word-wrapped within the header's height.
    [[nodiscard]] int fittingWidth(const QString& caption) const;
    // Widens each fixed section that is narrower than its caption needs in the font in use.
    void widenToCaptions();

protected:
    void paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const override;
};

// Data cells: filled with the background, the model's picture (Qt::DecorationRole) at the left edge
// + 4, and the text centred on one line, its box moved 2 pixels right; a text too long for its cell
// ends in "…" rather than running into the next one.
class GridCellDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;

    // The colours a cell is painted in.
    struct Colours {
        QColor background;
        QColor text;
    };
    [[nodiscard]] static Colours coloursOf(const QModelIndex& index, bool selected, const QPalette& palette);
};

class GridView : public QTableView {
    Q_OBJECT
public:
    explicit GridView(QWidget* parent = nullptr);

    // A column the keyboard never moves into (one whose cell acts when it is chosen); a click still
    // chooses it.
    void setKeyboardSkipsColumn(int column) { m_skippedColumn = column; }

signals:
    // A cell was chosen, by a click (the clicked column, even when the row was selected already) or
    // by the keyboard. `row` counts from 1, the header being row 0.
    void cellSelected(int column, int row);

protected:
    // Only the operator's clicks and keys choose a cell: a current cell moved by a change of the
    // rows (a deletion, say) must never count as a click on whatever cell lands there.
    void mousePressEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    QModelIndex moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) override;

private:
    int m_skippedColumn = -1;
};
