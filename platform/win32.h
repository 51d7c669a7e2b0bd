// The Win32 surface the extractor is written against.
//
// On Windows this is the real <windows.h>. On Linux it declares the subset
// of the API the extractor uses, with the same names, types and constants;
// platform/*.cpp implements it: the Linux file system appears as drive Z:
// with backslash paths, and the console stands in for the window system
// (message boxes become prompts on standard error, dialogs read standard
// input). Only what the extractor calls is declared here, and the last error,
// through which the tests see why a path was refused.
#pragma once

#ifdef _WIN32
#include <stdint.h>
#include <stddef.h>
#include <windows.h>
#include <commctrl.h>
#include <shlobj.h>
#else
#include <stdint.h>
#include <stddef.h>

#define WINAPI
#define CALLBACK
#define FALSE 0
#define TRUE 1
#define MAX_PATH 260

typedef int BOOL;
typedef unsigned char BYTE;
typedef unsigned short WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef unsigned int UINT;
typedef char CHAR;
typedef char *LPSTR;
typedef const char *LPCSTR;
typedef void *LPVOID;
typedef const void *LPCVOID;
typedef DWORD *LPDWORD;
typedef LONG *PLONG;
typedef intptr_t INT_PTR;
typedef intptr_t LONG_PTR;
typedef uintptr_t UINT_PTR;
typedef uintptr_t WPARAM;
typedef intptr_t LPARAM;
typedef intptr_t LRESULT;
typedef void *HANDLE;
typedef void *HGLOBAL;
typedef struct PlatformWindow *HWND;
typedef struct PlatformModule *HINSTANCE;
typedef HINSTANCE HMODULE;
typedef void *LPSECURITY_ATTRIBUTES;
typedef void *LPOVERLAPPED;
typedef struct _ITEMIDLIST *LPITEMIDLIST;
typedef const struct _ITEMIDLIST *LPCITEMIDLIST;

typedef INT_PTR (CALLBACK *DLGPROC)(HWND, UINT, WPARAM, LPARAM);

typedef struct { LONG left, top, right, bottom; } RECT, *LPRECT;
typedef struct { LONG x, y; } POINT;
typedef struct { HWND hwnd; UINT message; WPARAM wParam; LPARAM lParam; DWORD time; POINT pt; } MSG, *LPMSG;
typedef struct { DWORD dwLowDateTime, dwHighDateTime; } FILETIME, *LPFILETIME;
typedef struct {
    WORD wYear, wMonth, wDayOfWeek, wDay, wHour, wMinute, wSecond, wMilliseconds;
} SYSTEMTIME, *LPSYSTEMTIME;

typedef int (CALLBACK *BFFCALLBACK)(HWND, UINT, LPARAM, LPARAM);
typedef struct {
    HWND hwndOwner; LPCITEMIDLIST pidlRoot; LPSTR pszDisplayName; LPCSTR lpszTitle;
    UINT ulFlags; BFFCALLBACK lpfn; LPARAM lParam; int iImage;
} BROWSEINFOA, *LPBROWSEINFOA;

// The shell allocator: only Free and Release are used.
struct IMalloc;
struct IMallocVtbl {
    void (*Free)(IMalloc *self, void *block);
    unsigned long (*Release)(IMalloc *self);
};
struct IMalloc {
    const IMallocVtbl *lpVtbl;
    void Free(void *block) { lpVtbl->Free(this, block); }
    unsigned long Release() { return lpVtbl->Release(this); }
};
typedef long HRESULT;

#define MAKEINTRESOURCEA(i) ((LPCSTR)(uintptr_t)(WORD)(i))
#define MAKEINTRESOURCE MAKEINTRESOURCEA
#define LOWORD(l) ((WORD)((uintptr_t)(l) & 0xFFFF))
#define HIWORD(l) ((WORD)(((uintptr_t)(l) >> 16) & 0xFFFF))
#define MAKELPARAM(lo, hi) ((LPARAM)(DWORD)((WORD)(lo) | ((DWORD)(WORD)(hi) << 16)))

#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define INVALID_FILE_ATTRIBUTES ((DWORD)-1)
#define INVALID_SET_FILE_POINTER ((DWORD)-1)
#define INVALID_FILE_SIZE ((DWORD)0xFFFFFFFF)
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define FILE_BEGIN 0
#define FILE_CURRENT 1
#define FILE_END 2
#define FILE_ATTRIBUTE_READONLY 0x01
#define FILE_ATTRIBUTE_HIDDEN 0x02
#define FILE_ATTRIBUTE_SYSTEM 0x04
#define FILE_ATTRIBUTE_DIRECTORY 0x10
#define FILE_ATTRIBUTE_ARCHIVE 0x20
#define FILE_ATTRIBUTE_NORMAL 0x80
#define GMEM_FIXED 0
#define ERROR_PATH_NOT_FOUND 3
#define ERROR_FILENAME_EXCED_RANGE 206

