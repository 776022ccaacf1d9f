// The serial port over a socat pseudo-terminal pair: byte transparency, exclusivity, failure codes
// and line settings; and where port names lead.
#include "SerialPeer.h"
#include "serial/TCommPort.h"

#include <QDir>
#include <QFile>
#include <cerrno>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

using testsupport::SerialBench;
using testsupport::SerialPeer;

namespace {

// Runs `operation` and returns the ECommError it raised; a code of -1 when it raised none.
ECommError raised(const std::function<void()>& operation)
{
    try {
        operation();
    } catch (const ECommError& error) {
        return error;
    }
    return ECommError{-1, 0};
}

// Puts the terminal behind `path` into the state a freshly plugged-in tty has: canonical input,
// echo, CR/LF mapping on input and output, XON/XOFF flow control.
void makeCooked(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    termios t{};
    ASSERT_EQ(::tcgetattr(fd, &t), 0);
    t.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
    t.c_iflag |= ICRNL | IXON | IXOFF;
    t.c_oflag |= OPOST | ONLCR;
    ASSERT_EQ(::tcsetattr(fd, TCSANOW, &t), 0);
    ::close(fd);
}

std::string readAvailable(TCommPort& port, std::size_t count)
{
    std::string got;
    for (int spins = 0; got.size() < count && spins < 2000; ++spins) {
        if (port.InQueueCount() == 0) {
            ::usleep(1000);
            continue;
        }
        got.push_back(static_cast<char>(port.ReadByte()));
    }
    return got;
}

class CommPortTest : public ::testing::Test {
protected:
    SerialBench bench;
};

} // namespace

TEST_F(CommPortTest, RawBytesBothWaysWithoutEchoOrLineMapping)
{
    SKIP_WITHOUT_SOCAT(bench);
    makeCooked(bench.portPath());
    TCommPort port(bench.dataDir());
    port.Open();
    SerialPeer peer(bench.pair->pathB());
    ASSERT_TRUE(peer.ok());

    const std::string line = "1011 18 1234E13001003\r\n\x06\x15\xff\x7f\x14";
    EXPECT_EQ(port.WriteText(line), line.size());
    EXPECT_EQ(peer.receive(line.size()), line);

    std::string all;
    for (int b = 0; b < 256; ++b)
        all.push_back(static_cast<char>(b));
    ASSERT_TRUE(peer.send(all));
    EXPECT_EQ(readAvailable(port, all.size()), all);
    // A canonical, echoing tty would have held the bytes back and sent them to the peer again.
    EXPECT_EQ(peer.receive(1, 50), "");

    // The 0x13 among them did not stop the output (the 0x11 came before it).
    EXPECT_EQ(port.WriteText(std::string("ab\0cd", 5)), 2u); // stops at the NUL
    EXPECT_EQ(port.WriteText(std::string()), 0u);
    EXPECT_EQ(peer.receive(3, 200), "ab");
}

TEST_F(CommPortTest, OpenAndCloseAreIdempotentAndOpenSetsTimeouts)
{
    SKIP_WITHOUT_SOCAT(bench);
    TCommPort port(bench.dataDir());
    EXPECT_EQ(port.portName(), "COM1");
    EXPECT_EQ(port.baudRate(), 9600);
    port.Open();
    const int handle = port.handle();
    port.Open();
    EXPECT_EQ(port.handle(), handle);
    const auto& t = port.timeouts();
    EXPECT_EQ(std::vector<std::uint32_t>({t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier,
                                          t.ReadTotalTimeoutConstant, t.WriteTotalTimeoutMultiplier,
                                          t.WriteTotalTimeoutConstant}),
              std::vector<std::uint32_t>({15, 10, 250, 10, 250}));
    port.Close();
    EXPECT_FALSE(port.isOpen());
    EXPECT_EQ(port.handle(), -1);
    port.Close();
}

