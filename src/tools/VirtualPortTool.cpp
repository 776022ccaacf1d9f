// Looking for virtual ports and the tool, and starting socat detached.
#include "tools/VirtualPortTool.h"

#include "serial/ComPorts.h"

#include <QDir>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <climits>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string dosdevices(const std::string& dataDir)
{
    std::string dir = dataDir.empty() ? std::string("./") : dataDir;
    if (dir.back() != '/')
        dir += '/';
    return dir + "dosdevices";
}

// socat reads its addresses itself: a path with any of its separators or quotes in it cannot be
// given as it is.
bool plainForSocat(const std::string& path)
{
    for (const char c : path) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                           c == '/' || c == '.' || c == '_' || c == '-' || c == '+';
        if (!plain)
            return false;
    }
    return true;
}

} // namespace

std::string VirtualPortTool::linkPath(const std::string& dataDir, int number)
{
    return dosdevices(dataDir) + "/com" + std::to_string(number);
}

bool VirtualPortTool::isVirtualPort(const std::string& link)
{
    struct stat info {};
    if (::lstat(link.c_str(), &info) != 0 || !S_ISLNK(info.st_mode))
        return false;
    char real[PATH_MAX];
    if (::realpath(link.c_str(), real) == nullptr)
        return false; // a link whose terminal has gone
    const std::string target(real);
    return target.rfind("/dev/pts/", 0) == 0 && ::stat(real, &info) == 0 && S_ISCHR(info.st_mode);
}

std::optional<int> VirtualPortTool::findVirtualPort(const std::string& dataDir)
{
    for (int n = 1; n <= kLastVirtualPort; ++n)
        if (isVirtualPort(linkPath(dataDir, n)))
            return n;
    return std::nullopt;
}

std::optional<std::string> VirtualPortTool::findTool(const std::vector<std::string>& candidates)
{
    for (const std::string& candidate : candidates) {
        struct stat info {};
        if (::stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode))
            return candidate;
    }
    return std::nullopt;
}

std::vector<int> VirtualPortTool::freeNumbers(const Options& options, std::size_t count)
{
    std::vector<int> numbers;
    for (int n = 1; n <= kLastVirtualPort && numbers.size() < count; ++n) {
        struct stat info {};
        if (::lstat(linkPath(options.dataDir, n).c_str(), &info) == 0)
            continue;
        const std::string tty = options.ttyPrefix + std::to_string(n - 1);
        if (::stat(tty.c_str(), &info) == 0 && comports::hasUart(tty))
            continue;
        numbers.push_back(n);
    }
    return numbers;
}

VirtualPortTool::Result VirtualPortTool::run(const Options& options)
{
    Result result;
    const bool virtualPort = findVirtualPort(options.dataDir).has_value();
    const std::optional<std::string> tool = findTool(options.candidates);
    if (!tool) {
        result.outcome = virtualPort ? Outcome::ToolNotFound : Outcome::NothingToRun;
        return result;
    }
    result.outcome = Outcome::StartFailed;
    const std::vector<int> numbers = freeNumbers(options, 2);
    const QString folder = QString::fromStdString(dosdevices(options.dataDir));
    if (numbers.size() < 2 || !QDir().mkpath(folder))
        return result;

    QStringList arguments;
    for (const int n : numbers) {
        const std::string link = linkPath(options.dataDir, n);
        result.links.push_back(link);
        // Run in the dosdevices folder, a link can always be named by its bare name.
        const std::string named = plainForSocat(link) ? link : "com" + std::to_string(n);
        arguments << QString::fromStdString("pty,raw,echo=0,link=" + named);
    }
    QProcess process;
    process.setProgram(QString::fromStdString(*tool));
    process.setArguments(arguments);
    process.setWorkingDirectory(folder);
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    qint64 pid = 0;
    if (!process.startDetached(&pid))
        return result;
    result.outcome = Outcome::Started;
    result.pid = pid;
    result.commandLine = *tool + ' ' + arguments.join(QLatin1Char(' ')).toStdString();
    return result;
}
