#include "launcher/run_sequence.h"

#include <windows.h>

#include "base/failure.h"
#include "base/launcher_settings.h"
#include "base/messages.h"
#include "base/stage_stamps.h"
#include "base/test_seam.h"
#include "cache/cache_start.h"
#include "cache/cold_start.h"
#include "extraction/extraction.h"
#include "extraction/payload_reader.h"
#include "launcher/console_control.h"
#include "launcher/launcher_state.h"
#include "processes/application_load.h"
#include "processes/child_launch.h"
#include "processes/cleanup.h"
#include "processes/role_decision.h"
#include "run_directory/directory_creation.h"
#include "run_directory/directory_holder.h"

namespace {

// What a reported failure does once the parent has made its directory. A
// failure can strike while a file is being written; it is closed first, so
// that the removal can take it.
void removeAfterFailure() {
    closeOpenEntryFile(&launcherState.extraction);
    performCleanup(&launcherState.child, &launcherState.directory);
}

// The same for a cold start of the cache: what was written goes with the
// staging directory.
void removeStagingAfterFailure() {
    closeOpenEntryFile(&launcherState.extraction);
    removeStagingDirectory(&launcherState.cache);
}

}  // namespace

int runLauncher(int argumentCount, wchar_t **arguments) {
    // Take the current directory out of the library search path for the whole
    // process; not checked, as the run goes on the same way without it.
    SetDllDirectoryW(L"");
    // Libraries loaded by name from here on come from the system directory
    // only, never from the executable's folder (a Downloads folder, say); the
    // child adds its run directory as it loads the application. Not checked:
    // the call exists wherever the launcher starts (it is imported), and a
    // refusal would leave only the system's own libraries loaded in the usual
    // order.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    // Before the expansion: {PID} reads what the role decision publishes.
    Role role = decideRole(&launcherState.own);
    RunDirectory *directory = &launcherState.directory;
    // The payload's first entry is a program to start, not a DLL to load.
    const bool program = launcherSettings().startProgram;
    nameRunDirectory(directory);
    stampStage("named");
    if (role == Role::UnmarkedChild) {
        // Started beside the run, not by its parent (an application that
        // restarts itself, say): that run may be over by now, its directory
        // gone or being removed. This instance then starts a run of its own,
        // as it would had it started a moment later. Held before anything
        // else, so that neither the parent's end nor a sweep can take the
        // directory from under it afterwards. A program is never run from
        // another run's directory, nor loaded as a library there: an
        // instance packed with one (started by an application of the same
        // path before an update replaced it, say) runs one of its own.
        seamPause("holdTargetDirectory");
        if (program || !tryHoldRunDirectory(directory)) {
            takeParentRole();
            role = Role::Parent;
            nameRunDirectory(directory);
        }
    }
    // A program is stopped with its grace on a console event, from the cache
    // as from a run directory; a DLL run from the cache, in this process,
    // handles the events itself. Otherwise in place before the first file
    // can be written, so an interrupt always finds the handler ready to
    // remove what was extracted.
    if (role == Role::Parent && program) {
        registerConsoleControlHandler();
    }
    if (role == Role::Parent) {
        // An executable packed with --cache runs from the user's cache when
        // it may; otherwise it goes on as any other.
        setFailureCleanup(removeStagingAfterFailure);
        int exitCode = 0;
        if (runFromCache(&launcherState.cache, &launcherState.own, &launcherState.child, &launcherState.extraction,
                         &launcherState.payload, argumentCount, arguments, &exitCode)) {
            return exitCode;
        }
        if (!program) {
            registerConsoleControlHandler();
        }
    }
    openPayload(&launcherState.payload);
    stampStage("payload");
    if (role == Role::Parent) {
        // A reported failure removes what this run made: nothing until
        // extraction has created the target directory and armed the cleanup.
        setFailureCleanup(removeAfterFailure);
        extractPayload(&launcherState.extraction, &launcherState.payload, directory);
        stampStage("extracted");
        if (argumentCount < 1) {
            internalLimitAbort();
        }
        if (program) {
            return static_cast<int>(launchProgram(&launcherState.child, &launcherState.own, directory,
                                                  launcherState.extraction.firstEntryPath, arguments[0]));
        }
        return static_cast<int>(launchChild(&launcherState.child, &launcherState.own, directory, arguments[0]));
    }
    // A payload without entries has no application to run; going on to the
    // launch instead would start child after child.
    if (!readEntryHeader(&launcherState.extraction, &launcherState.payload, directory)) {
        fatalError(kDecodeFailed);
    }
    // The parent's own child holds its directory before anything is loaded
    // from it, after the first name, which reports a payload without entries
    // as such (its parent made no directory).
    if (role == Role::MarkedChild) {
        holdRunDirectory(directory);
    }
    return runLibraryMode(directory, launcherState.extraction.firstEntryPath, argumentCount, arguments);
}
