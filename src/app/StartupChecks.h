// What the receiver checks once its settings are loaded, each finding said in the system log:
// - the data directory is made 0750 and kalvor.cfg 0600 when they are open wider (a line each);
// - a link where a data file should be is named in red: it is neither read nor written;
// - encryption without the time window is named in red: old replays pass as new alarms;
// - with a key loaded the process is kept out of core dumps.
// And, before any port opens, whether the files can be written at all (checkStorage).
#pragma once

#include "config/ConfigRecord.h"
#include "config/DataPaths.h"
#include "log/LogSink.h"
#include "store/FileIo.h"

#include <string>

void runStartupChecks(const DataPaths& paths, const Config_Record& config, const LogSink& log);

// The directory holds the running program itself (the data directory by default): its mode is the
// installer's business, not the receiver's.
[[nodiscard]] bool holdsTheProgram(const std::string& directory);

// The file the storage check writes, syncs and removes again in the data directory.
inline constexpr const char* kStorageProbeName = "ardentel.check";

// Whether the receiver can keep what it is given: a new file in the data directory can be written
// and synced, and every record file and event log file that is there opens for writing and syncs.
// The first failure, or ok() when there is none. Nothing of the files is changed.
[[nodiscard]] FileFailure checkStorage(const DataPaths& paths, FileIo& io);
