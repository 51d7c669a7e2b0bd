// Put in front of every extractor source of the Windows corvane-sfx (a
// compiler option, see cmake/windows-tool.cmake). The extractor asks for its
// own file, and in the tool that is the file given to `extract`, `list` or
// `test`; message boxes of `list` and `test` go to the console, those of
// `extract` are the real ones; and `test` decodes into a handle that also
// takes the member's time. The stub itself is built without this.
#pragma once
#include <windows.h>

DWORD WINAPI ExtractorModuleFileName(HMODULE module, LPSTR buffer, DWORD size);
int WINAPI ExtractorMessageBox(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
BOOL WINAPI ExtractorSetFileTime(HANDLE file, const FILETIME *created, const FILETIME *accessed,
                                 const FILETIME *written);

#define GetModuleFileNameA ExtractorModuleFileName
#define MessageBoxA ExtractorMessageBox
#define SetFileTime ExtractorSetFileTime
