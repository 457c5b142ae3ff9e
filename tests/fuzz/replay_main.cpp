// Replays corpus files through a fuzz target without libFuzzer, so the normal
// host build runs every seed under the sanitizers as a plain test.
#include <dirent.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

void collect(const std::string &path, std::vector<std::string> *files) {
    struct stat status;
    if (stat(path.c_str(), &status) != 0) {
        fprintf(stderr, "replay: cannot read %s\n", path.c_str());
        return;
    }
    if (!S_ISDIR(status.st_mode)) {
        files->push_back(path);
        return;
    }
    DIR *directory = opendir(path.c_str());
    if (directory == nullptr) {
        return;
    }
    while (dirent *entry = readdir(directory)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") {
            collect(path + "/" + name, files);
        }
    }
    closedir(directory);
}

}  // namespace

int main(int argc, char **argv) {
    std::vector<std::string> files;
    for (int i = 1; i < argc; i++) {
        collect(argv[i], &files);
    }
    std::sort(files.begin(), files.end());
    // An empty corpus would make the test pass without running anything.
    if (files.empty()) {
        fprintf(stderr, "replay: no inputs\n");
        return 1;
    }
    for (const std::string &file : files) {
        std::ifstream stream(file, std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    printf("replayed %zu inputs\n", files.size());
    return 0;
}
