#pragma once
// What the packed application will fail to load: DLLs that the application
// (the DLL, or the program) or a DLL of the payload imports, and that are
// neither packed nor provided by Windows.
#include <string>
#include <vector>

#include "packer/payload_writer.h"

// Reads the imports (load-time and delay-load) of the first entry and of
// every entry named *.dll that is a 64-bit image; others are not looked at.
// An imported DLL counts as packed when an entry of its name lies beside the
// first entry (in the application's folder, where the system looks first)
// or beside the importing DLL. Each import that is neither packed nor a
// system DLL (packer/system_dlls.h), and each DLL whose import tables cannot
// be read, adds a line to `problems` naming the importing DLL, the missing
// one and what to do; `program` says that the first entry is a program the
// launcher starts, not a DLL it loads. False with `error` when an entry
// cannot be read.
bool findMissingDlls(const std::vector<PayloadEntry> &entries, bool program, std::vector<std::string> &problems,
                     std::string &error);
