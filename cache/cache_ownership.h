#pragma once
// Whether a cache folder is this user's alone: owned by the user, with an
// access list that lets nobody else write. Windows only.
#include <windows.h>

// True when what `handle` (opened with READ_CONTROL) is open on is owned by
// this process's user (or the owner its token gives new objects) and its
// access list grants no other principal than the user, SYSTEM and
// Administrators any right to write, add, delete or change it: a folder
// another account owns or can write into is never loaded from. A missing
// (null) access list, an entry of a kind not known here, or anything that
// cannot be read counts as not private.
bool isPrivateToThisUser(HANDLE handle);
