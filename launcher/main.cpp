#include <windows.h>

#include <stdlib.h>

#include "base/stage_stamps.h"
#include "launcher/run_sequence.h"

// The GUI-subsystem wide entry: no console window of its own. The platform
// arguments are ignored; the runtime has already split the command line.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    stampStage("entry");
    int exitCode = runLauncher(__argc, __wargv);
    writeStageStamps();
    return exitCode;
}
