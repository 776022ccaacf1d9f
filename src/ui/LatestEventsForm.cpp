// Layout of the "Object List" window, timeout editing in place and deleting an account.
#include "ui/LatestEventsForm.h"

#include "store/AccountTable.h"
#include "store/RecordText.h"
#include "ui/AccountListModel.h"
#include "ui/Dialogs.h"
#include "ui/GridView.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPainter>
#include <QRegularExpressionValidator>
#include <QScreen>
#include <QScrollBar>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <array>

namespace {

// Widths of every column; the address column (7) takes what is left, at least its own width.
constexpr std::array<int, AccountListModel::kColumns> kColumnWidths = {120, 120, 55, 55, 190, 50,
                                                                       50,  100, 50, 50, 25};
constexpr int kAddressColumn = 7;

// A small waste bin: lid, handle and a ribbed body.
QPixmap trashIcon()
{
    QPixmap pm(16, 16);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setPen(QColor(64, 64, 64));
    p.setBrush(QColor(176, 176, 176));
    p.drawRect(6, 1, 3, 1);
    p.drawRect(2, 3, 11, 1);
    p.drawRect(3, 5, 9, 9);
    p.drawLine(6, 7, 6, 12);
    p.drawLine(9, 7, 9, 12);
    return pm;
}

} // namespace

TForm_Latest_Events::TForm_Latest_Events(AccountTable& accounts, Dialogs& dialogs, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::WindowStaysOnTopHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint),
      Image_Trash(trashIcon()), m_accounts(accounts), m_dialogs(dialogs)
{
    setObjectName(QStringLiteral("Form_Latest_Events"));
    setWindowTitle(QStringLiteral("Object List"));
    setMinimumHeight(200);

    m_model = new AccountListModel(m_accounts, this);
    m_model->setDeleteIcon(Image_Trash);
    StringGrid_Latest_Events = new GridView(this);
    StringGrid_Latest_Events->setObjectName(QStringLiteral("StringGrid_Latest_Events"));
    StringGrid_Latest_Events->setModel(m_model);
    StringGrid_Latest_Events->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    QHeaderView* header = StringGrid_Latest_Events->horizontalHeader();
    header->setMinimumSectionSize(1);
    for (int c = 0; c < AccountListModel::kColumns; ++c) {
        header->setSectionResizeMode(c, c == kAddressColumn ? QHeaderView::Stretch : QHeaderView::Fixed);
        if (c != kAddressColumn)
            header->resizeSection(c, kColumnWidths[std::size_t(c)]);
    }
    // The time and date, and a common event with its description, must not be cut off in a font
    // wider than the one the widths were made for; nor may any caption.
    const QFontMetrics metrics = StringGrid_Latest_Events->fontMetrics();
    header->resizeSection(
        0, std::max(kColumnWidths[0], metrics.horizontalAdvance(QStringLiteral("0000-00-00 00:00:00")) + 8));
    header->resizeSection(
        AccountListModel::kEventColumn,
        std::max(kColumnWidths[AccountListModel::kEventColumn],
                 metrics.horizontalAdvance(QStringLiteral(" 1   602 Periodic test report")) + 8));
    static_cast<GridHeader*>(header)->widenToCaptions();
    StringGrid_Latest_Events->setKeyboardSkipsColumn(AccountListModel::kDeleteColumn);
    int width = 2 * StringGrid_Latest_Events->frameWidth() +
                StringGrid_Latest_Events->verticalScrollBar()->sizeHint().width() +
                kColumnWidths[kAddressColumn];
    for (int c = 0; c < AccountListModel::kColumns; ++c)
        width += c == kAddressColumn ? 0 : header->sectionSize(c);
    resize(std::max(819, width), 415);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(StringGrid_Latest_Events);

    // Over the selected row's timeout cell, inside the grid so it scrolls with it.
    Edit_Tmr = new QLineEdit(QStringLiteral("0"), StringGrid_Latest_Events->viewport());
    Edit_Tmr->setObjectName(QStringLiteral("Edit_Tmr"));
    Edit_Tmr->setMaxLength(3);
    Edit_Tmr->setAlignment(Qt::AlignCenter);
    // Pasted text cannot bring in what a key may not.
    Edit_Tmr->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,3}")), Edit_Tmr));
    Edit_Tmr->hide();
    Edit_Tmr->installEventFilter(this);
    connect(Edit_Tmr, &QLineEdit::textEdited, this, [this] { Edit_TmrChange(); });

    connect(StringGrid_Latest_Events, &GridView::cellSelected, this,
            [this](int column, int row) { StringGrid_Latest_EventsSelectCell(column, row); });
    connect(StringGrid_Latest_Events->verticalScrollBar(), &QScrollBar::valueChanged, this,
            [this] { placeTimeoutEdit(); });
    connect(header, &QHeaderView::sectionResized, this, [this] { placeTimeoutEdit(); });

    m_refreshTimer = new QTimer(this);
    m_refreshTimer->setSingleShot(true);
    m_refreshTimer->setInterval(kRefreshDelayMillis);
    connect(m_refreshTimer, &QTimer::timeout, this, [this] { Refresh_ID_List_GridExecute(); });
}

