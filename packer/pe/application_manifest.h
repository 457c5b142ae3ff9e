#pragma once
// The application manifest (RT_MANIFEST 1) beyond its execution level: a
// manifest of the application's own, checked and completed with what the
// launcher needs; the settings GUI programs need most, which only the
// executable's manifest can give its process; and what --list shows of it.
#include <stdint.h>

#include <string>
#include <vector>

enum class DpiAwareness { None, System, PerMonitor, PerMonitorV2 };

struct ManifestSettings {
    // Common Controls 6: the themed look of buttons, lists and dialogs.
    bool visualStyles = false;
    // Windows scales the windows of a program that is not DPI aware as a
    // bitmap, blurred; an aware one draws at the monitor's scale itself.
    DpiAwareness dpiAwareness = DpiAwareness::None;
};

// Reads the value of --dpi-aware: "system", "permonitor" or "permonitorv2".
bool parseDpiAwareness(const std::string &text, DpiAwareness &awareness);

// Makes a manifest the application brings fit the launcher. Refuses, with
// `error` saying why, one that is not well-formed XML, whose root is not an
// `assembly` of the urn:schemas-microsoft-com:asm.v1 namespace or that holds
// another `assembly`, that names more than one execution level or one
// Windows does not know, and one whose level differs from `level` when
// `levelRequired` (--uac-admin). Adds long-path awareness when it says
// nothing about it (one that turns it off is kept, with a warning) and
// `level` when it names no execution level.
bool completeManifest(std::vector<uint8_t> &manifest, const std::string &level, bool levelRequired,
                      std::vector<std::string> &warnings, std::string &error);

// Adds the settings asked for, each where Windows looks for it. Refuses a
// manifest that is not well-formed or already has a setting it would add.
bool addManifestSettings(std::vector<uint8_t> &manifest, const ManifestSettings &settings, std::string &error);

// What a manifest sets for its program, for --list: "long paths", "visual
// styles" and "DPI awareness <value>" joined by commas, or "none of long
// paths, visual styles, DPI awareness". False with `error` when it is not
// well-formed.
bool describeManifest(const std::vector<uint8_t> &manifest, std::string &description, std::string &error);

// The execution level a program's own manifest asks of User Account Control,
// "" when it names none. False with `error` when the manifest is not
// well-formed or names more than one level, one without a value, or one
// Windows does not know.
bool requestedExecutionLevel(const std::vector<uint8_t> &manifest, std::string &level, std::string &error);
