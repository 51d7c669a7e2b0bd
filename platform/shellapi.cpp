// SHELL32: starting a program and the folder browser.
#include "platform/internal.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

static bool HasExeSuffix(const char *path)
{
    size_t n = strlen(path);
    return n >= 4 && lstrcmpiA(path + n - 4, ".exe") == 0;
}

static bool WineOnPath(std::string &wine)
{
    const char *path = getenv("PATH");
    if (!path)
        return false;
    for (const char *p = path; *p;) {
        const char *end = strchr(p, ':');
        std::string dir(p, end ? (size_t)(end - p) : strlen(p));
        std::string candidate = (dir.empty() ? "." : dir) + "/wine";
        if (access(candidate.c_str(), X_OK) == 0) {
            wine = candidate;
            return true;
        }
        if (!end)
            break;
        p = end + 1;
    }
    return false;
}

// The program runs detached (a grandchild adopted by init), so the
// extractor neither waits for it nor leaves a zombie behind. Parameters
// are passed as one argument: the extractor passes none.
static bool StartDetached(const std::string &wine, const std::string &file, const char *params,
                          const std::string &dir)
{
    pid_t child = fork();
    if (child < 0)
        return false;
    if (child == 0) {
        if (fork() != 0)
            _exit(0);
        setsid();
        if (!dir.empty() && chdir(dir.c_str()) != 0)
            _exit(127);
        const char *argv[4] = {wine.c_str(), file.c_str(), 0, 0};
        if (params && *params)
            argv[2] = params;
        execv(wine.c_str(), (char *const *)argv);
        _exit(127);
    }
    int status;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return true;
}

// Only "open" (or no verb) of an existing file. A Windows program is
// started through wine when there is one; otherwise the host can only tell
// what it would have started. Both count as success (a value above 32).
HINSTANCE WINAPI ShellExecuteA(HWND owner, LPCSTR verb, LPCSTR file, LPCSTR params, LPCSTR dir,
                               int show)
{
    (void)owner;
    (void)show;
    const uintptr_t fileNotFound = 2, pathNotFound = 3, started = 42;
    if (verb && lstrcmpiA(verb, "open") != 0)
        return (HINSTANCE)(uintptr_t)31;  // SE_ERR_NOASSOC
    std::string unixFile, unixDir;
    struct stat st;
    if (!file || !UnixPathOf(file, unixFile) || stat(unixFile.c_str(), &st) != 0)
        return (HINSTANCE)fileNotFound;
    if (dir && *dir && !UnixPathOf(dir, unixDir))
        return (HINSTANCE)pathNotFound;
    std::string wine;
    if (HasExeSuffix(file) && WineOnPath(wine)) {
        if (!StartDetached(wine, unixFile, params, unixDir))
            return (HINSTANCE)(uintptr_t)8;  // out of memory, as Windows calls it
        return (HINSTANCE)started;
    }
    ClearProgressFigure();
    fflush(stdout);
    fprintf(stderr, "Would start: %s (in %s)\n", file, dir && *dir ? dir : ".");
    fflush(stderr);
    return (HINSTANCE)started;
}

// There is no folder browser on a console: the user types the path at the
// target prompt instead.
LPITEMIDLIST WINAPI SHBrowseForFolderA(LPBROWSEINFOA bi)
{
    (void)bi;
    return 0;
}

BOOL WINAPI SHGetPathFromIDListA(LPCITEMIDLIST list, LPSTR path)
{
    (void)list;
    if (path)
        path[0] = 0;
    return FALSE;
}

static void ShellFree(IMalloc *self, void *block)
{
    (void)self;
    free(block);
}

static unsigned long ShellRelease(IMalloc *self)
{
    (void)self;
    return 1;  // the allocator is static and outlives every user
}

static const IMallocVtbl shellMallocVtbl = {ShellFree, ShellRelease};
static IMalloc shellMalloc = {&shellMallocVtbl};

HRESULT WINAPI SHGetMalloc(IMalloc **malloc)
{
    if (!malloc)
        return (HRESULT)0x80070057L;  // E_INVALIDARG
    *malloc = &shellMalloc;
    return 0;
}
