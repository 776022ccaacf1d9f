#include "app/ServiceNotifier.h"

#include <QEvent>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

#ifndef ARDENTEL_HAVE_SYSTEMD
#define ARDENTEL_HAVE_SYSTEMD 0
#endif
#if ARDENTEL_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

ServiceNotifier::ServiceNotifier(QObject* parent) : QObject(parent)
{
#if ARDENTEL_HAVE_SYSTEMD
    std::uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0)
        m_interval = std::chrono::milliseconds(std::max<std::uint64_t>(1, usec / 2000));
#endif
    m_watchdog.setTimerType(Qt::CoarseTimer);
    connect(&m_watchdog, &QTimer::timeout, this, [this] { send("WATCHDOG=1"); });
    m_statusPause.setSingleShot(true);
    m_statusPause.setInterval(kStatusInterval);
    connect(&m_statusPause, &QTimer::timeout, this, &ServiceNotifier::sendStatus);
}

void ServiceNotifier::status(const std::string& text)
{
    if (m_stopping)
        return;
    m_statusWaiting = text;
    // One line: a line break would end the variable and start another.
    for (char& c : m_statusWaiting)
        if (c == '\n' || c == '\r')
            c = ' ';
    if (!m_statusPause.isActive())
        sendStatus();
}

void ServiceNotifier::sendStatus()
{
    if (m_stopping || m_statusWaiting == m_statusSent)
        return;
    m_statusSent = m_statusWaiting;
    send(("STATUS=" + m_statusSent).c_str());
    m_statusPause.start();
}

void ServiceNotifier::ready()
{
    if (m_ready || m_stopping)
        return;
    m_ready = true;
    send("READY=1");
    if (m_interval.count() > 0) {
        send("WATCHDOG=1");
        m_watchdog.start(m_interval);
    }
}

void ServiceNotifier::readyAfter(QTimer* firstTick, std::function<void()> before)
{
    auto becomeReady = [this, before = std::move(before)] {
        if (before)
            before();
        ready();
    };
    if (firstTick)
        connect(firstTick, &QTimer::timeout, this, std::move(becomeReady), Qt::SingleShotConnection);
    else
        QTimer::singleShot(0, this, std::move(becomeReady));
}

void ServiceNotifier::stopping()
{
    if (m_stopping)
        return;
    m_stopping = true;
    m_watchdog.stop();
    m_statusPause.stop();
    send("STOPPING=1");
}

bool ServiceNotifier::supported()
{
    return ARDENTEL_HAVE_SYSTEMD != 0;
}

bool ServiceNotifier::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::Close)
        stopping();
    return QObject::eventFilter(watched, event);
}

void ServiceNotifier::send(const char* state)
{
#if ARDENTEL_HAVE_SYSTEMD
    // Zero without NOTIFY_SOCKET: not started by systemd, nothing to tell.
    const int result = sd_notify(0, state);
    if (result < 0 && !m_failureShown) {
        m_failureShown = true;
        std::fprintf(stderr, "ardentel: cannot notify systemd (%s): %s\n", state, std::strerror(-result));
    }
#else
    (void)state;
    (void)m_failureShown;
#endif
}
