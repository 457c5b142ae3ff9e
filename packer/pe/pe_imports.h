#pragma once
// The DLLs an image imports, read from untrusted bytes: those the loader
// loads with the image (the import directory) and those loaded on first use
// (delay-load imports).
#include <stdint.h>

#include <string>
#include <vector>

#include "packer/pe/pe_image.h"

// Fills `dlls` with the imported DLLs' names as the image spells them, in
// table order, each name once (letters compared without case). False with
// `error` saying which table is malformed (a descriptor or name not inside
// the file's data, or no end to the table); callers prefix the file's name.
bool readImportedDlls(const std::vector<uint8_t> &bytes, const PeImage &image, std::vector<std::string> &dlls,
                      std::string &error);
