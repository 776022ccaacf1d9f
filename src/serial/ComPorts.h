// Which serial ports COM1 to COM64 can be offered for the output link, and which one the
// configuration then chooses. No Qt: plain POSIX calls on the devices.
#pragma once

#include <string>
#include <vector>

namespace comports {

inline constexpr int kFirstPort = 1;
inline constexpr int kLastPort = 64;

// Where "COMn" is looked for: the link dosdevices/comn in `dataDir`, else `ttyPrefix` + (n-1).
struct Lookup {
    std::string dataDir;
    std::string ttyPrefix = "/dev/ttyS";
};

enum class Probe {
    Missing, // nothing there (a dangling link counts as nothing)
    InUse,   // held by another program, or by this one
    NoUart,  // a /dev/ttyS node the kernel knows no UART for
    Usable,
};

// The path "COMn" resolves to.
[[nodiscard]] std::string devicePath(int n, const Lookup& lookup);
// Opens the device as the output link would (read-write, exclusive) and closes it at once.
[[nodiscard]] Probe probe(const std::string& path);
// A serial device the kernel has a UART for: true for every device that is not a /dev/ttyS node
// (a pseudo-terminal, a USB adapter); for /dev/ttyS<n> only when its port type is known.
[[nodiscard]] bool hasUart(const std::string& path);
// "COM1" ... "COM64" that exist and can be opened now, in order.
[[nodiscard]] std::vector<std::string> usablePorts(const Lookup& lookup);

// The list entry to select for the configured port, and the configured port itself: an empty one
// becomes the first usable port. `index` is names.size() when the configured port is not listed.
struct Selection {
    std::size_t index = 0;
    std::string configured;
};
[[nodiscard]] Selection choose(const std::vector<std::string>& names, std::string configured);

} // namespace comports
