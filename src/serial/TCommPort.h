// The serial port of the output link on POSIX termios, and the exception its failures raise.
#pragma once

#include <cstdint>
#include <string>
#include <termios.h>

// ECommError: the failing operation's code and the system's error number (errno) at that moment.
struct ECommError {
    std::int32_t code = 0;
    std::int32_t os_error = 0;
};

namespace comm {
// Codes of ECommError.
inline constexpr std::int32_t kSetBaudRate = 1;
inline constexpr std::int32_t kSetStopBits = 3;
inline constexpr std::int32_t kSetParity = 4;
inline constexpr std::int32_t kSetByteSize = 5;
inline constexpr std::int32_t kSetPortNameWhileOpen = 6;
inline constexpr std::int32_t kNotOpen = 7;
inline constexpr std::int32_t kOpenDevice = 8;
inline constexpr std::int32_t kWrite = 9;
inline constexpr std::int32_t kRead = 10;
inline constexpr std::int32_t kClose = 11;
inline constexpr std::int32_t kGetState = 14;
inline constexpr std::int32_t kSetState = 15;
inline constexpr std::int32_t kSetQueues = 16;
inline constexpr std::int32_t kSetTimeouts = 17;
inline constexpr std::int32_t kStatus = 18;
// What the port name leads to is no character device (a dosdevices link to a plain file, say).
inline constexpr std::int32_t kNotADevice = 19;
// The prefix the output link puts before COM_Nr; resolvePortName() strips it.
inline constexpr const char* kDevicePrefix = "\\\\.\\";
} // namespace comm

// Where a port name leads: "COMn" (with or without the "\\.\" prefix) is the link dosdevices/comn
// in `dataDir` when that link exists, else `ttyPrefix` followed by n-1 (/dev/ttyS<n-1>); any other
// name is used as a path.
[[nodiscard]] std::string resolvePortName(const std::string& name, const std::string& dataDir,
                                          const std::string& ttyPrefix = "/dev/ttyS");

class TCommPort {
public:
    // The time-outs of the port, in milliseconds; reads and writes are bounded by poll with them.
    struct Timeouts {
        std::uint32_t ReadIntervalTimeout = 0;
        std::uint32_t ReadTotalTimeoutMultiplier = 0;
        std::uint32_t ReadTotalTimeoutConstant = 0;
        std::uint32_t WriteTotalTimeoutMultiplier = 0;
        std::uint32_t WriteTotalTimeoutConstant = 0;
    };

    // `dataDir` is where the dosdevices links are looked for.
    explicit TCommPort(std::string dataDir = {});
    ~TCommPort();
    TCommPort(const TCommPort&) = delete;
    TCommPort& operator=(const TCommPort&) = delete;

    // All of these raise ECommError on failure. Main thread only.
    void Open();
    void Close();
    void SetBaudRate(std::int32_t baud);
    // Seven data bits with odd or even parity are framed in software over an eight-bit line (the same
    // signal), so they work where the driver has no seven-bit mode; a byte received with the wrong
    // parity reads as 0.
    void SetByteSize(std::uint8_t bits);
    void SetParity(std::uint8_t parity);     // 0 none, 1 odd, 2 even
    void SetStopBits(std::uint8_t stopBits); // 0 one, 2 two (1, one and a half, is refused when applied)
    void SetPortName(const std::string& name);
    // Bytes up to the first NUL, in one write call; returns how many went out, which may be fewer.
    [[nodiscard]] std::size_t WriteText(const std::string& text);
    [[nodiscard]] std::uint8_t ReadByte();
    [[nodiscard]] std::uint32_t InQueueCount();

    [[nodiscard]] bool isOpen() const { return is_open; }
    [[nodiscard]] const std::string& portName() const { return port_name; }
    [[nodiscard]] std::int32_t baudRate() const { return m_baud; }
    [[nodiscard]] const Timeouts& timeouts() const { return m_timeouts; }
    [[nodiscard]] int handle() const { return m_fd; }
    // Successful openings so far: tells one opening of the port from the next.
    [[nodiscard]] std::uint64_t openCount() const { return m_openCount; }
    // True when the open device has hung up or reports an error (a USB adapter unplugged, the other
    // end of a pseudo-terminal pair gone): nothing will pass it again until it is opened anew.
    [[nodiscard]] bool lineLost() const;
    // The device the last successful Open opened, and where the port name leads now.
    [[nodiscard]] const std::string& openedPath() const { return m_openedPath; }
    [[nodiscard]] std::string resolvedPath() const { return resolvePortName(port_name, m_dataDir); }

private:
    void applySettings(std::int32_t failCode); // restores nothing itself; callers do
    bool is_open = false;
    std::string port_name = "COM1";
    std::string m_dataDir;
    std::int32_t m_baud = 9600;
    std::uint8_t m_byteSize = 8;
    std::uint8_t m_parity = 0;
    std::uint8_t m_stopBits = 0;
    std::uint8_t m_softParity = 0; // 1 odd, 2 even: seven data bits framed here; 0 the driver frames
    Timeouts m_timeouts{};
    termios m_settings{};
    int m_fd = -1;
    std::uint64_t m_openCount = 0;
    std::string m_openedPath;
};
