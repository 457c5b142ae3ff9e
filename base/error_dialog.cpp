#include "base/error_dialog.h"

#include <windows.h>

#include "base/launcher_settings.h"
#include "base/own_module_path.h"
#include "base/system_library.h"
#include "base/test_seam.h"

namespace {

using WindowStationFunction = HWINSTA(WINAPI *)();
using ObjectInformationFunction = BOOL(WINAPI *)(HANDLE, int, void *, DWORD, DWORD *);
using MessageBoxFunction = int(WINAPI *)(HWND, const wchar_t *, const wchar_t *, UINT);

wchar_t title[kOwnModulePathCapacity];

// A handle the runtime's writes reach something through. Explorer starts a
// GUI program with none; a handle value left over from another process's
// table names nothing, and the system cannot tell its type.
bool usableHandle(DWORD which) {
    HANDLE handle = GetStdHandle(which);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    // An unknown type without an error is a device of some kind, written to
    // all the same.
    SetLastError(NO_ERROR);
    return GetFileType(handle) != FILE_TYPE_UNKNOWN || GetLastError() == NO_ERROR;
}

// Whether the process's window station is the one a user sees: a box on the
// hidden one of a service would wait for a click that never comes.
bool visibleWindowStation() {
    auto station = reinterpret_cast<WindowStationFunction>(
        systemFunction(SystemLibrary::User32, "GetProcessWindowStation"));
    auto information = reinterpret_cast<ObjectInformationFunction>(
        systemFunction(SystemLibrary::User32, "GetUserObjectInformationW"));
    if (station == nullptr || information == nullptr) {
        return false;
    }
    HWINSTA handle = station();
    USEROBJECTFLAGS flags = {};
    DWORD needed = 0;
    return handle != nullptr && information(handle, UOI_FLAGS, &flags, sizeof flags, &needed) &&
           (flags.dwFlags & WSF_VISIBLE) != 0;
}

// The executable's file name, or null (the system then titles the box "Error").
const wchar_t *executableName() {
    if (!readOwnModulePath(title)) {
        return nullptr;
    }
    const wchar_t *name = title;
    for (const wchar_t *at = title; *at != L'\0'; ++at) {
        if (*at == L'\\' || *at == L'/') {
            name = at + 1;
        }
    }
    return name;
}

}  // namespace

bool errorDialogWanted() {
    return !usableHandle(STD_OUTPUT_HANDLE) && !usableHandle(STD_ERROR_HANDLE) && launcherSettings().errorDialog;
}

void showErrorDialog(const wchar_t *text) {
    if (!visibleWindowStation()) {
        return;
    }
    auto messageBox = reinterpret_cast<MessageBoxFunction>(systemFunction(SystemLibrary::User32, "MessageBoxW"));
    const wchar_t *name = executableName();
    if (messageBox == nullptr || seamRecordsDialog(name, text)) {
        return;
    }
    // Its result does not matter: the process ends the same way whether or
    // not the box could be shown.
    messageBox(nullptr, text, name, MB_OK | MB_ICONERROR | MB_SETFOREGROUND);
}
