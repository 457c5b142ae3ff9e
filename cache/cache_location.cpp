#include "cache/cache_location.h"

#include <windows.h>

#include <stdlib.h>
#include <wchar.h>

#include "base/bounded_text.h"
#include "base/messages.h"
#include "base/native_calls.h"
#include "base/test_seam.h"
#include "cache/cache_ownership.h"
#include "paths/environment.h"
#include "paths/long_path.h"
#include "paths/path_root.h"
#include "paths/system_values.h"
#include "run_directory/private_directory.h"

namespace {

constexpr char kCacheBaseVariable[] = "ZELMOR_CACHE_DIR";
constexpr char kLocalAppDataVariable[] = "LOCALAPPDATA";
constexpr wchar_t kBaseFolderName[] = L"\\Zelmor";

// The application folder's holder also lists, reads its owner and access
// list, and opens what is below it.
constexpr ACCESS_MASK kFolderAccess = READ_CONTROL | FILE_TRAVERSE;

// A fully qualified path on a drive letter of a local disk: no share, no
// device, nothing relative, no network drive.
bool isLocalQualifiedPath(const wchar_t *path) {
    size_t root = qualifiedRootLength(path);
    const wchar_t *drive = nullptr;
    if (root == 3 && path[1] == L':') {
        drive = path;
    } else if (root == 7 && wcsncmp(path, L"\\\\?\\", 4) == 0 && path[5] == L':') {
        drive = path + 4;
    }
    if (drive == nullptr) {
        return false;
    }
    wchar_t rootPath[4] = {drive[0], L':', L'\\', L'\0'};
    UINT type = GetDriveTypeW(rootPath);
    return type == DRIVE_FIXED || type == DRIVE_REMOVABLE || type == DRIVE_RAMDISK;
}

// The base: ZELMOR_CACHE_DIR, else the local application data's Zelmor
// folder. Null when it has one; otherwise the reason.
const char *chooseBase(CacheRun *run) {
    wchar_t *chosen = getEnvVar(kCacheBaseVariable);
    if (chosen != nullptr) {
        bool local = isLocalQualifiedPath(chosen);
        if (local) {
            copyText(run->base, kCachePathCapacity, chosen);
        }
        free(chosen);
        return local ? nullptr : kCacheNotLocal;
    }
    wchar_t *variable = getEnvVar(kLocalAppDataVariable);
    if (variable != nullptr && qualifiedRootLength(variable) != 0) {
        copyText(run->base, kCachePathCapacity, variable);
    } else {
        // Only this road loads the shell.
        wchar_t folder[kShellFolderCapacity];
        if (!getShellFolder(kFolderLocalAppData, folder)) {
            free(variable);
            return kCacheNoBase;
        }
        copyText(run->base, kCachePathCapacity, folder);
    }
    free(variable);
    appendText(run->base, kCachePathCapacity, kBaseFolderName);
    return nullptr;
}

// Opens the folder `name` below `root` (or the native path `name`) as a
// holder that keeps its name; creates it, private, where it is missing.
HANDLE openOrCreateFolder(HANDLE root, const wchar_t *name, size_t length) {
    NativeOpen request = {root,
                          name,
                          length,
                          FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | kFolderAccess,
                          FILE_SHARE_READ | FILE_SHARE_WRITE,
                          FILE_OPEN,
                          FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT,
                          nullptr,
                          false};
    HANDLE folder = nullptr;
    DWORD error = seamFails("OpenCacheFolder") ? GetLastError() : nativeOpen(request, &folder);
    if (error == ERROR_SUCCESS) {
        DWORD attributes = 0;
        if (nativeAttributes(folder, &attributes) == ERROR_SUCCESS &&
            (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == FILE_ATTRIBUTE_DIRECTORY) {
            return folder;
        }
        CloseHandle(folder);  // a link: not ours to use; a failed close changes nothing
        return nullptr;
    }
    if (error != ERROR_FILE_NOT_FOUND) {
        return nullptr;
    }
    bool existed = false;
    void *created = nullptr;
    uint64_t fileId = 0;
    uint32_t refusal = 0;
    if (createPrivateDirectoryIn(root, name, length, kFolderAccess, true, &existed, &created, &fileId, &refusal) !=
        NewDirectory::Created) {
        return nullptr;
    }
    // Inherited by nothing: only this process needs the folder's name kept.
    SetHandleInformation(created, HANDLE_FLAG_INHERIT, 0);  // not examined: an inherited copy only keeps the name too
    return created;
}

}  // namespace

bool readCacheIndex(CacheRun *run) {
    HRSRC resource =
        FindResourceA(nullptr, MAKEINTRESOURCEA(kCacheIndexResourceId), MAKEINTRESOURCEA(kCacheIndexResourceType));
    HGLOBAL loaded = resource ? LoadResource(nullptr, resource) : nullptr;
    run->index = static_cast<const uint8_t *>(loaded ? LockResource(loaded) : nullptr);
    run->indexSize = resource ? SizeofResource(nullptr, resource) : 0;
    return run->index != nullptr && parseCacheIndex(run->index, run->indexSize, run->header);
}

const char *openApplicationFolder(CacheRun *run) {
    bool elevated = true;
    // An elevated run never loads what the same user's unelevated processes could have written.
    if (processTokenElevated(&elevated) != ERROR_SUCCESS || elevated) {
        return kCacheElevated;
    }
    const char *refused = chooseBase(run);
    if (refused != nullptr) {
        return refused;
    }
    size_t length = copyText(run->application, kCachePathCapacity, run->base);
    length = appendUnits(run->application, kCachePathCapacity, length, L"\\", 1);
    wchar_t id[kCacheIdUnitLimit + 1];
    for (size_t i = 0; i <= run->header.idLength; ++i) {
        id[i] = static_cast<wchar_t>(run->header.id[i]);
    }
    appendText(run->application, kCachePathCapacity, id);
    wchar_t *native = static_cast<wchar_t *>(HeapAlloc(GetProcessHeap(), 0, kLongPathCapacity * sizeof(wchar_t)));
    if (native == nullptr) {
        return kCacheNoBase;
    }
    length = writeLongPathForm(run->base, native);
    HANDLE base = nullptr;
    if (length != 0) {
        // "\\?\C:\..." and the native "\??\C:\..." name the same.
        native[1] = L'?';
        base = openOrCreateFolder(nullptr, native, length);
    }
    HeapFree(GetProcessHeap(), 0, native);  // not examined: the block is ours and the process goes on
    if (base == nullptr) {
        return kCacheNoBase;
    }
    run->applicationHandle = openOrCreateFolder(base, id, run->header.idLength);
    CloseHandle(base);  // the application's folder keeps its parent's name now; a failed close changes nothing
    if (run->applicationHandle == nullptr) {
        return kCacheNoBase;
    }
    return isPrivateToThisUser(static_cast<HANDLE>(run->applicationHandle)) ? nullptr : kCacheNotPrivate;
}

void composeCachePath(const CacheRun *run, const wchar_t *name, wchar_t *path) {
    size_t length = copyText(path, kCachePathCapacity, run->application);
    length = appendUnits(path, kCachePathCapacity, length, L"\\", 1);
    appendText(path, kCachePathCapacity, name);
}
