// --set-account-key, --remove-account-key and --show-account-keys: the accounts' own keys changed
// and listed without starting the receiver.
#pragma once

#include "app/CommandLine.h"
#include "config/DataPaths.h"

#include <cstdio>

// The exit status: 0 done, 1 the key file could not be read or written, 2 a bad account or key.
// The data directory's lock is the caller's.
[[nodiscard]] int runAccountKeysCommand(const CommandLine& cl, const DataPaths& paths,
                                        std::FILE* input = stdin);
