// Plays the user of a self-extractor under Wine by the script on its command
// line and reports a line each: "target PROPOSAL", "box CAPTION: TEXT" (line
// breaks as \n), "exit N", or "error WHAT" (exit 3) for a script it cannot play.
//   usage: driver [--cwd DIR] [--args ARGS] EXE STEP...
//   target:extract[=PATH]      (type PATH into the edit field,) press Extract
//   target:enter=PATH          type PATH, press Enter in the edit field
//   target:cancel, target:escape
//   box:ANSWER[+stop|+escape]  answer the next box (yes, no, cancel, ok), then
//                              click Cancel or press Escape in the progress dialog
// Buttons and keys are posted, to take a real click's way through the message
// loop; a click in the progress dialog waits in the queue for the next pump.
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include <set>

enum { ID_EDIT = 1001, ID_EXTRACT = 1002, ID_CANCEL = 1003, ID_PROGRESS_BAR = 1005, ID_BOX_TEXT = 0xFFFF };

static DWORD processId;
static HANDLE process;
static std::set<HWND> known;  // windows already reported (and boxes answered)

struct Found {
    HWND target, progress, box, other;
};

static BOOL CALLBACK CollectWindow(HWND window, LPARAM context)
{
    Found *found = (Found *)context;
    DWORD pid = 0;
    char className[64];
    GetWindowThreadProcessId(window, &pid);
    if (pid != processId || !IsWindowVisible(window) || !GetClassNameA(window, className, sizeof className) ||
        strcmp(className, "#32770") != 0)
        return TRUE;
    HWND *slot = GetDlgItem(window, ID_EDIT)            ? &found->target
                 : GetDlgItem(window, ID_PROGRESS_BAR) ? &found->progress
                 : !GetDlgItem(window, ID_BOX_TEXT)    ? &found->other
                 : !known.count(window)                ? &found->box
                                                       : 0;
    if (slot)
        *slot = window;
    return TRUE;
}

static Found Look(void)
{
    Found found = {};
    EnumWindows(CollectWindow, (LPARAM)&found);
    return found;
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

static bool Starts(const char *text, const char *prefix) { return strncmp(text, prefix, strlen(prefix)) == 0; }

// Plays one step on the target dialog or a box; false for one it cannot play.
static bool Act(HWND window, const char *step)
{
    HWND edit = GetDlgItem(window, ID_EDIT);
    DWORD_PTR result;
    if (Starts(step, "target:")) {
        if (const char *path = strchr(step, '='))
            SendMessageTimeoutA(edit, WM_SETTEXT, 0, (LPARAM)(path + 1), SMTO_ABORTIFHUNG, 5000, &result);
        if (Starts(step, "target:extract"))
            Click(window, ID_EXTRACT);
        else if (Starts(step, "target:enter=") || strcmp(step, "target:escape") == 0)
            PressKey(edit, Starts(step, "target:enter=") ? VK_RETURN : VK_ESCAPE);
        else if (strcmp(step, "target:cancel") == 0)
            Click(window, ID_CANCEL);
        else
            return false;
        return true;
    }
    static const std::pair<const char *, int> answers[] = {
        {"box:yes", IDYES}, {"box:no", IDNO}, {"box:cancel", IDCANCEL}, {"box:ok", IDOK}};
    for (const auto &[name, id] : answers) {
        const char *then = step + strlen(name);
        if (!Starts(step, name) || (*then && strcmp(then, "+stop") != 0 && strcmp(then, "+escape") != 0))
            continue;
        // The progress dialog is found first so that its click follows the
        // answer at once, landing within the member the answer lets go on.
        HWND progress = *then ? Look().progress : 0;
        if (*then && !progress)
            return false;
        Click(window, id);
        if (strcmp(then, "+escape") == 0)
            PressKey(GetDlgItem(progress, ID_CANCEL), VK_ESCAPE);
        else if (*then)
            Click(progress, ID_CANCEL);
        return true;
    }
    return false;
}

static int Fail(const char *what, const char *detail)
{
    printf("error %s%s%s\n", what, detail ? ": " : "", detail ? detail : "");
    TerminateProcess(process, 99);
    return 3;
}

int main(int argc, char **argv)
{
    setvbuf(stdout, 0, _IONBF, 0);  // what was seen survives a kill
    const char *cwd = 0, *args = "";
    int i = 1;
    for (; i + 1 < argc && Starts(argv[i], "--"); i += 2)
        *(strcmp(argv[i], "--cwd") == 0 ? &cwd : &args) = argv[i + 1];
    if (i >= argc)
        return fputs("usage: driver [--cwd DIR] [--args ARGS] EXE STEP...\n", stderr), 2;
    const char *exe = argv[i++];
    char **steps = argv + i;
    int stepCount = argc - i, next = 0;

    char commandLine[2 * MAX_PATH + 4];
    snprintf(commandLine, sizeof commandLine, "\"%s\" %s", exe, args);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info;
    if (!CreateProcessA(exe, commandLine, 0, 0, FALSE, 0, 0, cwd, &startup, &info))
        return Fail("cannot start", exe);
    CloseHandle(info.hThread);
    processId = info.dwProcessId;
    process = info.hProcess;

    // A loaded machine slows Wine down a lot; the caller's own limit is longer.
    for (DWORD start = GetTickCount(); WaitForSingleObject(process, 5) != WAIT_OBJECT_0;) {
        const char *step = next < stepCount ? steps[next] : 0;
        if (GetTickCount() - start > 150000)
            return Fail("timeout", step ? step : "waiting for the exit");
        Found found = Look();
        if (found.other)
            return Fail("unknown window", 0);
        if (found.box) {
            char caption[256] = "", text[1024] = "";
            Sleep(50);  // let the box finish its creation before reading it
            GetWindowTextA(found.box, caption, sizeof caption);
            GetWindowTextA(GetDlgItem(found.box, ID_BOX_TEXT), text, sizeof text);
            printf("box %s: ", caption);
            for (const char *c = text; *c; c++)
                *c == '\n' ? (void)fputs("\\n", stdout) : *c != '\r' ? (void)putchar(*c) : (void)0;
            puts("");
            known.insert(found.box);
            if (!step || !Starts(step, "box:"))
                return Fail("unexpected message box", step);
            if (!Act(found.box, step))
                return Fail("cannot play", step);
            next++;
            continue;
        }
        if (found.target && known.insert(found.target).second) {
            char text[MAX_PATH + 1] = "";
            DWORD_PTR result;
            Sleep(50);
            SendMessageTimeoutA(GetDlgItem(found.target, ID_EDIT), WM_GETTEXT, sizeof text, (LPARAM)text,
                                SMTO_ABORTIFHUNG, 5000, &result);
            printf("target %s\n", text);
        }
        // A target step acts on the dialog once no box is in front of it.
        if (found.target && step && Starts(step, "target:") && IsWindowEnabled(found.target)) {
            if (!Act(found.target, step))
                return Fail("unknown step", step);
            next++;
        }
    }
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    printf("exit %lu\n", code);
    return next < stepCount ? Fail("steps left", steps[next]) : 0;
}
