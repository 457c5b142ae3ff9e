#pragma once
// A cold start: the version extracted into a fresh private staging
// directory beside the version directory, recorded, and published with one
// rename onto the version's name. Windows only.
#include "cache/cache_run.h"
#include "extraction/extraction.h"
#include "extraction/payload_reader.h"

enum class Publish {
    Published,     // the staging directory is the version now
    Replaced,      // as Published, in place of a damaged version taken away
    Joined,        // another run published first, and its version checks out: that one is held and used
    Refused,       // the rename stayed refused; the staging directory is removed
    DamagedInUse,  // a damaged version stands that a running instance holds; the staging directory is removed
};

// Opens a holder on the version directory run->version.targetDirectory
// names into run->version.holder: kept until the process ends, so that no
// collection takes it, allowed to set its times. False when there is none
// (or a link, a file stands there).
bool openVersionDirectory(CacheRun *run);

// Creates the staging directory, private and held, under a name that no
// directory had (<version>.<process id>_<serial>.staging). False when the
// application's folder refuses it (read-only, full).
bool createStagingDirectory(CacheRun *run);

// Extracts every entry into the staging directory (`payload` open) and
// records the state file. A failure while writing ends the process as a
// per-run extraction's would (the failure cleanup then removes the staging
// directory); false when the listing or the state file fails.
bool extractIntoStaging(CacheRun *run, Extraction *extraction, PayloadReader *payload);

// Publishes the staging directory: renamed onto the version's name, with a
// few retries while the system refuses for a reason that passes (an
// antivirus scanning a fresh file). A version that stands already is
// checked; a damaged one is taken (as the sweep takes a run directory) and
// replaced. On Published, Replaced and Joined, run->version holds the
// version.
Publish publishStaging(CacheRun *run);

// Removes the staging directory through its holder, if this run still has
// one. Safe to call at any time, also from the failure cleanup.
void removeStagingDirectory(CacheRun *run);
