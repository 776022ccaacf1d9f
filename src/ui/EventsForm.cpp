// Layout of the "Event List" window, its refresh, its filter row, the export and the clearing of
// the journal.
#include "ui/EventsForm.h"

#include "store/EventCsv.h"
#include "store/EventTexts.h"
#include "store/Journal.h"
#include "ui/Dialogs.h"
#include "ui/EventListModel.h"
#include "ui/FormHelpers.h"
#include "ui/GridView.h"

#include <QAction>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMenuBar>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QSaveFile>
#include <QScreen>
#include <QScrollBar>
#include <QStatusBar>
#include <QTimer>
#include <QVBoxLayout>
#include <array>

namespace {
// Columns 0 to 8; the status column takes the rest.
constexpr std::array<int, 9> kColumnWidths = {140, 60, 60, 130, 200, 60, 60, 130, 60};
constexpr int kStatusWidth = 100;

QString number(std::int64_t n)
{
    return QLocale(QLocale::English).toString(qlonglong(n));
}

// The filter row read as a filter, or what is wrong with it.
struct FilterRow {
    EventFilter filter;
    QString problem;
};

FilterRow readFilterRow(const QString& account, const QString& text, const QString& from, const QString& to)
{
    FilterRow row;
    row.filter.account = account.trimmed().toUpper().toLatin1().toStdString();
    // The log holds the single-byte text the grid shows.
    row.filter.text = text.trimmed().toLatin1().toStdString();
    const auto day = [&row](const QString& edit, const char* caption,
                            int laterDays) -> std::optional<std::int64_t> {
        const QString date = edit.trimmed();
        if (date.isEmpty())
            return std::nullopt;
        const auto start = EventLog::localDayStart(date.toStdString(), laterDays);
        if (!start && row.problem.isEmpty())
            row.problem =
                QStringLiteral("%1: a date as YYYY-MM-DD, such as 2026-12-07").arg(QLatin1String(caption));
        return start;
    };
    row.filter.fromUtc = day(from, "From", 0);
    row.filter.beforeUtc = day(to, "To", 1);
    if (row.problem.isEmpty() && row.filter.fromUtc && row.filter.beforeUtc &&
        *row.filter.fromUtc >= *row.filter.beforeUtc)
        row.problem = QStringLiteral("From is after To");
    return row;
}
} // namespace

TForm_Events::TForm_Events(Journal& journal, Dialogs& dialogs, QWidget* parent)
    : QMainWindow(parent, Qt::Window | Qt::WindowStaysOnTopHint | Qt::WindowTitleHint |
                              Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                              Qt::WindowCloseButtonHint),
      m_journal(journal), m_dialogs(dialogs)
{
    setObjectName(QStringLiteral("Form_Events"));
    setWindowTitle(QStringLiteral("Event List"));
    setMinimumHeight(200);

    Menu_Events_Export = new QAction(QStringLiteral("Export"), this);
    Menu_Events_Export->setObjectName(QStringLiteral("Menu_Events_Export"));
    Menu_Events_Export->setEnabled(false); // until there is a log to read
    Clear1 = new QAction(QStringLiteral("Clear Events"), this);
    Clear1->setObjectName(QStringLiteral("Clear1"));
    menuBar()->addAction(Menu_Events_Export);
    menuBar()->addAction(Clear1);
    connect(Menu_Events_Export, &QAction::triggered, this, [this] { ExportClick(); });
    connect(Clear1, &QAction::triggered, this, [this] { Clear1Click(); });

    m_typingTimer = new QTimer(this);
    m_typingTimer->setSingleShot(true);
    m_typingTimer->setInterval(kTypingPauseMillis);
    connect(m_typingTimer, &QTimer::timeout, this, [this] { applyFilter(); });

    m_model = new EventListModel(m_journal, this);
    StringGrid_Events = new GridView(this);
    StringGrid_Events->setObjectName(QStringLiteral("StringGrid_Events"));
    StringGrid_Events->setModel(m_model);
    StringGrid_Events->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    QHeaderView* header = StringGrid_Events->horizontalHeader();
    header->setMinimumSectionSize(1);
    for (std::size_t c = 0; c < kColumnWidths.size(); ++c) {
        header->setSectionResizeMode(int(c), QHeaderView::Fixed);
        header->resizeSection(int(c), kColumnWidths[c]);
    }
    header->setStretchLastSection(true);
    // The time, a common event with its description, and every caption, whole in the font in use.
    header->resizeSection(0, std::max(kColumnWidths[0], StringGrid_Events->fontMetrics().horizontalAdvance(
                                                            QStringLiteral("0000-00-00 00:00:00")) +
                                                            8));
    const int eventWidth =
        StringGrid_Events->fontMetrics().horizontalAdvance(QStringLiteral(" 1   602 Periodic test report")) +
        8;
    header->resizeSection(EventListModel::kEventColumn,
                          std::max(kColumnWidths[EventListModel::kEventColumn], eventWidth));
    static_cast<GridHeader*>(header)->widenToCaptions();
    int needed = 2 * StringGrid_Events->frameWidth() +
                 StringGrid_Events->verticalScrollBar()->sizeHint().width() +
                 std::max(kStatusWidth, static_cast<GridHeader*>(header)->fittingWidth(
                                            QString::fromLatin1(eventlist::kHeaders[kColumnWidths.size()])));
    for (std::size_t c = 0; c < kColumnWidths.size(); ++c)
        needed += header->sectionSize(int(c));
    setFixedWidth(std::max(kWidth, needed));
    resize(width(), 580);
    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(buildFilterRow());
    layout->addWidget(StringGrid_Events, 1);
    setCentralWidget(central);

    StatusBar1 = new QStatusBar(this);
    StatusBar1->setObjectName(QStringLiteral("StatusBar1"));
    StatusBar1->setSizeGripEnabled(false);
    m_count = new QLabel(StatusBar1);
    m_count->setObjectName(QStringLiteral("StatusBar1_Panel0"));
    m_count->setFixedWidth(200);
    auto* second = new QLabel(StatusBar1);
    second->setObjectName(QStringLiteral("StatusBar1_Panel1"));
    second->setFixedWidth(50);
    m_note = new QLabel(StatusBar1);
    m_note->setObjectName(QStringLiteral("StatusBar1_Note"));
    StatusBar1->addWidget(m_count);
    StatusBar1->addWidget(second);
    StatusBar1->addWidget(m_note, 1);
    setStatusBar(StatusBar1);

    m_refreshTimer = new QTimer(this);
    m_refreshTimer->setSingleShot(true);
    m_refreshTimer->setInterval(kRefreshDelayMillis);
    connect(m_refreshTimer, &QTimer::timeout, this, [this] { Refresh_Log_GridExecute(); });
}

