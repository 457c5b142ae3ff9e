// An application with a window and unsaved work: when the session ends it
// takes 3 seconds to save, then writes the file ZELMOR_EDITOR_SAVE names.
// For the sign-out check of docs/windows-checks.md.
#include <windows.h>

namespace {

LRESULT CALLBACK editorWindow(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_ENDSESSION && wParam) {
        wchar_t path[MAX_PATH];
        DWORD length = GetEnvironmentVariableW(L"ZELMOR_EDITOR_SAVE", path, MAX_PATH);
        Sleep(3000);
        if (length > 0 && length < MAX_PATH) {
            HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
            DWORD written = 0;
            WriteFile(file, "saved\r\n", 7, &written, nullptr);
            CloseHandle(file);
        }
    } else if (message == WM_DESTROY) {
        PostQuitMessage(0);
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

extern "C" __declspec(dllexport) int run_code(int, wchar_t **) {
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = editorWindow;
    windowClass.lpszClassName = L"ZelmorEditor";
    RegisterClassW(&windowClass);
    CreateWindowW(L"ZelmorEditor", L"Unsaved work", WS_OVERLAPPEDWINDOW | WS_VISIBLE, CW_USEDEFAULT, CW_USEDEFAULT,
                  400, 200, nullptr, nullptr, nullptr, nullptr);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        DispatchMessageW(&message);
    }
    return 0;
}
