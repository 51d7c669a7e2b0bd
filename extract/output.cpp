// Everything that touches the target file system for one member:
// directories with their missing ancestors, the replace question, the
// output file, its attributes, and its removal when extraction failed.
#include "decode/decode.h"
#include "extract/extract.h"
#include "shell/shell.h"

HANDLE outputFile;

static const char replaceQuestion[] = "Do you want to replace the file\n";
static const char attributeWarning[] = "\nThe R, S or H attribute is set!";

// Paths are at most MAX_PATH - 1 characters, as the ANSI file functions of
// Windows take them. A longer path is refused before anything is created,
// so that an over-long member leaves neither a shortened name nor the
// directories in front of it behind; systems that would accept it (long
// path support, the host's stand-in) refuse it the same way.
static int IsOverlongPath(const char *path)
{
    return StringLength(path) >= MAX_PATH;
}

int EnsureDirectory(char *path, int isFilePath, int probeOnly)
{
    if (!isFilePath && !probeOnly && IsOverlongPath(path)) {
        ShowFailure("Cannot create the directory.");
        return 0;
    }
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
    if (IsOverlongPath(targetPath)) {
        ShowFailure("Cannot write the file.");
    } else if (EnsureDirectory(targetPath, 1, 0)) {
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
                runState.decoderActive = 1;
                if (!DecodeMember(header)) {
                    runState.failed = 1;
                    CloseHandle(outputFile);
                } else if (!CloseHandle(outputFile) ||
                           !SetFileAttributesA(targetPath, header->attribute & 0x27)) {
                    ShowFailure("Cannot write the file.");
                }
                runState.decoderActive = 0;
                if (runState.failed)
                    DeleteFileA(targetPath);
            }
        }
    }
    runState.doneBytes = (int32_t)((uint32_t)doneAtStart + header->originalSize);
}
