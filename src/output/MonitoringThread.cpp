// The forwarding thread: its loop, the four steps of a pass and the one-line exchange with the
// automation software.
#include "output/MonitoringThread.h"

#include "config/Clock.h"
#include "output/OutputMessages.h"
#include "store/AccountTable.h"
#include "store/EventCode.h"
#include "store/Journal.h"
#include "store/RecordText.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

namespace {

constexpr std::int64_t kDefaultHeartbeatMs = 30000;
constexpr std::uint8_t kSavedEvent = journal::kStored | journal::kSaved;

const JournalRecord& slotOf(const std::uint8_t* image, std::size_t slot)
{
    return *reinterpret_cast<const JournalRecord*>(image + journal::kHeaderSize +
                                                   slot * sizeof(JournalRecord));
}

// True when some slot waits to be written to disk. One lock and a look at 2048 status bytes, so an
// idle pass every 50 ms costs next to nothing.
bool anythingToSave(const Journal& journal)
{
    std::lock_guard lock(journal.mutex());
    const std::uint8_t* image = journal.image();
    for (std::size_t i = 0; i < journal::kSlots; ++i) {
        const std::uint8_t status = slotOf(image, i).status;
        if ((status & journal::kStored) && !(status & journal::kSaved))
            return true;
    }
    return false;
}

struct PendingEvent {
    std::size_t slot = 0;
    JournalRecord record{};
};

// The first saved, unreported event at or after `from`, copied under the same lock that found it,
// so the copy is never a slot that the receiver is half-way through refilling. A slot must be both
// stored and saved: Mark reported leaves anything else alone, and such a slot would otherwise be
// sent again on every pass.
std::optional<PendingEvent> nextPendingEvent(const Journal& journal, std::size_t from)
{
    std::lock_guard lock(journal.mutex());
    const std::uint8_t* image = journal.image();
    for (std::size_t i = from; i < journal::kSlots; ++i) {
        const JournalRecord& slot = slotOf(image, i);
        if ((slot.status & kSavedEvent) != kSavedEvent || (slot.status & journal::kReported))
            continue;
        if (fieldText(slot.event) == "NULL") // link tests are stored, never reported
            continue;
        PendingEvent pending;
        pending.slot = i;
        std::memcpy(&pending.record, &slot, sizeof pending.record);
        return pending;
    }
    return std::nullopt;
}

// The journal keeps neither the token nor the data as received: a SIA event is told by its code,
// and its block is made again from the stored fields.
std::string_view tokenOf(const JournalRecord& record)
{
    return isSiaEventCode(fieldText(record.event)) ? std::string_view("SIA-DCS") : std::string_view("ADM-CID");
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

Monitoring_Thread::Monitoring_Thread(Journal& journal, AccountTable& accounts, OutputShared& shared,
                                     OutputTransport& transport, const Clock& clock,
                                     std::function<ForwardingSettings()> settings, MonitoringHooks hooks,
                                     MonitoringTiming timing)
    : m_journal(journal), m_accounts(accounts), m_shared(shared), m_transport(transport), m_clock(clock),
      m_settings(std::move(settings)), m_hooks(std::move(hooks)), m_timing(timing)
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

    // Save step, whatever the link state. A failure has been logged and paused inside; the pass
    // goes on with the reports of what is already on disk.
    if (anythingToSave(m_journal)) {
        m_journal.persistPass();
        if (m_hooks.refreshEvents) {
            m_hooks.refreshEvents();
        }
        markAlive();
    }

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
    const WallTime now = m_clock.wallNow();
    const std::tm tm = localTimeOf(now.seconds);
    char text[64];
    std::snprintf(text, sizeof text, "%02u:%02u:%02u:%u  RX: %u", unsigned(tm.tm_hour), unsigned(tm.tm_min),
                  unsigned(tm.tm_sec), unsigned(now.millis), unsigned(value));
    m_hooks.trace(text);
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
        break;
    }
    markAlive();
    return outcome;
}

void Monitoring_Thread::linkError(const char* text)
{
    // A line lost because the link went down under it (the operator closed it, the connection or the
    // port went away) is no fault of the automation software: the link has logged why, and the event
    // is sent again once it is back.
    if (m_shared.Output_Link_State.load() & output::kLinkUp) {
        log(text, LogColour::Red);
    }
    clearEstablished();
}

void Monitoring_Thread::heartbeatStep()
{
    if (m_shared.Output_Link_State.load() == 0) {
        m_nextHeartbeat = 0;
        return;
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
        if (setEstablished()) {
            log("Connection with automation software established.", LogColour::Black);
            if (m_hooks.playNotify) {
                m_hooks.playNotify();
            }
        }
        break;
    case Outcome::Nak:
        log("Link error (heartbeat): negative ACK from automation software.", LogColour::Red);
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
            (void)m_accounts.clearReportDue(*due);
            m_passAcknowledged = true;
            from = due->slot + 1;
            break;
        case Outcome::Unanswered:
        case Outcome::NotSent:
            linkError("Link error (ping): no ACK from automation software.");
            return;
        case Outcome::Nak:
            log("Link error (ping): negative ACK from automation software.", LogColour::Red);
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
    bool marked = false;
    {
        Journal::ReportPass pass(m_journal); // closes kalvor.dat at the end of the step
        std::size_t from = 0;
        while (linkReady() && !terminateRequested()) {
            const std::optional<PendingEvent> pending = nextPendingEvent(m_journal, from);
            if (!pending) {
                break;
            }
            // An event may take several lines; it is reported once the automation software has
            // acknowledged every one of them, and sent whole again otherwise.
            Outcome outcome = Outcome::Ack;
            for (const std::string& text :
                 Format_Event_Lines(pending->record, tokenOf(pending->record), {}, reportOptions())) {
                const std::string line = warnIfCut(text, fieldText(pending->record.account));
                outcome = exchange(line, OutputTransport::Kind::Report);
                if (outcome != Outcome::Ack)
                    break;
                if (m_hooks.reported)
                    m_hooks.reported(line);
            }
            if (outcome == Outcome::Unanswered || outcome == Outcome::NotSent) {
                linkError("Link error (data): no ACK from automation software.");
                break;
            }
            if (outcome == Outcome::Nak) {
                log("Link error (data): negative ACK from automation software.", LogColour::Red);
                errorPause();
                break;
            }
            if (outcome != Outcome::Ack) {
                break;
            }
            marked = true;
            if (!pass.markReported(pending->slot)) {
                break; // logged and paused inside
            }
            m_passAcknowledged = true;
            from = pending->slot + 1;
        }
    }
    if (marked && m_hooks.refreshEvents) {
        m_hooks.refreshEvents();
    }
}
