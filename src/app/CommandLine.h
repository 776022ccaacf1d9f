// The program's command line: data directory, service mode and configuration without a display.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

struct CommandLine {
    std::string dir;       // empty: the executable's directory
    bool headless = false; // asked for with --headless
    bool showConfig = false;
    bool showSecrets = false; // --show-secrets: --show-config prints the key itself
    bool help = false;
    std::vector<std::pair<std::string, std::string>> sets; // --set NAME=VALUE, in order
    std::vector<std::string> addAccounts;       // --add-account ACCOUNT: put into the Object List, in order
    std::vector<std::string> setAccountKeys;    // --set-account-key ACCOUNT:FORMAT:KEY, in order
    std::vector<std::string> removeAccountKeys; // --remove-account-key ACCOUNT, in order
    bool showAccountKeys = false;
    std::string screenshot;       // --screenshot FILE: grab the main window once it shows, then close
    int screenshotAfterMs = 2500; // --screenshot-after SECONDS
    // --show events,objects,serial,log: windows opened at start. Without a display the program then
    // still builds its window, on the offscreen platform, with the service's default answers and log
    // lines on standard output (for benchmarks and pictures).
    std::vector<std::string> show;
    // --export-events FILE (- for standard output): the event log's events as CSV, and exit;
    // --account, --from and --to narrow it (or, with --show events, fill the Event List's filter).
    std::optional<std::string> exportEvents;
    std::string exportAccount;
    std::string exportFrom; // YYYY-MM-DD, as given
    std::string exportTo;

    // Anything to do that needs no window?
    [[nodiscard]] bool configOnly() const
    {
        return showConfig || !sets.empty() || !addAccounts.empty() || accountKeysOnly();
    }
    // Anything that changes the data directory (and so needs it to be free)?
    [[nodiscard]] bool changesFiles() const
    {
        return !sets.empty() || !addAccounts.empty() || changesAccountKeys();
    }
    [[nodiscard]] bool changesAccountKeys() const
    {
        return !setAccountKeys.empty() || !removeAccountKeys.empty();
    }
    [[nodiscard]] bool accountKeysOnly() const { return changesAccountKeys() || showAccountKeys; }
};

struct CommandLineError {
    std::string message;
};

// Parses argv[1..]; the error names the argument at fault.
[[nodiscard]] std::pair<CommandLine, std::optional<CommandLineError>>
parseCommandLine(int argc, const char* const* argv);

[[nodiscard]] std::string commandLineHelp();
