// The forwarding thread: its loop, the four steps of a pass and the one-line exchange with the
// automation software.
#include "output/MonitoringThread.h"

#include "config/Clock.h"
#include "log/TraceText.h"
#include "output/OutputMessages.h"
#include "store/AccountTable.h"
#include "store/EventCode.h"
#include "store/EventStore.h"
#include "store/Journal.h"
#include "store/RecordText.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

namespace {

constexpr std::int64_t kDefaultHeartbeatMs = 30000;
// Pending events read from the log at once, and acknowledgements written to it at once.
constexpr std::size_t kReadBatch = 64;
constexpr std::size_t kMarkBatch = 64;

// A row that came without its token (none should; the ring files of before the log kept none): a SIA
// event is told by its code, and its block is made again from the stored fields.
std::string_view tokenOf(const LoggedEvent& row)
{
    if (!row.token.empty())
        return row.token;
    return isSiaEventCode(fieldText(row.record.event)) ? std::string_view("SIA-DCS")
                                                       : std::string_view("ADM-CID");
}

AccountRecord accountOf(const AccountTable::DueReport& due)
{
    AccountRecord record{};
    setFieldText(record.receiver, due.receiver);
    setFieldText(record.line, due.line);
    setFieldText(record.account, due.account);
    record.sup_flags = due.missing ? accounts::kMissing : 0;
    return record;
}

} // namespace

Monitoring_Thread::Monitoring_Thread(Journal& journal, AccountTable& accounts, EventStore& store,
                                     OutputShared& shared, OutputTransport& transport, const Clock& clock,
                                     std::function<ForwardingSettings()> settings, MonitoringHooks hooks,
                                     MonitoringTiming timing)
    : m_journal(journal), m_accounts(accounts), m_store(store), m_shared(shared), m_transport(transport),
      m_clock(clock), m_settings(std::move(settings)), m_hooks(std::move(hooks)), m_timing(timing)
{
}

Monitoring_Thread::~Monitoring_Thread()
{
    // The journal must outlive the thread, so wait however long its last pass takes; the events
    // keep being served, so a hand-over in progress can finish.
    m_worker.requestTerminate();
    while (m_worker.isRunning())
        (void)m_worker.waitForEnd(1000);
}

void Monitoring_Thread::start()
{
    if (m_worker.isRunning()) {
        return;
    }
    m_nextHeartbeat = 0; // a new loop greets a link that is up at once
    m_worker.start();
}

void Monitoring_Thread::requestTerminate()
{
    m_worker.requestTerminate();
}

// The liveness bit is set after every exchange and every pause as well as at the end of a pass:
// the watchdog looks every 11 s, and a pass that is busy (thousands of reports, NAK pauses, file
// errors) may well last longer than that without being stuck.
void Monitoring_Thread::markAlive()
{
    m_shared.Thread_Alive.fetch_or(output::kMonitoringAlive);
}

void Monitoring_Thread::pause(int seconds)
{
    (void)m_worker.sleepFor(std::chrono::seconds(seconds));
    markAlive();
}

void Monitoring_Thread::errorPause()
{
    (void)m_worker.sleepFor(m_timing.errorPause);
    markAlive();
}

void Monitoring_Thread::run()
{
    try {
        for (;;) {
            if (terminateRequested()) {
                break;
            }
            runPass();
            // A pass that got reports acknowledged may have left more behind it: the receiver can fill
            // the whole ring in a tenth of a second, and a pass ends at its last slot. The next pass
            // starts at once rather than leave them to be overwritten while this thread sleeps; a
            // pass that got nothing acknowledged pauses, so an idle or failing link costs nothing.
            if (m_passAcknowledged) {
                continue;
            }
            if (!m_worker.sleepFor(m_timing.passInterval)) {
                break;
            }
        }
        flushMarks();
    } catch (...) {
        // An exception must not take the whole receiver down with this thread. The loop ends like
        // a stopped one, its handle is cleared as it returns, and the watchdog starts a fresh thread.
        // A slot left armed would hold its connection open for an answer nobody waits for.
        (void)Disarm_Answer(m_shared.handoff, output::AnswerSlot::Heartbeat);
        (void)Disarm_Answer(m_shared.handoff, output::AnswerSlot::Report);
    }
}

void Monitoring_Thread::runPass()
{
    m_passSettings = m_settings ? m_settings() : ForwardingSettings{};
    m_passAcknowledged = false;

    heartbeatStep();
    supervisionStep();
    reportingStep();

    markAlive();
    ++m_passes;
}

bool Monitoring_Thread::linkReady() const
{
    return m_shared.Output_Link_State.load() == output::kLinkReady;
}

