// The page control of the main window: a tab bar that draws its own navy captions.
#pragma once

#include <QTabBar>
#include <QTabWidget>

class PageTabBar : public QTabBar {
public:
    explicit PageTabBar(QWidget* parent = nullptr);

    // Navy caption, bold on the active tab, 5 px right of and 3 px below the tab's top-left corner.
    void PageControl_ReceiverDrawTab(QPainter& painter, int index, const QRect& rect, bool active) const;

protected:
    void paintEvent(QPaintEvent* event) override;
    QSize tabSizeHint(int index) const override;
};

class PageControl : public QTabWidget {
public:
    explicit PageControl(QWidget* parent = nullptr);
};
