#include "config/CoreDumps.h"

#include <sys/prctl.h>

void keepKeyOutOfCoreDumps(const Config_Record& config)
{
    if (keySet(config) && processDumpable())
        (void)::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
}

bool processDumpable()
{
    return ::prctl(PR_GET_DUMPABLE, 0, 0, 0, 0) == 1;
}
