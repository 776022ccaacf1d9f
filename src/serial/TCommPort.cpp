// The serial port of the output link on POSIX termios: exclusive open, raw line settings (7E1 made
// in software on an 8N1 line), and reads and writes bounded by poll with the port's time-outs.
#include "serial/TCommPort.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

// Line speeds termios can express; anything else is refused like a driver refuses a rate.
struct BaudEntry {
    std::int32_t baud;
    speed_t speed;
};
constexpr BaudEntry kBaudTable[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
    {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

bool speedFor(std::int32_t baud, speed_t& speed)
{
    for (const auto& entry : kBaudTable) {
        if (entry.baud == baud) {
            speed = entry.speed;
            return true;
        }
    }
    return false;
}

// Seven data bits and a parity bit are the same ten bits on the wire as eight data bits, no parity,
// whose top bit is that parity. Made here rather than by the driver, 7E1 works on every line:
// pseudo terminals and many USB adapters refuse or ignore seven-bit framing.
std::uint8_t withParity(std::uint8_t c, bool odd)
{
    const std::uint8_t data = c & 0x7F;
    const bool oddOnes = (std::popcount(data) & 1) != 0;
    return std::uint8_t(data | ((oddOnes != odd) ? 0x80 : 0x00));
}

// The seven data bits of a received byte, or 0 when its parity is wrong: a terminal driver that
// checks parity reads such a byte as 0 too, and 0 is no answer, so a damaged byte never counts.
std::uint8_t withoutParity(std::uint8_t b, bool odd)
{
    const bool oddOnes = (std::popcount(b) & 1) != 0;
    return oddOnes == odd ? std::uint8_t(b & 0x7F) : 0;
}

[[noreturn]] void fail(std::int32_t code, int osError)
{
    throw ECommError{code, osError};
}

// Waits until `events` are possible on `fd` or `timeoutMs` have passed. Returns 1 when ready, 0 on
// time-out, -1 with errno on failure. Signals do not shorten the wait.
int pollFor(int fd, short events, std::uint32_t timeoutMs)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd entry{fd, events, 0};
        const int rc = ::poll(&entry, 1, left > 0 ? static_cast<int>(left) : 0);
        if (rc >= 0) {
            return rc;
        }
        if (errno != EINTR) {
            return -1;
        }
    }
}

// Ends our hold of a descriptor: the exclusive-use flag of the terminal is sticky beyond our close
// on some drivers (a pty stays allocated while its other side is open), so it is cleared first.
int release(int fd)
{
    (void)::ioctl(fd, TIOCNXCL);
    return ::close(fd);
}

// Stores a line setting; on an open port applies it at once, and when the port refuses it puts the
// old value back, on the line too, since a refused call may have changed part of it.
template <typename T, typename Apply> void changeSetting(T& field, T value, bool open, const Apply& apply)
{
    const T old = field;
    field = value;
    if (!open) {
        return;
    }
    try {
        apply();
    } catch (const ECommError&) {
        field = old;
        try {
            apply();
        } catch (const ECommError&) {
            // The line keeps what the driver left; the first failure is the one to report.
        }
        throw;
    }
}

bool parseComNumber(const std::string& name, unsigned& number)
{
    if (name.size() < 4 || name.size() > 9) {
        return false;
    }
    for (std::size_t i = 0; i < 3; ++i) {
        const char c = static_cast<char>(name[i] & ~0x20); // upper case for letters
        if (c != "COM"[i]) {
            return false;
        }
    }
    const char* first = name.data() + 3;
    const char* last = name.data() + name.size();
    if (*first < '1' || *first > '9') {
        return false; // no number, COM0, or a leading zero: not a COM port name
    }
    const auto [end, ec] = std::from_chars(first, last, number);
    return ec == std::errc{} && end == last;
}

} // namespace

std::string resolvePortName(const std::string& name, const std::string& dataDir, const std::string& ttyPrefix)
{
    std::string bare = name;
    const std::string prefix = comm::kDevicePrefix;
    if (bare.compare(0, prefix.size(), prefix) == 0) {
        bare.erase(0, prefix.size());
    }
    unsigned number = 0;
    if (!parseComNumber(bare, number)) {
        return bare;
    }
    if (!dataDir.empty()) {
        std::string link = dataDir;
        if (link.back() != '/') {
            link += '/';
        }
        link += "dosdevices/com" + std::to_string(number);
        struct stat info {};
        if (::lstat(link.c_str(), &info) == 0) {
            return link;
        }
    }
    return ttyPrefix + std::to_string(number - 1);
}

TCommPort::TCommPort(std::string dataDir) : m_dataDir(std::move(dataDir)) {}

