// Panels under load against the real program, each event with an identity that can be found again
// in the journal files; for the tests that kill the program and look at what it kept.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTcpSocket>
#include <memory>
#include <set>
#include <vector>

namespace e2e {

// Panel p reports as account 1000+p (hex); message n carries partition n/1000 (two digits), zone
// n%1000 (three digits) and the extended text "[Xp.n]".
struct PanelEvent {
    int panel = 0;
    int number = 0;
    bool operator<(const PanelEvent& o) const
    {
        return panel != o.panel ? panel < o.panel : number < o.number;
    }
};

QByteArray panelEventFrame(const PanelEvent& event);

// Each panel sends its next event as soon as the last one is answered and remembers which events
// were acknowledged. Numbers start at `firstNumber` and stay below `endNumber` (at most 100,000).
class PanelLoad {
public:
    PanelLoad(quint16 port, int panels, int firstNumber, int endNumber = 100000);
    ~PanelLoad();
    PanelLoad(const PanelLoad&) = delete;
    PanelLoad& operator=(const PanelLoad&) = delete;

    bool connectAll(int timeoutMs = 10000);
    void start();
    void stop(); // no new events; answers still on their way are still read
    // As a real panel does: an event not answered within `ms` is sent again on a new connection
    // (so a late answer to the first try cannot be taken for the answer to the next event).
    void setRetry(int ms) { m_retryMs = ms; }
    // Waits this long after each answer before the next event (0: at once).
    void setPause(int ms) { m_pauseMs = ms; }
    [[nodiscard]] const std::set<PanelEvent>& acknowledged() const { return m_acknowledged; }
    [[nodiscard]] int refused() const { return m_refused; }
    [[nodiscard]] int retries() const { return m_retries; }
    // Every panel has had its last event answered.
    [[nodiscard]] bool finished() const;

private:
    struct Panel;
    void send(Panel& panel);
    void write(Panel& panel);
    void retry(Panel& panel);
    void read(Panel& panel);

    quint16 m_port = 0;
    int m_endNumber = 100000;
    int m_retryMs = 0;
    int m_pauseMs = 0;
    std::vector<std::unique_ptr<Panel>> m_panels;
    std::set<PanelEvent> m_acknowledged;
    int m_refused = 0;
    int m_retries = 0;
    bool m_running = false;
};

// The acknowledged events that the journal files in `dir` do not hold, each with its extended text
// in the matching slot of extevn.dat; empty when every one is there.
[[nodiscard]] std::vector<PanelEvent> missingFromJournal(const QString& dir,
                                                         const std::set<PanelEvent>& events);
// The same against the event log (events.db) in `dir`, the record every acknowledgement waits for.
[[nodiscard]] std::vector<PanelEvent> missingFromLog(const QString& dir, const std::set<PanelEvent>& events);

} // namespace e2e
