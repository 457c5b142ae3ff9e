#pragma once
// The run's records that have left the process-wide state of base/: one
// static, zero-filled instance, named only by launcher/.
#include "extraction/extraction.h"
#include "extraction/payload_reader.h"
#include "paths/own_module.h"
#include "processes/child_run.h"
#include "run_directory/run_directory.h"

struct RunRecords {
    OwnModule own;
    RunDirectory directory;
    PayloadReader payload;
    Extraction extraction;
    ChildRun child;
};

extern RunRecords runRecords;