bool Monitoring_Thread::setEstablished()
{
    // The link may have been lost (the word set to 0) while this ACK was awaited. Setting
    // `established` alone then would let the reports go out on the next connection without the
    // heartbeat that must come first.
    std::uint32_t word = m_shared.Output_Link_State.load();
    for (;;) {
        if (!(word & output::kLinkUp)) {
            return false;
        }
        if (m_shared.Output_Link_State.compare_exchange_weak(word, word | output::kEstablished)) {
            return !(word & output::kEstablished);
        }
    }
}

void Monitoring_Thread::clearEstablished()
{
    m_shared.Output_Link_State.fetch_and(~output::kEstablished);
}

void Monitoring_Thread::dropLink()
{
    m_shared.Output_Link_State.store(0);
    // Whatever comes back first, the next link starts with a heartbeat.
    m_nextHeartbeat = 0;
}

void Monitoring_Thread::log(const char* text, LogColour colour)
{
    if (m_hooks.log) {
        m_hooks.log(text, colour);
    }
}

std::string Monitoring_Thread::warnIfCut(std::string line, std::string_view account)
{
    // Past this many different accounts every cut is logged: the line is never left out.
    constexpr std::size_t kMaxRemembered = 4096;
    const std::string warning = Account_Cut_Warning(account, line);
    if (!warning.empty() && !m_cutAccountsLogged.contains(std::string(account))) {
        if (m_cutAccountsLogged.size() < kMaxRemembered)
            m_cutAccountsLogged.emplace(account);
        log(warning.c_str(), LogColour::Red);
    }
    return line;
}

ReportOptions Monitoring_Thread::reportOptions() const
{
    return ReportOptions{m_passSettings.Report_Format, m_passSettings.Account_Q_Lines};
}

void Monitoring_Thread::traceAnswer(std::uint8_t value)
{
    if (!m_hooks.trace) {
        return;
    }
    m_hooks.trace(traceTimeText(m_clock.wallNow()) + "  RX: " + std::to_string(unsigned(value)));
}

// The link reads the answer on the connection the line went out on, after its last byte: a line
// that did not go out, or only in part, is never taken as answered.
Monitoring_Thread::Outcome Monitoring_Thread::exchange(const std::string& line, OutputTransport::Kind kind)
{
    const OutputTransport::Exchange result = m_transport.exchangeLine(line, kind, m_timing.answerWait);
    Outcome outcome = Outcome::Unanswered;
    switch (result.sent) {
    case OutputTransport::SendResult::NoConnection:
        dropLink();
        outcome = Outcome::NoConnection;
        break;
    case OutputTransport::SendResult::NothingSent:
        outcome = Outcome::NotSent;
        break;
    case OutputTransport::SendResult::Sent:
        if (result.answer) {
            const std::uint8_t value = *result.answer;
            traceAnswer(value);
            outcome = value == output::kAck   ? Outcome::Ack
                      : value == output::kNak ? Outcome::Nak
                                              : Outcome::Other;
        }
        // Two different answers to one line: it is sent again rather than taken as acknowledged.
        if (result.doubtful)
            outcome = Outcome::Other;
        break;
    }
    m_strayBefore = result.strayBefore;
    if (result.strayBefore || result.doubtful)
        doubtUnverifiedAnswers(result.strayBefore);
    else if (result.settled)
        m_unverified.clear();
    m_lastCredited.reset();
    markAlive();
    return outcome;
}

void Monitoring_Thread::credit(Credited line)
{
    if (m_unverified.size() >= kMostUnverified)
        m_unverified.pop_front();
    m_lastCredited = line;
    m_unverified.push_back(std::move(line));
}

void Monitoring_Thread::doubtUnverifiedAnswers(bool stray)
{
    if (stray && m_lastCredited && m_unverified.empty())
        m_unverified.push_back(*m_lastCredited);
    m_lastCredited.reset();
    const std::size_t resent = m_unverified.size();
    for (const Credited& credited : m_unverified) {
        if (const auto* event = std::get_if<CreditedEvent>(&credited)) {
            if (m_marked.erase(event->id) > 0) {
                std::erase_if(m_marks, [id = event->id](const ReportMark& m) { return m.id == id; });
            } else if (ensureLog()) {
                if (FileFailure f = m_log->markPending(event->id); !f.ok()) {
                    m_logEpisodes.note(f);
                    if (f.newEpisode)
                        log(f.text().c_str(), LogColour::Red);
                }
            }
            m_journal.markPending(std::size_t(event->slot), event->id);
        } else if (const auto* due = std::get_if<AccountTable::DueReport>(&credited)) {
            m_accounts.reportAgain(*due);
        }
    }
    m_unverified.clear();
    // A duplicate at the automation software is better than an alarm it never took.
    const std::int64_t now = m_clock.steadyMillis();
    if (resent > 0 && now - m_doubtLineMs >= 60'000) {
        m_doubtLineMs = now;
        const std::string said =
            "An answer came from the automation software when no line waited for one: " +
            (resent == 1 ? std::string("the last line is sent again.")
                         : "the last " + std::to_string(resent) + " lines are sent again.");
        log(said.c_str(), LogColour::Black);
    }
}

