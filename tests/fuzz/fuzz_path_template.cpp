// expandPathSpec against a small model of the expansion: same outcome (true,
// false or abort), same text on true, a terminated output that never leaves
// its exactly-sized heap buffer, and ZELMOR_ONEFILE_START only ever published
// as the digits of the clock.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include <string>
#include <vector>

#include "format/version.h"
#include "paths/path_template.h"
#include "testing/host/host_environment.h"
#include "testing/host/host_failure.h"
#include "testing/host/host_system_values.h"

namespace {

constexpr size_t kHeaderSize = 15;
constexpr size_t kMaxCapacity = 5000;
const char kParent[] = "ZELMOR_ONEFILE_PARENT";
const char kStart[] = "ZELMOR_ONEFILE_START";

struct Inputs {
    std::wstring spec;
    bool hasParent;
    std::wstring parent;
    bool hasStart;
    std::wstring start;
    size_t capacity;
};

struct Run {
    Inputs inputs;
    wchar_t *output;
    bool result;
};

[[noreturn]] void fail(const char *why) {
    fprintf(stderr, "fuzz_path_template: %s\n", why);
    abort();
}

bool allDigits(const std::wstring &text) {
    return text.find_first_not_of(L"0123456789") == std::wstring::npos;
}

std::wstring lowerAscii(std::wstring text) {
    for (wchar_t &c : text) {
        if (c >= L'A' && c <= L'Z') {
            c = static_cast<wchar_t>(c - L'A' + L'a');
        }
    }
    return text;
}

std::wstring decimal(long long value) {
    return std::to_wstring(value);
}

// The decimal text of a 32-bit id other than 0, exactly as printed.
bool isParentId(const std::wstring &text) {
    return !text.empty() && text.size() <= 10 && allDigits(text) && text[0] != L'0' &&
           std::stoull(text) <= 0xFFFFFFFFull;
}

bool isSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

// A path that names its drive and starts at its root, or a share on a server
// (also behind the long-path prefix, which takes only backslashes).
bool fullyQualified(const std::wstring &path) {
    auto isLetter = [](wchar_t c) { return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z'); };
    auto drive = [&](const std::wstring &p, bool slash) {
        return p.size() >= 3 && isLetter(p[0]) && p[1] == L':' && (p[2] == L'\\' || (slash && p[2] == L'/'));
    };
    auto share = [&](const std::wstring &p, bool slash) {
        std::wstring separators = slash ? L"\\/" : L"\\";
        size_t serverEnd = p.find_first_of(separators);
        if (serverEnd == 0 || serverEnd == std::wstring::npos) {
            return false;
        }
        size_t shareEnd = p.find_first_of(separators, serverEnd + 1);
        return (shareEnd == std::wstring::npos ? p.size() : shareEnd) > serverEnd + 1;
    };
    if (path.compare(0, 8, L"\\\\?\\UNC\\") == 0) {
        return share(path.substr(8), false);
    }
    if (path.compare(0, 4, L"\\\\?\\") == 0) {
        return drive(path.substr(4), false);
    }
    if (path.size() >= 2 && isSeparator(path[0]) && isSeparator(path[1])) {
        bool device = path.size() >= 4 && (path[2] == L'.' || path[2] == L'?') && isSeparator(path[3]);
        return !device && share(path.substr(2), true);
    }
    return drive(path, true);
}

enum class Outcome { True, False, Abort };

// The expansion as the path-spec rules state it, on std::wstring.
struct Model {
    const Inputs &in;
    const HostSystemValues &system;
    std::wstring out;
    std::wstring start;  // the variable as the model's run leaves it; empty reads as unset
    std::vector<std::wstring> published;

    void dropTrailingBackslashes() {
        while (!out.empty() && out.back() == L'\\') {
            out.pop_back();
        }
    }

    // Appends a value that must fit with its terminator, else the run aborts.
    bool append(const std::wstring &value) {
        if (value.size() >= in.capacity - out.size()) {
            return false;
        }
        out += value;
        return true;
    }

    Outcome folder(bool present, const std::wstring &path) {
        if (!present || path.size() >= 260) {
            return Outcome::False;
        }
        if (!append(path)) {
            return Outcome::Abort;
        }
        dropTrailingBackslashes();
        return Outcome::True;
    }

    Outcome program(const std::wstring &name) {
        if (!system.hasProgramName) {
            return Outcome::Abort;
        }
        std::wstring argv0 = system.programName;
        std::wstring value = argv0;
        if (name == L"program_base" && value.size() >= 4 && lowerAscii(value.substr(value.size() - 4)) == L".exe") {
            value.resize(value.size() - 4);
        }
        if (name == L"program_dir" && value.rfind(L'\\') != std::wstring::npos) {
            value.resize(value.rfind(L'\\'));
        }
        // The fit is judged on the whole argv[0], before any cut.
        if (argv0.size() >= in.capacity - out.size()) {
            return Outcome::Abort;
        }
        out += value;
        return Outcome::True;
    }

    Outcome variable(const std::wstring &name) {
        if (name == L"temp") {
            const std::wstring &temp = system.temporaryDirectory;
            if (temp.size() >= in.capacity - out.size() || !fullyQualified(temp)) {
                return Outcome::False;
            }
            out += temp;
            dropTrailingBackslashes();
            return Outcome::True;
        }
        if (name == L"program" || name == L"program_base" || name == L"program_dir") {
            return program(name);
        }
        if (name == L"pid") {
            bool parentId = in.hasParent && isParentId(in.parent);
            return append(parentId ? in.parent : decimal(static_cast<long long>(system.processId))) ? Outcome::True
                                                                                                   : Outcome::Abort;
        }
        if (name == L"home") {
            return folder(system.hasProfile, system.profile);
        }
        if (name == L"cache_dir") {
            return folder(system.hasLocalAppData, system.localAppData);
        }
        if (name == L"version") {
            return append(L"" ZELMOR_VERSION_TEXT) ? Outcome::True : Outcome::Abort;
        }
        if (name == L"time") {
            if (start.empty() || !allDigits(start)) {
                start = decimal(static_cast<long long>(system.systemTime));
                published.push_back(start);
            }
            return append(start) ? Outcome::True : Outcome::Abort;
        }
        return Outcome::False;
    }

    Outcome expand() {
        if (in.capacity == 0) {
            return Outcome::Abort;
        }
        bool inside = false;
        std::wstring name;
        for (wchar_t c : in.spec) {
            if (c == L'{') {
                inside = true;
                name.clear();
            } else if (inside && c == L'}') {
                inside = false;
                Outcome outcome = variable(lowerAscii(name));
                if (outcome != Outcome::True) {
                    return outcome;
                }
            } else if (inside) {
                name.push_back(c);
            } else if (c == L'}' || in.capacity - out.size() < 2) {
                return Outcome::False;
            } else {
                out.push_back(c);
            }
        }
        return Outcome::True;
    }
};

void expand(void *context) {
    Run *run = static_cast<Run *>(context);
    run->result = expandPathSpec(run->output, run->inputs.spec.c_str(), run->inputs.capacity);
}

uint64_t little(const uint8_t *bytes, size_t count) {
    uint64_t value = 0;
    for (size_t i = count; i > 0; i--) {
        value = (value << 8) | bytes[i - 1];
    }
    return value;
}

// Header: flags, capacity (2 bytes), process id (4), clock (8). Then text
// fields split at zero bytes, one unit per byte: spec, parent id, start time,
// temporary directory, argv[0], profile, local application data.
bool decode(const uint8_t *data, size_t size, Inputs *in, HostSystemValues *system) {
    if (size < kHeaderSize) {
        return false;
    }
    uint8_t flags = data[0];
    in->capacity = little(data + 1, 2) % kMaxCapacity;
    system->processId = static_cast<unsigned long>(little(data + 3, 4));
    // The system clock never reads before 1601, so the value is not negative.
    system->systemTime = static_cast<int64_t>(little(data + 7, 8) & INT64_MAX);
    std::vector<std::wstring> fields(1);
    for (size_t i = kHeaderSize; i < size; i++) {
        if (data[i] == 0) {
            fields.emplace_back();
        } else {
            fields.back().push_back(static_cast<wchar_t>(data[i]));
        }
    }
    fields.resize(7);
    in->spec = fields[0];
    in->hasParent = flags & 1;
    in->parent = fields[1];
    in->hasStart = flags & 2;
    in->start = fields[2];
    system->temporaryDirectory = fields[3];
    system->hasProgramName = flags & 4;
    system->programName = fields[4];
    system->hasProfile = flags & 8;
    system->profile = fields[5];
    system->hasLocalAppData = flags & 16;
    system->localAppData = fields[6];
    return true;
}

void check(const Run &run, Ending ending, const Model &model, Outcome expected) {
    Outcome actual = ending == Ending::Abort ? Outcome::Abort : run.result ? Outcome::True : Outcome::False;
    if (ending == Ending::Exit) {
        fail("expansion ended the process with an exit code");
    }
    if (actual != expected) {
        fail("outcome differs from the model");
    }
    if (actual != Outcome::Abort) {
        size_t length = wcsnlen(run.output, run.inputs.capacity);
        if (length == run.inputs.capacity) {
            fail("output not terminated within its capacity");
        }
        if (actual == Outcome::True && std::wstring(run.output, length) != model.out) {
            fail("expanded text differs from the model");
        }
    }
    const std::vector<std::wstring> &writes = hostVariableWrites(kStart);
    for (const std::wstring &value : writes) {
        if (value.empty() || !allDigits(value)) {
            fail("start time published with other than digits");
        }
    }
    if (writes != model.published) {
        fail("start time publications differ from the model");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Run run = {};
    HostSystemValues &system = hostSystemValues();
    if (!decode(data, size, &run.inputs, &system)) {
        return 0;
    }
    resetHostEnvironment();
    if (run.inputs.hasParent) {
        putHostVariable(kParent, run.inputs.parent);
    }
    if (run.inputs.hasStart) {
        putHostVariable(kStart, run.inputs.start);
    }
    Model model{run.inputs, system, {}, run.inputs.hasStart ? run.inputs.start : L"", {}};
    Outcome expected = model.expand();

    // Exactly the capacity, so a write past it is a heap overflow.
    run.output = static_cast<wchar_t *>(malloc(run.inputs.capacity * sizeof(wchar_t)));
    wmemset(run.output, L'#', run.inputs.capacity);
    Ending ending = runGuarded(expand, &run);
    check(run, ending, model, expected);
    free(run.output);
    resetHostEnvironment();
    return 0;
}
