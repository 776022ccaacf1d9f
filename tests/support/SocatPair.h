// Two connected pseudo terminals from socat, reachable as <dir>/dosdevices/com<A> and com<B>, so
// serial port code can be tested without hardware. Skip the test when !available().
#pragma once

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QString>
#include <QThread>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace testsupport {

// socat is started with posix_spawn rather than QProcess: Qt's process launcher clones in a way
// ThreadSanitizer cannot follow, and these pairs are used in sanitizer builds too.
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

        // socat's diagnostics go to a file outside the data directory, read only when it fails.
        char logName[] = "/tmp/socatpair-XXXXXX";
        const int logFd = ::mkstemp(logName);
        if (logFd >= 0) {
            m_logPath = logName;
        }
        const std::vector<std::string> args = {socat.toStdString(), "-d", "-d",
                                               "pty,raw,echo=0,link=" + m_pathA.toStdString(),
                                               "pty,raw,echo=0,link=" + m_pathB.toStdString()};
        std::vector<char*> argv;
        for (const auto& arg : args)
            argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        if (logFd >= 0) {
            posix_spawn_file_actions_adddup2(&actions, logFd, STDOUT_FILENO);
            posix_spawn_file_actions_adddup2(&actions, logFd, STDERR_FILENO);
        }
        const int rc = ::posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (logFd >= 0)
            ::close(logFd);
        if (rc != 0) {
            m_pid = -1;
            m_error = QStringLiteral("socat did not start: ") + QString::fromLocal8Bit(std::strerror(rc));
            return;
        }

        QElapsedTimer timer;
        timer.start();
        while (!(QFileInfo::exists(m_pathA) && QFileInfo::exists(m_pathB))) {
            if (!running() || timer.elapsed() > timeoutMs) {
                m_error = QStringLiteral("socat did not create both links: ") + readLog();
                stop();
                return;
            }
            QThread::msleep(5);
        }
        m_ready = true;
    }

    ~SocatPair()
    {
        stop();
        if (!m_logPath.empty())
            ::unlink(m_logPath.c_str());
    }
    SocatPair(const SocatPair&) = delete;
    SocatPair& operator=(const SocatPair&) = delete;

    [[nodiscard]] bool available() const { return m_ready; }
    [[nodiscard]] const QString& pathA() const { return m_pathA; }
    [[nodiscard]] const QString& pathB() const { return m_pathB; }
    [[nodiscard]] const QString& error() const { return m_error; }

    // Whether socat still runs (it ends when it is killed or fails).
    [[nodiscard]] bool running() const
    {
        if (m_pid <= 0)
            return false;
        int status = 0;
        if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1; // reaped: the number may be reused from now on
            return false;
        }
        return true;
    }

    // Ends socat (it removes its links as it goes) and reaps it; bounded, then forced.
    void stop()
    {
        m_ready = false;
        if (!running())
            return;
        ::kill(m_pid, SIGTERM);
        for (int waited = 0; waited < 2000; waited += 5) {
            if (!running())
                return;
            QThread::msleep(5);
        }
        ::kill(m_pid, SIGKILL);
        int status = 0;
        ::waitpid(m_pid, &status, 0);
        m_pid = -1;
    }

private:
    static QString linkPath(const QString& dir, int com)
    {
        return dir + QStringLiteral("/dosdevices/com") + QString::number(com);
    }

    QString readLog() const
    {
        QFile log(QString::fromStdString(m_logPath));
        return log.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(log.read(4096)) : QString();
    }

    QString m_pathA;
    QString m_pathB;
    QString m_error;
    std::string m_logPath;
    mutable pid_t m_pid = -1;
    bool m_ready = false;
};

} // namespace testsupport
