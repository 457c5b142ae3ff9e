// zelmor-pe-update: puts a payload file (and optionally an icon) into a copy
// of the launcher stub, as the packer does, for tests and by hand.
//
//   zelmor-pe-update STUB OUT PAYLOADFILE [--icon ICO]
#include <stdio.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "packer/pe/icon_file.h"
#include "packer/pe/resource_update.h"

namespace {

const char kUsage[] = "usage: zelmor-pe-update STUB OUT PAYLOADFILE [--icon ICO]\n";

int failure(const std::string &message) {
    fprintf(stderr, "zelmor-pe-update: %s\n", message.c_str());
    return 1;
}

bool readFile(const std::string &path, std::vector<uint8_t> &bytes) {
    std::ifstream stream(path, std::ios::binary);
    if (!stream) {
        return false;
    }
    bytes.assign(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
    return !stream.bad();
}

bool writeFile(const std::string &path, const std::vector<uint8_t> &bytes) {
    std::ofstream stream(path, std::ios::binary | std::ios::trunc);
    stream.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    stream.close();
    return static_cast<bool>(stream);
}

}  // namespace

int main(int argc, char **argv) {
    bool withIcon = argc == 6 && std::string(argv[4]) == "--icon";
    if (argc != 4 && !withIcon) {
        fputs(kUsage, stderr);
        return 2;
    }
    std::vector<uint8_t> stub;
    ResourceChanges changes;
    if (!readFile(argv[1], stub)) {
        return failure(std::string("cannot read ") + argv[1]);
    }
    if (!readFile(argv[3], changes.payload)) {
        return failure(std::string("cannot read ") + argv[3]);
    }
    std::string error;
    if (withIcon) {
        std::vector<uint8_t> ico;
        IconResources icon;
        if (!readFile(argv[5], ico)) {
            return failure(std::string("cannot read ") + argv[5]);
        }
        if (!parseIconFile(ico, icon, error)) {
            return failure(std::string(argv[5]) + ": " + error);
        }
        changes.icon = std::move(icon);
    }
    std::vector<uint8_t> out;
    if (!updateResources(stub, changes, out, error)) {
        return failure(std::string(argv[1]) + ": " + error);
    }
    if (!writeFile(argv[2], out)) {
        return failure(std::string("cannot write ") + argv[2]);
    }
    return 0;
}
