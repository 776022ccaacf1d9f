// libFuzzer target: the automation software's answer bytes as the forwarding thread's TCP exchange
// and the serial poll step take them. On TCP, bytes that were waiting before the line never count,
// and of the block that follows only its first byte does; on a serial line (8N1, or 7E1 whose parity
// is checked) every ACK or NAK byte counts, and the first one is what a waiting slot keeps.
// Input: one byte choosing the path (bit 0-1: 0 TCP, 1 serial 8N1, 2 serial 7E1, 3 TCP with bytes
// waiting before the line, as many as the next byte says), then the bytes that arrive.
#include "FuzzSupport.h"
#include "config/ConfigRecord.h"
#include "output/AtRecThread.h"
#include "output/AutomationConnections.h"
#include "output/OutputMessages.h"
#include "output/OutputShared.h"
#include "serial/TCommPort.h"

#include <QCoreApplication>
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
#include <sys/socket.h>
#include <thread>
#include <vector>
#include <unistd.h>

using fuzzsupport::require;

namespace {

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
    AutomationConnections connections;
    int peer = -1; // the automation software's end of the connection
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

void writeAll(int fd, const std::uint8_t* data, std::size_t size)
{
    std::size_t written = 0;
    while (written < size) {
        const ssize_t n = ::write(fd, data + written, size - written);
        if (n < 0 && errno != EINTR) {
            std::fprintf(stderr, "write: %s\n", std::strerror(errno));
            require(false, "the far end writes");
        }
        written += n > 0 ? std::size_t(n) : 0;
    }
}

void connect(World& w)
{
    int ends[2] = {-1, -1};
    require(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == 0, "a connection is made");
    (void)w.connections.addServer(ends[0], "fuzz");
    w.peer = ends[1];
}

// `stale` waits on the connection before the line goes out; `reply` comes after it, in one write.
void tcpExchange(const std::uint8_t* stale, std::size_t staleSize, const std::uint8_t* reply,
                 std::size_t replySize)
{
    World& w = *g_world;
    writeAll(w.peer, stale, staleSize);
    const AutomationConnections::SendFunction send = [&](int fd, const char* data, std::size_t size) {
        const ssize_t n = ::send(fd, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
        writeAll(w.peer, reply, replySize);
        return n;
    };
    const std::string line = "1010           @    \x14";
    const AutomationConnections::Exchange result =
        w.connections.exchange(AutomationConnections::Side::Server, line, std::chrono::milliseconds(1), send);
    require(result.sent == AutomationConnections::Exchange::Sent::Whole, "the line goes out whole");
    const std::optional<std::uint8_t> expected =
        replySize > 0 && Is_Answer_Byte(reply[0]) ? std::optional<std::uint8_t>(reply[0]) : std::nullopt;
    require(result.answer == expected, "only the first byte of the block after the line answers it");
    if (!expected) {
        // A line left unanswered ends its connection; the automation software connects again.
        const std::vector<AutomationConnections::Gone> gone = w.connections.reap();
        require(gone.size() == 1 && w.connections.serverCount() == 0, "a silent connection is ended");
        ::close(w.peer);
        connect(w);
        return;
    }
    // What the peer got is the line; anything the exchange left unread is thrown away before the next.
    char drain[4096];
    while (::recv(w.peer, drain, sizeof drain, MSG_DONTWAIT) > 0) {
    }
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
    // The quiet time after an answer only throws bytes away, and would cost the fuzzer 10 ms a run.
    world.connections.setSettleTime(std::chrono::milliseconds(0));
    connect(world);
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
    count = std::min<std::size_t>(count, 512);
    std::size_t staleSize = 0;
    if (path == 3 && count > 0) {
        staleSize = std::min<std::size_t>(bytes[0], count - 1);
        ++bytes;
        --count;
    }
    tcpExchange(bytes, staleSize, bytes + staleSize, count - staleSize);
    return 0;
}
