// Looking for virtual ports and the tool, starting socat as a child process and watching it.
#include "tools/VirtualPortTool.h"

#include "serial/ComPorts.h"

#include <QDir>
#include <QString>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

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

// socat as a child: started with posix_spawn, which reports a program that cannot be run (as
// QProcess's detached start does not), with none of the receiver's descriptors (its sockets, its
// lock) passed on.
class ChildProcess final : public VirtualPortTool::Process {
public:
    ~ChildProcess() override { stop(); }

    std::int64_t start(const std::vector<std::string>& argv, const std::string& folder) override
    {
        std::vector<char*> args;
        for (const std::string& arg : argv)
            args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
        posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
        pid_t pid = 0;
        const int rc = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        m_pid = rc == 0 ? pid : 0;
        return m_pid;
    }

    bool running(std::string& how) override
    {
        if (m_pid <= 0)
            return false;
        int status = 0;
        const pid_t done = ::waitpid(m_pid, &status, WNOHANG);
        if (done == 0 || (done < 0 && errno == EINTR))
            return true;
        m_pid = 0; // reaped: the number may belong to another process from now on
        how = done < 0              ? "an unknown status"
              : WIFSIGNALED(status) ? "signal " + std::to_string(WTERMSIG(status))
                                    : "exit status " + std::to_string(WEXITSTATUS(status));
        return false;
    }

    void stop() override
    {
        std::string how;
        if (!running(how))
            return;
        ::kill(m_pid, SIGTERM);
        // socat removes its links as it ends, within milliseconds; one that does not is killed.
        for (int waited = 0; waited < 1000; waited += 5) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            if (!running(how))
                return;
        }
        ::kill(m_pid, SIGKILL);
        int status = 0;
        while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
        }
        m_pid = 0;
    }

private:
    pid_t m_pid = 0;
};

} // namespace

std::unique_ptr<VirtualPortTool::Process> VirtualPortTool::childProcess()
{
    return std::make_unique<ChildProcess>();
}

VirtualPortTool::VirtualPortTool(const Clock& clock) : m_clock(clock) {}

VirtualPortTool::~VirtualPortTool()
{
    stop();
}

std::string VirtualPortTool::portsText(const std::vector<std::string>& links)
{
    std::string text = "Virtual serial ports ";
    for (std::size_t i = 0; i < links.size(); ++i) {
        if (i > 0)
            text += i + 1 == links.size() ? " and " : ", ";
        const std::size_t slash = links[i].rfind('/');
        std::string name = links[i].substr(slash == std::string::npos ? 0 : slash + 1);
        if (name.rfind("com", 0) == 0)
            name.replace(0, 3, "COM");
        text += name;
    }
    return text;
}

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

std::vector<int> VirtualPortTool::virtualPorts(const std::string& dataDir)
{
    std::vector<int> numbers;
    for (int n = 1; n <= kLastVirtualPort; ++n)
        if (isVirtualPort(linkPath(dataDir, n)))
            numbers.push_back(n);
    return numbers;
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
    // The pair this program started serves while it runs and has its links (or is about to make
    // them); one whose links were taken away is ended and made anew.
    if (m_process) {
        std::string how;
        bool live = m_process->running(how);
        for (const std::string& link : m_links)
            live = live && (m_awaiting || isVirtualPort(link));
        if (live) {
            result.outcome = Outcome::Reused;
            result.links = m_links;
            return m_last = result;
        }
        stop();
    }
    const std::vector<int> live = virtualPorts(options.dataDir);
    const std::optional<std::string> tool = findTool(options.candidates);
    if (!tool) {
        result.outcome = live.empty() ? Outcome::NothingToRun : Outcome::ToolNotFound;
        return m_last = result;
    }
    // Two live ports (a pair from before, or one an operator made) are what a new pair would give.
    if (live.size() >= 2) {
        result.outcome = Outcome::Reused;
        for (const int n : live)
            result.links.push_back(linkPath(options.dataDir, n));
        return m_last = result;
    }
    result.outcome = Outcome::StartFailed;
    const std::vector<int> numbers = freeNumbers(options, 2);
    const QString folder = QString::fromStdString(dosdevices(options.dataDir));
    if (numbers.size() < 2 || !QDir().mkpath(folder))
        return m_last = result;

    std::vector<std::string> argv = {*tool};
    for (const int n : numbers) {
        const std::string link = linkPath(options.dataDir, n);
        result.links.push_back(link);
        // Run in the dosdevices folder, a link can always be named by its bare name.
        const std::string named = plainForSocat(link) ? link : "com" + std::to_string(n);
        argv.push_back("pty,raw,echo=0,link=" + named);
    }
    std::unique_ptr<Process> process = options.newProcess ? options.newProcess() : childProcess();
    const std::int64_t pid = process->start(argv, folder.toStdString());
    if (pid <= 0)
        return m_last = result;
    result.outcome = Outcome::Started;
    result.pid = pid;
    for (const std::string& arg : argv)
        result.commandLine += (result.commandLine.empty() ? "" : " ") + arg;
    m_process = std::move(process);
    m_links = result.links;
    m_startedAt = m_clock.steadyMillis();
    m_awaiting = true;
    return m_last = result;
}

VirtualPortTool::Check VirtualPortTool::poll()
{
    Check check;
    if (!m_process)
        return check;
    std::string how;
    if (!m_process->running(how)) {
        m_process.reset();
        m_awaiting = false;
        check.event = Event::Ended;
        check.text = portsText(m_links) + " are gone: socat ended with " + how + ".";
        return check;
    }
    if (!m_awaiting)
        return check;
    bool all = true;
    for (const std::string& link : m_links)
        all = all && isVirtualPort(link);
    if (all) {
        m_awaiting = false;
        check.event = Event::LinksReady;
    } else if (m_clock.steadyMillis() - m_startedAt >= kLinkWaitMillis) {
        // A pair without its links serves nobody; the next click tries again.
        m_process->stop();
        m_process.reset();
        m_awaiting = false;
        check.event = Event::LinksMissing;
        check.text = portsText(m_links) + " did not appear within 1 s; socat was stopped.";
    }
    return check;
}

void VirtualPortTool::stop()
{
    if (!m_process)
        return;
    m_process->stop();
    m_process.reset();
    m_awaiting = false;
}