QWidget* TForm_Events::buildFilterRow()
{
    auto* row = forms::named(new QWidget(this), "Panel_Filter");
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(6, 4, 6, 4);
    const auto edit = [&](QLineEdit*& into, const char* name, const char* caption, int width, int maxLength) {
        into = forms::named(new QLineEdit(row), name);
        into->setMaxLength(maxLength);
        into->setFixedWidth(width);
        into->setEnabled(false);
        auto* label = new QLabel(QLatin1String(caption), row);
        label->setObjectName(QLatin1String(name) + QStringLiteral("_Label"));
        label->setBuddy(into);
        layout->addWidget(label);
        layout->addWidget(into);
        connect(into, &QLineEdit::textEdited, m_typingTimer, [this] { m_typingTimer->start(); });
        connect(into, &QLineEdit::returnPressed, this, [this] { applyFilter(); });
    };
    edit(Edit_Filter_Account, "Edit_Filter_Account", "Account", 130, 16);
    edit(Edit_Filter_Text, "Edit_Filter_Text", "Text", 220, 64);
    edit(Edit_Filter_From, "Edit_Filter_From", "From", 90, 10);
    edit(Edit_Filter_To, "Edit_Filter_To", "To", 90, 10);
    for (QLineEdit* date : {Edit_Filter_From, Edit_Filter_To}) {
        date->setPlaceholderText(QStringLiteral("YYYY-MM-DD"));
        date->setValidator(
            new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9-]*")), date));
    }
    Edit_Filter_Account->setValidator(new QRegularExpressionValidator(
        QRegularExpression(QStringLiteral("[0-9A-Fa-f]*")), Edit_Filter_Account));
    Button_Filter_Clear =
        forms::named(new QPushButton(QStringLiteral("Show All"), row), "Button_Filter_Clear");
    Button_Filter_Clear->setEnabled(false);
    connect(Button_Filter_Clear, &QPushButton::clicked, this, [this] {
        for (QLineEdit* e : {Edit_Filter_Account, Edit_Filter_Text, Edit_Filter_From, Edit_Filter_To})
            e->clear();
        applyFilter();
    });
    layout->addWidget(Button_Filter_Clear);
    layout->addStretch(1);
    return row;
}

void TForm_Events::setEventLog(HistorySearch::Opener open)
{
    m_openLog = std::move(open);
    delete m_search;
    m_search = new HistorySearch(m_openLog, this);
    m_search->onFound = [this](const HistoryPage& page) { showFound(page); };
    for (QWidget* w : std::initializer_list<QWidget*>{Edit_Filter_Account, Edit_Filter_Text, Edit_Filter_From,
                                                      Edit_Filter_To, Button_Filter_Clear})
        w->setEnabled(true);
    Menu_Events_Export->setEnabled(true);
}

void TForm_Events::setNote(const QString& text)
{
    m_note->setText(text);
}

QString TForm_Events::noteText() const
{
    return m_note->text();
}

