// The run sequence: target dialog, extraction, the setup offer, and the
// exit code, which is `failed` at the end.
//
// Where the format leaves the choice to us: a failed CreateDialogParamA for
// the target dialog ends the run with a message and exit code 1, and a
// setup program whose directory does not fit the 260-byte buffer is not
// offered (it could not be started in its own directory).
#include "extract/extract.h"
#include "shell/shell.h"

static void OfferSetup(void)
{
    char directory[MAX_PATH];
    int32_t n = StringLength(runState.setupPath) - 9;  // drop "SETUP.EXE"
    if (n >= MAX_PATH)
        return;
    if (MessageBoxA(runState.mainWindow, "Do you want to execute setup now?", "Execute",
                    MB_YESNO | MB_ICONQUESTION) != IDYES)
        return;
    CopyBytes(directory, runState.setupPath, n);
    // A drive root keeps its backslash (C:\); deeper directories lose it.
    if (n >= 2 && directory[n - 2] != ':')
        n--;
    directory[n] = 0;
    ShellExecuteA(runState.mainWindow, "open", runState.setupPath, "", directory, SW_SHOWNORMAL);
}

int RunSelfExtractor(void)
{
    runState.instance = GetModuleHandleA(0);
    runState.failed = 0;
    runState.setupPath = 0;
    runState.mainWindow = CreateDialogParamA(runState.instance, MAKEINTRESOURCEA(IDD_TARGET), 0,
                                             TargetDialogProc, 0);
    if (!runState.mainWindow) {
        ShowError("Cannot open the dialog window.");
        return 1;
    }
    ChooseTargetDirectory();
    if (!runState.failed && OpenProgressDialog())
        ExtractArchive();
    if (runState.setupPath) {
        if (!runState.failed)
            OfferSetup();
        FreeBlock(runState.setupPath);
        runState.setupPath = 0;
    }
    DestroyWindow(runState.mainWindow);
    return runState.failed;
}
