// Readiness and liveness for systemd (a unit of Type=notify with WatchdogSec=): READY=1 once the
// receiver runs, WATCHDOG=1 from a timer of the main thread, STOPPING=1 when the close begins, and
// STATUS= lines for `systemctl status`.
// The pings come from the main event loop on purpose: a main thread that hangs stops them, and
// systemd restarts the receiver. Outside a unit, or built without libsystemd, nothing is sent.
#pragma once

#include <QObject>
#include <QTimer>
#include <chrono>
#include <functional>
#include <string>

class ServiceNotifier : public QObject {
public:
    explicit ServiceNotifier(QObject* parent = nullptr);

    // READY=1 and the first WATCHDOG=1; from then on the timer pings at half the watchdog period.
    void ready();
    // ready() after the first turn of `firstTick`: the receiver's timer opens the DC-09 port then,
    // so units ordered after this one find it listening. Without a timer, once the loop runs.
    // `before` runs just ahead of READY=1 (the service empties its printed lines there).
    void readyAfter(QTimer* firstTick, std::function<void()> before = {});
    // STOPPING=1 once, and no more pings: the close may take a while and is not a hang.
    void stopping();
    // STATUS=text when it differs from the last one sent, at most once per kStatusInterval: a text
    // that comes sooner is sent when the interval ends (the newest one, if it changed again).
    void status(const std::string& text);
    static constexpr std::chrono::milliseconds kStatusInterval{2000};

    // Half of WATCHDOG_USEC; zero when systemd asked for no watchdog.
    [[nodiscard]] std::chrono::milliseconds pingInterval() const { return m_interval; }

    // Built with libsystemd: false means every call above does nothing.
    [[nodiscard]] static bool supported();

    // A close event on a watched object (the main window) counts as the start of the close.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void send(const char* state);
    void sendStatus();

    QTimer m_watchdog;
    QTimer m_statusPause; // runs for kStatusInterval after each STATUS= sent
    std::string m_statusSent;
    std::string m_statusWaiting;
    std::chrono::milliseconds m_interval{0};
    bool m_ready = false;
    bool m_stopping = false;
    bool m_failureShown = false;
};
