#pragma once
// The collection of what an application's folder no longer needs, on cold
// starts only, within a small time budget: staging directories of runs that
// are over, tombstones left by an earlier removal, and versions that no
// running instance holds and that were not used for 14 days, always keeping
// the two most recent (this run's and the one used last before it).
// "Used" is a version's last-access time: every warm start sets it
// (cache/cache_start.h), and anything that reads the directory only makes it
// later, which spares a version, never condemns one. Everything is taken as
// the sweep takes a run directory (run_directory/tree_removal.h): a holder
// open on it, as every instance running from it keeps, refuses the take.
#include "cache/cache_run.h"

void collectOldVersions(CacheRun *run);
