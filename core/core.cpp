// The run-wide state and the small helpers every layer shares.
#include "core/core.h"

RunState runState;
// In .bss: the stub's file does not carry it.
SharedBuffer shared;

void ShowError(const char *text)
{
    MessageBoxA(runState.mainWindow, text, "Error", MB_OK | MB_ICONHAND);
}

void ShowFailure(const char *text)
{
    ShowError(text);
    runState.failed = 1;
}

// Deliberately one byte at a time, ascending: CopyMatch hands overlapping
// ranges to PutBlock and relies on re-reading bytes written earlier in the
// same copy. The volatile destination keeps the compiler from turning the
// loop into a memcpy/memmove call with other overlap rules (and, in the
// stub, into a call to a library that is not there).
void CopyBytes(void *destination, const void *source, int32_t count)
{
    uint8_t *to = (uint8_t *)destination;
    const uint8_t *from = (const uint8_t *)source;
    for (int32_t i = 0; i < count; i++)
        ((volatile uint8_t *)to)[i] = from[i];
}

void *AllocBlock(int32_t size)
{
    if (size < 1)
        return 0;
    return GlobalAlloc(GMEM_FIXED, (size_t)size);
}

void FreeBlock(void *block)
{
    if (block)
        GlobalFree(block);
}

int32_t StringLength(const char *text)
{
    int32_t n = 0;
    while (text[n])
        n++;
    return n;
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
}
