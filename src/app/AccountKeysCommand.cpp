// The command-line side of the accounts' own keys. A key given as "-" is read from standard input,
// so it stays out of the process list and the shell's history.
#include "app/AccountKeysCommand.h"

#include "dc09/AccountKeys.h"

#include <cstring>
#include <string>

namespace {

std::string readKeyLine(std::FILE* input)
{
    std::string line;
    for (int c = std::fgetc(input); c != EOF && c != '\n'; c = std::fgetc(input))
        line += char(c);
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

} // namespace

int runAccountKeysCommand(const CommandLine& cl, const DataPaths& paths, std::FILE* input)
{
    AccountKeys keys;
    const AccountKeysFileResult loaded = loadAccountKeys(paths.accountKeys, keys);
    if (loaded.status == AccountKeysFileResult::Status::Unreadable) {
        std::fprintf(stderr, "ardentel: cannot read %s: %s (nothing changed)\n", paths.accountKeys.c_str(),
                     std::strerror(loaded.osError));
        return 1;
    }
    for (const AccountKeys::Problem& problem : loaded.problems)
        std::fprintf(stderr, "ardentel: warning: %s line %d: %s\n", paths.accountKeys.c_str(), problem.line,
                     problem.what.c_str());
    if (loaded.tooWide)
        std::fprintf(stderr, "ardentel: warning: %s is open to other users (mode %04o); it is written 0600\n",
                     paths.accountKeys.c_str(), loaded.mode);

    for (const std::string& argument : cl.setAccountKeys) {
        std::optional<AccountKeyArgument> split = splitAccountKeyArgument(argument);
        if (!split) {
            std::fprintf(stderr, "ardentel: --set-account-key needs ACCOUNT:FORMAT:KEY (nothing changed)\n");
            return 2;
        }
        if (split->key == "-")
            split->key = readKeyLine(input);
        const std::optional<std::string> error = keys.set(split->account, split->format, split->key);
        std::fill(split->key.begin(), split->key.end(), '\0');
        if (error) {
            std::fprintf(stderr, "ardentel: account %s: %s (nothing changed)\n", split->account.c_str(),
                         error->c_str());
            return 2;
        }
    }
    for (const std::string& account : cl.removeAccountKeys) {
        if (!keys.remove(account)) {
            std::fprintf(stderr, "ardentel: account %s has no key of its own (nothing changed)\n",
                         account.c_str());
            return 2;
        }
    }
    if (cl.changesAccountKeys()) {
        if (const int error = saveAccountKeys(paths.accountKeys, keys); error != 0) {
            std::fprintf(stderr, "ardentel: cannot write %s: %s\n", paths.accountKeys.c_str(),
                         std::strerror(error));
            return 1;
        }
    }
    if (cl.showAccountKeys) {
        if (keys.empty())
            std::printf("No account has a key of its own.\n");
        else
            std::printf("%-16s  %-8s  %s\n", "Account", "AES", "Fingerprint");
        for (const AccountKey* entry : keys.entries()) {
            if (entry->usable())
                std::printf("%-16s  %-8s  %s\n", entry->account.c_str(),
                            ("AES-" + std::to_string(entry->bits())).c_str(),
                            keyFingerprint(entry->key).c_str());
            else
                std::printf("%-16s  %-8s  %s\n", entry->account.c_str(), "-", "(key unreadable: refused)");
        }
    }
    return 0;
}