void TForm_Latest_Events::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (!m_placed) {
        m_placed = true;
        if (QScreen* screen = QGuiApplication::primaryScreen()) {
            QRect r = frameGeometry();
            r.moveCenter(screen->availableGeometry().center());
            move(r.topLeft());
        }
    }
    Edit_Tmr->hide();
    Refresh_ID_List_GridExecute();
}

void TForm_Latest_Events::Refresh_ID_List_GridExecute()
{
    m_refreshTimer->stop();
    if (!isVisible())
        return;
    m_model->rebuild();
    placeTimeoutEdit();
}

void TForm_Latest_Events::requestRefresh()
{
    if (isVisible() && !m_refreshTimer->isActive())
        m_refreshTimer->start();
}

bool TForm_Latest_Events::refreshPending() const
{
    return m_refreshTimer->isActive();
}

void TForm_Latest_Events::placeTimeoutEdit()
{
    if (!Edit_Tmr->isVisible() || m_editedRow < 1)
        return;
    const QRect cell = StringGrid_Latest_Events->visualRect(
        m_model->index(m_editedRow - 1, AccountListModel::kTimeoutColumn));
    Edit_Tmr->setGeometry(cell);
}

void TForm_Latest_Events::StringGrid_Latest_EventsSelectCell(int column, int row)
{
    m_editedRow = row;
    if (row < 1 || row > int(accounts::kSlots)) {
        Edit_Tmr->hide();
        return;
    }
    const std::size_t slot = std::size_t(row - 1);
    const AccountRecord record = m_accounts.record(slot);
    const bool used = record.account[0] != '\0';
    // A free slot has no timeout to set: writing one would only put a stray record into the file.
    if (column == AccountListModel::kTimeoutColumn && used) {
        Edit_Tmr->setText(QString::number(record.ping_minutes));
        Edit_Tmr->show();
        placeTimeoutEdit();
        Edit_Tmr->setFocus();
        Edit_Tmr->selectAll();
    } else {
        Edit_Tmr->hide();
    }
    if (column != AccountListModel::kDeleteColumn || !used)
        return;
    const std::string account(fieldText(record.account));
    const QString caption =
        parentWidget() ? parentWidget()->window()->windowTitle() : QStringLiteral("Ardentel");
    const auto answer = m_dialogs.ask(this, caption,
                                      QStringLiteral("Delete object  ") + QString::fromStdString(account) +
                                          QStringLiteral(" ?"),
                                      Dialogs::Buttons::YesNo, Dialogs::Icon::Question,
                                      Dialogs::Answer::No); // Enter must never delete
    if (answer != Dialogs::Answer::Yes)
        return;
    // Only what the operator confirmed: the slot must still hold that account.
    if (fieldText(m_accounts.record(slot).account) != account)
        return;
    m_accounts.deleteAccount(slot);
    Refresh_ID_List_GridExecute();
}

bool TForm_Latest_Events::Edit_TmrKeyPress(char key)
{
    if ((key >= '0' && key <= '9') || key == '\b')
        return true;
    m_dialogs.beep();
    return false;
}

bool TForm_Latest_Events::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == Edit_Tmr && event->type() == QEvent::KeyPress) {
        const QString text = static_cast<QKeyEvent*>(event)->text();
        // Keys without a character (arrows, Delete) move and edit as usual.
        if (text.size() == 1 && (text[0].unicode() >= 0x20 || text[0] == QLatin1Char('\r')) &&
            text[0].unicode() != 0x7F && !Edit_TmrKeyPress(char(text[0].toLatin1())))
            return true;
    }
    return QWidget::eventFilter(watched, event);
}

void TForm_Latest_Events::Edit_TmrChange()
{
    const QString text = Edit_Tmr->text();
    if (text.isEmpty() || m_editedRow < 1 || m_editedRow > int(accounts::kSlots))
        return;
    bool ok = false;
    const int minutes = text.toInt(&ok);
    if (!ok)
        return;
    // Written on every change of the text; the timeout and countdown change only with the value.
    m_accounts.setPingMinutes(std::size_t(m_editedRow - 1), minutes);
}