void TForm_Events::applyFilter()
{
    m_typingTimer->stop();
    if (m_search == nullptr)
        return;
    const FilterRow row = readFilterRow(Edit_Filter_Account->text(), Edit_Filter_Text->text(),
                                        Edit_Filter_From->text(), Edit_Filter_To->text());
    if (!row.problem.isEmpty()) {
        setNote(row.problem); // the list stays as it is until the row reads
        return;
    }
    m_filter = row.filter;
    m_filterActive = !m_filter.empty();
    if (!m_filterActive) {
        m_search->cancel();
        setNote(QString());
    }
    Refresh_Log_GridExecute();
}

void TForm_Events::showFound(const HistoryPage& page)
{
    if (!m_filterActive)
        return;
    m_model->showLogged(page.rows);
    m_count->setText(QStringLiteral("Events found: ") + QString::number(page.rows.size()));
    if (!page.failure.ok()) {
        setNote(QStringLiteral("The event log cannot be read: ") +
                QString::fromStdString(page.failure.text()));
        return;
    }
    QStringList notes;
    if (page.more)
        notes << QStringLiteral("The newest %1 shown.").arg(number(std::int64_t(HistorySearch::kShownRows)));
    if (page.textSearchCut)
        notes << QStringLiteral("Text searched in the newest %1 events of the filter; an account or dates "
                                "reach further back.")
                     .arg(number(page.textSearchRows));
    setNote(notes.join(QLatin1Char(' ')));
}

void TForm_Events::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    if (!m_placed) {
        m_placed = true;
        if (QScreen* screen = QGuiApplication::primaryScreen()) {
            QRect r = frameGeometry();
            r.moveCenter(screen->availableGeometry().center());
            move(r.topLeft());
        }
    }
    Refresh_Log_GridExecute();
}

void TForm_Events::Refresh_Log_GridExecute()
{
    m_refreshTimer->stop();
    if (!isVisible())
        return;
    if (m_filterActive) {
        m_search->request(m_filter);
        return;
    }
    const std::size_t shown = m_model->rebuild();
    m_count->setText(QStringLiteral("Events received: ") + QString::number(shown));
}

void TForm_Events::requestRefresh()
{
    if (isVisible() && !m_refreshTimer->isActive()) {
        // A search reads the log where a rebuild reads memory: less often.
        m_refreshTimer->setInterval(m_filterActive ? kSearchRefreshMillis : kRefreshDelayMillis);
        m_refreshTimer->start();
    }
}

bool TForm_Events::refreshPending() const
{
    return m_refreshTimer->isActive();
}

void TForm_Events::Clear1Click()
{
    const auto answer = m_dialogs.ask(this, QStringLiteral("Clear Events"),
                                      QStringLiteral("     Are you sure you want to delete all events?"),
                                      Dialogs::Buttons::OkCancel, Dialogs::Icon::Question);
    if (answer != Dialogs::Answer::Ok)
        return;
    std::vector<std::string> failures;
    if (clearEvents) {
        failures = clearEvents();
    } else {
        for (const Journal::ClearFailure& failure : m_journal.clear())
            failures.push_back(failure.text);
    }
    for (const std::string& failure : failures)
        (void)m_dialogs.ask(this, QStringLiteral("Error"), QString::fromStdString(failure), Dialogs::Buttons::Ok,
                            Dialogs::Icon::Exclamation);
    Refresh_Log_GridExecute();
}

void TForm_Events::ExportClick()
{
    if (!m_openLog)
        return;
    const QString name =
        m_dialogs.saveFileName(this, QStringLiteral("csv"), QStringLiteral("CSV files  (*.csv)"));
    if (name.isEmpty())
        return;
    const auto fail = [&](const QString& why) {
        m_dialogs.error(this, QStringLiteral("Error"),
                        QStringLiteral("Cannot export to %1: %2").arg(name, why));
    };
    // The journal's rows as the log holds them, with the columns the ring files lack.
    std::vector<LoggedEvent> ring;
    if (!m_model->showsLogged()) {
        const std::unique_ptr<EventLog> log = m_openLog();
        if (log == nullptr || !log->isOpen()) {
            fail(QString::fromStdString(log ? log->lastFailure().text() : std::string("no event log")));
            return;
        }
        ring = log->newest(journal::kSlots, log->viewClearedThrough());
        if (!log->lastFailure().ok()) {
            fail(QString::fromStdString(log->lastFailure().text()));
            return;
        }
    }
    const std::vector<LoggedEvent>& rows = m_model->showsLogged() ? m_model->loggedRows() : ring;
    std::string text = csv::headerRow();
    for (const LoggedEvent& e : rows)
        csv::appendRow(text, e);
    QSaveFile file(name);
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(text.data(), qint64(text.size())) != qint64(text.size()) || !file.commit()) {
        fail(file.errorString());
        return;
    }
    setNote(QStringLiteral("%1 events written to %2").arg(number(std::int64_t(rows.size())), name));
}
