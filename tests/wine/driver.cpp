// Plays the user of a self-extractor under Wine: starts it, waits for its
// dialogs and message boxes, and acts on them from a script given on the
// command line. Reports what it saw on standard output, one line each:
//
//   target PROPOSAL       the target-directory dialog, with its edit text
//   box CAPTION: TEXT     a message box (line breaks in TEXT shown as \n)
//   exit N                the self-extractor's exit code
//   error WHAT            the script could not be played to its end
//
// usage: driver [--cwd DIR] [--shots DIR\PREFIX] [--timeout SECONDS] EXE STEP...
//
// Steps, used in order:
//   target:extract            press Extract with the proposal as it stands
//   target:extract=PATH       type PATH into the edit field, press Extract
//   target:enter=PATH         type PATH, then press Enter in the edit field
//   target:cancel             press Cancel
//   target:escape             press Escape in the edit field
//   box:ANSWER                answer the next message box: yes, no, cancel, ok
//   box:ANSWER+stop           ...then click Cancel in the progress dialog; the
//                             click waits in the queue for the next pump
//   box:ANSWER+escape         ...then press Escape in the progress dialog
//
// Buttons are pressed by posting WM_COMMAND with the button's id, keys by
// posting WM_KEYDOWN to the edit field, so that they take the same way
// through the self-extractor's message loop as a real key would.
//
// Exit code: 0 when every step was used and the self-extractor ended, 3 when
// something unexpected appeared, a step was left over, or time ran out.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum {
    ID_EDIT = 1001,
    ID_EXTRACT = 1002,
    ID_CANCEL = 1003,
    ID_PROGRESS_BAR = 1005,
    ID_BOX_TEXT = 0xFFFF,  // the message box's text
};

enum WindowKind { KindOther, KindTarget, KindProgress, KindBox };

struct Seen {
    HWND windows[256];
    int count;
};

struct Driver {
    DWORD processId;
    HANDLE process;
    const char *shots;  // DIR\PREFIX of the screenshots, or null
    int shotNumber;
    Seen reported;      // windows already printed (and screenshot)
    Seen answered;      // boxes already answered
};

static Driver driver;

static bool Contains(const Seen *seen, HWND window)
{
    for (int i = 0; i < seen->count; i++)
        if (seen->windows[i] == window)
            return true;
    return false;
}

static void Add(Seen *seen, HWND window)
{
    if (seen->count < 256)
        seen->windows[seen->count++] = window;
}

static WindowKind KindOf(HWND window)
{
    if (GetDlgItem(window, ID_EDIT))
        return KindTarget;
    if (GetDlgItem(window, ID_PROGRESS_BAR))
        return KindProgress;
    if (GetDlgItem(window, ID_BOX_TEXT))
        return KindBox;
    return KindOther;
}

struct Found {
    HWND target, progress, box;
    HWND other;
};

static BOOL CALLBACK CollectWindow(HWND window, LPARAM context)
{
    Found *found = (Found *)context;
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    char className[64];
    if (pid != driver.processId || !IsWindowVisible(window) ||
        !GetClassNameA(window, className, sizeof className) || strcmp(className, "#32770") != 0)
        return TRUE;
    switch (KindOf(window)) {
    case KindTarget: found->target = window; break;
    case KindProgress: found->progress = window; break;
    case KindBox:
        if (!Contains(&driver.answered, window))
            found->box = window;
        break;
    default: found->other = window; break;
    }
    return TRUE;
}

static Found Look(void)
{
    Found found = {};
    EnumWindows(CollectWindow, (LPARAM)&found);
    return found;
}

