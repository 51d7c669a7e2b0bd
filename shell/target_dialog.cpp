// The target-directory dialog (resource 102): proposes the current
// directory followed by the program's own base name, takes a typed or
// browsed path, and hands one full path ending in a backslash to the run.
//
// Choices: a full path that does not fit targetDir (GetFullPathNameA
// answers with the size it would need) counts as "Incorrect path.", and a
// proposal that the edit field could not give back whole (MAX_PATH - 1
// characters at most) leaves the directory without the base name.
#include "shell/shell.h"

// The start of a path's last component; *end becomes the path's length
// without a trailing backslash.
static int32_t LastComponent(const char *path, int32_t *end)
{
    int32_t n = StringLength(path);
    if (n > 0 && path[n - 1] == '\\')
        n--;
    *end = n;
    while (n > 0 && path[n - 1] != '\\')
        n--;
    return n;
}

void CentreWindow(HWND window, int spanX, int spanY)
{
    RECT r;
    GetWindowRect(window, &r);
    int w = r.right - r.left;
    int h = r.bottom - r.top;
    MoveWindow(window, (spanX - w) / 2, (spanY - h) / 2, w, h, FALSE);
}

void ProposeDirectoryName(void)
{
    char ownPath[MAX_PATH];
    GetModuleFileNameA(0, ownPath, MAX_PATH);
    char *dir = runState.targetDir;
    int32_t d, m;
    int32_t k = LastComponent(dir, &d);
    int32_t j = LastComponent(ownPath, &m);
    int32_t e = m;
    for (int32_t i = m - 1; i >= j; i--) {
        if (ownPath[i] == '.') {
            e = i;
            break;
        }
    }
    int32_t baseLength = e - j;
    if (d - k == baseLength) {
        int32_t i = 0;
        while (i < baseLength && dir[k + i] == ownPath[j + i])
            i++;
        if (i == baseLength)
            return;
    }
    // The field is read back into MAX_PATH bytes, so a proposal of MAX_PATH
    // characters would be shown with its last one and used without it.
    if (d + 1 + baseLength >= MAX_PATH)
        return;
    dir[d] = '\\';
    CopyBytes(dir + d + 1, ownPath + j, baseLength);
    dir[d + 1 + baseLength] = 0;
}

static void Browse(HWND window)
{
    BROWSEINFOA request = {};
    request.hwndOwner = window;
    request.pszDisplayName = runState.targetDir;
    request.lpszTitle = "Target Directory:";
    request.ulFlags = BIF_RETURNONLYFSDIRS;
    LPITEMIDLIST list = SHBrowseForFolderA(&request);
    if (!list)
        return;
    SHGetPathFromIDListA(list, runState.targetDir);
    IMalloc *shellAlloc;
    if (SHGetMalloc(&shellAlloc) == 0) {
        shellAlloc->Free(list);
        shellAlloc->Release();
    }
    ProposeDirectoryName();
    SendDlgItemMessageA(window, IDC_TARGET_EDIT, WM_SETTEXT, 0, (LPARAM)runState.targetDir);
}

INT_PTR CALLBACK TargetDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM)
{
    if (message == WM_INITDIALOG) {
        SendDlgItemMessageA(window, IDC_TARGET_EDIT, EM_LIMITTEXT, MAX_PATH - 1, 0);
        runState.targetDirLength = (int32_t)GetCurrentDirectoryA(MAX_PATH, runState.targetDir);
        ProposeDirectoryName();
        SendDlgItemMessageA(window, IDC_TARGET_EDIT, WM_SETTEXT, 0, (LPARAM)runState.targetDir);
        CentreWindow(window, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN));
        return TRUE;
    }
    if (message != WM_COMMAND || HIWORD(wParam) != 0)
        return FALSE;
    switch (LOWORD(wParam)) {
    case IDC_EXTRACT:
        PostQuitMessage(0);
        return TRUE;
    case IDC_CANCEL:
    case IDCANCEL:
        runState.failed = 1;
        PostQuitMessage(0);
        return TRUE;
    case IDC_BROWSE:
        Browse(window);
        return TRUE;
    }
    return FALSE;
}

void ChooseTargetDirectory(void)
{
    MSG msg;
    char typed[MAX_PATH];
    for (;;) {
        while (GetMessageA(&msg, 0, 0, 0))
            DispatchDialogMessage(&msg);
        if (runState.failed)
            return;
        SendDlgItemMessageA(runState.mainWindow, IDC_TARGET_EDIT, WM_GETTEXT, MAX_PATH,
                            (LPARAM)typed);
        DWORD full = GetFullPathNameA(typed, MAX_PATH, runState.targetDir, 0);
        if (full != 0 && full < MAX_PATH) {
            int32_t n = StringLength(runState.targetDir);
            runState.targetDirLength = n;
            if (n > 0) {
                if (runState.targetDir[n - 1] != '\\') {
                    runState.targetDir[n] = '\\';
                    runState.targetDir[n + 1] = 0;
                    runState.targetDirLength = n + 1;
                }
                return;
            }
        }
        ShowError("Incorrect path.");
    }
}
