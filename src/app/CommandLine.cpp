// Parsing of the command line, done before the application object exists because --headless
// decides which display platform Qt loads.
#include "app/CommandLine.h"

#include <algorithm>
#include <cstdlib>
#include <string_view>

std::pair<CommandLine, std::optional<CommandLineError>> parseCommandLine(int argc, const char* const* argv)
{
    CommandLine cl;
    auto fail = [&cl](std::string message) {
        return std::pair<CommandLine, std::optional<CommandLineError>>{cl,
                                                                       CommandLineError{std::move(message)}};
    };
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        // Both "--opt value" and "--opt=value".
        auto value = [&](std::string_view option) -> std::optional<std::string> {
            if (arg.size() > option.size() && arg.substr(0, option.size()) == option &&
                arg[option.size()] == '=')
                return std::string(arg.substr(option.size() + 1));
            if (arg == option && i + 1 < argc)
                return std::string(argv[++i]);
            return std::nullopt;
        };
        auto isOption = [&](std::string_view option) {
            return arg == option || (arg.size() > option.size() && arg.substr(0, option.size()) == option &&
                                     arg[option.size()] == '=');
        };
        if (arg == "--help" || arg == "-h") {
            cl.help = true;
        } else if (arg == "--headless") {
            cl.headless = true;
        } else if (arg == "--show-config") {
            cl.showConfig = true;
        } else if (arg == "--show-secrets") {
            cl.showConfig = true;
            cl.showSecrets = true;
        } else if (isOption("--add-account")) {
            auto v = value("--add-account");
            if (!v || v->empty())
                return fail("--add-account needs an account number");
            cl.addAccounts.push_back(*v);
        } else if (arg == "--show-account-keys") {
            cl.showAccountKeys = true;
        } else if (isOption("--set-account-key")) {
            auto v = value("--set-account-key");
            if (!v || v->empty())
                return fail("--set-account-key needs ACCOUNT:FORMAT:KEY (FORMAT text or hex; KEY - reads it "
                            "from standard input)");
            cl.setAccountKeys.push_back(*v);
        } else if (isOption("--remove-account-key")) {
            auto v = value("--remove-account-key");
            if (!v || v->empty())
                return fail("--remove-account-key needs an account");
            cl.removeAccountKeys.push_back(*v);
        } else if (isOption("--dir")) {
            auto v = value("--dir");
            if (!v || v->empty())
                return fail("--dir needs a directory");
            cl.dir = *v;
        } else if (isOption("--screenshot")) {
            auto v = value("--screenshot");
            if (!v || v->empty())
                return fail("--screenshot needs a file name");
            cl.screenshot = *v;
        } else if (isOption("--screenshot-after")) {
            auto v = value("--screenshot-after");
            const int seconds = v ? std::atoi(v->c_str()) : 0;
            if (!v || seconds < 1 || seconds > 3600)
                return fail("--screenshot-after needs 1 to 3600 seconds");
            cl.screenshotAfterMs = seconds * 1000;
        } else if (isOption("--show")) {
            auto v = value("--show");
            if (!v || v->empty())
                return fail("--show needs a list of windows");
            std::size_t from = 0;
            while (from <= v->size()) {
                const std::size_t comma = std::min(v->find(',', from), v->size());
                const std::string name = v->substr(from, comma - from);
                if (name != "events" && name != "objects" && name != "serial" && name != "log" &&
                    name != "keys")
                    return fail("--show knows events, objects, serial, log and keys, not \"" + name + "\"");
                cl.show.push_back(name);
                from = comma + 1;
            }
        } else if (isOption("--export-events")) {
            auto v = value("--export-events");
            if (!v || v->empty())
                return fail("--export-events needs a file name (- for standard output)");
            cl.exportEvents = *v;
        } else if (isOption("--account")) {
            auto v = value("--account");
            if (!v || v->empty())
                return fail("--account needs an account number");
            cl.exportAccount = *v;
        } else if (isOption("--from")) {
            auto v = value("--from");
            if (!v || v->empty())
                return fail("--from needs a date (YYYY-MM-DD)");
            cl.exportFrom = *v;
        } else if (isOption("--to")) {
            auto v = value("--to");
            if (!v || v->empty())
                return fail("--to needs a date (YYYY-MM-DD)");
            cl.exportTo = *v;
        } else if (isOption("--set")) {
            auto v = value("--set");
            if (!v)
                return fail("--set needs NAME=VALUE");
            const auto eq = v->find('=');
            if (eq == std::string::npos || eq == 0)
                return fail("--set needs NAME=VALUE, got \"" + *v + "\"");
            cl.sets.emplace_back(v->substr(0, eq), v->substr(eq + 1));
        } else {
            return fail("unknown argument \"" + std::string(arg) + "\" (try --help)");
        }
    }
    const bool narrowed = !cl.exportAccount.empty() || !cl.exportFrom.empty() || !cl.exportTo.empty();
    const bool showsEvents = std::find(cl.show.begin(), cl.show.end(), "events") != cl.show.end();
    if (narrowed && !cl.exportEvents && !showsEvents)
        return fail("--account, --from and --to go with --export-events or --show events");
    // The export only reads; anything else would have to wait for it or change what it reads.
    if (cl.exportEvents && (cl.configOnly() || cl.headless || !cl.show.empty() || !cl.screenshot.empty()))
        return fail("--export-events goes with --dir, --account, --from and --to only");
    return {cl, std::nullopt};
}