// Writes what the screen shows of the window as a 24-bit BMP.
static void Screenshot(HWND window, const char *kind)
{
    if (!driver.shots)
        return;
    Sleep(200);  // let it paint
    RECT r;
    if (!GetWindowRect(window, &r))
        return;
    int w = r.right - r.left, h = r.bottom - r.top;
    if (w <= 0 || h <= 0)
        return;
    HDC screen = GetDC(0);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = w;
    info.bmiHeader.biHeight = h;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    void *pixels = 0;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &pixels, 0, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
    GdiFlush();
    char path[MAX_PATH];
    snprintf(path, sizeof path, "%s-%02d-%s.bmp", driver.shots, ++driver.shotNumber, kind);
    FILE *f = fopen(path, "wb");
    if (f) {
        DWORD stride = ((DWORD)w * 3 + 3) & ~3u;
        DWORD imageSize = stride * (DWORD)h;
        BITMAPFILEHEADER file = {};
        file.bfType = 0x4D42;
        file.bfOffBits = sizeof file + sizeof info.bmiHeader;
        file.bfSize = file.bfOffBits + imageSize;
        fwrite(&file, sizeof file, 1, f);
        fwrite(&info.bmiHeader, sizeof info.bmiHeader, 1, f);
        fwrite(pixels, 1, imageSize, f);
        fclose(f);
    }
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(0, screen);
}

static void PrintEscaped(const char *text)
{
    for (; *text; text++) {
        if (*text == '\n')
            fputs("\\n", stdout);
        else if (*text != '\r')
            putchar(*text);
    }
}

static void ReportBox(HWND box)
{
    char caption[256] = "", text[1024] = "";
    GetWindowTextA(box, caption, sizeof caption);
    GetWindowTextA(GetDlgItem(box, ID_BOX_TEXT), text, sizeof text);
    printf("box %s: ", caption);
    PrintEscaped(text);
    putchar('\n');
    fflush(stdout);
}

static void ReportTarget(HWND target)
{
    char text[MAX_PATH + 1] = "";
    DWORD_PTR result;
    SendMessageTimeoutA(GetDlgItem(target, ID_EDIT), WM_GETTEXT, sizeof text, (LPARAM)text,
                        SMTO_ABORTIFHUNG, 5000, &result);
    printf("target %s\n", text);
    fflush(stdout);
}

static void Click(HWND dialog, int id)
{
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)GetDlgItem(dialog, id));
}

static void PressKey(HWND control, WPARAM key)
{
    PostMessageA(control, WM_KEYDOWN, key, 1);
    PostMessageA(control, WM_KEYUP, key, 0xC0000001);
}

static bool IsPrefix(const char *prefix, const char *text)
{
    return strncmp(prefix, text, strlen(prefix)) == 0;
}

// Plays one target-dialog step. False for a step it does not know.
static bool ActOnTarget(HWND target, const char *step)
{
    HWND edit = GetDlgItem(target, ID_EDIT);
    const char *path = strchr(step, '=');
    if (path) {
        DWORD_PTR result;
        SendMessageTimeoutA(edit, WM_SETTEXT, 0, (LPARAM)(path + 1), SMTO_ABORTIFHUNG, 5000, &result);
    }
    if (IsPrefix("target:extract", step))
        Click(target, ID_EXTRACT);
    else if (IsPrefix("target:enter=", step))
        PressKey(edit, VK_RETURN);
    else if (strcmp(step, "target:cancel") == 0)
        Click(target, ID_CANCEL);
    else if (strcmp(step, "target:escape") == 0)
        PressKey(edit, VK_ESCAPE);
    else
        return false;
    return true;
}

static bool AnswerBox(HWND box, const char *step)
{
    static const struct { const char *name; int id; } answers[] = {
        {"yes", IDYES}, {"no", IDNO}, {"cancel", IDCANCEL}, {"ok", IDOK},
    };
    const char *answer = step + 4;
    size_t length = strcspn(answer, "+");
    for (const auto &a : answers) {
        if (strlen(a.name) == length && strncmp(a.name, answer, length) == 0) {
            Click(box, a.id);
            return true;
        }
    }
    return false;
}

