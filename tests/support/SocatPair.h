// Two connected pseudo terminals from socat, reachable as <dir>/dosdevices/com<A> and com<B>, so
// serial port code can be tested without hardware. Needs a QCoreApplication; skip when !available().
#pragma once

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <QThread>

namespace testsupport {

class SocatPair {
public:
    // Starts socat and waits (at most `timeoutMs`) until both links lead to a terminal.
    explicit SocatPair(const QString& dir, int comA = 1, int comB = 2, int timeoutMs = 5000)
        : m_pathA(linkPath(dir, comA)), m_pathB(linkPath(dir, comB))
    {
        const QString socat = QStandardPaths::findExecutable(QStringLiteral("socat"));
        if (socat.isEmpty()) {
            m_error = QStringLiteral("socat is not installed");
            return;
        }
        if (!QDir().mkpath(dir + QStringLiteral("/dosdevices"))) {
            m_error = QStringLiteral("cannot create ") + dir + QStringLiteral("/dosdevices");
            return;
        }
        // Stale links of an earlier run would make the wait below end before socat is ready.
        QFile::remove(m_pathA);
        QFile::remove(m_pathB);

        m_process.setProgram(socat);
        m_process.setArguments({QStringLiteral("-d"), QStringLiteral("-d"),
                                QStringLiteral("pty,raw,echo=0,link=") + m_pathA,
                                QStringLiteral("pty,raw,echo=0,link=") + m_pathB});
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.start();
        if (!m_process.waitForStarted(timeoutMs)) {
            m_error = QStringLiteral("socat did not start: ") + m_process.errorString();
            return;
        }
        QElapsedTimer timer;
        timer.start();
        while (!(QFileInfo::exists(m_pathA) && QFileInfo::exists(m_pathB))) {
            if (m_process.state() == QProcess::NotRunning || timer.elapsed() > timeoutMs) {
                m_error = QStringLiteral("socat did not create both links: ") +
                          QString::fromLocal8Bit(m_process.readAll());
                stop();
                return;
            }
            QThread::msleep(5);
        }
        m_ready = true;
    }

    ~SocatPair() { stop(); }
    SocatPair(const SocatPair&) = delete;
    SocatPair& operator=(const SocatPair&) = delete;

    [[nodiscard]] bool available() const { return m_ready; }
    [[nodiscard]] const QString& pathA() const { return m_pathA; }
    [[nodiscard]] const QString& pathB() const { return m_pathB; }
    [[nodiscard]] const QString& error() const { return m_error; }
    // Whether socat still runs: closing a side can end it on some socat versions.
    [[nodiscard]] bool running() const { return m_process.state() != QProcess::NotRunning; }

    void stop()
    {
        m_ready = false;
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.terminate();
        if (!m_process.waitForFinished(2000)) {
            m_process.kill();
            m_process.waitForFinished(2000);
        }
    }

private:
    static QString linkPath(const QString& dir, int com)
    {
        return dir + QStringLiteral("/dosdevices/com") + QString::number(com);
    }

    QString m_pathA;
    QString m_pathB;
    QString m_error;
    QProcess m_process;
    bool m_ready = false;
};

} // namespace testsupport
