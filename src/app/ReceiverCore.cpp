// The receiver without its windows: ownership of every long-lived object, the start-up file
// order, what the background threads hand to the main thread, and the orderly close.
#include "app/ReceiverCore.h"

#include "app/TrafficLines.h"

#include "dc09/Dc09Receiver.h"
#include "output/AtRecThread.h"
#include "output/MainThreadCall.h"
#include "output/MonitoringThread.h"
#include "output/OutputLink.h"
#include "output/OutputShared.h"
#include "serial/TCommPort.h"
#include "store/AccountTable.h"
#include "store/Journal.h"

#include <QMetaObject>
#include <atomic>

struct ReceiverCore::ThreadLink {
    QObject context;              // on the main thread: where the threads' work is run
    ReceiverCore* core = nullptr; // main thread only; null once the core is gone
    std::atomic<Monitoring_Thread*> thread{nullptr};
    std::atomic<bool> trace{false};
    // A journal refresh is on its way to the main thread; later passes add nothing to it.
    std::atomic<bool> journalRefreshPending{false};
    // The service's traffic lines; set before the first event can be stored, then never changed.
    std::unique_ptr<TrafficLines> trafficOwner;
    std::atomic<TrafficLines*> traffic{nullptr};
};

ReceiverCore::ReceiverCore(DataPaths paths, const Clock& clock, QObject* parent)
    : QObject(parent), m_paths(std::move(paths)), m_clock(clock), m_log(m_paths.dir, m_clock, &m_config)
{
    m_log.onLine = [this](const std::string& line, LogColour colour) {
        emit logLine(QString::fromLocal8Bit(line.data(), qsizetype(line.size())), colour);
    };
    m_threadLink = std::make_shared<ThreadLink>();
    m_threadLink->core = this;
    const std::shared_ptr<ThreadLink> link = m_threadLink;

    // Lines and beeps from the background threads go through the link, never through `this`: a
    // thread that outlives the core must find no core rather than a freed one.
    const auto threadLog = [link] {
        return mainThreadLogSink(
            &link->context,
            [link](std::string_view text, LogColour colour) {
                if (link->core)
                    link->core->Write_System_Log(text, colour);
            },
            [link] {
                if (link->core)
                    emit link->core->beepRequested();
            });
    };
    // A termination request cuts the forwarding thread's pause after a file error short.
    auto pause = [link](int seconds) {
        if (Monitoring_Thread* thread = link->thread.load())
            thread->pause(seconds);
    };
    m_journal = std::make_unique<Journal>(Journal::Paths{m_paths.journal, m_paths.extended}, threadLog(),
                                          std::move(pause));
    m_journal->onStored = [link](std::span<const JournalRecord> records) {
        if (TrafficLines* traffic = link->traffic.load())
            traffic->stored(records);
    };
    m_accounts = std::make_unique<AccountTable>(m_paths.accounts);
    m_accounts->onChanged = [this] { emit accountsChanged(); };
    m_receiver = std::make_unique<Dc09Receiver>(m_config, *m_accounts, *m_journal, m_clock, threadSafeLog());

    // The output side. Its main-thread log also goes through the link: a serial send made on the
    // forwarding thread's behalf may come after the core has gone.
    m_outputShared = std::make_unique<OutputShared>();
    m_commPort = std::make_unique<TCommPort>(m_paths.dir);
    const LogSink mainLog = [link](std::string_view text, LogColour colour) {
        if (link->core)
            link->core->Write_System_Log(text, colour);
    };
    m_outputLink = std::make_unique<OutputLink>(m_config, *m_outputShared, *m_commPort, mainLog);

    MonitoringHooks hooks;
    hooks.log = threadLog();
    hooks.playNotify = [link] {
        runOnThreadOf(&link->context, [link] {
            if (link->core)
                emit link->core->notifyRequested();
        });
    };
    hooks.trace = [link](const std::string& line) {
        if (!link->trace.load())
            return; // no hand-over at all while nobody looks
        runOnThreadOf(&link->context, [link, &line] {
            if (link->core && link->trace.load())
                emit link->core->traceLine(QString::fromLatin1(line.data(), qsizetype(line.size())));
        });
    };
    // The thread does not wait for the window: the refresh is queued, and passes that come while one
    // is queued add nothing to it. The window reads the journal itself when it runs.
    hooks.refreshEvents = [link] {
        if (link->journalRefreshPending.exchange(true))
            return;
        QMetaObject::invokeMethod(
            &link->context,
            [link] {
                link->journalRefreshPending.store(false);
                if (link->core)
                    emit link->core->journalChanged();
            },
            Qt::QueuedConnection);
    };
    hooks.reported = [link](const std::string& line) {
        if (TrafficLines* traffic = link->traffic.load())
            traffic->reported(line);
    };
    const OutputLink* settingsSource = m_outputLink.get();
    m_monitoring = std::make_unique<Monitoring_Thread>(
        *m_journal, *m_accounts, *m_outputShared, *m_outputLink, m_clock,
        [settingsSource] { return settingsSource->forwardingSettings(); }, std::move(hooks));
    m_threadLink->thread = m_monitoring.get();
    m_atRec = std::make_unique<AT_Rec_Thread>(*m_commPort, *m_outputShared, &link->context, mainLog, [link] {
        if (link->core)
            emit link->core->beepRequested();
    });
    wireReceiver();
    wireOutputLink();
}

