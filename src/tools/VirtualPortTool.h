// "Virtual Serial Ports": a pair of connected virtual serial ports for an automation software on
// the same computer, made by socat joining two new pseudo-terminals that appear as the first two
// free COM numbers (links in the data directory's dosdevices folder). socat runs as the program's
// child: a pair that is there already is used again rather than joined by another, and the pair the
// program started ends when the program closes.
#pragma once

#include "config/Clock.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class VirtualPortTool {
public:
    static constexpr int kLastVirtualPort = 63;
    // socat makes its links within a moment; after this long without them the pair counts as failed.
    static constexpr std::int64_t kLinkWaitMillis = 1000;

    // The started tool: the real one is a child process; tests give one that only pretends.
    class Process {
    public:
        virtual ~Process() = default;
        // Starts argv[0] with the rest as its arguments, in `folder`; its process number, or 0 when
        // it could not be started.
        virtual std::int64_t start(const std::vector<std::string>& argv, const std::string& folder) = 0;
        // Whether it still runs; once it has ended, `how` says how ("exit status 1", "signal 9").
        virtual bool running(std::string& how) = 0;
        // Ends it and waits (bounded) until it has gone, so its links are gone too.
        virtual void stop() = 0;
    };
    [[nodiscard]] static std::unique_ptr<Process> childProcess();

    struct Options {
        std::string dataDir;
        // Where the tool is looked for, in this order.
        std::vector<std::string> candidates = {"/usr/bin/socat", "/usr/local/bin/socat"};
        // COMn is not free while ttyPrefix + (n-1) is a serial port with a UART behind it.
        std::string ttyPrefix = "/dev/ttyS";
        std::function<std::unique_ptr<Process>()> newProcess = childProcess;
    };

    enum class Outcome {
        Started,      // the tool runs; `links` appear once it has made them
        Reused,       // a live pair is there already (`links`); nothing was started
        ToolNotFound, // a virtual port exists but no tool does
        NothingToRun, // neither a virtual port nor a tool
        StartFailed,  // the tool could not be started (or no two COM numbers are free)
    };
    struct Result {
        Outcome outcome = Outcome::NothingToRun;
        std::string commandLine;        // the whole command line of a started tool
        std::vector<std::string> links; // the links it makes, or the ones reused, full paths
        std::int64_t pid = 0;           // of the started tool
    };

    // What one look at a started pair found.
    enum class Event {
        None,
        LinksReady,   // both links are there: the port list may offer them
        LinksMissing, // not there within kLinkWaitMillis: the tool was stopped
        Ended,        // the tool ended by itself
    };
    struct Check {
        Event event = Event::None;
        std::string text; // the log line for LinksMissing and Ended
    };

    explicit VirtualPortTool(const Clock& clock);
    ~VirtualPortTool(); // ends the pair this program started
    VirtualPortTool(const VirtualPortTool&) = delete;
    VirtualPortTool& operator=(const VirtualPortTool&) = delete;

    // What the menu entry does: uses a live pair again, or looks for the tool and starts it.
    [[nodiscard]] Result run(const Options& options);
    // The timer's handler while a started pair runs (active()): waits for its links, then watches
    // that the tool goes on running.
    [[nodiscard]] Check poll();
    // Ends the pair this program started, if one runs.
    void stop();
    [[nodiscard]] bool active() const { return m_process != nullptr; }
    // Whether the links of a started pair are still awaited.
    [[nodiscard]] bool awaitingLinks() const { return m_process != nullptr && m_awaiting; }
    [[nodiscard]] const Result& lastResult() const { return m_last; }

    // "Virtual serial ports COM1 and COM2": the links named by their COM numbers.
    [[nodiscard]] static std::string portsText(const std::vector<std::string>& links);
    // dosdevices/comN (N = 1..63) that is a link to a pseudo-terminal that exists; the first such N.
    [[nodiscard]] static std::optional<int> findVirtualPort(const std::string& dataDir);
    // Every such N, in order.
    [[nodiscard]] static std::vector<int> virtualPorts(const std::string& dataDir);
    [[nodiscard]] static bool isVirtualPort(const std::string& link);
    [[nodiscard]] static std::optional<std::string> findTool(const std::vector<std::string>& candidates);
    // The first `count` COM numbers (1..63) with no link of that name and no serial port with a UART.
    [[nodiscard]] static std::vector<int> freeNumbers(const Options& options, std::size_t count);
    [[nodiscard]] static std::string linkPath(const std::string& dataDir, int number);

private:
    const Clock& m_clock;
    std::unique_ptr<Process> m_process; // the pair this program started, while it runs
    std::vector<std::string> m_links;   // its links
    std::int64_t m_startedAt = 0;
    bool m_awaiting = false;
    Result m_last;
};
