// Everything that touches the target file system for one member:
// directories with their missing ancestors, the replace question, the
// output file as the decoders' sink (with the progress bar), its time and
// attributes, and its removal when extraction failed.
#include "decode/decode.h"
#include "extract/extract.h"

static HANDLE outputFile;

static const char replaceQuestion[] = "Do you want to replace the file\n";
static const char attributeWarning[] = "\nThe R, S or H attribute is set!";

int EnsureDirectory(char *path, int isFilePath, int probeOnly)
{
    if (!isFilePath && SetCurrentDirectoryA(path))
        return 1;  // it exists, and is now the current directory
    int32_t i = StringLength(path);
    while (i > 0 && path[i - 1] != '\\')
        i--;
    i--;  // index of the last backslash, or -1
    // A backslash at index 0..2 (C:\name, \name) is a root separator: it
    // has no parent to create. The probe walks on to the bare drive.
    if (i >= 0 && (i > 2 || probeOnly)) {
        path[i] = 0;
        EnsureDirectory(path, 0, probeOnly);
        path[i] = '\\';
        if (runState.failed)
            return 0;
    }
    if (probeOnly || isFilePath)
        return 1;
    if (CreateDirectoryA(path, 0))
        return 1;
    ShowFailure("Cannot create the directory.");
    return 0;
}

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

int ReportDecodeExit(int32_t code)
{
    const char *text;
    switch (code) {
    case Done:
        return 1;
    case Cancelled:
        return 0;
    case Unsupported:
        text = "Version not supported.";
        break;
    case WriteFailed:
        text = "Cannot write the file.";
        break;
    default:
        text = "The archive is damaged.";
    }
    ShowError(text);
    return 0;
}

// The decoders' sink: the file, the bar, and the queue, where a confirmed
// Cancel sets `failed`.
static int32_t WriteOutput(const uint8_t *bytes, int32_t count)
{
    DWORD done = 0;
    if (!WriteFile(outputFile, bytes, (DWORD)count, &done, 0) || done != (DWORD)count)
        return WriteFailed;
    // Counted as WriteMemberFile settles it, modulo 2^32: claimed sizes of
    // earlier members may already have passed 2^31.
    runState.doneBytes = (int32_t)((uint32_t)runState.doneBytes + (uint32_t)count);
    UpdateProgress();
    PumpMessages();
    return runState.failed ? Cancelled : 0;
}

// The header's local time as the file's last-write time. A stamp that
// names no instant (zeroed dates are common, and month 13, hour 24 or
// second 60 occur) leaves the file the time it was written: the data is
// good, and any made-up date would be a guess, while the FILETIME a failed
// conversion leaves behind is whatever the stack held.
static int32_t SetMemberTime(const MemberHeader *header)
{
    FILETIME local, utc;
    if (DosDateTimeToFileTime(header->dosDate, header->dosTime, &local) &&
        LocalFileTimeToFileTime(&local, &utc) && !SetFileTime(outputFile, 0, 0, &utc))
        return WriteFailed;
    return Done;
}

// Returns IDYES, IDNO or IDCANCEL.
static int AskReplace(const char *targetPath, DWORD attributes)
{
    int32_t pathLength = StringLength(targetPath);
    char *text = (char *)AllocBlock(pathLength + 100);
    if (!text) {
        // No room to ask: the existing file is kept, as after Cancel, and
        // the user hears why before deciding about the rest of the run.
        ShowError("Not enough memory.");
        return IDCANCEL;
    }
    int32_t at = 0;
    CopyBytes(text, replaceQuestion, sizeof replaceQuestion - 1);
    at += sizeof replaceQuestion - 1;
    CopyBytes(text + at, targetPath, pathLength);
    at += pathLength;
    text[at++] = '?';
    if (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) {
        CopyBytes(text + at, attributeWarning, sizeof attributeWarning - 1);
        at += sizeof attributeWarning - 1;
    }
    text[at] = 0;
    int answer = MessageBoxA(runState.mainWindow, text, "Warning", MB_YESNOCANCEL | MB_ICONQUESTION);
    FreeBlock(text);
    return answer;
}

void WriteMemberFile(char *targetPath, const MemberHeader *header)
{
    int32_t doneAtStart = runState.doneBytes;
    if (EnsureDirectory(targetPath, 1, 0)) {
        DWORD attributes = GetFileAttributesA(targetPath);
        if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            int answer = AskReplace(targetPath, attributes);
            if (answer == IDYES) {
                SetFileAttributesA(targetPath, FILE_ATTRIBUTE_NORMAL);
            } else if (answer == IDNO) {
                runState.doneBytes = (int32_t)((uint32_t)doneAtStart + header->originalSize);
                UpdateProgress();
                return;
            } else {
                runState.failed = 1;
            }
        }
        if (!runState.failed) {
            outputFile = CreateFileA(targetPath, GENERIC_WRITE, 0, 0, CREATE_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, 0);
            if (outputFile == INVALID_HANDLE_VALUE) {
                runState.failed = 1;
            } else {
                int32_t code = DecodeMember(header, WriteOutput);
                if (code == Done)
                    code = SetMemberTime(header);
                if (!ReportDecodeExit(code)) {
                    runState.failed = 1;
                    CloseHandle(outputFile);
                } else if (!CloseHandle(outputFile) ||
                           !SetFileAttributesA(targetPath, header->attribute & 0x27)) {
                    ShowFailure("Cannot write the file.");
                }
                if (runState.failed)
                    DeleteFileA(targetPath);
            }
        }
    }
    runState.doneBytes = (int32_t)((uint32_t)doneAtStart + header->originalSize);
}
