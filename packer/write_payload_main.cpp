// zelmor-write-payload: writes a payload container file from NAME=FILE pairs.
#include <limits.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "packer/file_access.h"
#include "packer/payload_writer.h"
#include "packer/whole_number.h"

namespace {

const char kUsage[] =
    "usage: zelmor-write-payload [--level N] [--window-log N] OUTPUT NAME=FILE [NAME=FILE ...]\n"
    "  NAME is the UTF-8 path inside the payload, FILE the file to store under it.\n";

int usageError(const std::string &problem) {
    fprintf(stderr, "zelmor-write-payload: %s\n%s", problem.c_str(), kUsage);
    return 2;
}

int failure(const std::string &message) {
    fprintf(stderr, "zelmor-write-payload: %s\n", message.c_str());
    return 1;
}

}  // namespace

int main(int argc, char **argv) {
    std::vector<std::string> arguments;
    std::string error;
    if (!commandLineArguments(argc, argv, arguments, error)) {
        return failure(error);
    }
    PayloadOptions options;
    size_t index = 1;
    for (; index < arguments.size() && arguments[index].compare(0, 2, "--") == 0; index += 2) {
        const std::string &option = arguments[index];
        int *target = option == "--level" ? &options.level : option == "--window-log" ? &options.windowLog : nullptr;
        if (target == nullptr) {
            return usageError("unknown option " + option);
        }
        if (index + 1 >= arguments.size() ||
            !parseWholeNumber(arguments[index + 1].c_str(), INT_MIN, INT_MAX, *target)) {
            return usageError(option + " needs a whole number");
        }
    }
    if (index >= arguments.size()) {
        return usageError("no OUTPUT given");
    }
    std::string outputPath = arguments[index++];
    std::vector<PayloadEntry> entries;
    for (; index < arguments.size(); ++index) {
        size_t separator = arguments[index].find('=');
        if (separator == std::string::npos) {
            return usageError("expected NAME=FILE, got " + arguments[index]);
        }
        entries.push_back({arguments[index].substr(0, separator), arguments[index].substr(separator + 1)});
    }

    // Replaced only when complete, so a failed run leaves no half-written
    // OUTPUT and an older one stays as it was.
    std::vector<uint8_t> container;
    PayloadSummary summary;
    if (!compressPayload(outputPath, entries, options, container, summary, error) ||
        !replaceFile(outputPath, container, false, error)) {
        return failure("writing " + outputPath + ": " + error);
    }
    return 0;
}
