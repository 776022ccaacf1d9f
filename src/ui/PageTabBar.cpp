// Self-drawn tabs: the style draws the tab shape, we write the caption ourselves.
#include "ui/PageTabBar.h"

#include <QStyleOptionTab>
#include <QStylePainter>
#include <algorithm>

namespace {
const QColor kNavy(0, 0, 128);
}

PageTabBar::PageTabBar(QWidget* parent) : QTabBar(parent)
{
    setDrawBase(true);
    setExpanding(false);
}

QSize PageTabBar::tabSizeHint(int index) const
{
    // Room for the bold caption of the active tab, whichever tab that is.
    QFont bold = font();
    bold.setBold(true);
    const QFontMetrics fm(bold);
    const QSize base = QTabBar::tabSizeHint(index);
    return QSize(std::max(base.width(), fm.horizontalAdvance(tabText(index)) + 16),
                 std::max(base.height(), fm.height() + 8));
}

void PageTabBar::PageControl_ReceiverDrawTab(QPainter& painter, int index, const QRect& rect,
                                             bool active) const
{
    QFont f = font();
    f.setBold(active);
    painter.setFont(f);
    painter.setPen(kNavy);
    const QFontMetrics fm(f);
    painter.drawText(rect.topLeft() + QPoint(5, 3 + fm.ascent()), tabText(index));
}

void PageTabBar::paintEvent(QPaintEvent*)
{
    QStylePainter painter(this);
    for (int i = 0; i < count(); ++i) {
        QStyleOptionTab option;
        initStyleOption(&option, i);
        option.text.clear(); // the caption is ours
        painter.drawControl(QStyle::CE_TabBarTabShape, option);
        PageControl_ReceiverDrawTab(painter, i, tabRect(i), i == currentIndex());
    }
}

PageControl::PageControl(QWidget* parent) : QTabWidget(parent)
{
    setTabBar(new PageTabBar(this));
}
