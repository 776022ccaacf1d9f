// The "Event List" window: the journal newest first with each event's state towards the
// automation software, and "Clear Events"; with a filter set, the event log's matching events; and
// "Export" of the rows shown as CSV.
#pragma once

#include "ui/HistorySearch.h"

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
class QLineEdit;
class QPushButton;
class QStatusBar;
class QTimer;

class TForm_Events : public QMainWindow {
public:
    // The least width; wider when the columns need more in the font in use.
    static constexpr int kWidth = 1030;
    // Requests that come in a burst (a save pass after every few events) make one rebuild.
    static constexpr int kRefreshDelayMillis = 100;
    // A filtered list searches the log again at most this often while events come in.
    static constexpr int kSearchRefreshMillis = 1000;
    // Typing in the filter row searches once the operator pauses this long (Enter searches at once).
    static constexpr int kTypingPauseMillis = 400;

    TForm_Events(Journal& journal, Dialogs& dialogs, QWidget* parent = nullptr);

    // The event log behind the filter row and "Export"; until it is given, both are disabled.
    void setEventLog(HistorySearch::Opener open);

    // Refresh_Log_GridExecute: rebuilds the rows now (with a filter set, searches the log again);
    // nothing while the window is hidden.
    void Refresh_Log_GridExecute();
    // The journal changed: a rebuild within kRefreshDelayMillis; nothing while the window is hidden.
    void requestRefresh();
    void Clear1Click();
    // Reads the filter row: with every field empty the journal again, else a search of the log.
    void applyFilter();
    // Writes the rows shown to a CSV file the operator chooses.
    void ExportClick();

    // How "Clear Events" empties the view and makes the clearing last (the event log remembers it);
    // unset, the journal alone is cleared. Returns the failures to show.
    std::function<std::vector<std::string>()> clearEvents;

    [[nodiscard]] EventListModel* model() const { return m_model; }
    [[nodiscard]] bool refreshPending() const;
    // A search of the log whose rows have not arrived yet.
    [[nodiscard]] bool searching() const { return m_search != nullptr && m_search->busy(); }
    [[nodiscard]] bool filterActive() const { return m_filterActive; }
    [[nodiscard]] QString noteText() const;

    GridView* StringGrid_Events = nullptr;
    QStatusBar* StatusBar1 = nullptr;
    QAction* Menu_Events_Export = nullptr;
    QAction* Clear1 = nullptr;
    QLineEdit* Edit_Filter_Account = nullptr;
    QLineEdit* Edit_Filter_Text = nullptr;
    QLineEdit* Edit_Filter_From = nullptr;
    QLineEdit* Edit_Filter_To = nullptr;
    QPushButton* Button_Filter_Clear = nullptr;

protected:
    void showEvent(QShowEvent* event) override;

private:
    QWidget* buildFilterRow();
    void showFound(const HistoryPage& page);
    void setNote(const QString& text);

    Journal& m_journal;
    Dialogs& m_dialogs;
    EventListModel* m_model = nullptr;
    QLabel* m_count = nullptr;
    QLabel* m_note = nullptr;
    QTimer* m_refreshTimer = nullptr;
    QTimer* m_typingTimer = nullptr;
    HistorySearch::Opener m_openLog;
    HistorySearch* m_search = nullptr;
    EventFilter m_filter;
    bool m_filterActive = false;
    bool m_placed = false;
};
