#include "run_directory/directory_creation.h"

#include <stdint.h>

#include <atomic>

#include "base/failure.h"
#include "base/messages.h"
#include "paths/path_template.h"
#include "run_directory/private_directory.h"
#include "run_directory/run_directory_names.h"

namespace {

// Names tried before giving up: enough for a clock that stands still and a
// few names taken by chance, not for someone who takes them all.
constexpr int kNameAttempts = 16;

}  // namespace

void nameRunDirectory(RunDirectory *directory) {
    if (!expandPathSpec(directory->targetDirectory, kTargetDirectorySpec, kTargetDirectoryCapacity)) {
        fatalSpecExpansion(kTargetDirectorySpec);
    }
}

bool createRunDirectory(RunDirectory *directory) {
    for (int attempt = 1;; attempt++) {
        uint32_t error = 0;
        void *holder = nullptr;
        uint64_t fileId = 0;
        NewDirectory made = createPrivateDirectory(directory->targetDirectory, &holder, &fileId, &error);
        if (made == NewDirectory::Created) {
            directory->holder = holder;
            directory->fileId = fileId;
            break;
        }
        // Nothing is made above the run's own directory: a temporary
        // directory that is not there is no usable one.
        if (made == NewDirectory::NoParent) {
            fatalSpecExpansion(kTargetDirectorySpec);
        }
        if (made == NewDirectory::Refused) {
            return false;
        }
        if (made == NewDirectory::NoAccessList) {
            fatalErrorWithCode(kUnpackFailed, error);
        }
        // Whatever stands there is not this run's, even if it bears its
        // name: another start time gives another name.
        if (attempt == kNameAttempts) {
            fatalSpecExpansion(kTargetDirectorySpec);
        }
        renewStartTime();
        nameRunDirectory(directory);
    }
    // The name is final before the console-control thread may act on it.
    std::atomic_thread_fence(std::memory_order_release);
    directory->cleanupArmed = 1;
    return true;
}
