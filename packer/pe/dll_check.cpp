#include "packer/pe/dll_check.h"

#include "packer/pe/le_bytes.h"
#include "packer/pe/pe_image.h"

namespace {

constexpr size_t kExportDirectorySize = 40;
const char kEntryName[] = "run_code";

bool fail(std::string &error, const std::string &message) {
    error = message;
    return false;
}

}  // namespace

bool checkApplicationDll(const std::vector<uint8_t> &bytes, std::string &error) {
    PeImage image;
    if (!parsePeImage(bytes, image, error)) {
        return false;
    }
    if ((image.characteristics & kFileDll) == 0) {
        return fail(error, "is not a DLL (the image is an executable)");
    }
    PeDataDirectory exports = dataDirectory(image, kExportDirectory);
    if (exports.rva == 0 || exports.size == 0) {
        return fail(error, "does not export run_code (it has no export directory)");
    }
    size_t directory = 0;
    if (!mapRvaRange(image, exports.rva, kExportDirectorySize, directory)) {
        return fail(error, "has a malformed export directory (not inside the file's data)");
    }
    uint32_t functionCount = readU32(bytes, directory + 20);
    uint32_t nameCount = readU32(bytes, directory + 24);
    uint32_t functionsRva = readU32(bytes, directory + 28);
    uint32_t namesRva = readU32(bytes, directory + 32);
    uint32_t ordinalsRva = readU32(bytes, directory + 36);
    size_t names = 0;
    size_t ordinals = 0;
    if (!mapRvaRange(image, namesRva, uint64_t{nameCount} * 4, names) ||
        !mapRvaRange(image, ordinalsRva, uint64_t{nameCount} * 2, ordinals)) {
        return fail(error, "has a malformed export directory (name tables not inside the file's data)");
    }
    for (uint32_t i = 0; i < nameCount; ++i) {
        std::string name;
        if (!readNameAt(bytes, image, readU32(bytes, names + size_t{i} * 4), SIZE_MAX, name)) {
            return fail(error, "has a malformed export directory (export name " + std::to_string(i) +
                                   " is not inside the file's data)");
        }
        if (name != kEntryName) {
            continue;
        }
        uint16_t index = readU16(bytes, ordinals + size_t{i} * 2);
        size_t functions = 0;
        if (index >= functionCount || !mapRvaRange(image, functionsRva, uint64_t{functionCount} * 4, functions) ||
            readU32(bytes, functions + size_t{index} * 4) == 0) {
            return fail(error, "exports the name run_code without an address");
        }
        return true;
    }
    return fail(error, "does not export run_code");
}

bool checkProgram(const std::vector<uint8_t> &bytes, std::string &error) {
    PeImage image;
    if (!parsePeImage(bytes, image, error)) {
        return false;
    }
    if ((image.characteristics & kFileDll) != 0) {
        return fail(error, "is a DLL, not a program (a DLL that exports run_code is packed without --run)");
    }
    if ((image.characteristics & kFileExecutableImage) == 0) {
        return fail(error, "is not an executable image (its header says it was not linked to run)");
    }
    if (image.subsystem != kSubsystemGui && image.subsystem != kSubsystemConsole) {
        return fail(error, "is not a Windows program: its subsystem is " + std::to_string(image.subsystem) +
                               ", neither GUI (2) nor console (3)");
    }
    return true;
}
