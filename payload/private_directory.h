#pragma once
// The one directory the parent makes for itself, with an access list of its
// own. Apart from the loop that names it (payload/target_directory.h), so that
// the loop also builds on the host.
#include <stdint.h>

enum class NewDirectory {
    Created,
    NameTaken,  // a directory, file or link already stands at the name
    Refused,    // any other failure; *errorCode says why
};

// Creates the directory `path` with the access list of
// payload/private_descriptor.h: the user's and the system's alone, inherited
// by what is made below it. On Refused, *errorCode holds the system's error.
NewDirectory createPrivateDirectory(const wchar_t *path, uint32_t *errorCode);
