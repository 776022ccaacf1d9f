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
// were acknowledged. Numbers start at `firstNumber` and stay below 100,000.
class PanelLoad {
public:
    PanelLoad(quint16 port, int panels, int firstNumber);
    ~PanelLoad();
    PanelLoad(const PanelLoad&) = delete;
    PanelLoad& operator=(const PanelLoad&) = delete;

    bool connectAll(int timeoutMs = 10000);
    void start();
    void stop(); // no new events; answers still on their way are still read
    [[nodiscard]] const std::set<PanelEvent>& acknowledged() const { return m_acknowledged; }
    [[nodiscard]] int refused() const { return m_refused; }

private:
    struct Panel;
    void send(Panel& panel);
    void read(Panel& panel);

    std::vector<std::unique_ptr<Panel>> m_panels;
    std::set<PanelEvent> m_acknowledged;
    int m_refused = 0;
    bool m_running = false;
};

// The acknowledged events that the journal files in `dir` do not hold, each with its extended text
// in the matching slot of extevn.dat; empty when every one is there.
[[nodiscard]] std::vector<PanelEvent> missingFromJournal(const QString& dir,
                                                         const std::set<PanelEvent>& events);

} // namespace e2e
