// Painting and cell selection of the owner-drawn grids.
#include "ui/GridView.h"

#include <QMouseEvent>
#include <QPainter>

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
    painter->drawText(option.rect.adjusted(2, 0, 0, 0), Qt::AlignCenter | Qt::TextSingleLine,
                      index.data(Qt::DisplayRole).toString());
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

void GridView::keyPressEvent(QKeyEvent* event)
{
    const QModelIndex before = currentIndex();
    QTableView::keyPressEvent(event);
    const QModelIndex after = currentIndex();
    if (after.isValid() && after != before)
        emit cellSelected(after.column(), after.row() + 1);
}
