// zelmor-pe-update: puts a payload file (and optionally an icon) into a copy
// of the launcher stub, as the packer does, for tests and by hand.
//
//   zelmor-pe-update STUB OUT PAYLOADFILE [--icon ICO]
#include <stdio.h>

#include <string>
#include <vector>

#include "packer/file_access.h"
#include "packer/pe/icon_file.h"
#include "packer/pe/resource_update.h"

namespace {

const char kUsage[] = "usage: zelmor-pe-update STUB OUT PAYLOADFILE [--icon ICO]\n";

int failure(const std::string &message) {
    fprintf(stderr, "zelmor-pe-update: %s\n", message.c_str());
    return 1;
}

}  // namespace

int main(int argc, char **argv) {
    std::vector<std::string> arguments;
    std::string error;
    if (!commandLineArguments(argc, argv, arguments, error)) {
        return failure(error);
    }
    bool withIcon = arguments.size() == 6 && arguments[4] == "--icon";
    if (arguments.size() != 4 && !withIcon) {
        fputs(kUsage, stderr);
        return 2;
    }
    std::vector<uint8_t> stub;
    ResourceChanges changes;
    if (!readWholeFile(arguments[1], stub, error) || !readWholeFile(arguments[3], changes.payload, error)) {
        return failure(error);
    }
    if (withIcon) {
        std::vector<uint8_t> ico;
        IconResources icon;
        if (!readWholeFile(arguments[5], ico, error)) {
            return failure(error);
        }
        if (!parseIconFile(ico, icon, error)) {
            return failure(arguments[5] + ": " + error);
        }
        changes.icon = std::move(icon);
    }
    std::vector<uint8_t> out;
    if (!updateResources(stub, changes, out, error)) {
        return failure(arguments[1] + ": " + error);
    }
    if (!replaceFile(arguments[2], out, true, error)) {
        return failure(error);
    }
    return 0;
}
