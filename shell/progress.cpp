// The progress dialog (resource 103), its bar, and the message pump that
// the decoders call after every output block. A cancel confirmed in the
// dialog only sets flags; the pump acts on them after the queue is drained,
// so the decoder exit never unwinds through a window procedure.
#include "decode/decode.h"
#include "shell/shell.h"

// Thousandths of the bar. Sizes are taken as unsigned 32-bit numbers, so
// totals from 2 GiB up to 4 GiB still give a steady bar.
int32_t ProgressPosition(int32_t done, int32_t total)
{
    uint32_t d = (uint32_t)done;
    uint32_t t = (uint32_t)total;
    if (t == 0)
        return 0;
    if (d > t)
        return 1000;
    if (d < 1000000)  // d * 1000 stays below 2^31
        return (int32_t)(d * 1000 / t);
    return (int32_t)(d / (t / 1000));  // t >= d >= 1,000,000, so t / 1000 >= 1000
}

void UpdateProgress(void)
{
    SendDlgItemMessageA(runState.mainWindow, IDC_PROGRESS_BAR, PBM_SETPOS,
                        (WPARAM)ProgressPosition(runState.doneBytes, (int32_t)runState.totalBytes),
                        0);
}

void DispatchDialogMessage(MSG *msg)
{
    if (!IsDialogMessageA(runState.mainWindow, msg)) {
        TranslateMessage(msg);
        DispatchMessageA(msg);
    }
}

void PumpMessages(void)
{
    MSG msg;
    while (PeekMessageA(&msg, 0, 0, 0, PM_NOREMOVE)) {
        GetMessageA(&msg, 0, 0, 0);
        DispatchDialogMessage(&msg);
    }
    if (runState.failed && runState.decoderActive)
        LeaveDecode(Cancelled);
}

INT_PTR CALLBACK ProgressDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM)
{
    if (message == WM_INITDIALOG) {
        SendDlgItemMessageA(window, IDC_PROGRESS_BAR, PBM_SETRANGE, 0, MAKELPARAM(0, 1000));
        // Take the exact place of the target dialog, which is still shown.
        RECT owner;
        GetWindowRect(runState.mainWindow, &owner);
        CentreWindow(window, owner.left + owner.right, owner.top + owner.bottom);
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
