// Everything of a running receiver except its windows: the settings record, the system log, the
// stores, the DC-09 receiver, the output link, the forwarding and serial receive threads with
// their watchdog, the start-up file order and the orderly close. The desktop program shows it
// through TMain_Form; the service runs it with no window at all.
#pragma once

#include "config/Clock.h"
#include "config/ConfigRecord.h"
#include "config/DataPaths.h"
#include "log/LogSink.h"
#include "log/SystemLog.h"
#include "store/FileIo.h"

#include <QObject>
#include <QString>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

class AT_Rec_Thread;
class AccountKeys;
class AccountTable;
class MetricsRegistry;
class MetricsServer;
class Dc09Receiver;
class EventLog;
class EventStore;
class Journal;
class Monitoring_Thread;
class OutputLink;
struct OutputShared;
class QTimer;
class TCommPort;

class ReceiverCore : public QObject {
    Q_OBJECT
public:
    // How long the close waits for a background thread before it goes on without it.
    static constexpr int kThreadStopMillis = 5000;
    // How often files that could not be written at start are tried again.
    static constexpr int kStorageRetryMillis = 5000;

    ReceiverCore(DataPaths paths, const Clock& clock, QObject* parent = nullptr);
    ~ReceiverCore() override;
    ReceiverCore(const ReceiverCore&) = delete;
    ReceiverCore& operator=(const ReceiverCore&) = delete;

    // Start-up: names the data directory in the log, reads or creates kalvor.dat, kalvor.cfg,
    // extevn.dat and latevn.dat in that order, opens the event log (a new one takes over what the
    // files hold) and makes the files agree with it, checks that the files can be written and
    // synced, then starts the receiver and output timers; the output timer's first tick starts both
    // background threads. Opens no port itself. Runs once. Files that cannot be written keep both
    // timers (so both ports) off: that is said in red, and the check is made again every 5 s.
    void FormCreate();
    // Before FormCreate: the file layer the storage check writes through (a test puts in one that
    // fails), and whether the data directory is the program's own (no --dir), which a failure names.
    void setStorageCheckIo(FileIo& io) { m_storageIo = &io; }
    void setDefaultDirectory(bool programsOwn) { m_defaultDirectory = programsOwn; }
    // The storage check again, from its timer while the files cannot be written; once they can, the
    // start goes on as usual. Public so tests call it instead of waiting.
    void storageRetryTick();
    // The ports are held closed because the files cannot be written.
    [[nodiscard]] bool storageHeld() const { return m_storageHeld; }
    [[nodiscard]] QTimer* storageRetryTimer() const { return m_storageRetry; }
    // One line for systemd's STATUS=: what both status panels show and the events stored today, or
    // why the ports are held closed.
    [[nodiscard]] std::string serviceStatus();
    // Before FormCreate, for a service: every event stored and every report the automation software
    // acknowledged also becomes one line on `out` (see TrafficLines).
    void printTrafficLines(std::FILE* out = stdout);
    // A line for the same output, in order with the traffic lines (the service's log lines); written
    // at once when no traffic lines are printed.
    void printLine(std::string_view text);
    // Waits up to half a second for the printed lines to reach the output.
    void flushPrintedLines();

    // The orderly close, once: timers off; the receiver port and its connections closed; the
    // settings question; the forwarding thread asked to stop and waited for (it finishes the line in
    // flight, whose answer still arrives over the open link); the output link down; the serial
    // receive thread stopped; the event log's last commit and the views' last sync, each waited for
    // with a bound; the serial port closed; "Program closed".
    // `offerSave` runs only while the settings differ from the file; without it (a termination
    // signal, a service) they stay unsaved, which is the question's default answer.
    void FormClose(const std::function<void()>& offerSave = {});
    [[nodiscard]] bool isClosed() const { return m_closed; }

    // Write_System_Log: the line is in the month's file when this returns; logLine follows.
    void Write_System_Log(std::string_view text, LogColour colour);
    // The same from any thread: a call from a background thread waits until the main thread wrote it.
    [[nodiscard]] LogSink threadSafeLog();
    // The file the "System Log" window shows: the one the last line went to, else this month's.
    [[nodiscard]] std::string logFileName() const;

    // Does the record differ from kalvor.cfg now? (An unreadable file counts as different.)
    [[nodiscard]] bool settingsChanged() const;
    // Writes kalvor.cfg and logs "Settings saved" with what changed (the key by its size only), or
    // in red why it could not.
    [[nodiscard]] ConfigFileResult saveSettings();

    // The "Data Log" window is shown: the receiver, the link and the forwarding thread trace.
    void setTraceEnabled(bool enabled);
    [[nodiscard]] bool traceEnabled() const;
    // The window's log view shows: the receiver writes its host line from then on. True by default.
    void setLogViewVisible(bool visible);

