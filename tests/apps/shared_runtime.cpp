// An application built as MinGW builds a DLL by default: against the shared
// C++ runtime, so that it imports libstdc++-6.dll and libgcc_s_seh-1.dll,
// which no Windows provides.
#include <stdexcept>
#include <string>

extern "C" __declspec(dllexport) int run_code(int argc, wchar_t **) {
    std::string count = std::to_string(argc);
    try {
        if (argc > 1000) {
            throw std::runtime_error(count);
        }
    } catch (const std::runtime_error &) {
        return 2;
    }
    return static_cast<int>(count.size());
}
