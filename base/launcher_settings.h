#pragma once
// The settings the packer chose for this executable (format/launcher_settings.h),
// read from its own resource when first asked for.
#include "format/launcher_settings.h"

// The executable's settings; the defaults when it carries no readable record.
const LauncherSettings &launcherSettings();
