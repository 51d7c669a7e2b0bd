// The run-wide state and the helpers every subsystem shares.
#pragma once
#include "platform/win32.h"

struct RunState {
    HINSTANCE instance;
    HWND mainWindow;        // dialog 102, then dialog 103; owner of every message box
    int failed;             // 0 or 1; the process exit code
    int cancelRequested;    // set once by a confirmed cancel, never reset
    int decoderActive;      // 1 while DecodeMember runs: errors leave through LeaveDecode
    char *setupPath;        // first SETUP.EXE extracted without failure, owned
    char targetDir[MAX_PATH + 1];  // full target, ends in a backslash once chosen
    int targetDirLength;
    uint32_t totalBytes;    // summed unsigned; the progress bar reads it as signed
    int32_t doneBytes;
};

extern RunState runState;

// Message box titled "Error" with a stop icon; does not touch `failed`.
void ShowError(const char *text);
// ShowError, then `failed` set: how most failures are reported.
void ShowFailure(const char *text);
// Forward byte-by-byte copy. Overlapping match copies rely on the forward
// order (a source one byte behind the destination repeats that byte), so
// this must never become a memmove.
void CopyBytes(void *destination, const void *source, int32_t count);
void *AllocBlock(int32_t size);  // null for size < 1 (and when the heap is exhausted)
void FreeBlock(void *block);
int32_t StringLength(const char *text);

// Dialog resources and their control ids.
enum {
    IDD_TARGET = 102,
    IDD_PROGRESS = 103,
    IDI_CORVANE = 101,
    IDC_TARGET_EDIT = 1001,
    IDC_EXTRACT = 1002,
    IDC_CANCEL = 1003,
    IDC_BROWSE = 1004,
    IDC_PROGRESS_BAR = 1005,
    IDC_MEMBER_TEXT = 1006,
};

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

// Progress dialog (resource 103) and the message pump of the decoders.
INT_PTR CALLBACK ProgressDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
int32_t ProgressPosition(int32_t done, int32_t total);  // 0..1000
void UpdateProgress(void);
void PumpMessages(void);
// One message of the queue to the dialog shown, or translated and dispatched.
void DispatchDialogMessage(MSG *msg);
