// libFuzzer target: the automation software's answer bytes as the output link's TCP read handler and
// the serial poll step take them, through the answer rules into Deliver_Answer, with both answer
// slots waiting. On a serial line (8N1, or 7E1 whose parity is checked) every ACK or NAK byte counts,
// and the first one is what a waiting slot keeps; a TCP connection that carried no line never
// answers one.
// Input: one byte choosing the path (bit 0-1: 0 one TCP read, 1 serial 8N1, 2 serial 7E1, 3 two TCP
// reads split at the next byte), then the bytes that arrive.
#include "FuzzSupport.h"
#include "config/ConfigRecord.h"
#include "output/OutputLink.h"
#include "output/OutputMessages.h"
#include "output/OutputShared.h"
#include "output/AtRecThread.h"
#include "serial/TCommPort.h"

#include <QCoreApplication>
#include <QTcpSocket>
#include <bit>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <unistd.h>

using fuzzsupport::require;

namespace {

// A connection whose received bytes are whatever the test puts in, read through QIODevice as the
// handler reads a real one.
class FeedSocket final : public QTcpSocket {
public:
    FeedSocket() { setOpenMode(QIODevice::ReadWrite | QIODevice::Unbuffered); }
    void feed(QByteArray bytes) { m_bytes = std::move(bytes); }
    [[nodiscard]] qint64 bytesAvailable() const override { return m_bytes.size(); }
    [[nodiscard]] qint64 left() const { return m_bytes.size(); }

protected:
    qint64 readData(char* data, qint64 maxSize) override
    {
        const qint64 n = std::min(maxSize, qint64(m_bytes.size()));
        std::memcpy(data, m_bytes.constData(), std::size_t(n));
        m_bytes.remove(0, n);
        return n;
    }

private:
    QByteArray m_bytes;
};

// One end of a pseudo terminal pair held by a TCommPort as the output link opens it, the other end
// writing what the automation software sends.
struct SerialEnd {
    int master = -1;
    TCommPort port;

    bool open(bool sevenEven)
    {
        master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0)
            return false;
        port.SetPortName(::ptsname(master));
        port.SetByteSize(sevenEven ? 7 : 8);
        port.SetParity(sevenEven ? 2 : 0);
        try {
            port.Open();
        } catch (const ECommError&) {
            return false;
        }
        return true;
    }
};

struct World {
    Config_Record config = defaultConfig();
    OutputShared shared;
    TCommPort unusedPort;
    std::unique_ptr<OutputLink> link;
    std::unique_ptr<FeedSocket> socket;
    SerialEnd serial[2];
    std::unique_ptr<AT_Rec_Thread> poll[2];
};
World* g_world = nullptr;

// Both slots wait for the connection that carried the line.
void armBoth(Answer_Handoff& h, output::LinkId source)
{
    (void)Disarm_Answer(h, output::AnswerSlot::Heartbeat);
    (void)Disarm_Answer(h, output::AnswerSlot::Report);
    Arm_Answer(h, output::AnswerSlot::Heartbeat, source);
    Arm_Answer(h, output::AnswerSlot::Report, source);
}

void expectAnswer(const Answer_Handoff& h, std::optional<std::uint8_t> answer)
{
    const std::uint8_t want = answer ? *answer : output::kSlotWaiting;
    require(h.heartbeat_answer.load() == want && h.report_answer.load() == want,
            "each waiting slot keeps the first answer and nothing else");
    require(h.answer_event.isSet() == answer.has_value(), "the event is set exactly when an answer came");
}

std::uint8_t sevenEvenByte(std::uint8_t b)
{
    return (std::popcount(b) & 1) != 0 ? 0 : std::uint8_t(b & 0x7F);
}

void tcpRead(const std::uint8_t* data, std::size_t size, std::optional<std::uint8_t>& answer)
{
    World& w = *g_world;
    w.socket->feed(QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)));
    w.link->ServerSocket_OutClientRead(w.socket.get());
    require(w.socket->left() == 0, "a read takes everything that waits");
    // This connection carried no line of the link's: whatever it sends is never an answer.
    answer.reset();
}

void serialRead(int which, const std::uint8_t* data, std::size_t size)
{
    World& w = *g_world;
    SerialEnd& end = w.serial[which];
    std::size_t expected = 0;
    std::optional<std::uint8_t> answer;
    for (std::size_t i = 0; i < size; ++i) {
        ++expected;
        const std::uint8_t b = which == 1 ? sevenEvenByte(data[i]) : data[i];
        if (!answer && Is_Answer_Byte(b))
            answer = b;
    }
    // libFuzzer's own timer signal may cut a write short; what is left is written again.
    std::size_t written = 0;
    while (written < size) {
        const ssize_t n = ::write(end.master, data + written, size - written);
        if (n < 0 && errno != EINTR) {
            std::fprintf(stderr, "write: %s\n", std::strerror(errno));
            require(false, "the far end writes");
        }
        written += n > 0 ? std::size_t(n) : 0;
    }
    // The terminal hands bytes on a moment later; the poll step must see all of them at once.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (end.port.InQueueCount() < expected && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    require(end.port.InQueueCount() == expected, "the bytes arrive");
    w.poll[which]->pollStep();
    require(end.port.InQueueCount() == 0, "a poll step takes every waiting byte");
    expectAnswer(w.shared.handoff, answer);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static QCoreApplication app(*argc, *argv);
    static World world;
    g_world = &world;
    world.link = std::make_unique<OutputLink>(world.config, world.shared, world.unusedPort, LogSink{});
    world.socket = std::make_unique<FeedSocket>();
    for (int which = 0; which < 2; ++which) {
        require(world.serial[which].open(which == 1), "a pseudo terminal opens as the serial port");
        world.poll[which] = std::make_unique<AT_Rec_Thread>(world.serial[which].port, world.shared, &app,
                                                            LogSink{}, std::function<void()>{});
    }
    world.shared.Output_Link_State = output::kLinkUp;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    const int path = data[0] & 3;
    const std::uint8_t* bytes = data + 1;
    std::size_t count = size - 1;
    Answer_Handoff& handoff = g_world->shared.handoff;
    if (path == 1 || path == 2) {
        armBoth(handoff, output::serialLinkId(g_world->serial[path - 1].port.openCount()));
        serialRead(path - 1, bytes, std::min<std::size_t>(count, 512));
        return 0;
    }
    armBoth(handoff, g_world->link->connectionId(g_world->socket.get()));
    std::optional<std::uint8_t> answer;
    if (path == 3 && count > 0) {
        const std::size_t split = std::min<std::size_t>(bytes[0], count - 1);
        ++bytes;
        --count;
        tcpRead(bytes, split, answer);
        tcpRead(bytes + split, count - split, answer);
    } else {
        tcpRead(bytes, count, answer);
    }
    expectAnswer(handoff, answer);
    return 0;
}
