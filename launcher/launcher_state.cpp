#include "launcher/launcher_state.h"

LauncherState launcherState;