ReceiverCore::~ReceiverCore()
{
    m_threadLink->core = nullptr;
    m_accounts->onChanged = nullptr;
    // A thread that outlived its close time still uses the stores, the port and the link: keep
    // them all (and, through the journal and the hooks, the thread link) rather than pull memory
    // from under it. The process is ending anyway.
    if (m_monitoring->isRunning() || m_atRec->isRunning()) {
        (void)m_monitoring.release();
        (void)m_atRec.release();
        (void)m_outputLink.release();
        (void)m_commPort.release();
        (void)m_outputShared.release();
        (void)m_accounts.release();
        (void)m_journal.release();
        return;
    }
    // The threads go first: everything below is theirs to use until they have ended.
    m_monitoring.reset();
    m_atRec.reset();
    m_outputLink.reset();
}

void ReceiverCore::wireReceiver()
{
    Dc09Receiver& r = *m_receiver;
    connect(&r, &Dc09Receiver::statusText, this, &ReceiverCore::receiverStatus);
    connect(&r, &Dc09Receiver::beepRequested, this, &ReceiverCore::beepRequested);
    connect(&r, &Dc09Receiver::traceLine, this, &ReceiverCore::traceLine);
}

void ReceiverCore::wireOutputLink()
{
    OutputLink& o = *m_outputLink;
    connect(&o, &OutputLink::statusText, this, &ReceiverCore::outputStatus);
    connect(&o, &OutputLink::beepRequested, this, &ReceiverCore::beepRequested);
    connect(&o, &OutputLink::notifyRequested, this, &ReceiverCore::notifyRequested);
    connect(&o, &OutputLink::traceLine, this, &ReceiverCore::traceLine);
    // The link has given up on the port: it stays closed until the operator opens it again, and
    // the change shows as unsaved.
    connect(&o, &OutputLink::serialOpenFailed, this, [this](const QString& text) {
        m_config.Mon_Port_Open = 0;
        emit outputSettingsChanged();
        emit messageRequested(text);
    });
    const std::shared_ptr<ThreadLink> link = m_threadLink;
    o.wallNow = [link] { return link->core ? link->core->m_clock.wallNow() : WallTime{}; };
    Monitoring_Thread* forwarding = m_monitoring.get();
    o.monitoringThread = WatchedThread{[forwarding] { return forwarding->isRunning(); },
                                       [forwarding] { forwarding->requestTerminate(); },
                                       [forwarding] { forwarding->start(); }};
    AT_Rec_Thread* serial = m_atRec.get();
    o.serialThread = WatchedThread{[serial] { return serial->isRunning(); },
                                   [serial] { serial->requestTerminate(); }, [serial] { serial->start(); }};
}

void ReceiverCore::printTrafficLines(std::FILE* out)
{
    if (m_created || m_threadLink->trafficOwner)
        return; // the commit and forwarding threads may already look at it
    m_threadLink->trafficOwner = std::make_unique<TrafficLines>(&m_threadLink->context, out);
    m_threadLink->traffic.store(m_threadLink->trafficOwner.get());
}

