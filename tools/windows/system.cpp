// corvane-sfx on Windows: wide-character file functions behind UTF-8 paths,
// code page 437 from the system's own tables, and the extractor over the
// real Win32 functions with the stub's dialogs, linked into the tool.
#include "tools/system.h"

#include <errno.h>
#include <string.h>
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include "shell/shell.h"
#include "tools/windows/extractor_hooks.h"

#undef GetModuleFileNameA
#undef MessageBoxA

static std::wstring Wide(const std::string &utf8)
{
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), (int)utf8.size(), nullptr, 0);
    std::wstring wide((size_t)n, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), (int)utf8.size(), &wide[0], n);
    return wide;
}

static std::string Utf8(const wchar_t *wide)
{
    int n = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    std::string utf8((size_t)(n > 0 ? n : 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, &utf8[0], n, nullptr, nullptr);
    utf8.resize(utf8.size() - 1);
    return utf8;
}

static std::string LastErrorText(void)
{
    wchar_t *text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                       FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, GetLastError(), 0, (LPWSTR)&text, 0, nullptr);
    std::string message = text ? Utf8(text) : "unknown error";
    LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == '.' || message.back() == ' '))
        message.pop_back();
    return message;
}

void GetUtf8Arguments(int *argc, char ***argv)
{
    static std::vector<std::string> texts;
    static std::vector<char *> pointers;
    int n = 0;
    wchar_t **wide = CommandLineToArgvW(GetCommandLineW(), &n);
    if (!wide)
        return;
    for (int i = 0; i < n; i++)
        texts.push_back(Utf8(wide[i]));
    LocalFree(wide);
    for (std::string &text : texts)
        pointers.push_back(&text[0]);
    pointers.push_back(nullptr);
    *argc = n;
    *argv = pointers.data();
}

const char kPathSeparators[] = "/\\";

// FILETIME counts 100 ns ticks from 1601; Unix seconds, rounded down as
// stat's are, from 1970.
static const int64_t kTicksPerSecond = 10000000, kUnixEpochTicks = 116444736000000000LL;

bool QueryPath(const std::string &path, PathStatus *status, std::string *error)
{
    // Backup semantics: directories open too.
    HANDLE h = CreateFileW(Wide(path).c_str(), FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    BY_HANDLE_FILE_INFORMATION info;
    if (h == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(h, &info)) {
        *error = LastErrorText();
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
        return false;
    }
    DWORD type = GetFileType(h);
    CloseHandle(h);
    int64_t ticks = (int64_t)((uint64_t)info.ftLastWriteTime.dwHighDateTime << 32 |
                              info.ftLastWriteTime.dwLowDateTime) -
                    kUnixEpochTicks;
    status->isDirectory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    status->isFile = !status->isDirectory && type == FILE_TYPE_DISK;
    status->readOnly = (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
    status->mtime = ticks >= 0 ? ticks / kTicksPerSecond : -((-ticks - 1) / kTicksPerSecond) - 1;
    status->size = (uint64_t)info.nFileSizeHigh << 32 | info.nFileSizeLow;
    status->identity = std::to_string(info.dwVolumeSerialNumber) + ":" +
                       std::to_string((uint64_t)info.nFileIndexHigh << 32 | info.nFileIndexLow);
    return true;
}

bool ListDirectory(const std::string &path, std::vector<std::string> *names, std::string *error)
{
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(Wide(path + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        *error = LastErrorText();
        return false;
    }
    names->clear();
    do {
        if (wcscmp(found.cFileName, L".") != 0 && wcscmp(found.cFileName, L"..") != 0)
            names->push_back(Utf8(found.cFileName));
    } while (FindNextFileW(search, &found));
    bool complete = GetLastError() == ERROR_NO_MORE_FILES;
    if (!complete)
        *error = LastErrorText();
    FindClose(search);
    return complete;
}

FILE *OpenFile(const char *path, const char *mode)
{
    return _wfopen(Wide(path).c_str(), Wide(mode).c_str());
}

bool OpenFileBytes(const char *path, size_t limit, FileBytes *bytes, bool *tooLarge,
                   std::string *error)
{
    *tooLarge = false;
    FILE *f = OpenFile(path, "rb");
    if (!f) {
        *error = std::string("cannot read ") + path + ": " + strerror(errno);
        return false;
    }
    uint8_t chunk[65536];
    size_t n;
    while (!*tooLarge && (n = fread(chunk, 1, sizeof chunk, f)) > 0) {
        *tooLarge = bytes->copy.size() + n > limit;
        bytes->copy.insert(bytes->copy.end(), chunk, chunk + n);
    }
    bool ok = !ferror(f) && !*tooLarge;
    fclose(f);
    if (!ok && !*tooLarge)
        *error = std::string("cannot read ") + path;
    bytes->data = bytes->copy.data();
    bytes->size = bytes->copy.size();
    return ok;
}

void CloseFileBytes(FileBytes *bytes)
{
    bytes->copy.clear();
    bytes->data = nullptr;
    bytes->size = 0;
}

void RemoveFile(const char *path)
{
    _wremove(Wide(path).c_str());
}

void MarkExecutable(const char *)
{
}

// The zone's rules of that date, as the C library's localtime applies them.
bool LocalTimeOf(int64_t unixTime, struct tm *local)
{
    const int64_t first = -kUnixEpochTicks / kTicksPerSecond, last = 32503680000LL; // 1601, 3000
    if (unixTime < first)
        return false;
    uint64_t ticks = (uint64_t)((unixTime > last ? last : unixTime) * kTicksPerSecond + kUnixEpochTicks);
    FILETIME utc = {(DWORD)ticks, (DWORD)(ticks >> 32)};
    SYSTEMTIME universal, there;
    if (!FileTimeToSystemTime(&utc, &universal) ||
        !SystemTimeToTzSpecificLocalTime(nullptr, &universal, &there))
        return false;
    *local = tm();
    local->tm_year = there.wYear - 1900;
    local->tm_mon = there.wMonth - 1;
    local->tm_mday = there.wDay;
    local->tm_hour = there.wHour;
    local->tm_min = there.wMinute;
    local->tm_sec = there.wSecond;
    return true;
}

// Without best fit: a character the code page lacks is refused, not
// replaced by a look-alike.
bool ConvertToCodePage437(const std::string &utf8, std::string *oem, int32_t *refused)
{
    *refused = -1;
    std::wstring wide;
    if (!utf8.empty()) {
        int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), (int)utf8.size(),
                                    nullptr, 0);
        if (n <= 0)
            return false;
        wide.resize((size_t)n);
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), (int)utf8.size(), &wide[0], n);
    }
    oem->clear();
    for (size_t i = 0; i < wide.size();) {
        int units = IS_HIGH_SURROGATE(wide[i]) && i + 1 < wide.size() ? 2 : 1;
        char oemByte[8];
        BOOL usedDefault = FALSE;
        int n = WideCharToMultiByte(437, WC_NO_BEST_FIT_CHARS, &wide[i], units, oemByte, sizeof oemByte,
                                    nullptr, &usedDefault);
        if (n != 1 || usedDefault) {
            *refused = units == 2 ? 0x10000 + ((wide[i] - 0xD800) << 10) + (wide[i + 1] - 0xDC00)
                                  : wide[i];
            return false;
        }
        oem->push_back(oemByte[0]);
        i += (size_t)units;
    }
    return true;
}

