// Keeping the DC-09 key out of core dumps and out of other processes' reach.
#pragma once

#include "config/ConfigRecord.h"

// Once a key is in memory the process is made non-dumpable (no core file, no ptrace attach by the
// same user, /proc/PID/mem closed to them), and stays so: copies of a key that was changed or cleared
// may still lie in freed memory. Does nothing while the key field is empty.
void keepKeyOutOfCoreDumps(const Config_Record& config);

// Whether a core dump of this process would be written (PR_GET_DUMPABLE).
[[nodiscard]] bool processDumpable();
