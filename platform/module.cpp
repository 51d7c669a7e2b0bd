// The process and its module: the program's own file, the global heap,
// string comparison and the end of the process.
#include "platform/internal.h"
#include "platform/host.h"

#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <vector>

// Only its address matters: the extractor passes it back to
// CreateDialogParamA and never looks inside.
static char moduleToken;
static std::string modulePath;  // a Linux path, absolute

void HostSetModulePath(const char *unixPath)
{
    char resolved[PATH_MAX];
    if (unixPath && realpath(unixPath, resolved))
        modulePath = resolved;
    else if (unixPath && unixPath[0] == '/')
        modulePath = unixPath;
    else if (unixPath) {
        char cwd[PATH_MAX];
        modulePath = getcwd(cwd, sizeof cwd) ? std::string(cwd) + "/" + unixPath : unixPath;
    }
}

HMODULE WINAPI GetModuleHandleA(LPCSTR name)
{
    return name ? 0 : (HMODULE)&moduleToken;
}

// Without HostSetModulePath the running executable stands for itself.
// A short buffer gets as much as fits with a terminator, and the result is
// the buffer's length, as on Windows since Vista.
DWORD WINAPI GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD length)
{
    if (module && module != (HMODULE)&moduleToken)
        return 0;
    if (modulePath.empty()) {
        char self[PATH_MAX];
        ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
        if (n <= 0)
            return 0;
        self[n] = 0;
        modulePath = self;
    }
    std::vector<char> win(modulePath.size() + 8);
    if (!HostPathFromUnix(modulePath.c_str(), win.data(), win.size()) || length == 0)
        return 0;
    DWORD size = (DWORD)strlen(win.data());
    if (size + 1 > length) {
        memcpy(buffer, win.data(), length - 1);
        buffer[length - 1] = 0;
        return length;
    }
    memcpy(buffer, win.data(), size + 1);
    return size;
}

// GMEM_ZEROINIT is honoured so that callers relying on it get zeroes; a
// zero-byte request still yields a block, as on Windows.
HGLOBAL WINAPI GlobalAlloc(UINT flags, size_t bytes)
{
    const UINT zeroInit = 0x40;
    size_t size = bytes ? bytes : 1;
    return (flags & zeroInit) ? calloc(1, size) : malloc(size);
}

HGLOBAL WINAPI GlobalFree(HGLOBAL block)
{
    free(block);
    return 0;
}

// ASCII letters only: the extractor compares file names against "SETUP.EXE".
// Windows sorts by locale rules; the sign agrees for what the extractor
// compares, and equality is what it tests.
int WINAPI lstrcmpiA(LPCSTR a, LPCSTR b)
{
    if (!a || !b)
        return a ? 1 : (b ? -1 : 0);
    for (;; a++, b++) {
        int ca = (unsigned char)*a, cb = (unsigned char)*b;
        if (ca >= 'A' && ca <= 'Z')
            ca += 'a' - 'A';
        if (cb >= 'A' && cb <= 'Z')
            cb += 'a' - 'A';
        if (ca != cb)
            return ca < cb ? -1 : 1;
        if (!ca)
            return 0;
    }
}

void WINAPI ExitProcess(UINT code)
{
    ClearProgressFigure();
    fflush(0);
    exit((int)code);
}
