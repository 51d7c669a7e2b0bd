// Paths: the Linux file system is drive Z: with backslash separators, the
// way Wine presents it, so the extractor's path arithmetic (drive roots,
// "\" separators, "X:" tests) runs unchanged on the host.
//
// Names are resolved lexically, like Win32 does before it reaches a file
// system: "." and ".." are removed from the text, not looked up, so a ".."
// after a symbolic link goes to the link's parent as written. Lookups stay
// case-sensitive (a Linux name "Setup.exe" is not found as "SETUP.EXE").
#include "platform/internal.h"
#include "platform/host.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>
#include <vector>

static bool IsSeparator(char c)
{
    return c == '\\' || c == '/';
}

static bool IsDriveLetter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

static char UpperAscii(char c)
{
    return (c >= 'a' && c <= 'z') ? (char)(c - 'a' + 'A') : c;
}

// The current directory as a Z: path without the root: "home\u" for
// /home/u, "" for /.
static bool CurrentDirectoryTail(std::string &tail)
{
    std::vector<char> buffer(256);
    while (!getcwd(buffer.data(), buffer.size())) {
        if (errno != ERANGE)
            return false;
        buffer.resize(buffer.size() * 2);
    }
    tail.clear();
    for (const char *p = buffer.data() + 1; *p; p++)
        tail += *p == '/' ? '\\' : *p;
    return true;
}

// Every "." goes, every ".." takes the component before it (never the
// root), and runs of separators count as one. Trailing dots and blanks of
// the last component are cut when trimLast is set, as Win32 does with names
// it is given (not with names that come from the Linux side).
static std::string NormaliseTail(const std::string &tail, bool keepTrailingSeparator,
                                 bool trimLast)
{
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= tail.size()) {
        size_t end = start;
        while (end < tail.size() && !IsSeparator(tail[end]))
            end++;
        std::string part = tail.substr(start, end - start);
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    if (!parts.empty() && !keepTrailingSeparator && trimLast) {
        std::string &last = parts.back();
        while (!last.empty() && (last.back() == '.' || last.back() == ' '))
            last.pop_back();
        if (last.empty())
            parts.pop_back();
    }
    std::string out;
    for (size_t i = 0; i < parts.size(); i++) {
        if (i)
            out += '\\';
        out += parts[i];
    }
    if (keepTrailingSeparator && !out.empty())
        out += '\\';
    return out;
}

static bool ResolvePath(const char *name, bool trimLast, std::string &full)
{
    if (!name || !*name)
        return false;
    // Only relative names need the current directory: a full path must
    // still resolve when the current directory has been removed from under
    // the process (Windows would not let that happen to it).
    std::string cwdTail;
    auto relative = [&]() { return CurrentDirectoryTail(cwdTail); };
    size_t nameLength = strlen(name);
    bool trailing = IsSeparator(name[nameLength - 1]);

    std::string root, tail;
    if (IsDriveLetter(name[0]) && name[1] == ':') {
        char drive = UpperAscii(name[0]);
        root = std::string(1, drive) + ":\\";
        if (IsSeparator(name[2]))
            tail = name + 3;
        else if (drive == 'Z' && relative())
            tail = cwdTail + "\\" + (name + 2);  // "Z:x" is relative to Z:'s current directory
        else if (drive == 'Z')
            return false;
        else
            tail = name + 2;  // other drives have no current directory here: their root
    } else if (IsSeparator(name[0]) && IsSeparator(name[1])) {
        // \\server\share\...: the server and share are the root, which ".."
        // cannot leave.
        const char *p = name + 2;
        std::string server, share;
        while (*p && !IsSeparator(*p))
            server += *p++;
        while (IsSeparator(*p))
            p++;
        while (*p && !IsSeparator(*p))
            share += *p++;
        root = "\\\\" + server + "\\" + share;
        tail = p;
        if (tail.empty() && !trailing) {
            full = root;
            return true;
        }
        root += '\\';
    } else if (IsSeparator(name[0])) {
        root = "Z:\\";
        tail = name + 1;
    } else {
        if (!relative())
            return false;
        root = "Z:\\";
        tail = cwdTail + "\\" + name;
    }
    full = root + NormaliseTail(tail, trailing, trimLast);
    return true;
}