#define MB_OK 0x00
#define MB_YESNOCANCEL 0x03
#define MB_YESNO 0x04
#define MB_ICONHAND 0x10
#define MB_ICONQUESTION 0x20
#define IDOK 1
#define IDCANCEL 2
#define IDYES 6
#define IDNO 7

#define WM_INITDIALOG 0x0110
#define WM_COMMAND 0x0111
#define WM_SETTEXT 0x000C
#define WM_GETTEXT 0x000D
#define EM_LIMITTEXT 0x00C5
#define PM_NOREMOVE 0
#define SM_CXSCREEN 0
#define SM_CYSCREEN 1
#define SW_SHOWNORMAL 1
#define BIF_RETURNONLYFSDIRS 1
#define WM_USER 0x0400
#define PBM_SETRANGE (WM_USER + 1)
#define PBM_SETPOS (WM_USER + 2)

// KERNEL32
HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                          DWORD disposition, DWORD flags, HANDLE tmpl);
BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD count, LPDWORD done, LPOVERLAPPED ov);
BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD count, LPDWORD done, LPOVERLAPPED ov);
DWORD WINAPI SetFilePointer(HANDLE file, LONG distance, PLONG distanceHigh, DWORD method);
DWORD WINAPI GetFileSize(HANDLE file, LPDWORD sizeHigh);
BOOL WINAPI CloseHandle(HANDLE object);
BOOL WINAPI DeleteFileA(LPCSTR name);
BOOL WINAPI CreateDirectoryA(LPCSTR name, LPSECURITY_ATTRIBUTES sa);
BOOL WINAPI SetCurrentDirectoryA(LPCSTR name);
DWORD WINAPI GetCurrentDirectoryA(DWORD length, LPSTR buffer);
DWORD WINAPI GetFullPathNameA(LPCSTR name, DWORD length, LPSTR buffer, LPSTR *filePart);
DWORD WINAPI GetFileAttributesA(LPCSTR name);
BOOL WINAPI SetFileAttributesA(LPCSTR name, DWORD attributes);
BOOL WINAPI SetFileTime(HANDLE file, const FILETIME *creation, const FILETIME *access,
                        const FILETIME *write);
BOOL WINAPI GetDiskFreeSpaceA(LPCSTR root, LPDWORD sectorsPerCluster, LPDWORD bytesPerSector,
                              LPDWORD freeClusters, LPDWORD totalClusters);
BOOL WINAPI SystemTimeToFileTime(const SYSTEMTIME *st, LPFILETIME ft);
BOOL WINAPI FileTimeToLocalFileTime(const FILETIME *utc, LPFILETIME local);
BOOL WINAPI LocalFileTimeToFileTime(const FILETIME *local, LPFILETIME utc);
BOOL WINAPI FileTimeToDosDateTime(const FILETIME *ft, WORD *dosDate, WORD *dosTime);
BOOL WINAPI DosDateTimeToFileTime(WORD dosDate, WORD dosTime, LPFILETIME ft);
HMODULE WINAPI GetModuleHandleA(LPCSTR name);
DWORD WINAPI GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD length);
HGLOBAL WINAPI GlobalAlloc(UINT flags, size_t bytes);
HGLOBAL WINAPI GlobalFree(HGLOBAL block);
int WINAPI lstrcmpiA(LPCSTR a, LPCSTR b);
[[noreturn]] void WINAPI ExitProcess(UINT code);
DWORD WINAPI GetLastError(void);
void WINAPI SetLastError(DWORD code);

// USER32
HWND WINAPI CreateDialogParamA(HINSTANCE instance, LPCSTR templ, HWND parent, DLGPROC proc,
                               LPARAM param);
BOOL WINAPI DestroyWindow(HWND window);
BOOL WINAPI GetMessageA(LPMSG msg, HWND window, UINT first, UINT last);
BOOL WINAPI PeekMessageA(LPMSG msg, HWND window, UINT first, UINT last, UINT remove);
BOOL WINAPI IsDialogMessageA(HWND dialog, LPMSG msg);
BOOL WINAPI TranslateMessage(const MSG *msg);
LRESULT WINAPI DispatchMessageA(const MSG *msg);
void WINAPI PostQuitMessage(int code);
LRESULT WINAPI SendDlgItemMessageA(HWND dialog, int id, UINT msg, WPARAM wParam, LPARAM lParam);
BOOL WINAPI GetWindowRect(HWND window, LPRECT rect);
int WINAPI GetSystemMetrics(int index);
BOOL WINAPI MoveWindow(HWND window, int x, int y, int width, int height, BOOL repaint);
int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT flags);
BOOL WINAPI OemToCharBuffA(LPCSTR source, LPSTR dest, DWORD length);

// SHELL32
LPITEMIDLIST WINAPI SHBrowseForFolderA(LPBROWSEINFOA bi);
BOOL WINAPI SHGetPathFromIDListA(LPCITEMIDLIST list, LPSTR path);
HRESULT WINAPI SHGetMalloc(IMalloc **malloc);
HINSTANCE WINAPI ShellExecuteA(HWND owner, LPCSTR verb, LPCSTR file, LPCSTR params, LPCSTR dir,
                               int show);
#endif
