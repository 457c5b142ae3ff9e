// zelmor-write-payload: writes a payload container file from NAME=FILE pairs.
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "packer/payload_writer.h"
#include "packer/whole_number.h"

namespace {

const char kUsage[] =
    "usage: zelmor-write-payload [--level N] [--window-log N] OUTPUT NAME=FILE [NAME=FILE ...]\n"
    "  NAME is the UTF-8 path inside the payload, FILE the file to store under it.\n";

int usageError(const char *problem) {
    fprintf(stderr, "zelmor-write-payload: %s\n%s", problem, kUsage);
    return 2;
}

int failure(const std::string &message) {
    fprintf(stderr, "zelmor-write-payload: %s\n", message.c_str());
    return 1;
}

}  // namespace

int main(int argc, char **argv) {
    PayloadOptions options;
    int index = 1;
    for (; index < argc && strncmp(argv[index], "--", 2) == 0; index += 2) {
        std::string option = argv[index];
        int *target = option == "--level" ? &options.level : option == "--window-log" ? &options.windowLog : nullptr;
        if (target == nullptr) {
            return usageError(("unknown option " + option).c_str());
        }
        if (index + 1 >= argc || !parseWholeNumber(argv[index + 1], INT_MIN, INT_MAX, *target)) {
            return usageError((option + " needs a whole number").c_str());
        }
    }
    if (index >= argc) {
        return usageError("no OUTPUT given");
    }
    std::string outputPath = argv[index++];
    std::vector<PayloadEntry> entries;
    for (; index < argc; ++index) {
        const char *separator = strchr(argv[index], '=');
        if (separator == nullptr) {
            return usageError((std::string("expected NAME=FILE, got ") + argv[index]).c_str());
        }
        entries.push_back({std::string(argv[index], separator - argv[index]), separator + 1});
    }

    // Written beside the target and renamed over it, so a failed run leaves no
    // half-written OUTPUT and an older one stays as it was.
    std::string temporaryPath = outputPath + ".tmp";
    FILE *out = fopen(temporaryPath.c_str(), "wb");
    if (out == nullptr) {
        return failure("cannot create " + temporaryPath + ": " + strerror(errno));
    }
    std::string error;
    bool written = writePayload(out, entries, options, error);
    if (fclose(out) != 0 && written) {
        written = false;
        error = std::string("cannot write the payload: ") + strerror(errno);
    }
    if (written && rename(temporaryPath.c_str(), outputPath.c_str()) != 0) {
        written = false;
        error = "cannot rename " + temporaryPath + " to " + outputPath + ": " + strerror(errno);
    }
    if (!written) {
        remove(temporaryPath.c_str());
        return failure("writing " + outputPath + ": " + error);
    }
    return 0;
}