// ---------------------------------------------------------------------------
// The extractor's side (see extractor_hooks.h).

static char extractorFile[MAX_PATH];
static bool realDialogs;

bool ExtractorPath(const char *file, char *path, size_t size)
{
    // The extractor names files in the ANSI code page; a name that it
    // cannot hold may still have a short name that it can.
    std::wstring wide = Wide(file);
    wchar_t full[32768];
    DWORD n = GetFullPathNameW(wide.c_str(), 32768, full, nullptr);
    if (n > 0 && n < 32768) {
        for (int attempt = 0; attempt < 2; attempt++) {
            BOOL usedDefault = FALSE;
            int length = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, full, -1, path, (int)size,
                                             nullptr, &usedDefault);
            if (length > 0 && !usedDefault)
                return true;
            if (attempt == 0 && GetShortPathNameW(full, full, 32768) == 0)
                break;
        }
    }
    fprintf(stderr, "corvane-sfx: the path of %s does not fit the extractor (%u bytes at most, "
                    "characters of the ANSI code page)\n", file, (unsigned)size - 1);
    return false;
}

int RunExtractorOn(const char *file, const char *target, HostAnswer *answers)
{
    if (target || answers) {
        fputs("corvane-sfx extract: on Windows the self-extractor's own dialogs ask; "
              "-d, -y, -n, --overwrite, --keep-going, --ignore-free-space and --run-setup "
              "are for the console of the Linux build\n", stderr);
        return 2;
    }
    if (!ExtractorPath(file, extractorFile, sizeof extractorFile))
        return 1;
    InitCommonControls();
    realDialogs = true;
    int exitCode = RunSelfExtractor();
    realDialogs = false;
    return exitCode;
}

DWORD WINAPI ExtractorModuleFileName(HMODULE module, LPSTR buffer, DWORD size)
{
    if (module || !extractorFile[0])
        return GetModuleFileNameA(module, buffer, size);
    DWORD n = 0;
    while (n + 1 < size && extractorFile[n]) {
        buffer[n] = extractorFile[n];
        n++;
    }
    if (size)
        buffer[n] = 0;
    return extractorFile[n] ? size : n;
}

int WINAPI ExtractorMessageBox(HWND owner, LPCSTR text, LPCSTR caption, UINT type)
{
    if (realDialogs)
        return MessageBoxA(owner, text, caption, type);
    fprintf(stderr, "%s: %s\n", caption, text);
    return (type & MB_TYPEMASK) == MB_OK ? IDOK : IDNO;
}