TCommPort::~TCommPort()
{
    try {
        Close();
    } catch (const ECommError&) {
        // The descriptor is gone either way; nobody is left to tell.
    }
}

void TCommPort::Open()
{
    if (is_open) {
        return;
    }
    const std::string path = resolvePortName(port_name, m_dataDir);
    // Non-blocking, so that a modem line waiting for carrier cannot hang the main thread; it stays
    // so, because every read and write waits in poll with the port's time-outs.
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        fail(comm::kOpenDevice, errno);
    }
    // Only a terminal device is a port: a dosdevices link someone pointed at a file would otherwise
    // take the alarm lines into that file.
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISCHR(info.st_mode)) {
        ::close(fd);
        fail(comm::kNotADevice, ENOTTY);
    }
    // TIOCEXCL does not stop a privileged process, the lock does; the lock is taken first so that
    // a refused open leaves the other holder's exclusive flag alone.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd);
        fail(comm::kOpenDevice, error);
    }
    if (::ioctl(fd, TIOCEXCL) != 0 && errno != ENOTTY) {
        const int error = errno;
        ::close(fd);
        fail(comm::kOpenDevice, error);
    }
    termios current{};
    if (::tcgetattr(fd, &current) != 0) {
        const int error = errno;
        release(fd);
        fail(comm::kGetState, error);
    }
    m_settings = current;
    m_fd = fd;
    try {
        applySettings(comm::kSetState);
        // DTR and RTS off; a pseudo terminal has no modem lines and refuses the request.
        int lines = TIOCM_DTR | TIOCM_RTS;
        if (::ioctl(fd, TIOCMBIC, &lines) != 0 && errno != ENOTTY && errno != EINVAL) {
            fail(comm::kSetState, errno);
        }
    } catch (const ECommError&) {
        m_fd = -1;
        release(fd);
        throw;
    }
    // Driver queue sizes have no counterpart here; the time-outs become poll limits.
    m_timeouts = Timeouts{15, 10, 250, 10, 250};
    is_open = true;
    ++m_openCount;
    m_openedPath = path;
}