bool Monitoring_Thread::ensureLog()
{
    if (!m_log || !m_log->isOpen())
        m_log = m_store.connect(EventLog::Role::Forwarder);
    if (m_log->isOpen())
        return true;
    FileFailure f = m_log->lastFailure();
    m_logEpisodes.note(f);
    if (f.newEpisode)
        log(f.text().c_str(), LogColour::Red);
    return false;
}

bool Monitoring_Thread::flushMarksNow()
{
    if (m_marks.empty())
        return true;
    if (!ensureLog())
        return false;
    FileFailure f = m_log->markReported(m_marks);
    if (!f.ok()) {
        // They stay acknowledged here and are written again later; a crash before that costs one more
        // sending of each.
        m_logEpisodes.note(f);
        if (f.newEpisode)
            log(f.text().c_str(), LogColour::Red);
        return false;
    }
    m_logEpisodes.ended(m_log->path());
    m_marks.clear();
    m_marked.clear();
    return true;
}

void Monitoring_Thread::flushMarks()
{
    (void)flushMarksNow();
}

void Monitoring_Thread::linkError(const char* text)
{
    // A line lost because the link went down under it (the operator closed it, the connection or the
    // port went away) is no fault of the automation software: the link has logged why, and the event
    // is sent again once it is back.
    if (m_shared.Output_Link_State.load() & output::kLinkUp) {
        noteLinkError();
        log(text, LogColour::Red);
    }
    clearEstablished();
}

void Monitoring_Thread::linkNak(const char* text)
{
    noteLinkError();
    log(text, LogColour::Red);
}

void Monitoring_Thread::noteLinkError()
{
    // Before the red line: a status bar that shows the line never says the link is well. Never 0,
    // which means "no error": a clock at the epoch is a clock not set.
    m_shared.Link_Error_Time.store(std::max<std::int64_t>(1, std::int64_t(m_clock.wallNow().seconds)));
}

void Monitoring_Thread::heartbeatStep()
{
    if (m_shared.Output_Link_State.load() == 0) {
        m_nextHeartbeat = 0;
        return;
    }
    // The link was lost and came back between two passes: this one has not been greeted yet.
    const std::uint64_t generation = m_shared.Link_Generation.load();
    if (generation != m_greetedLink) {
        m_greetedLink = generation;
        m_nextHeartbeat = 0;
    }
    const std::int64_t now = m_clock.steadyMillis();
    if (m_nextHeartbeat != 0 && now < m_nextHeartbeat) {
        return;
    }
    // A negative period can only come from a damaged settings file; it would mean a heartbeat on
    // every pass, so it counts as the default like 0 does.
    const std::int32_t period = m_passSettings.Test_Heartbeat_Period;
    m_nextHeartbeat = now + (period > 0 ? std::int64_t(period) * 1000 : kDefaultHeartbeatMs);

    switch (exchange(Format_Heartbeat(m_passSettings.Test_Rec_Nr, m_passSettings.Heartbeat_Length),
                     OutputTransport::Kind::Heartbeat)) {
    case Outcome::Unanswered:
    case Outcome::NotSent:
        linkError("Link error (heartbeat): no ACK from automation software.");
        break;
    case Outcome::Ack:
        m_shared.Link_Error_Time.store(0);
        if (setEstablished()) {
            log("Connection with automation software established.", LogColour::Black);
            if (m_hooks.playNotify) {
                m_hooks.playNotify();
            }
        }
        break;
    case Outcome::Nak:
        linkNak("Link error (heartbeat): negative ACK from automation software.");
        break;
    case Outcome::Other:
    case Outcome::NoConnection:
        break;
    }
    // A link lost during the wait may be back before the next pass looks: it is a new link all the
    // same, and gets its own heartbeat first.
    if (m_shared.Output_Link_State.load() == 0) {
        m_nextHeartbeat = 0;
    }
}

