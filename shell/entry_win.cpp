// The stub's process entry point. There is no C runtime: the linker starts
// the process here (-e StubEntry), and the process ends in ExitProcess.
#include "shell/shell.h"

typedef BOOL (WINAPI *SetDefaultDllDirectoriesProc)(DWORD flags);
typedef void (WINAPI *InitCommonControlsProc)(void);

#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif

// A downloaded self-extractor usually runs from a folder full of other
// downloads, where a planted DLL would be found before the system's. Every
// DLL the stub links statically (kernel32, user32, shell32) is a known DLL
// that the loader takes from the system only. Whatever gets loaded later
// (by the shell's folder browser, say) is restricted to the system
// directory where the system can do that (Windows 7 with KB2533623 and
// later); older systems simply lack the function.
static void RestrictDllSearch(void)
{
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    SetDefaultDllDirectoriesProc setDirectories =
        (SetDefaultDllDirectoriesProc)(void *)GetProcAddress(kernel, "SetDefaultDllDirectories");
    if (setDirectories)
        setDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

// The progress dialog needs the class msctls_progress32. The common
// controls are not a known DLL, so a static import would be looked up in
// the stub's own folder first; loading them by their full path in the
// system directory cannot be redirected, on Windows 95 as on Windows 11.
// InitCommonControls (not ...Ex) exists in every version of the library.
// Should this fail, the progress dialog cannot be created and the run
// ends as it would on any other failure to create it.
static void RegisterProgressClass(void)
{
    static const char libraryName[] = "\\comctl32.dll";
    char path[MAX_PATH + sizeof libraryName];
    UINT n = GetSystemDirectoryA(path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return;
    if (path[n - 1] == '\\')
        n--;  // a system directory at a drive root
    for (UINT i = 0; i < sizeof libraryName; i++)
        path[n + i] = libraryName[i];
    HMODULE controls = LoadLibraryA(path);
    if (!controls)
        return;
    InitCommonControlsProc initControls =
        (InitCommonControlsProc)(void *)GetProcAddress(controls, "InitCommonControls");
    if (initControls)
        initControls();
}

extern "C" [[noreturn]] void WINAPI StubEntry(void)
{
    RestrictDllSearch();
    RegisterProgressClass();
    ExitProcess(RunSelfExtractor());
}
