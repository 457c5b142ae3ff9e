#include "base/launcher_settings.h"

#include <windows.h>

namespace {

LauncherSettings settings;
bool settingsRead = false;

}  // namespace

const LauncherSettings &launcherSettings() {
    if (!settingsRead) {
        settingsRead = true;
        // A missing resource leaves the defaults, so none of these results
        // needs a check beyond being there; the record's own sizes are
        // checked against the resource's, and one that cannot be read
        // leaves the defaults too.
        HRSRC resource = FindResourceA(nullptr, MAKEINTRESOURCEA(kSettingsResourceId),
                                       MAKEINTRESOURCEA(kSettingsResourceType));
        HGLOBAL loaded = resource ? LoadResource(nullptr, resource) : nullptr;
        const void *bytes = loaded ? LockResource(loaded) : nullptr;
        DWORD size = bytes ? SizeofResource(nullptr, resource) : 0;
        parseLauncherSettings(static_cast<const uint8_t *>(bytes), size, settings);
    }
    return settings;
}
