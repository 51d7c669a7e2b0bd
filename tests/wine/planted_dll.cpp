// A DLL that nobody should load: planted beside a self-extractor as
// comctl32.dll, it leaves a marker file beside itself when it is loaded.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        char path[MAX_PATH + 32];
        DWORD n = GetModuleFileNameA(self, path, MAX_PATH);
        while (n > 0 && path[n - 1] != '\\')
            n--;
        lstrcpyA(path + n, "planted-dll-loaded.txt");
        HANDLE marker = CreateFileA(path, GENERIC_WRITE, 0, 0, CREATE_ALWAYS, 0, 0);
        if (marker != INVALID_HANDLE_VALUE)
            CloseHandle(marker);
    }
    return TRUE;
}

extern "C" __declspec(dllexport) void WINAPI InitCommonControls(void) {}
