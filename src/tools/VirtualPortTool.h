// "Virtual Serial Ports": a pair of connected virtual serial ports for an automation software on
// the same computer, made by socat joining two new pseudo-terminals that appear as the first two
// free COM numbers (links in the data directory's dosdevices folder). The pair outlives the
// program, as a driver's ports would.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class VirtualPortTool {
public:
    static constexpr int kLastVirtualPort = 63;

    struct Options {
        std::string dataDir;
        // Where the tool is looked for, in this order.
        std::vector<std::string> candidates = {"/usr/bin/socat", "/usr/local/bin/socat"};
        // COMn is not free while ttyPrefix + (n-1) is a serial port with a UART behind it.
        std::string ttyPrefix = "/dev/ttyS";
    };

    enum class Outcome {
        Started,      // the tool runs; `links` appear once it has made them
        ToolNotFound, // a virtual port exists but no tool does
        NothingToRun, // neither a virtual port nor a tool
        StartFailed,  // the tool could not be started (or no two COM numbers are free)
    };
    struct Result {
        Outcome outcome = Outcome::NothingToRun;
        std::string commandLine;        // the whole command line of a started tool
        std::vector<std::string> links; // the links it makes, full paths
        std::int64_t pid = 0;           // of the started tool
    };

    // What the menu entry does: looks for a virtual port and the tool, and starts the tool when it can.
    [[nodiscard]] static Result run(const Options& options);

    // dosdevices/comN (N = 1..63) that is a link to a pseudo-terminal that exists; the first such N.
    [[nodiscard]] static std::optional<int> findVirtualPort(const std::string& dataDir);
    [[nodiscard]] static bool isVirtualPort(const std::string& link);
    [[nodiscard]] static std::optional<std::string> findTool(const std::vector<std::string>& candidates);
    // The first `count` COM numbers (1..63) with no link of that name and no serial port with a UART.
    [[nodiscard]] static std::vector<int> freeNumbers(const Options& options, std::size_t count);
    [[nodiscard]] static std::string linkPath(const std::string& dataDir, int number);
};