    [[nodiscard]] Config_Record& config() { return m_config; }
    [[nodiscard]] const DataPaths& paths() const { return m_paths; }
    [[nodiscard]] const Clock& clock() const { return m_clock; }
    [[nodiscard]] SystemLog& systemLog() { return m_log; }
    [[nodiscard]] Dc09Receiver& receiver() const { return *m_receiver; }
    [[nodiscard]] Journal& journal() const { return *m_journal; }
    [[nodiscard]] AccountTable& accounts() const { return *m_accounts; }
    [[nodiscard]] EventStore& store() const { return *m_store; }
    [[nodiscard]] OutputLink& outputLink() const { return *m_outputLink; }
    [[nodiscard]] OutputShared& outputShared() const { return *m_outputShared; }
    [[nodiscard]] TCommPort& commPort() const { return *m_commPort; }
    [[nodiscard]] Monitoring_Thread& monitoringThread() const { return *m_monitoring; }
    [[nodiscard]] AT_Rec_Thread& serialThread() const { return *m_atRec; }
    // The accounts' own keys, as the receiver uses them; change them here, then save them.
    [[nodiscard]] AccountKeys& accountKeys() const { return *m_accountKeys; }
    // Writes account_keys.cfg (mode 0600); the error is logged in red as well. 0 or the errno.
    [[nodiscard]] int saveAccountKeys();
    [[nodiscard]] MetricsRegistry& metrics() const { return *m_metrics; }
    // The port the metrics endpoint listens on; 0 when it is off or could not be opened.
    [[nodiscard]] quint16 metricsPort() const;

signals:
    // A log line as shown ("date time  text"), after it was appended to the file.
    void logLine(const QString& line, LogColour colour);
    void receiverStatus(const QString& text); // panel 0 of the status bar
    void outputStatus(const QString& text);   // panel 1
    void statusChanged(); // a panel's text was shown again, or the storage check's outcome changed
    void beepRequested();
    void notifyRequested(); // notify.wav
    // Something the operator must see in a message box (a serial port that could not be opened).
    void messageRequested(const QString& text);
    // A setting changed without the operator (the serial link fell back to closed): show the page again.
    void outputSettingsChanged();
    void traceLine(const QString& line); // one "Data Log" line, only while tracing is enabled
    // The ring view changed (a commit, a report, a Clear; on the main thread, several changes may
    // come as one).
    void journalChanged();
    // An account record was written or the table changed (many times a second under load).
    void accountsChanged();

private:
    void wireReceiver();
    void wireOutputLink();
    void loadAccountKeys();
    void startMetrics();
    void refreshMetrics();
    void stopForwardingThread();
    void stopSerialThread();
    // At the close: the settings that differ from kalvor.cfg, logged in red with the file's values.
    void reportUnsavedSettings();
    [[nodiscard]] bool checkStorage(); // logs a failure (once per reason) and shows it
    void startTimers();
    void showPanels(const QString& receiver, const QString& output);
    [[nodiscard]] std::int64_t eventsToday();

    DataPaths m_paths;
    const Clock& m_clock;
    Config_Record m_config{};
    SystemLog m_log;
    // What the background threads call back into: this object while it exists. Shared with the
    // threads' hooks and the journal, so it lives as long as a thread that may call it.
    struct ThreadLink;
    std::shared_ptr<ThreadLink> m_threadLink;
    // Before the receiver, which uses both until it has gone.
    std::unique_ptr<AccountKeys> m_accountKeys;
    std::unique_ptr<MetricsRegistry> m_metrics;
    std::unique_ptr<Journal> m_journal;
    std::unique_ptr<AccountTable> m_accounts;
    std::unique_ptr<EventStore> m_store;    // uses the journal and the accounts; the receiver uses it
    std::unique_ptr<EventLog> m_metricsLog; // the scrapes' own connection to the log
    std::unique_ptr<Dc09Receiver> m_receiver;
    std::unique_ptr<OutputShared> m_outputShared;
    std::unique_ptr<TCommPort> m_commPort;
    std::unique_ptr<OutputLink> m_outputLink;
    std::unique_ptr<Monitoring_Thread> m_monitoring;
    std::unique_ptr<AT_Rec_Thread> m_atRec;
    std::unique_ptr<MetricsServer> m_metricsServer;
    FileIo* m_storageIo = &FileIo::posix();
    QTimer* m_storageRetry = nullptr;
    bool m_storageHeld = false;
    bool m_defaultDirectory = false;
    std::string m_storageFailure; // what the check said while it fails
    QString m_receiverStatusText = QStringLiteral("Receiver port closed.");
    QString m_outputStatusText;
    // Events today: those the log held at start from this day, and the stored count at the day's start.
    int m_eventsDay = 0; // YYYYMMDD, local time
    std::int64_t m_eventsBeforeToday = 0;
    std::uint64_t m_storedAtDayStart = 0;
    bool m_created = false;
    bool m_closed = false;
    bool m_storeFinished = true; // false when the close could not wait out the event log's threads
};
