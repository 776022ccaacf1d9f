// Probing COM1 to COM64: resolve, open exclusively as the link would, and tell real UARTs from the
// /dev/ttyS nodes that exist on every Linux machine whether or not a port is behind them.
#include "serial/ComPorts.h"

#include "serial/TCommPort.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace comports {

namespace {

// The kernel's own serial nodes, whatever prefix the lookup uses.
bool isKernelSerialNode(const std::string& path)
{
    char real[PATH_MAX];
    if (::realpath(path.c_str(), real) == nullptr)
        return false;
    const std::string resolved(real);
    const std::string prefix = "/dev/ttyS";
    if (resolved.compare(0, prefix.size(), prefix) != 0 || resolved.size() == prefix.size())
        return false;
    for (std::size_t i = prefix.size(); i < resolved.size(); ++i)
        if (resolved[i] < '0' || resolved[i] > '9')
            return false;
    return true;
}

bool uartBehind(int fd)
{
    serial_struct info{};
    // A driver that cannot say is given the benefit of the doubt.
    if (::ioctl(fd, TIOCGSERIAL, &info) != 0)
        return true;
    return info.type != PORT_UNKNOWN;
}

} // namespace

std::string devicePath(int n, const Lookup& lookup)
{
    return resolvePortName("COM" + std::to_string(n), lookup.dataDir, lookup.ttyPrefix);
}

bool hasUart(const std::string& path)
{
    if (!isKernelSerialNode(path))
        return true;
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool present = uartBehind(fd);
    ::close(fd);
    return present;
}

Probe probe(const std::string& path)
{
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISCHR(info.st_mode))
        return Probe::Missing; // a link to anything but a device is no port
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return (errno == EBUSY || errno == EACCES || errno == EPERM) ? Probe::InUse : Probe::Missing;
    // The link's own open takes this lock, so a port this or another receiver holds shows as in use;
    // a program that only set the exclusive mode is seen by asking for it.
    Probe result = Probe::Usable;
    int exclusive = 0;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || (::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0))
        result = Probe::InUse;
    else if (isKernelSerialNode(path) && !uartBehind(fd))
        result = Probe::NoUart;
    ::close(fd); // releases the lock
    return result;
}

std::vector<std::string> usablePorts(const Lookup& lookup)
{
    std::vector<std::string> names;
    for (int n = kFirstPort; n <= kLastPort; ++n)
        if (probe(devicePath(n, lookup)) == Probe::Usable)
            names.push_back("COM" + std::to_string(n));
    return names;
}

Selection choose(const std::vector<std::string>& names, std::string configured)
{
    Selection s;
    bool found = false;
    for (const std::string& name : names) {
        if (configured.empty())
            configured = name;
        if (configured == name && !found)
            found = true;
        else if (!found)
            ++s.index;
    }
    s.configured = std::move(configured);
    return s;
}

} // namespace comports
