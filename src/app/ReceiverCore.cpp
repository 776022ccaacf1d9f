// The receiver without its windows: ownership of every long-lived object, the start-up file
// order, what the background threads hand to the main thread, and the orderly close.
#include "app/ReceiverCore.h"

#include "app/AccountWatch.h"
#include "app/MetricsServer.h"
#include "app/StartupChecks.h"
#include "app/TrafficLines.h"
#include "dc09/AccountKeys.h"
#include "dc09/Dc09Receiver.h"
#include "metrics/MetricsRegistry.h"
#include "output/AtRecThread.h"
#include "output/MainThreadCall.h"
#include "output/MonitoringThread.h"
#include "output/OutputLink.h"
#include "output/OutputShared.h"
#include "serial/TCommPort.h"
#include "store/AccountTable.h"
#include "store/EventStore.h"
#include "store/Journal.h"

#include <QMetaObject>
#include <QTimer>
#include <atomic>
#include <cstring>
#include <ctime>

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
    std::atomic<std::uint64_t> storedEvents{0}; // committed since start, for the day's count
};

namespace {

int localDay(const std::tm& tm)
{
    return (tm.tm_year + 1900) * 10000 + (tm.tm_mon + 1) * 100 + tm.tm_mday;
}

} // namespace

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
    const auto write = [link](std::string_view text, LogColour colour) {
        if (link->core)
            link->core->Write_System_Log(text, colour);
    };
    const auto beep = [link] {
        if (link->core)
            emit link->core->beepRequested();
    };
    const auto threadLog = [link, write, beep] { return mainThreadLogSink(&link->context, write, beep); };
    // The stores' own threads never wait for the main thread, which may be waiting for them.
    const auto queuedLog = [link, write, beep] { return queuedLogSink(&link->context, write, beep); };
    // The window reads the journal itself when it runs; changes that come while one is queued add
    // nothing to it.
    const auto refreshEvents = [link] {
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
    m_journal = std::make_unique<Journal>(Journal::Paths{m_paths.journal, m_paths.extended}, queuedLog());
    m_journal->onChanged = refreshEvents;
    m_accounts = std::make_unique<AccountTable>(m_paths.accounts, FileIo::posix(), queuedLog());
    m_accounts->onChanged = [this] { emit accountsChanged(); };
    m_store = std::make_unique<EventStore>(m_paths.eventLog, *m_journal, *m_accounts, queuedLog());
    m_store->onStored = [link](std::span<const JournalRecord> records) {
        link->storedEvents.fetch_add(records.size());
        if (TrafficLines* traffic = link->traffic.load())
            traffic->stored(records);
    };
    EventStore* store = m_store.get();
    // Supervision changes and report acknowledgements are committed without anyone waiting for them.
    m_accounts->onNeedsCommit = [store] { (void)store->requestCommit(); };
    m_receiver =
        std::make_unique<Dc09Receiver>(m_config, *m_accounts, *m_journal, *m_store, m_clock, threadSafeLog());
    // Accounts the Object List does not let in: unknown ones (DC9_Known_Accounts_Only), and new ones
    // the full table has no slot for.
    const auto accountWatch = std::make_shared<AccountWatch>(m_config, *m_accounts, m_clock, threadLog());
    m_receiver->admitAccount = [accountWatch](std::string_view account) {
        return accountWatch->admitted(account);
    };
    m_accounts->onNoSlot = [accountWatch](std::string_view account) { accountWatch->noSlot(account); };
    m_accountKeys = std::make_unique<AccountKeys>();
    m_metrics = std::make_unique<MetricsRegistry>();
    m_receiver->setAccountKeys(m_accountKeys.get());
    m_receiver->setMetrics(m_metrics.get());
    // The commit's time and outcome, from the commit thread: the metrics take atomics only.
    MetricsRegistry* metrics = m_metrics.get();
    m_store->onCommitted = [metrics](double seconds, const FileFailure& failure) {
        metrics->commitFinished(seconds, failure.ok(), failure.ok() ? std::string() : failure.text());
    };

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
    hooks.refreshEvents = refreshEvents;
    hooks.reported = [link](const std::string& line) {
        if (TrafficLines* traffic = link->traffic.load())
            traffic->reported(line);
    };
    const OutputLink* settingsSource = m_outputLink.get();
    m_monitoring = std::make_unique<Monitoring_Thread>(
        *m_journal, *m_accounts, *m_store, *m_outputShared, *m_outputLink, m_clock,
        [settingsSource] { return settingsSource->forwardingSettings(); }, std::move(hooks));
    m_threadLink->thread = m_monitoring.get();
    m_atRec = std::make_unique<AT_Rec_Thread>(*m_commPort, *m_outputShared, &link->context, mainLog, [link] {
        if (link->core)
            emit link->core->beepRequested();
    });
    wireReceiver();
    wireOutputLink();
    m_storageRetry = new QTimer(this);
    m_storageRetry->setInterval(kStorageRetryMillis);
    connect(m_storageRetry, &QTimer::timeout, this, &ReceiverCore::storageRetryTick);
}

