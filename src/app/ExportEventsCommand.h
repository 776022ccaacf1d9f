// --export-events: the event log's events as CSV, read beside a running receiver or without one.
#pragma once

#include "app/CommandLine.h"
#include "config/DataPaths.h"

// The exit status: 0 written, 1 not (a bad date or account, no event log, a file it cannot write),
// each said on standard error. Reads the log only: takes no lock and creates no file in the data
// directory, which need not be writable.
[[nodiscard]] int runExportEvents(const CommandLine& cl, const DataPaths& paths);