bool TCommPort::lineLost() const
{
    if (!is_open) {
        return false;
    }
    pollfd entry{m_fd, 0, 0}; // hang-up and error are reported whatever is asked for
    return ::poll(&entry, 1, 0) > 0 && (entry.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

void TCommPort::applySettings(std::int32_t failCode)
{
    termios wanted = m_settings;
    speed_t speed{};
    if (!speedFor(m_baud, speed) || m_byteSize < 5 || m_byteSize > 8 || m_parity > 2 ||
        (m_stopBits != 0 && m_stopBits != 2)) {
        fail(failCode, EINVAL);
    }
    // Raw bytes both ways: the lines carry DC4 and the answers ACK/NAK, and a canonical, echoing or
    // CR/LF-mapping terminal would corrupt them or send them back. Hardware flow control stays as it
    // was; XON/XOFF does not, although a Linux terminal starts with it on: the link never uses it, and
    // one stray 0x13 from the automation side would stop every later line until a 0x11 came.
    wanted.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                             IXON | IXOFF | IXANY);
#ifdef IUCLC
    wanted.c_iflag &= ~static_cast<tcflag_t>(IUCLC);
#endif
    wanted.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    wanted.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    // Seven bits with parity go out as eight plain bits; see withParity.
    const bool softParity = m_byteSize == 7 && m_parity != 0;
    tcflag_t framing = 0;
    switch (softParity ? std::uint8_t(8) : m_byteSize) {
    case 5:
        framing = CS5;
        break;
    case 6:
        framing = CS6;
        break;
    case 7:
        framing = CS7;
        break;
    default:
        framing = CS8;
        break;
    }
    if (m_parity != 0 && !softParity) {
        framing |= PARENB;
    }
    if (m_parity == 1 && !softParity) {
        framing |= PARODD;
    }
    if (m_stopBits == 2) {
        framing |= CSTOPB;
    }
    constexpr tcflag_t kFramingMask = CSIZE | PARENB | PARODD | CSTOPB;
    wanted.c_cflag &= ~kFramingMask;
#ifdef CMSPAR
    wanted.c_cflag &= ~static_cast<tcflag_t>(CMSPAR);
#endif
    wanted.c_cflag |= framing | CLOCAL | CREAD;
    wanted.c_cc[VMIN] = 1;
    wanted.c_cc[VTIME] = 0;
    if (::cfsetospeed(&wanted, speed) != 0 || ::cfsetispeed(&wanted, speed) != 0) {
        fail(failCode, errno);
    }
    if (::tcsetattr(m_fd, TCSANOW, &wanted) != 0) {
        fail(failCode, errno);
    }
    // tcsetattr succeeds when any part was taken; a driver that dropped the speed or the framing
    // has refused the settings.
    termios applied{};
    if (::tcgetattr(m_fd, &applied) != 0) {
        fail(failCode, errno);
    }
    if (::cfgetospeed(&applied) != speed || (applied.c_cflag & kFramingMask) != framing) {
        fail(failCode, EINVAL);
    }
    m_settings = applied;
    m_softParity = softParity ? m_parity : 0;
}

void TCommPort::Close()
{
    if (!is_open) {
        return;
    }
    // Closing a terminal waits for unsent output, up to 30 s on a flow-stopped line; give the last
    // line the write time-out to go out, then drop the rest so the main thread never hangs here.
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(m_timeouts.WriteTotalTimeoutConstant);
    int pending = 0;
    while (::ioctl(m_fd, TIOCOUTQ, &pending) == 0 && pending > 0 &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    (void)::tcflush(m_fd, TCOFLUSH);
    const int fd = m_fd;
    m_fd = -1;
    is_open = false;
    if (release(fd) != 0) {
        fail(comm::kClose, errno);
    }
}

void TCommPort::SetBaudRate(std::int32_t baud)
{
    changeSetting(m_baud, baud, is_open, [this] { applySettings(comm::kSetBaudRate); });
}

void TCommPort::SetByteSize(std::uint8_t bits)
{
    changeSetting(m_byteSize, bits, is_open, [this] { applySettings(comm::kSetByteSize); });
}

void TCommPort::SetParity(std::uint8_t parity)
{
    changeSetting(m_parity, parity, is_open, [this] { applySettings(comm::kSetParity); });
}

void TCommPort::SetStopBits(std::uint8_t stopBits)
{
    changeSetting(m_stopBits, stopBits, is_open, [this] { applySettings(comm::kSetStopBits); });
}

void TCommPort::SetPortName(const std::string& name)
{
    if (is_open) {
        fail(comm::kSetPortNameWhileOpen, 0);
    }
    port_name = name;
}

std::size_t TCommPort::WriteText(const std::string& text)
{
    if (!is_open) {
        fail(comm::kNotOpen, 0);
    }
    const std::size_t length = std::min(text.find('\0'), text.size());
    if (length == 0) {
        return 0;
    }
    const std::uint64_t limit =
        m_timeouts.WriteTotalTimeoutConstant + std::uint64_t{m_timeouts.WriteTotalTimeoutMultiplier} * length;
    const int ready =
        pollFor(m_fd, POLLOUT, static_cast<std::uint32_t>(std::min<std::uint64_t>(limit, 60000)));
    if (ready < 0) {
        fail(comm::kWrite, errno);
    }
    if (ready == 0) {
        // Nothing could go out within the time-out: the line is lost, which the caller must hear.
        fail(comm::kWrite, ETIMEDOUT);
    }
    const char* bytes = text.data();
    std::string framed;
    if (m_softParity != 0) {
        framed.resize(length);
        for (std::size_t i = 0; i < length; ++i) {
            framed[i] = char(withParity(std::uint8_t(text[i]), m_softParity == 1));
        }
        bytes = framed.data();
    }
    const ssize_t written = ::write(m_fd, bytes, length);
    if (written < 0) {
        fail(comm::kWrite, errno);
    }
    return static_cast<std::size_t>(written);
}

std::uint8_t TCommPort::ReadByte()
{
    if (!is_open) {
        fail(comm::kNotOpen, 0);
    }
    const std::uint32_t limit = m_timeouts.ReadTotalTimeoutConstant + m_timeouts.ReadTotalTimeoutMultiplier;
    const int ready = pollFor(m_fd, POLLIN, limit);
    if (ready < 0) {
        fail(comm::kRead, errno);
    }
    if (ready == 0) {
        fail(comm::kRead, ETIMEDOUT);
    }
    std::uint8_t byte = 0;
    const ssize_t got = ::read(m_fd, &byte, 1);
    if (got < 0) {
        fail(comm::kRead, errno);
    }
    if (got == 0) {
        fail(comm::kRead, EIO); // the line has hung up
    }
    return m_softParity != 0 ? withoutParity(byte, m_softParity == 1) : byte;
}

std::uint32_t TCommPort::InQueueCount()
{
    if (!is_open) {
        fail(comm::kNotOpen, 0);
    }
    int waiting = 0;
    if (::ioctl(m_fd, FIONREAD, &waiting) != 0) {
        fail(comm::kStatus, errno);
    }
    return waiting > 0 ? static_cast<std::uint32_t>(waiting) : 0;
}
