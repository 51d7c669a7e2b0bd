// The bottom of the extractor, above the Win32 surface: the run-wide state,
// the small helpers every layer shares, the resource ids, the one 64 KiB
// buffer and the CRC-16 of the format. Nothing here knows archives,
// decoders or dialogs.
#pragma once
#include "platform/win32.h"

struct RunState {
    HINSTANCE instance;
    HWND mainWindow;        // dialog 102, then dialog 103; owner of every message box
    int failed;             // 0 or 1; the process exit code
    int cancelRequested;    // set once by a confirmed cancel, never reset
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

// One message of the queue to the dialog shown, or translated and dispatched.
void DispatchDialogMessage(MSG *msg);
// Dispatches what the queue holds and returns: the dialog shown stays
// responsive while the work goes on between calls.
void PumpMessages(void);

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

// One member is read or decoded at a time, and a member's header is read
// completely before its data is decoded: the header reader and the
// decoders' output window take turns in one 64 KiB of .bss (the stub's
// file does not carry it). Nothing clears it between members.
enum { WINDOW_SIZE = 65536 };
union SharedBuffer {
    uint8_t window[WINDOW_SIZE];  // the decoders' output window and block
    uint8_t header[WINDOW_SIZE];  // a member header, at most 65,536 bytes with its next length field
};
extern SharedBuffer shared;

// CRC-16 of the format: reflected polynomial 0xA001, started from `crc`
// (0 for a new sum), no final XOR. The table is built at run time
// (BuildCrcTable; on the host before main), so the stub's file does not
// carry its 8 KiB.
enum { CRC_ROWS = 16 };
extern uint16_t crcTable[CRC_ROWS][256];
void BuildCrcTable(void);
uint32_t Crc16(uint32_t crc, const uint8_t *bytes, size_t count);