ReceiverCore::~ReceiverCore()
{
    m_threadLink->core = nullptr;
    m_accounts->onChanged = nullptr;
    m_accounts->onNoSlot = nullptr;
    // A thread that outlived its close time still uses the stores, the port and the link: keep
    // them all (and, through the journal and the hooks, the thread link) rather than pull memory
    // from under it. The process is ending anyway.
    if (m_monitoring->isRunning() || m_atRec->isRunning() || !m_storeFinished) {
        (void)m_monitoring.release();
        (void)m_atRec.release();
        (void)m_outputLink.release();
        (void)m_commPort.release();
        (void)m_outputShared.release();
        (void)m_receiver.release();
        (void)m_store.release();
        (void)m_accounts.release();
        (void)m_journal.release();
        return;
    }
    // The threads go first: everything below is theirs to use until they have ended.
    m_monitoring.reset();
    m_atRec.reset();
    m_outputLink.reset();
    m_receiver.reset();
    m_store.reset();
}

void ReceiverCore::wireReceiver()
{
    Dc09Receiver& r = *m_receiver;
    connect(&r, &Dc09Receiver::statusText, this, [this](const QString& text) {
        m_receiverStatusText = text;
        emit receiverStatus(text);
        emit statusChanged();
    });
    connect(&r, &Dc09Receiver::beepRequested, this, &ReceiverCore::beepRequested);
    connect(&r, &Dc09Receiver::traceLine, this, &ReceiverCore::traceLine);
    const std::shared_ptr<ThreadLink> link = m_threadLink;
    connect(&r, &Dc09Receiver::repeatReceived, this,
            [link](const QString& account, int sequence, const QString& address, int port) {
                if (TrafficLines* traffic = link->traffic.load())
                    traffic->repeat(account.toStdString(), sequence, address.toStdString(), port);
            });
}

void ReceiverCore::wireOutputLink()
{
    OutputLink& o = *m_outputLink;
    connect(&o, &OutputLink::statusText, this, [this](const QString& text) {
        m_outputStatusText = text;
        emit outputStatus(text);
        emit statusChanged();
    });
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
    m_threadLink->trafficOwner = std::make_unique<TrafficLines>(&m_threadLink->context, out, &m_clock);
    m_threadLink->traffic.store(m_threadLink->trafficOwner.get());
}

void ReceiverCore::printLine(std::string_view text)
{
    if (TrafficLines* traffic = m_threadLink->traffic.load()) {
        traffic->line(text);
        return;
    }
    std::fprintf(stdout, "%.*s\n", int(text.size()), text.data());
    std::fflush(stdout);
}

void ReceiverCore::flushPrintedLines()
{
    if (TrafficLines* traffic = m_threadLink->traffic.load())
        (void)traffic->flush(std::chrono::milliseconds(500));
}

void ReceiverCore::FormCreate()
{
    if (m_created)
        return;
    m_created = true;
    // Which files this is, before anything about them: a receiver started on the wrong directory
    // looks like one that lost its settings.
    Write_System_Log(
        "Data directory: " + m_paths.dir +
            (m_defaultDirectory ? " (the program's own directory; --dir PATH keeps the data elsewhere)" : ""),
        LogColour::Black);
    // The single-instance test and the file paths are settled by the caller. The account load
    // also turns minutes into seconds.
    m_journal->loadJournalFile();
    (void)loadConfig(m_paths.config, m_config); // a missing or unreadable file leaves defaults or zeros
    runStartupChecks(m_paths, m_config, m_log.sink());
    m_journal->loadExtendedFile();
    m_accounts->load();
    // The log is the record: a new one takes over the files, and the files then agree with it. One
    // that cannot be opened now is tried again at every commit; until then nothing is acknowledged.
    m_store->setKeepDays(m_config.Log_Keep_Days);
    (void)m_store->open();
    {
        // Before the commit thread runs, so no event is counted twice.
        std::tm midnight = localTimeOf(m_clock.wallNow().seconds);
        m_eventsDay = localDay(midnight);
        midnight.tm_hour = midnight.tm_min = midnight.tm_sec = 0;
        midnight.tm_isdst = -1;
        const std::unique_ptr<EventLog> reader = m_store->connect(EventLog::Role::Reader);
        m_eventsBeforeToday = reader ? reader->countReceivedSince(std::int64_t(std::mktime(&midnight))) : 0;
    }
    m_store->start();
    loadAccountKeys();
    m_outputLink->publishSettings();
    startMetrics();
    // A panel that is answered must find its event kept: with files that cannot be written, no port
    // opens (and systemd, which waits for the first tick, does not hear "ready").
    if (checkStorage()) {
        startTimers();
        return;
    }
    m_storageRetry->start();
}

