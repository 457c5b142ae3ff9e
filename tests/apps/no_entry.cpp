// A valid DLL without run_code, for the launcher's missing-entry failure.
extern "C" __declspec(dllexport) int not_run_code(void) { return 1; }
