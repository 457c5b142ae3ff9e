#pragma once
// The DLLs Windows itself provides, which an application need not ship.
#include <string>

// True for an API set name (api-ms-win-*, ext-ms-win-*) and for a DLL of the
// system's own (system_dlls.cpp lists them); letters compared without case.
// The C and C++ runtimes of compilers (VCRUNTIME140.dll, MSVCP140.dll,
// libstdc++-6.dll, libgcc_s_seh-1.dll, libwinpthread-1.dll) are not among
// them: an application ships those, or links them statically.
bool isSystemDll(const std::string &name);
