// The far end of a socat pair as the automation software would hold it: a raw descriptor that
// writes answer bytes and reads what the port under test sent.
#pragma once

#include "support/SocatPair.h"

#include <QTemporaryDir>
#include <chrono>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>

namespace testsupport {

class SerialPeer {
public:
    explicit SerialPeer(const QString& path)
        : m_fd(::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC))
    {
        termios t{};
        if (m_fd >= 0 && ::tcgetattr(m_fd, &t) == 0) {
            ::cfmakeraw(&t);
            (void)::tcsetattr(m_fd, TCSANOW, &t);
        }
    }
    ~SerialPeer()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    SerialPeer(const SerialPeer&) = delete;
    SerialPeer& operator=(const SerialPeer&) = delete;

    [[nodiscard]] bool ok() const { return m_fd >= 0; }
    bool send(const std::string& bytes)
    {
        return ::write(m_fd, bytes.data(), bytes.size()) == ssize_t(bytes.size());
    }

    // Everything that arrives until `count` bytes are in or `timeoutMs` have passed.
    std::string receive(std::size_t count, int timeoutMs = 2000)
    {
        std::string got;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (got.size() < count) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            pollfd entry{m_fd, POLLIN, 0};
            if (left <= 0 || ::poll(&entry, 1, int(left)) <= 0)
                break;
            char buffer[512];
            const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
            if (n <= 0)
                break;
            got.append(buffer, std::size_t(n));
        }
        return got;
    }

private:
    int m_fd;
};

// A socat pair in a fresh data directory: the port under test is COM1, the peer holds COM2.
struct SerialBench {
    QTemporaryDir dir;
    std::unique_ptr<SocatPair> pair = std::make_unique<SocatPair>(dir.path(), 1, 2);
    [[nodiscard]] std::string dataDir() const { return dir.path().toStdString(); }
    [[nodiscard]] std::string portPath() const { return pair->pathA().toStdString(); }
};

} // namespace testsupport

#define SKIP_WITHOUT_SOCAT(bench)                                                                            \
    do {                                                                                                     \
        if (!(bench).pair->available())                                                                      \
            GTEST_SKIP() << (bench).pair->error().toStdString();                                             \
    } while (false)
