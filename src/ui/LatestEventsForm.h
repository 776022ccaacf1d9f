// The "Object List" window: one row per account with its last event, signal quality and
// supervision timeout; the timeout is edited in place and an account can be deleted.
#pragma once

#include <QPixmap>
#include <QWidget>

class AccountListModel;
class AccountTable;
class Dialogs;
class GridView;
class QLineEdit;
class QTimer;

class TForm_Latest_Events : public QWidget {
public:
    // Account writes come many times a second under load; they make one rebuild per this time.
    static constexpr int kRefreshDelayMillis = 100;

    TForm_Latest_Events(AccountTable& accounts, Dialogs& dialogs, QWidget* parent = nullptr);

    // Refresh_ID_List_GridExecute: rebuilds the rows now; nothing while the window is hidden.
    void Refresh_ID_List_GridExecute();
    // The account table changed: a rebuild within kRefreshDelayMillis; nothing while hidden.
    void requestRefresh();
    // `column` and `row` as clicked; row 0 is the header.
    void StringGrid_Latest_EventsSelectCell(int column, int row);
    // False (with a beep) for a key the timeout box does not take.
    bool Edit_TmrKeyPress(char key);
    void Edit_TmrChange();

    [[nodiscard]] AccountListModel* model() const { return m_model; }
    [[nodiscard]] bool refreshPending() const;
    [[nodiscard]] int editedRow() const { return m_editedRow; }

    GridView* StringGrid_Latest_Events = nullptr;
    QLineEdit* Edit_Tmr = nullptr;
    QPixmap Image_Trash;

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void placeTimeoutEdit();

    AccountTable& m_accounts;
    Dialogs& m_dialogs;
    AccountListModel* m_model = nullptr;
    QTimer* m_refreshTimer = nullptr;
    int m_editedRow = 0;
    bool m_placed = false;
};