// Clicks Cancel in the progress dialog, or presses Escape on its button;
// either waits in the queue until the self-extractor's pump looks at it.
static bool StopExtraction(bool escape)
{
    Found found = Look();
    if (!found.progress)
        return false;
    if (escape)
        PressKey(GetDlgItem(found.progress, ID_CANCEL), VK_ESCAPE);
    else
        Click(found.progress, ID_CANCEL);
    return true;
}

static int Fail(const char *what, const char *detail)
{
    printf("error %s%s%s\n", what, detail ? ": " : "", detail ? detail : "");
    fflush(stdout);
    TerminateProcess(driver.process, 99);
    return 3;
}

int main(int argc, char **argv)
{
    const char *cwd = 0;
    DWORD timeout = 60000;
    int i = 1;
    for (; i + 1 < argc && argv[i][0] == '-' && argv[i][1] == '-'; i += 2) {
        if (strcmp(argv[i], "--cwd") == 0)
            cwd = argv[i + 1];
        else if (strcmp(argv[i], "--shots") == 0)
            driver.shots = argv[i + 1];
        else if (strcmp(argv[i], "--timeout") == 0)
            timeout = (DWORD)atoi(argv[i + 1]) * 1000;
        else
            break;
    }
    if (i >= argc) {
        fprintf(stderr, "usage: driver [--cwd DIR] [--shots DIR\\PREFIX] [--timeout SECONDS] EXE STEP...\n");
        return 2;
    }
    const char *exe = argv[i++];
    char **steps = argv + i;
    int stepCount = argc - i;
    int next = 0;

    char commandLine[MAX_PATH + 3];
    snprintf(commandLine, sizeof commandLine, "\"%s\"", exe);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info;
    if (!CreateProcessA(exe, commandLine, 0, 0, FALSE, 0, 0, cwd, &startup, &info)) {
        printf("error cannot start %s (%lu)\n", exe, GetLastError());
        return 3;
    }
    CloseHandle(info.hThread);
    driver.processId = info.dwProcessId;
    driver.process = info.hProcess;

    DWORD start = GetTickCount();
    bool sawProgress = false;
    for (;;) {
        if (WaitForSingleObject(driver.process, 5) == WAIT_OBJECT_0)
            break;
        if (GetTickCount() - start > timeout)
            return Fail("timeout", next < stepCount ? steps[next] : "waiting for the exit");
        Found found = Look();
        if (found.other)
            return Fail("unknown window", 0);
        if (found.progress && !sawProgress) {
            sawProgress = true;
            Screenshot(found.progress, "progress");
        }
        if (found.box) {
            // Give the box time to finish its creation before reading it.
            Sleep(50);
            ReportBox(found.box);
            Screenshot(found.box, "box");
            Add(&driver.answered, found.box);
            if (next == stepCount || !IsPrefix("box:", steps[next]))
                return Fail("unexpected message box", next < stepCount ? steps[next] : 0);
            const char *step = steps[next++];
            if (!AnswerBox(found.box, step))
                return Fail("unknown answer", step);
            bool escape = strstr(step, "+escape") != 0;
            if ((escape || strstr(step, "+stop")) && !StopExtraction(escape))
                return Fail("no progress dialog to stop", 0);
            continue;
        }
        if (found.target && !Contains(&driver.reported, found.target)) {
            Add(&driver.reported, found.target);
            Sleep(50);
            ReportTarget(found.target);
            Screenshot(found.target, "target");
        }
        // A target step acts on an enabled dialog (no box in front of it),
        // once per appearance: after a box it may be pressed again.
        if (found.target && next < stepCount && IsPrefix("target:", steps[next]) &&
            IsWindowEnabled(found.target)) {
            if (!ActOnTarget(found.target, steps[next]))
                return Fail("unknown step", steps[next]);
            next++;
        }
    }
    DWORD code = 0;
    GetExitCodeProcess(driver.process, &code);
    printf("exit %lu\n", code);
    fflush(stdout);
    if (next < stepCount) {
        printf("error steps left: %s\n", steps[next]);
        return 3;
    }
    return 0;
}