// Each step below sends only while the link is up and acknowledged, looked at before every line:
// a link lost half-way must be greeted with a heartbeat again before the next report. A termination
// request also ends a step between two lines, since a slow automation software could otherwise hold
// the close for as many answer waits as there are reports; what is left is sent by the next thread.
void Monitoring_Thread::supervisionStep()
{
    std::size_t from = 0;
    while (linkReady() && !terminateRequested()) {
        const std::optional<AccountTable::DueReport> due = m_accounts.nextReportDue(from);
        if (!due) {
            return;
        }
        const Report_Source source = Make_Supervision_Source(accountOf(*due));
        const std::string line = warnIfCut(Format_Event_Lines(source, "ADM-CID", {}, reportOptions()).front(),
                                           fieldText(source.account));
        switch (exchange(line, OutputTransport::Kind::Report)) {
        case Outcome::Ack:
            if (m_hooks.reported)
                m_hooks.reported(line);
            // Kept due when the account changed state during the wait: that change is reported next.
            if (m_accounts.clearReportDue(*due))
                credit(*due);
            m_passAcknowledged = true;
            from = due->slot + 1;
            break;
        case Outcome::Unanswered:
        case Outcome::NotSent:
            linkError("Link error (ping): no ACK from automation software.");
            return;
        case Outcome::Nak:
            linkNak("Link error (ping): negative ACK from automation software.");
            errorPause();
            return;
        case Outcome::Other:
        case Outcome::NoConnection:
            return;
        }
    }
}

void Monitoring_Thread::reportingStep()
{
    if (!linkReady() || terminateRequested())
        return;
    // Marks that could not be written before go first; their events are not sent again meanwhile.
    if (!m_marks.empty() && !flushMarksNow())
        errorPause();
    if (!ensureLog())
        return;
    bool marked = false;
    std::int64_t after = 0; // the log's order: events committed late (a retried commit) come in theirs
    bool more = true;
    while (more && linkReady() && !terminateRequested()) {
        const std::vector<LoggedEvent> rows = m_log->pending(kReadBatch, after);
        more = rows.size() == kReadBatch;
        if (rows.empty())
            break;
        for (const LoggedEvent& row : rows) {
            after = row.id;
            if (m_marked.contains(row.id))
                continue;
            if (!linkReady() || terminateRequested()) {
                more = false;
                break;
            }
            // An event may take several lines; it is reported once the automation software has
            // acknowledged every one of them, and sent whole again otherwise.
            Outcome outcome = Outcome::Ack;
            std::string sent;
            for (const std::string& text :
                 Format_Event_Lines(row.record, tokenOf(row), row.content, reportOptions())) {
                const std::string line = warnIfCut(text, fieldText(row.record.account));
                outcome = exchange(line, OutputTransport::Kind::Report);
                // An answer that nobody waited for came between two lines of this event: the answer
                // to the one before may not have been its own, so the event goes out whole again.
                if (outcome == Outcome::Ack && !sent.empty() && m_strayBefore)
                    outcome = Outcome::Other;
                if (outcome != Outcome::Ack)
                    break;
                if (m_hooks.reported)
                    m_hooks.reported(line);
                // The lines as sent, without their DC4: what a centre reads back from the log.
                if (!sent.empty())
                    sent += '\n';
                sent += line.substr(0, line.find(output::kDc4));
            }
            if (outcome == Outcome::Unanswered || outcome == Outcome::NotSent) {
                linkError("Link error (data): no ACK from automation software.");
                more = false;
                break;
            }
            if (outcome == Outcome::Nak) {
                linkNak("Link error (data): negative ACK from automation software.");
                errorPause();
                more = false;
                break;
            }
            if (outcome != Outcome::Ack) {
                more = false;
                break;
            }
            marked = true;
            m_marks.push_back(ReportMark{row.id, std::int64_t(m_clock.wallNow().seconds), sent});
            m_marked.insert(row.id);
            (void)m_journal.markReported(std::size_t(row.journalSlot), row.id);
            credit(CreditedEvent{row.id, row.journalSlot});
            m_passAcknowledged = true;
            if (m_marks.size() >= kMarkBatch && !flushMarksNow()) {
                errorPause();
                more = false;
                break;
            }
        }
    }
    if (!m_marks.empty() || (!m_unverified.empty() && linkReady())) {
        // A late answer shows a doubtful one: the mark of a line whose answer may not have been its own
        // is not written. A quiet link says the answers so far were their lines' own.
        if (m_transport.strayAnswerWithin(m_timing.markQuiet))
            doubtUnverifiedAnswers(true);
        else
            m_unverified.clear();
        if (!m_marks.empty() && !flushMarksNow())
            errorPause();
    }
    if (marked && m_hooks.refreshEvents) {
        m_hooks.refreshEvents();
    }
}
