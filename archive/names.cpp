// Member paths to target paths. Every component is converted from the OEM
// code page, cleaned of characters Windows refuses, trimmed of trailing
// blanks and dots, and an empty one (".", "..", "") becomes "NONAME". With
// ":" and "\" replaced, no member path can leave the target directory or
// name another drive.
#include "archive/archive.h"

int IsNameCharAllowed(uint8_t c)
{
    if (c < 0x20)
        return 0;
    for (const char *refused = "\"*/:<>?\\|"; *refused; refused++) {
        if (c == (uint8_t)*refused)
            return 0;
    }
    return 1;
}

// destination has room for max(length, 6) bytes.
int32_t ConvertNameComponent(const uint8_t *source, int32_t length, uint8_t *destination)
{
    CopyBytes(destination, source, length);
    OemToCharBuffA((LPCSTR)destination, (LPSTR)destination, (DWORD)length);
    int32_t end = 0;
    for (int32_t i = 0; i < length; i++) {
        if (!IsNameCharAllowed(destination[i]))
            destination[i] = '_';
        if (destination[i] != ' ' && destination[i] != '.')
            end = i + 1;
    }
    if (end > 0)
        return end;
    CopyBytes(destination, "NONAME", 6);
    return 6;
}

char *JoinMemberPath(const MemberNames *names, int32_t *length)
{
    const uint8_t *dir = names->directory;
    int32_t dirLength = names->directoryLength;
    if (dirLength > 0 && (dir[0] == 0x5C || dir[0] == '/' || dir[0] == 0xFF)) {
        dir++;
        dirLength--;
    }
    int32_t n = dirLength + names->nameLength;
    char *joined = (char *)AllocBlock(n + 1);
    if (!joined)
        return 0;
    for (int32_t i = 0; i < dirLength; i++)
        joined[i] = dir[i] == 0x5C || dir[i] == 0xFF ? '/' : (char)dir[i];
    CopyBytes(joined + dirLength, names->name, names->nameLength);
    joined[n] = 0;
    *length = n;
    return joined;
}

char *ComposeTargetPath(const uint8_t *memberPath, int32_t length)
{
    if (length > 0 && memberPath[length - 1] == '/')
        length--;
    int32_t size = runState.targetDirLength;
    int32_t start = 0;
    for (int32_t i = 0; i <= length; i++) {
        if (i == length || memberPath[i] == '/') {
            int32_t n = i - start;
            size += (n > 6 ? n : 6) + 1;  // the component and its backslash or terminator
            start = i + 1;
        }
    }
    char *path = (char *)AllocBlock(size);
    if (!path)
        return 0;
    CopyBytes(path, runState.targetDir, runState.targetDirLength);
    int32_t at = runState.targetDirLength;
    start = 0;
    for (int32_t i = 0; i <= length; i++) {
        if (i == length || memberPath[i] == '/') {
            at += ConvertNameComponent(memberPath + start, i - start, (uint8_t *)path + at);
            if (i < length)
                path[at++] = '\\';
            start = i + 1;
        }
    }
    path[at] = 0;
    return path;
}
