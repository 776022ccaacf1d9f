// Painting and cell selection of the owner-drawn grids.
#include "ui/GridView.h"

#include <QMouseEvent>
#include <QPainter>
#include <algorithm>

GridHeader::GridHeader(QWidget* parent) : QHeaderView(Qt::Horizontal, parent)
{
    setSectionsClickable(false);
    setHighlightSections(false);
    setDefaultAlignment(Qt::AlignCenter);
}

QSize GridHeader::sizeHint() const
{
    QSize hint = QHeaderView::sizeHint();
    hint.setHeight(grid::kHeaderHeight);
    return hint;
}

int GridHeader::fittingWidth(const QString& caption) const
{
    // The caption is drawn 2 pixels right of the section's left edge, inside a 1-pixel frame.
    constexpr int kPadding = 6;
    const QFontMetrics metrics = fontMetrics();
    const int lines = std::max(1, grid::kHeaderHeight / std::max(1, metrics.lineSpacing()));
    int width = 0;
    for (const QString& word : caption.split(QLatin1Char(' '), Qt::SkipEmptyParts))
        width = std::max(width, metrics.horizontalAdvance(word));
    const int limit = std::max(width, metrics.horizontalAdvance(caption));
    while (width < limit &&
           metrics.boundingRect(QRect(0, 0, width, 1 << 16), Qt::AlignCenter | Qt::TextWordWrap, caption)
                   .height() > lines * metrics.lineSpacing())
        ++width;
    return width + kPadding;
}

void GridHeader::widenToCaptions()
{
    if (!model())
        return;
    for (int section = 0; section < count(); ++section) {
        if (sectionResizeMode(section) != QHeaderView::Fixed)
            continue;
        const int needed = fittingWidth(model()->headerData(section, orientation()).toString());
        if (sectionSize(section) < needed)
            resizeSection(section, needed);
    }
}

void GridHeader::paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const
{
    if (!rect.isValid())
        return;
    const QPalette& pal = palette();
    painter->save();
    painter->fillRect(rect, pal.color(QPalette::Button));
    // A raised frame one pixel wide: light top and left, shadow bottom and right.
    painter->setPen(pal.color(QPalette::Light));
    painter->drawLine(rect.topLeft(), rect.topRight());
    painter->drawLine(rect.topLeft(), rect.bottomLeft());
    painter->setPen(pal.color(QPalette::Dark));
    painter->drawLine(rect.bottomLeft(), rect.bottomRight());
    painter->drawLine(rect.topRight(), rect.bottomRight());
    painter->setPen(pal.color(QPalette::ButtonText));
    const QString caption = model() ? model()->headerData(logicalIndex, orientation()).toString() : QString();
    painter->drawText(rect.adjusted(2, 0, 0, 0), Qt::AlignCenter | Qt::TextWordWrap, caption);
    painter->restore();
}

GridCellDelegate::Colours GridCellDelegate::coloursOf(const QModelIndex& index, bool selected,
                                                      const QPalette& palette)
{
    const QVariant background = index.data(selected ? grid::kSelectedBackgroundRole : Qt::BackgroundRole);
    const QVariant text = index.data(selected ? grid::kSelectedForegroundRole : Qt::ForegroundRole);
    Colours c;
    c.background = background.isValid() ? background.value<QColor>()
                                        : palette.color(selected ? QPalette::Highlight : QPalette::Base);
    c.text = text.isValid() ? text.value<QColor>()
                            : palette.color(selected ? QPalette::HighlightedText : QPalette::Text);
    return c;
}

void GridCellDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                             const QModelIndex& index) const
{
    const bool selected = option.state.testFlag(QStyle::State_Selected);
    const Colours colours = coloursOf(index, selected, option.palette);
    painter->save();
    painter->fillRect(option.rect, colours.background);
    const QVariant picture = index.data(Qt::DecorationRole);
    if (picture.canConvert<QPixmap>()) {
        const QPixmap pm = picture.value<QPixmap>();
        painter->drawPixmap(option.rect.left() + 4, option.rect.top(), pm);
    }
    painter->setPen(colours.text);
    painter->setFont(option.font);
    const QRect box = option.rect.adjusted(2, 0, 0, 0);
    const QString text = option.fontMetrics.elidedText(index.data(Qt::DisplayRole).toString(), Qt::ElideRight,
                                                       box.width() - 2);
    painter->drawText(box, Qt::AlignCenter | Qt::TextSingleLine, text);
    painter->restore();
}

GridView::GridView(QWidget* parent) : QTableView(parent)
{
    setHorizontalHeader(new GridHeader(this));
    verticalHeader()->hide();
    verticalHeader()->setMinimumSectionSize(1);
    verticalHeader()->setDefaultSectionSize(grid::kDefaultRowHeight);
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    setItemDelegate(new GridCellDelegate(this));
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setShowGrid(true);
    setWordWrap(false);
    setCornerButtonEnabled(false);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
}

void GridView::mousePressEvent(QMouseEvent* event)
{
    QTableView::mousePressEvent(event);
    const QModelIndex index = indexAt(event->position().toPoint());
    if (index.isValid() && event->button() == Qt::LeftButton)
        emit cellSelected(index.column(), index.row() + 1);
}

QModelIndex GridView::moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers)
{
    QModelIndex to = QTableView::moveCursor(action, modifiers);
    if (!to.isValid() || to.column() != m_skippedColumn)
        return to;
    // Moving on past the column (Tab at the end of a row) or back into the row: whichever neighbour
    // lies in the direction of the move, else the one on the other side.
    const bool forward = action == MoveRight || action == MoveEnd || action == MoveNext;
    const int columns = model()->columnCount(rootIndex());
    for (const int step : {forward ? 1 : -1, forward ? -1 : 1}) {
        const int column = m_skippedColumn + step;
        if (action == MoveNext && step > 0 && column >= columns) {
            const QModelIndex next = model()->index(to.row() + 1, 0, rootIndex());
            if (next.isValid())
                return next;
            continue;
        }
        if (column >= 0 && column < columns)
            return model()->index(to.row(), column, rootIndex());
    }
    return currentIndex();
}

void GridView::keyPressEvent(QKeyEvent* event)
{
    const QModelIndex before = currentIndex();
    QTableView::keyPressEvent(event);
    const QModelIndex after = currentIndex();
    if (after.isValid() && after != before)
        emit cellSelected(after.column(), after.row() + 1);
}
