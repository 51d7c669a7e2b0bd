// The progress dialog (resource 103). A cancel confirmed in the dialog only
// sets flags; the extractor acts on them after its next block, so no
// decoder ever ends inside a window procedure.
#include "shell/shell.h"

static INT_PTR CALLBACK ProgressDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    if (message == WM_INITDIALOG) {
        SendDlgItemMessageA(dialog, IDC_PROGRESS_BAR, PBM_SETRANGE, 0, MAKELPARAM(0, 1000));
        // Take the exact place of the target dialog, which is still shown.
        RECT owner;
        GetWindowRect(runState.mainWindow, &owner);
        CentreWindow(dialog, owner.left + owner.right, owner.top + owner.bottom);
        return TRUE;
    }
    if (message == WM_COMMAND && HIWORD(wParam) == 0 &&
        (LOWORD(wParam) == IDCANCEL || LOWORD(wParam) == IDC_CANCEL)) {
        if (MessageBoxA(runState.mainWindow, "Do you really want to cancel?", "Warning",
                        MB_YESNO | MB_ICONQUESTION) == IDYES) {
            runState.failed = 1;
            runState.cancelRequested = 1;
        }
        return TRUE;
    }
    return FALSE;
}

int OpenProgressDialog(void)
{
    HWND progress = CreateDialogParamA(runState.instance, MAKEINTRESOURCEA(IDD_PROGRESS), 0,
                                       ProgressDialogProc, 0);
    if (!progress) {
        ShowFailure("Cannot open the progress window.");
        return 0;
    }
    DestroyWindow(runState.mainWindow);
    runState.mainWindow = progress;
    return 1;
}
