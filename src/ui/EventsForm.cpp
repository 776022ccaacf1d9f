// Layout of the "Event List" window, its refresh and the clearing of the journal.
#include "ui/EventsForm.h"

#include "store/Journal.h"
#include "ui/Dialogs.h"
#include "ui/EventListModel.h"
#include "ui/GridView.h"

#include <QAction>
#include <QGuiApplication>
#include <QLabel>
#include <QMenuBar>
#include <QScreen>
#include <QStatusBar>
#include <QTimer>
#include <array>

namespace {
// Columns 0 to 8; the status column takes the rest.
constexpr std::array<int, 9> kColumnWidths = {140, 60, 60, 130, 60, 60, 60, 130, 60};
} // namespace

TForm_Events::TForm_Events(Journal& journal, Dialogs& dialogs, QWidget* parent)
    : QMainWindow(parent, Qt::Window | Qt::WindowStaysOnTopHint | Qt::WindowTitleHint |
                              Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                              Qt::WindowCloseButtonHint),
      m_journal(journal), m_dialogs(dialogs)
{
    setObjectName(QStringLiteral("Form_Events"));
    setWindowTitle(QStringLiteral("Event List"));
    setFixedWidth(kWidth);
    setMinimumHeight(200);
    resize(kWidth, 580);

    Menu_Events_Export = new QAction(QStringLiteral("Export"), this);
    Menu_Events_Export->setObjectName(QStringLiteral("Menu_Events_Export"));
    Menu_Events_Export->setEnabled(false);
    Clear1 = new QAction(QStringLiteral("Clear Events"), this);
    Clear1->setObjectName(QStringLiteral("Clear1"));
    menuBar()->addAction(Menu_Events_Export);
    menuBar()->addAction(Clear1);
    connect(Clear1, &QAction::triggered, this, [this] { Clear1Click(); });

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
    setCentralWidget(StringGrid_Events);

    StatusBar1 = new QStatusBar(this);
    StatusBar1->setObjectName(QStringLiteral("StatusBar1"));
    StatusBar1->setSizeGripEnabled(false);
    m_count = new QLabel(StatusBar1);
    m_count->setObjectName(QStringLiteral("StatusBar1_Panel0"));
    m_count->setFixedWidth(200);
    auto* second = new QLabel(StatusBar1);
    second->setObjectName(QStringLiteral("StatusBar1_Panel1"));
    second->setFixedWidth(50);
    StatusBar1->addWidget(m_count);
    StatusBar1->addWidget(second);
    setStatusBar(StatusBar1);

    m_refreshTimer = new QTimer(this);
    m_refreshTimer->setSingleShot(true);
    m_refreshTimer->setInterval(kRefreshDelayMillis);
    connect(m_refreshTimer, &QTimer::timeout, this, [this] { Refresh_Log_GridExecute(); });
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
    const std::size_t shown = m_model->rebuild();
    m_count->setText(QStringLiteral("Events received: ") + QString::number(shown));
}

void TForm_Events::requestRefresh()
{
    if (isVisible() && !m_refreshTimer->isActive())
        m_refreshTimer->start();
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
