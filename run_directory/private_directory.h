#pragma once
// The one directory the parent makes for itself, with an access list of its
// own. Apart from the loop that names it (run_directory/directory_creation.h), so that
// the loop also builds on the host.
#include <stdint.h>

enum class NewDirectory {
    Created,
    NameTaken,     // a directory, file or link already stands at the name
    NoParent,      // the directory that is to hold it does not exist (or is no directory)
    Refused,       // the system refused to create it; *errorCode says why
    NoAccessList,  // its access list could not be made; *errorCode says why
};

// Creates the directory `path` with the access list of
// run_directory/access_list.h: the user's and the system's alone, inherited
// by what is made below it. Created and held in one call: on Created,
// *holder is the handle that created it, a holder
// (run_directory/directory_holder.h) that processes started with inheritance
// inherit, so that nothing can take the directory between its creation and
// its hold; *fileId is its file ID. Nothing is created above it. On
// NoParent, Refused and NoAccessList, *errorCode holds the system's error.
NewDirectory createPrivateDirectory(const wchar_t *path, void **holder, uint64_t *fileId, uint32_t *errorCode);

// As createPrivateDirectory, for the `length` characters at `name` relative
// to the directory open as `root` (null: `name` is a native "\??\C:\..."
// path), its holder given `extraAccess` besides (DELETE, so that it can
// rename itself, say). With `openExisting` a directory already standing
// there is opened instead (as itself, never through a link; its access list
// is then whatever it has), and *existed says which happened; otherwise
// that is NameTaken.
NewDirectory createPrivateDirectoryIn(void *root, const wchar_t *name, size_t length, uint32_t extraAccess,
                                      bool openExisting, bool *existed, void **holder, uint64_t *fileId,
                                      uint32_t *errorCode);
