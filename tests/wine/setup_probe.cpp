// Stands in for an archive's SETUP.EXE: leaves a note of the directory it
// was started in, which is what the self-extractor's setup offer decides.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    char directory[MAX_PATH];
    DWORD n = GetCurrentDirectoryA(sizeof directory, directory);
    HANDLE note = CreateFileA("SETUP-RAN.TXT", GENERIC_WRITE, 0, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, 0);
    if (note == INVALID_HANDLE_VALUE)
        return 1;
    DWORD written;
    WriteFile(note, directory, n, &written, 0);
    CloseHandle(note);
    return 0;
}
