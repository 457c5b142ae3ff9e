#pragma once
// The launcher's own executable: its path, looked up once
// (base/own_module_path.h), and the forms a run derives from it.
#include "base/own_module_path.h"
#include "paths/canonical_path.h"

// Zero-filled until used; each form is filled when first asked for. The
// parent's child starts from ownModulePath and is told ownModuleDirectory;
// the role decision compares ownModulePathCanonical.
struct OwnModule {
    wchar_t ownModulePath[kOwnModulePathCapacity];          // as the system reports it
    wchar_t ownModuleDirectory[kCanonicalPathCapacity];     // up to its last backslash, without it
    wchar_t ownModulePathCanonical[kCanonicalPathCapacity]; // final path, directory part short (paths/canonical_path.h)
};

// Each returns its form of the own path, filling it (and ownModulePath) on
// first use. A path the system cannot give, or that does not fit, or a
// canonical form that cannot be had, is an internal-limit abort.
const wchar_t *ownModulePathOf(OwnModule *own);
const wchar_t *ownModuleDirectoryOf(OwnModule *own);
const wchar_t *ownModuleCanonicalPathOf(OwnModule *own);
