// The top of the extractor: the entry point, the run sequence, the
// target-directory dialog and the progress dialog.
#pragma once
#include "core/core.h"

// The whole run: target dialog, extraction, setup offer. Returns `failed`,
// which the entry point hands to ExitProcess.
int RunSelfExtractor(void);

// Moves a window, keeping its size, so that its centre lies halfway along
// the spans: left + right and top + bottom of what it is centred on.
void CentreWindow(HWND window, int spanX, int spanY);

// Target-directory dialog (resource 102).
INT_PTR CALLBACK TargetDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void ProposeDirectoryName(void);
void ChooseTargetDirectory(void);

// Progress dialog (resource 103): replaces the target dialog as the main
// window; false with the failure shown when it cannot be created.
int OpenProgressDialog(void);
