#include "base/launcher_state.h"

LauncherState launcherState;
