#include "launcher/run_sequence.h"

#include <windows.h>

#include "launcher/launcher_state.h"
#include "payload/payload_reader.h"

int runLauncher(int argumentCount, wchar_t **arguments) {
    (void)argumentCount;
    (void)arguments;
    // Take the current directory out of the library search path for the whole
    // process; not checked, as the run goes on the same way without it.
    SetDllDirectoryW(L"");
    openPayload();
    return 0;
}
