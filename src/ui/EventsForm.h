// The "Event List" window: the journal newest first with each event's state towards the
// automation software, and "Clear Events".
#pragma once

#include <QMainWindow>

#include <functional>
#include <string>
#include <vector>

class Dialogs;
class EventListModel;
class GridView;
class Journal;
class QAction;
class QLabel;
class QStatusBar;
class QTimer;

class TForm_Events : public QMainWindow {
public:
    static constexpr int kWidth = 890;
    // Requests that come in a burst (a save pass after every few events) make one rebuild.
    static constexpr int kRefreshDelayMillis = 100;

    TForm_Events(Journal& journal, Dialogs& dialogs, QWidget* parent = nullptr);

    // Refresh_Log_GridExecute: rebuilds the rows now; nothing while the window is hidden.
    void Refresh_Log_GridExecute();
    // The journal changed: a rebuild within kRefreshDelayMillis; nothing while the window is hidden.
    void requestRefresh();
    void Clear1Click();

    // How "Clear Events" empties the view and makes the clearing last (the event log remembers it);
    // unset, the journal alone is cleared. Returns the failures to show.
    std::function<std::vector<std::string>()> clearEvents;

    [[nodiscard]] EventListModel* model() const { return m_model; }
    [[nodiscard]] bool refreshPending() const;

    GridView* StringGrid_Events = nullptr;
    QStatusBar* StatusBar1 = nullptr;
    QAction* Menu_Events_Export = nullptr;
    QAction* Clear1 = nullptr;

protected:
    void showEvent(QShowEvent* event) override;

private:
    Journal& m_journal;
    Dialogs& m_dialogs;
    EventListModel* m_model = nullptr;
    QLabel* m_count = nullptr;
    QTimer* m_refreshTimer = nullptr;
    bool m_placed = false;
};