void ReceiverCore::startTimers()
{
    m_receiver->start();
    // Its first tick, two seconds from now, starts the forwarding thread (which also writes the
    // journal files) and the serial receive thread.
    m_outputLink->start();
}

bool ReceiverCore::checkStorage()
{
    const FileFailure failure = ::checkStorage(m_paths, *m_storageIo);
    if (failure.ok()) {
        m_storageFailure.clear();
        return true;
    }
    const std::string reason = failure.text();
    if (reason == m_storageFailure)
        return false; // said already; nothing new until it changes or ends
    const bool first = m_storageFailure.empty();
    m_storageFailure = reason;
    m_storageHeld = true;
    Write_System_Log("The data directory " + m_paths.dir + " cannot be written: " + reason +
                         ". The receiver port and the automation software port stay closed; the check is "
                         "made again every " +
                         std::to_string(kStorageRetryMillis / 1000) + " seconds." +
                         (m_defaultDirectory ? " It is the program's own directory: start the program with "
                                               "--dir PATH and a directory its user may write."
                                             : ""),
                     LogColour::Red);
    if (first)
        emit beepRequested();
    showPanels(QStringLiteral("Receiver port closed: the data directory cannot be written."),
               QStringLiteral("Automation software port closed: the data directory cannot be written."));
    return false;
}

void ReceiverCore::storageRetryTick()
{
    if (!m_storageHeld || m_closed)
        return;
    if (!checkStorage())
        return;
    m_storageRetry->stop();
    m_storageHeld = false;
    Write_System_Log("The data directory " + m_paths.dir + " can be written now; the ports open.",
                     LogColour::Black);
    showPanels(QStringLiteral("Receiver port closed."), QString());
    startTimers();
}

void ReceiverCore::showPanels(const QString& receiver, const QString& output)
{
    m_receiverStatusText = receiver;
    m_outputStatusText = output;
    emit receiverStatus(receiver);
    emit outputStatus(output);
    emit statusChanged();
}

std::int64_t ReceiverCore::eventsToday()
{
    const int day = localDay(localTimeOf(m_clock.wallNow().seconds));
    const std::uint64_t stored = m_threadLink->storedEvents.load();
    if (day != m_eventsDay) {
        // Past midnight: what is stored from now on is the new day's.
        m_eventsDay = day;
        m_eventsBeforeToday = 0;
        m_storedAtDayStart = stored;
    }
    return m_eventsBeforeToday + std::int64_t(stored - m_storedAtDayStart);
}

std::string ReceiverCore::serviceStatus()
{
    const std::string today = "Events today: " + std::to_string(eventsToday());
    if (m_storageHeld)
        return "Ports closed: the data directory cannot be written (" + m_storageFailure + ") | " + today;
    std::string line;
    for (const QString* panel : {&m_receiverStatusText, &m_outputStatusText}) {
        if (!panel->isEmpty())
            line += panel->toStdString() + " | ";
    }
    return line + today;
}

void ReceiverCore::FormClose(const std::function<void()>& offerSave)
{
    if (m_closed)
        return;
    m_closed = true;
    m_storageRetry->stop();
    m_receiver->stopTimer();
    m_outputLink->stopTimer();
    if (m_metricsServer)
        m_metricsServer->close();
    m_receiver->deactivate();
    if (offerSave && settingsChanged())
        offerSave();
    // Whatever the answer (No, the default of a close nobody can answer, a save that failed), the
    // next start runs on kalvor.cfg: what it does not hold is said.
    reportUnsavedSettings();
    // The link stays up while the forwarding thread ends, so the answer to its line in flight
    // still arrives; the serial receive thread keeps polling for it until then.
    stopForwardingThread();
    m_outputLink->deactivate();
    stopSerialThread();
    // The views' last sync follows the log's last commit; a disk that hangs is not waited out.
    m_storeFinished = m_store->finish(std::chrono::milliseconds(kThreadStopMillis));
    if (!m_storeFinished)
        Write_System_Log(
            "The event log did not finish in time; what it had not committed was not acknowledged.",
            LogColour::Red);
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
        Write_System_Log("The forwarding thread did not stop in time.", LogColour::Red);
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
    const std::optional<Config_Record> before = readSavedConfig(m_paths.config);
    const ConfigFileResult saved = Save_Settings(m_paths.config, m_config);
    if (!saved.ok()) {
        Write_System_Log("The settings could not be saved to " + m_paths.config + ": " +
                             std::strerror(saved.osError),
                         LogColour::Red);
        return saved;
    }
    std::string line = "Settings saved";
    if (before) {
        if (const std::vector<SettingChange> changes = describeChanges(*before, m_config); !changes.empty())
            line += ": " + changeList(changes);
    }
    Write_System_Log(line, LogColour::Black);
    return saved;
}