bool FullWindowsPath(const char *name, std::string &full)
{
    return ResolvePath(name, true, full);
}

static DWORD lastError;

DWORD WINAPI GetLastError(void)
{
    return lastError;
}

void WINAPI SetLastError(DWORD code)
{
    lastError = code;
}

// Without long path support Windows takes no more than this: an ANSI name
// goes through a conversion buffer of MAX_PATH + 1 characters, which a
// longer one overflows, and the full path must fit `room` characters with
// its terminator. Those are the limits the extractor meets on Windows, so
// the stand-in refuses there too, with Windows' error codes. Only these
// refusals set the last error: nothing in the extractor reads it.
bool UnixPathOf(const char *winPath, std::string &unixPath, size_t room)
{
    std::string full;
    if (winPath && strlen(winPath) > MAX_PATH) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    if (!FullWindowsPath(winPath, full) || full.compare(0, 3, "Z:\\") != 0)
        return false;
    if (full.size() >= room) {
        SetLastError(room == MAX_PATH ? ERROR_PATH_NOT_FOUND : ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    unixPath = "/";
    for (size_t i = 3; i < full.size(); i++)
        unixPath += full[i] == '\\' ? '/' : full[i];
    return true;
}

// Win32 reports the length without the terminator when the text fits, and
// the size it needs, terminator included, when it does not.
static DWORD CopyOut(const std::string &text, DWORD length, LPSTR buffer)
{
    if (text.size() + 1 > length)
        return (DWORD)(text.size() + 1);
    memcpy(buffer, text.c_str(), text.size() + 1);
    return (DWORD)text.size();
}

DWORD WINAPI GetFullPathNameA(LPCSTR name, DWORD length, LPSTR buffer, LPSTR *filePart)
{
    std::string full;
    if (!FullWindowsPath(name, full))
        return 0;
    DWORD result = CopyOut(full, length, buffer);
    if (filePart && result == full.size()) {
        size_t slash = full.rfind('\\');
        *filePart = slash + 1 < full.size() ? buffer + slash + 1 : 0;
    }
    return result;
}

DWORD WINAPI GetCurrentDirectoryA(DWORD length, LPSTR buffer)
{
    std::string tail;
    if (!CurrentDirectoryTail(tail))
        return 0;
    return CopyOut("Z:\\" + tail, length, buffer);
}

// The current directory keeps a trailing backslash, which needs its room.
BOOL WINAPI SetCurrentDirectoryA(LPCSTR name)
{
    std::string path;
    return UnixPathOf(name, path, MAX_PATH - 1) && chdir(path.c_str()) == 0;
}

int HostPathToUnix(const char *winPath, char *out, size_t size)
{
    std::string path;
    if (!UnixPathOf(winPath, path, (size_t)-1) || path.size() + 1 > size)
        return 0;
    memcpy(out, path.c_str(), path.size() + 1);
    return 1;
}

int HostPathFromUnix(const char *unixPath, char *out, size_t size)
{
    if (!unixPath || !*unixPath)
        return 0;
    // A relative Linux path is relative to the same current directory, so
    // only its separators change; ResolvePath then anchors it.
    std::string win = unixPath[0] == '/' ? "Z:" : "";
    for (const char *p = unixPath; *p; p++)
        win += *p == '/' ? '\\' : *p;
    std::string full;
    if (!ResolvePath(win.c_str(), false, full) || full.size() + 1 > size)
        return 0;
    memcpy(out, full.c_str(), full.size() + 1);
    return 1;
}
