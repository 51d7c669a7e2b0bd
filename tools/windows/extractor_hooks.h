// Put in front of every extractor source of the Windows corvane-sfx (a
// compiler option, see cmake/windows-tool.cmake). The extractor asks for its
// own file, and in the tool that is the file given to `extract`; message
// boxes of `list` and `test` go to the console, those of `extract` are the
// real ones. The stub itself is built without this.
#pragma once
#include <windows.h>

DWORD WINAPI ExtractorModuleFileName(HMODULE module, LPSTR buffer, DWORD size);
int WINAPI ExtractorMessageBox(HWND owner, LPCSTR text, LPCSTR caption, UINT type);

#define GetModuleFileNameA ExtractorModuleFileName
#define MessageBoxA ExtractorMessageBox
