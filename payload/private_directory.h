#pragma once
// The one directory the parent makes for itself, with an access list of its
// own. Apart from the loop that names it (payload/target_directory.h), so that
// the loop also builds on the host.
#include <stdint.h>

enum class NewDirectory {
    Created,
    NameTaken,     // a directory, file or link already stands at the name, or it could not be held
    Refused,       // the system refused to create it; *errorCode says why
    NoAccessList,  // its access list could not be made; *errorCode says why
};

// Creates the directory `path` with the access list of
// payload/private_descriptor.h: the user's and the system's alone, inherited
// by what is made below it. On Created, *holder holds it
// (payload/directory_holder.h) from the first moment anyone else could see
// it: a directory that cannot be held at once (another run may have taken it
// as soon as it was made) counts as a name taken, and is removed if it is
// still there and empty. On Refused and NoAccessList, *errorCode holds the
// system's error.
NewDirectory createPrivateDirectory(const wchar_t *path, void **holder, uint32_t *errorCode);