std::string commandLineHelp()
{
    return "Usage: ardentel [options]\n"
           "SIA DC-09 alarm receiver.\n"
           "\n"
           "  --dir PATH          data directory (default: the directory of the executable)\n"
           "  --headless          run without a window; log lines also go to standard output,\n"
           "                      questions take their default answer, SIGINT/SIGTERM close in order\n"
           "                      (automatic when there is no DISPLAY or WAYLAND_DISPLAY)\n"
           "  --set NAME=VALUE    change one setting in kalvor.cfg and exit (may be repeated)\n"
           "                      DC9_AES_Key=- reads the key from standard input\n"
           "  --show-config       print the settings in kalvor.cfg and exit (the key as whether it is set)\n"
           "  --show-secrets      the same, with the key itself\n"
           "  --add-account ACCOUNT  put an account into the Object List and exit (may be repeated)\n"
           "  --show-config       print the settings in kalvor.cfg and exit\n"
           "  --set-account-key ACCOUNT:FORMAT:KEY  give an account a key of its own and exit:\n"
           "                      FORMAT text or hex, the length gives AES-128, 192 or 256; KEY -\n"
           "                      reads it from standard input. Its plaintext is then refused\n"
           "  --remove-account-key ACCOUNT  the account goes back to the global key\n"
           "  --show-account-keys list the accounts with keys of their own (AES size and a\n"
           "                      fingerprint, never the key) and exit\n"
           "  --screenshot FILE   save a picture of the main window once it is shown, then close;\n"
           "                      each window of --show goes beside it as FILE-NAME.png\n"
           "  --screenshot-after SECONDS  when to take the pictures (default 2.5 s after the start)\n"
           "  --show LIST         open these windows at start: events, objects, serial, log, keys\n"
           "                      (comma-separated). Without a display the window runs on the\n"
           "                      offscreen platform with default answers and log lines on\n"
           "                      standard output, for benchmarks and pictures\n"
           "  --export-events FILE  write the events of the event log as CSV to FILE (- for standard\n"
           "                      output), newest first, and exit; works beside a running receiver\n"
           "  --account ACCOUNT   with --export-events: only this account's events; with --show\n"
           "                      events: the Event List opens with this filter\n"
           "  --from YYYY-MM-DD, --to YYYY-MM-DD  the same for the events received on these local\n"
           "                      days and those between\n"
           "  --help              this text\n"
           "\n"
           "Exit status: 0 success, 1 a file could not be written or the receiver could not start,\n"
           "or --export-events failed (a bad date or account, no event log, a file it cannot write),\n"
           "2 a bad argument or setting, 3 --set or a key change refused because a receiver runs on the "
           "directory.\n";
}
