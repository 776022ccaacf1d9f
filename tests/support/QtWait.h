// Waiting for socket and thread events in tests without fixed sleeps, and a free loopback port.
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#ifdef QT_NETWORK_LIB
#include <QHostAddress>
#include <QTcpServer>
#endif

#include <functional>

namespace testsupport {

// Serves events until `done` holds or the time is up; false on time-out.
inline bool waitUntil(const std::function<bool()>& done, int timeoutMs = 5000)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return true;
}

#ifdef QT_NETWORK_LIB
// A port nobody listens on right now (0 when none could be had).
inline quint16 freePort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::AnyIPv4, 0) ? probe.serverPort() : 0;
}
#endif

} // namespace testsupport