void ReceiverCore::FormCreate()
{
    if (m_created)
        return;
    m_created = true;
    // The single-instance test and the file paths are settled by the caller. The account load
    // also turns minutes into seconds.
    m_journal->loadJournalFile();
    (void)loadConfig(m_paths.config, m_config); // a missing or unreadable file leaves defaults or zeros
    m_journal->loadExtendedFile();
    m_accounts->load();
    m_outputLink->publishSettings();
    m_receiver->start();
    // Its first tick, two seconds from now, starts the forwarding thread (which also writes the
    // journal files) and the serial receive thread.
    m_outputLink->start();
}

void ReceiverCore::FormClose(const std::function<void()>& offerSave)
{
    if (m_closed)
        return;
    m_closed = true;
    m_receiver->stopTimer();
    m_outputLink->stopTimer();
    m_receiver->deactivate();
    if (offerSave && settingsChanged())
        offerSave();
    // The link stays up while the forwarding thread ends, so the answer to its line in flight
    // still arrives; the serial receive thread keeps polling for it until then.
    stopForwardingThread();
    m_outputLink->deactivate();
    stopSerialThread();
    if (!m_monitoring->isRunning()) {
        // Events acknowledged to a panel after the thread's last pass would otherwise never reach
        // the files.
        m_journal->persistPass();
    }
    // Normally deactivate() has closed it already; it is closed here at the latest, once nothing
    // polls or writes it any more.
    if (!m_atRec->isRunning() && !m_monitoring->isRunning() && m_commPort->isOpen()) {
        try {
            m_commPort->Close();
        } catch (const ECommError&) {
            // It counts as closed all the same, and the process is ending.
        }
    }
    // What the last passes stored and reported comes before the closing line.
    if (TrafficLines* traffic = m_threadLink->traffic.load())
        traffic->flush();
    Write_System_Log("Program closed", LogColour::Black);
}

void ReceiverCore::stopForwardingThread()
{
    // Asked even when it is not running, so an error in the last save below does not hold the
    // close in a 5-second pause.
    m_monitoring->requestTerminate();
    // The thread hands log lines to this thread and waits for them: the wait keeps serving it.
    if (m_monitoring->isRunning())
        (void)m_monitoring->waitForEnd(kThreadStopMillis);
    if (m_monitoring->isRunning())
        Write_System_Log("The journal thread did not stop in time; unsaved events stay in memory only.",
                         LogColour::Red);
}

void ReceiverCore::stopSerialThread()
{
    m_atRec->requestTerminate();
    // Its poll steps run on this thread: the wait keeps serving them.
    if (m_atRec->isRunning())
        (void)m_atRec->waitForEnd(kThreadStopMillis);
    if (m_atRec->isRunning())
        Write_System_Log("The serial receive thread did not stop in time.", LogColour::Red);
}

void ReceiverCore::Write_System_Log(std::string_view text, LogColour colour)
{
    m_log.write(text, colour);
}

LogSink ReceiverCore::threadSafeLog()
{
    return mainThreadLogSink(
        this, [this](std::string_view text, LogColour colour) { Write_System_Log(text, colour); });
}

std::string ReceiverCore::logFileName() const
{
    if (!m_log.currentFileName().empty())
        return m_log.currentFileName();
    const std::tm now = localTimeOf(m_clock.wallNow().seconds);
    return m_paths.logFile(now.tm_year + 1900, now.tm_mon + 1);
}

bool ReceiverCore::settingsChanged() const
{
    return Check_Settings_Changed(m_paths.config, m_config);
}

ConfigFileResult ReceiverCore::saveSettings()
{
    return Save_Settings(m_paths.config, m_config);
}

void ReceiverCore::setTraceEnabled(bool enabled)
{
    m_threadLink->trace.store(enabled);
    m_receiver->setTraceEnabled(enabled);
    m_outputLink->setTraceEnabled(enabled);
}

bool ReceiverCore::traceEnabled() const
{
    return m_threadLink->trace.load();
}

void ReceiverCore::setLogViewVisible(bool visible)
{
    m_receiver->setLogViewVisible(visible);
}
