#pragma once
// The launcher's settings for one executable, chosen when it is packed: a
// small record the packer writes as a resource of its own beside the
// payload. The launcher reads it only on the roads that need it; an
// executable without the record, or with one it cannot read, runs with the
// defaults.
//
// Layout, little-endian:
//   offset 0  uint16  layout version (kSettingsVersion when written)
//   offset 2  uint16  the record's size in bytes, these four included
//   offset 4  uint32  flags (kSetting...)
// A later version only appends fields and raises both numbers: a reader
// takes the fields it knows that the size covers and defaults the rest, and
// ignores flags it does not know.
#include <stddef.h>
#include <stdint.h>

// The record's resource: RT_RCDATA, next to the payload's id 27.
constexpr uint16_t kSettingsResourceType = 10;
constexpr uint16_t kSettingsResourceId = 28;

constexpr uint16_t kSettingsVersion = 1;
constexpr size_t kSettingsHeaderSize = 4;
constexpr size_t kSettingsSize = 8;  // as this version writes it

// A reported failure is not shown in a message box, even where no standard
// output or error could carry it.
constexpr uint32_t kSettingNoErrorDialog = 0x1;
// The payload's first entry is a program (a 64-bit executable, not a DLL)
// for the parent to start in place of its own child: with the rebuilt
// command line (argv[0] the launcher's own path), the same standard handles,
// in the same job, the current directory unchanged; its exit code becomes
// the launcher's. Nothing makes the program, or what it starts, take the
// child role. The entry's name may hold folders ("bin\tool.exe"); the
// program's own DLLs are found beside it. Without the flag the first entry
// is a DLL whose run_code the child calls.
constexpr uint32_t kSettingStartProgram = 0x2;

struct LauncherSettings {
    uint16_t version = 0;  // of the record read; 0 when the defaults stand
    bool errorDialog = true;
    bool startProgram = false;  // kSettingStartProgram
};

// Reads the record in `size` bytes at `bytes` (null with size 0 when there
// is none). False, with `settings` left at the defaults, when the bytes are
// not a record: shorter than its header, a version 0, or a size beyond the
// bytes or too small for the flags.
inline bool parseLauncherSettings(const uint8_t *bytes, size_t size, LauncherSettings &settings) {
    settings = LauncherSettings();
    if (bytes == nullptr || size < kSettingsHeaderSize) {
        return false;
    }
    uint16_t version = static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
    size_t recordSize = static_cast<size_t>(bytes[2] | bytes[3] << 8);
    if (version == 0 || recordSize < kSettingsSize || recordSize > size) {
        return false;
    }
    uint32_t flags = 0;
    for (int i = 3; i >= 0; --i) {
        flags = flags << 8 | bytes[4 + i];
    }
    settings.version = version;
    settings.errorDialog = (flags & kSettingNoErrorDialog) == 0;
    settings.startProgram = (flags & kSettingStartProgram) != 0;
    return true;
}

// The record of this version for `settings`.
inline void writeLauncherSettings(const LauncherSettings &settings, uint8_t (&record)[kSettingsSize]) {
    uint32_t flags = (settings.errorDialog ? 0 : kSettingNoErrorDialog) |
                     (settings.startProgram ? kSettingStartProgram : 0);
    const uint8_t bytes[kSettingsSize] = {
        static_cast<uint8_t>(kSettingsVersion), static_cast<uint8_t>(kSettingsVersion >> 8),
        static_cast<uint8_t>(kSettingsSize),    static_cast<uint8_t>(kSettingsSize >> 8),
        static_cast<uint8_t>(flags),            static_cast<uint8_t>(flags >> 8),
        static_cast<uint8_t>(flags >> 16),      static_cast<uint8_t>(flags >> 24)};
    for (size_t i = 0; i < kSettingsSize; ++i) {
        record[i] = bytes[i];
    }
}