TEST_F(CommPortTest, SecondHolderIsRefusedAndFirstKeepsWorking)
{
    SKIP_WITHOUT_SOCAT(bench);
    TCommPort first(bench.dataDir());
    TCommPort second(bench.dataDir());
    first.Open();

    const ECommError error = raised([&] { second.Open(); });
    EXPECT_EQ(error.code, comm::kOpenDevice);
    EXPECT_TRUE(error.os_error == EWOULDBLOCK || error.os_error == EBUSY) << error.os_error;
    EXPECT_FALSE(second.isOpen());

    SerialPeer peer(bench.pair->pathB());
    EXPECT_EQ(first.WriteText("ping\x14"), 5u);
    EXPECT_EQ(peer.receive(5), "ping\x14");

    // Released on close, exclusive flag included (it outlives the descriptor on a pty, and would
    // lock out every unprivileged opener): the other holder can have it now.
    first.Close();
    const int probe = ::open(bench.portPath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(probe, 0);
    int exclusive = -1;
    EXPECT_EQ(::ioctl(probe, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
    ::close(probe);
    second.Open();
    EXPECT_TRUE(second.isOpen());
}

TEST_F(CommPortTest, OpenFailuresLeaveThePortClosedAndUnlocked)
{
    SKIP_WITHOUT_SOCAT(bench);
    TCommPort port(bench.dataDir());

    port.SetPortName(bench.dataDir() + "/no-such-device");
    ECommError error = raised([&] { port.Open(); });
    EXPECT_EQ(error.code, comm::kOpenDevice);
    EXPECT_EQ(error.os_error, ENOENT);

    // A plain file is no port at all, even behind a dosdevices link; a device that is not a terminal
    // opens, then fails when its settings are read.
    const std::string file = bench.dataDir() + "/plain-file";
    QFile(QString::fromStdString(file)).open(QIODevice::WriteOnly);
    QDir().mkpath(QString::fromStdString(bench.dataDir() + "/dosdevices"));
    ASSERT_EQ(::symlink(file.c_str(), (bench.dataDir() + "/dosdevices/com9").c_str()), 0);
    const std::pair<std::string, std::int32_t> refusals[] = {
        {file, comm::kNotADevice}, {"COM9", comm::kNotADevice}, {"/dev/null", comm::kGetState}};
    for (const auto& [name, code] : refusals) {
        port.SetPortName(name);
        for (int attempt = 0; attempt < 2; ++attempt) { // a leaked lock would turn the second into 8
            error = raised([&] { port.Open(); });
            EXPECT_EQ(error.code, code) << name;
            EXPECT_EQ(error.os_error, ENOTTY) << name;
            EXPECT_FALSE(port.isOpen());
            EXPECT_EQ(port.handle(), -1);
        }
    }
    EXPECT_EQ(QFile(QString::fromStdString(file)).size(), 0);

    // A speed termios cannot express fails the apply; the device is free again afterwards.
    port.SetPortName("COM1");
    port.SetBaudRate(12345);
    error = raised([&] { port.Open(); });
    EXPECT_EQ(error.code, comm::kSetState);
    EXPECT_FALSE(port.isOpen());
    port.SetBaudRate(9600);
    port.Open();
    EXPECT_TRUE(port.isOpen());
}

TEST_F(CommPortTest, ClosedPortAndOpenPortRefuseTheWrongCalls)
{
    SKIP_WITHOUT_SOCAT(bench);
    TCommPort port(bench.dataDir());
    EXPECT_EQ(raised([&] { (void)port.WriteText("x"); }).code, comm::kNotOpen);
    EXPECT_EQ(raised([&] { (void)port.ReadByte(); }).code, comm::kNotOpen);
    EXPECT_EQ(raised([&] { (void)port.InQueueCount(); }).code, comm::kNotOpen);

    port.Open();
    EXPECT_EQ(raised([&] { port.SetPortName("COM2"); }).code, comm::kSetPortNameWhileOpen);
    EXPECT_EQ(port.portName(), "COM1");
    // Nothing waiting: the read gives up after its time-out instead of blocking.
    const ECommError error = raised([&] { (void)port.ReadByte(); });
    EXPECT_EQ(error.code, comm::kRead);
    EXPECT_EQ(error.os_error, ETIMEDOUT);
}

TEST_F(CommPortTest, LineSettingsApplyAtOnceWhileOpenAndRefusalsRestore)
{
    SKIP_WITHOUT_SOCAT(bench);
    TCommPort port(bench.dataDir());
    port.SetBaudRate(19200); // closed: only stored
    port.Open();
    auto lineSpeed = [&] {
        termios t{};
        EXPECT_EQ(::tcgetattr(port.handle(), &t), 0);
        return ::cfgetospeed(&t);
    };
    EXPECT_EQ(lineSpeed(), speed_t(B19200));
    port.SetBaudRate(115200);
    EXPECT_EQ(lineSpeed(), speed_t(B115200));

    EXPECT_EQ(raised([&] { port.SetBaudRate(14400); }).code, comm::kSetBaudRate);
    EXPECT_EQ(port.baudRate(), 115200);
    EXPECT_EQ(lineSpeed(), speed_t(B115200));

    struct Refused {
        std::function<void()> call;
        std::int32_t code;
    };
    const Refused refused[] = {
        {[&] { port.SetByteSize(9); }, comm::kSetByteSize},
        {[&] { port.SetByteSize(4); }, comm::kSetByteSize},
        {[&] { port.SetParity(3); }, comm::kSetParity},
        {[&] { port.SetStopBits(1); }, comm::kSetStopBits},
    };
    for (const auto& row : refused) {
        const ECommError error = raised(row.call);
        EXPECT_EQ(error.code, row.code);
        EXPECT_EQ(error.os_error, EINVAL);
    }
    // The refused values were not kept: the next apply of a good value succeeds.
    port.SetBaudRate(9600);
    EXPECT_EQ(lineSpeed(), speed_t(B9600));
    termios t{};
    ASSERT_EQ(::tcgetattr(port.handle(), &t), 0);
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB), tcflag_t(CS8));
}

TEST_F(CommPortTest, SevenEvenOneCarriesItsParityBitOnTheLine)
{
    SKIP_WITHOUT_SOCAT(bench);
    TCommPort port(bench.dataDir());
    port.SetByteSize(7);
    port.SetParity(2);
    port.Open();
    SerialPeer peer(bench.pair->pathB());
    ASSERT_TRUE(peer.ok());
    // "1" has three ones and NAK three: both go with the parity bit; ACK and DC4 have an even count.
    EXPECT_EQ(port.WriteText("1\x06\x15\x14"), 4u);
    EXPECT_EQ(peer.receive(4), "\xB1\x06\x95\x14");
    // NAK with its parity bit reads as NAK; a byte whose parity is wrong reads as 0, never as an answer.
    ASSERT_TRUE(peer.send("\x06\x95\x15\x86"));
    EXPECT_EQ(readAvailable(port, 4), std::string("\x06\x15\0\0", 4));

    port.Close();
    port.SetByteSize(8);
    port.SetParity(0);
    port.Open();
    EXPECT_EQ(port.WriteText("1\x15"), 2u);
    EXPECT_EQ(peer.receive(2), "1\x15");
}

TEST(ResolvePortName, ComNamesLeadToDosdevicesLinksOrTtyS)
{
    QTemporaryDir dir;
    ASSERT_TRUE(QDir().mkpath(dir.path() + QStringLiteral("/dosdevices")));
    const std::string data = dir.path().toStdString();
    ASSERT_EQ(::symlink("/dev/null", (data + "/dosdevices/com3").c_str()), 0);
    ASSERT_EQ(::symlink("/nowhere", (data + "/dosdevices/com12").c_str()), 0); // dangling still counts

    struct Row {
        std::string name;
        std::string dataDir;
        std::string expected;
    };
    const Row rows[] = {
        {"COM3", data, data + "/dosdevices/com3"},
        {"\\\\.\\COM3", data, data + "/dosdevices/com3"},
        {"com3", data, data + "/dosdevices/com3"},
        {"COM3", data + "/", data + "/dosdevices/com3"},
        {"COM12", data, data + "/dosdevices/com12"},
        {"COM4", data, "/dev/ttyS3"},
        {"COM1", "", "/dev/ttyS0"},
        {"\\\\.\\COM256", "", "/dev/ttyS255"},
        // Not a COM port name: used as a path as it stands.
        {"COM0", data, "COM0"},
        {"COM", data, "COM"},
        {"COM03", data, "COM03"},
        {"COM3x", data, "COM3x"},
        {"COM99999999999", data, "COM99999999999"},
        {"\\\\.\\", data, ""},
        {"/dev/pts/7", data, "/dev/pts/7"},
        {"\\\\.\\/dev/ttyUSB0", data, "/dev/ttyUSB0"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(resolvePortName(row.name, row.dataDir), row.expected) << row.name << " in " << row.dataDir;
}