void ReceiverCore::reportUnsavedSettings()
{
    if (!settingsChanged())
        return;
    const std::optional<Config_Record> onDisk = readSavedConfig(m_paths.config);
    const std::string what =
        onDisk ? changeList(describeChanges(*onDisk, m_config)) : m_paths.config + " cannot be read whole";
    Write_System_Log("Settings not saved, discarded at the close: " + what, LogColour::Red);
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

void ReceiverCore::loadAccountKeys()
{
    const AccountKeysFileResult loaded = ::loadAccountKeys(m_paths.accountKeys, *m_accountKeys);
    const std::string name = "account_keys.cfg";
    switch (loaded.status) {
    case AccountKeysFileResult::Status::Missing:
        return;
    case AccountKeysFileResult::Status::Unreadable:
        Write_System_Log("The account keys in " + m_paths.accountKeys +
                             " cannot be read: " + std::strerror(loaded.osError) +
                             ". Accounts with keys of their own are not told apart until it can be read.",
                         LogColour::Red);
        return;
    case AccountKeysFileResult::Status::Loaded:
        break;
    }
    for (const AccountKeys::Problem& problem : loaded.problems)
        Write_System_Log(name + " line " + std::to_string(problem.line) + ": " + problem.what,
                         LogColour::Red);
    if (loaded.tooWide) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", loaded.mode);
        Write_System_Log(m_paths.accountKeys + " is open to other users (mode " + mode +
                             "): anyone who can read it can forge its accounts' alarms. Make it 0600.",
                         LogColour::Red);
    }
    if (!m_accountKeys->empty())
        Write_System_Log("Account keys: " + std::to_string(m_accountKeys->size()) +
                             " accounts have keys of their own.",
                         LogColour::Black);
}

int ReceiverCore::saveAccountKeys()
{
    const int error = ::saveAccountKeys(m_paths.accountKeys, *m_accountKeys);
    if (error != 0)
        Write_System_Log("The account keys could not be saved to " + m_paths.accountKeys + ": " +
                             std::strerror(error),
                         LogColour::Red);
    return error;
}

void ReceiverCore::startMetrics()
{
    const quint16 port = m_config.Metrics_Port;
    if (port == 0)
        return;
    const void* nul = std::memchr(m_config.Metrics_Address, 0, sizeof m_config.Metrics_Address);
    const QString address = QString::fromLatin1(
        m_config.Metrics_Address, nul ? qsizetype(static_cast<const char*>(nul) - m_config.Metrics_Address)
                                      : qsizetype(sizeof m_config.Metrics_Address));
    const QString shown = address.isEmpty() ? QStringLiteral("127.0.0.1") : address;
    m_metricsServer = std::make_unique<MetricsServer>(*m_metrics, [this] { refreshMetrics(); });
    QString error;
    if (!m_metricsServer->listen(address, port, error)) {
        Write_System_Log(QStringLiteral("Metrics port %1 could not be opened on %2: %3")
                             .arg(port)
                             .arg(shown, error)
                             .toStdString(),
                         LogColour::Red);
        return;
    }
    Write_System_Log(
        QStringLiteral("Metrics served on http://%1:%2/metrics and /health")
            .arg(shown.contains(QLatin1Char(':')) ? QLatin1Char('[') + shown + QLatin1Char(']') : shown)
            .arg(port)
            .toStdString(),
        LogColour::Black);
}

quint16 ReceiverCore::metricsPort() const
{
    return m_metricsServer ? m_metricsServer->port() : 0;
}

void ReceiverCore::refreshMetrics()
{
    m_metrics->setConnections(m_receiver->activeConnections());
    m_metrics->setReceiverPortOpen(m_receiver->isActive());
    m_metrics->setAutomationLinkUp(m_outputShared->Output_Link_State.load() == output::kLinkReady);
    std::int64_t missing = 0;
    {
        std::lock_guard lock(m_accounts->mutex());
        const auto* records = reinterpret_cast<const AccountRecord*>(m_accounts->image());
        for (std::size_t i = 0; i < accounts::kSlots; ++i)
            if (records[i].account[0] != '\0' && (records[i].sup_flags & accounts::kMissing) != 0)
                ++missing;
    }
    m_metrics->setAccountsMissing(missing);
    // The log knows what has not reached the automation software, whatever the ring still shows.
    if (!m_metricsLog || !m_metricsLog->isOpen())
        m_metricsLog = m_store->connect(EventLog::Role::Reader);
    m_metrics->setUnforwardedEvents(m_metricsLog->pendingCount());
}
