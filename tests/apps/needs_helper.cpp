// Imports zelmor-helper.dll, so it loads only if the loader finds that DLL;
// its exit code shows which copy was found.
extern "C" __declspec(dllimport) int helper_value(void);

extern "C" __declspec(dllexport) int run_code(int, wchar_t **) { return helper_value(); }
