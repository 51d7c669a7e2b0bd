// Dialogs and window messages without a window system.
//
// A dialog is a record of its template id, its procedure and what its
// controls hold. The user's actions become messages in a queue:
// - the target-directory dialog (102) asks for the directory on the
//   terminal whenever GetMessageA finds nothing else to return, and turns
//   the answer into Extract (an edit text, or an empty line for the
//   proposal) or Cancel (end of input);
// - the progress dialog (103) turns Ctrl-C into its Cancel button. A second
//   Ctrl-C before the first was taken ends the process the usual way, so a
//   run that no longer pumps messages can still be stopped.
#include "platform/internal.h"
#include "platform/host.h"

#include <deque>
#include <map>
#include <signal.h>
#include <vector>

static const int targetTemplate = 102;
static const int progressTemplate = 103;
static const int editControl = 1001;
static const int extractButton = 1002;
static const int memberLine = 1006;
static const uint32_t windowMagic = 0x444c4731;  // "DLG1"

struct PlatformWindow {
    uint32_t magic;
    int templateId;
    DLGPROC proc;
    std::map<int, std::string> texts;
    std::map<int, size_t> limits;
    int rangeLow, rangeHigh, position;
    int shownTenths;  // last live figure, in tenths of a percent
    RECT rect;
};

static std::vector<PlatformWindow *> windows;  // in creation order
static std::deque<MSG> queue;
static bool quitPosted;
static int quitCode;

static volatile sig_atomic_t interruptPending;
static bool interruptInstalled;
static struct sigaction savedInterrupt;
static int cancelAfter, peeksCounted;

static bool hasTargetAnswer;
static std::string targetAnswer;

void HostSetTargetAnswer(const char *text)
{
    hasTargetAnswer = text != 0;
    targetAnswer = text ? text : "";
}

void HostCancelAfterBlocks(int n)
{
    cancelAfter = n;
    peeksCounted = 0;
}

static PlatformWindow *WindowOf(HWND window)
{
    for (PlatformWindow *w : windows)
        if (w == window && w->magic == windowMagic)
            return w;
    return 0;
}

static PlatformWindow *LatestDialog(int templateId)
{
    for (size_t i = windows.size(); i-- > 0;)
        if (windows[i]->templateId == templateId)
            return windows[i];
    return 0;
}

static void OnInterrupt(int)
{
    if (interruptPending) {
        signal(SIGINT, SIG_DFL);
        raise(SIGINT);  // delivered once this handler returns
        return;
    }
    interruptPending = 1;
}

static void InstallInterrupt()
{
    if (interruptInstalled)
        return;
    struct sigaction action = {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, &savedInterrupt);
    interruptInstalled = true;
    interruptPending = 0;
}

static void RemoveInterrupt()
{
    if (!interruptInstalled)
        return;
    sigaction(SIGINT, &savedInterrupt, 0);
    interruptInstalled = false;
    interruptPending = 0;
}

static MSG CommandMessage(PlatformWindow *w, int id)
{
    MSG msg = {};
    msg.hwnd = w;
    msg.message = WM_COMMAND;
    msg.wParam = (WPARAM)(WORD)id;  // notification code 0: a button click
    return msg;
}

// A pending Ctrl-C becomes the progress dialog's Cancel in the queue.
static void CollectInterrupt()
{
    PlatformWindow *progress = LatestDialog(progressTemplate);
    if (interruptPending && progress) {
        interruptPending = 0;
        queue.push_back(CommandMessage(progress, IDCANCEL));
    }
}

static void WaitForInterrupt()
{
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    sigprocmask(SIG_BLOCK, &block, &old);
    sigset_t waitMask = old;
    sigdelset(&waitMask, SIGINT);
    while (!interruptPending)
        sigsuspend(&waitMask);
    sigprocmask(SIG_SETMASK, &old, 0);
}

static std::string TrimmedBlanks(const std::string &text)
{
    size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos)
        return "";
    return text.substr(begin, text.find_last_not_of(" \t") - begin + 1);
}

// The given answer (HostSetTargetAnswer) is taken silently, as if typed
// into the field before the dialog appeared.
static MSG AskTargetDirectory(PlatformWindow *dialog)
{
    std::string &edit = dialog->texts[editControl];
    std::string line;
    bool confirmed = true;
    if (hasTargetAnswer) {
        hasTargetAnswer = false;
        line = targetAnswer;
    } else {
        ClearProgressFigure();
        fflush(stdout);
        fprintf(stderr, "Target directory [%s]: ", edit.c_str());
        fflush(stderr);
        confirmed = ReadConsoleLine(line);
        if (!confirmed || !ConsoleInputIsTerminal())
            fprintf(stderr, "%s\n", line.c_str());
    }
    if (confirmed && !TrimmedBlanks(line).empty()) {
        auto limit = dialog->limits.find(editControl);
        if (limit != dialog->limits.end() && line.size() > limit->second)
            line.resize(limit->second);
        edit = line;
    }
    return CommandMessage(dialog, confirmed ? extractButton : IDCANCEL);
}

HWND WINAPI CreateDialogParamA(HINSTANCE instance, LPCSTR templ, HWND parent, DLGPROC proc,
                               LPARAM param)
{
    (void)instance;
    (void)parent;
    uintptr_t id = (uintptr_t)templ;
    if (id == 0 || id > 0xFFFF)
        return 0;  // only numbered templates exist
    PlatformWindow *w = new PlatformWindow();
    w->magic = windowMagic;
    w->templateId = (int)id;
    w->proc = proc;
    w->rangeLow = 0;
    w->rangeHigh = 100;
    w->shownTenths = -1;
    w->rect = {0, 0, 390, 155};
    windows.push_back(w);
    if (w->templateId == progressTemplate)
        InstallInterrupt();
    if (proc)
        proc(w, WM_INITDIALOG, 0, param);
    return w;
}

BOOL WINAPI DestroyWindow(HWND window)
{
    PlatformWindow *w = WindowOf(window);
    if (!w)
        return FALSE;
    for (size_t i = 0; i < windows.size(); i++)
        if (windows[i] == w)
            windows.erase(windows.begin() + (long)i);
    for (size_t i = queue.size(); i-- > 0;)
        if (queue[i].hwnd == w)
            queue.erase(queue.begin() + (long)i);
    if (w->templateId == progressTemplate) {
        ClearProgressFigure();
        if (!LatestDialog(progressTemplate))
            RemoveInterrupt();
    }
    w->magic = 0;
    delete w;
    return TRUE;
}

static MSG QuitMessage()
{
    MSG msg = {};
    msg.message = 0x0012;  // WM_QUIT
    msg.wParam = (WPARAM)quitCode;
    return msg;
}

// Waits as Windows does: for the user. With no dialog left there is
// nobody to wait for, and -1 (the error result) ends the caller's loop.
BOOL WINAPI GetMessageA(LPMSG msg, HWND window, UINT first, UINT last)
{
    (void)window;
    (void)first;
    (void)last;
    for (;;) {
        CollectInterrupt();
        if (!queue.empty()) {
            *msg = queue.front();
            queue.pop_front();
            return TRUE;
        }
        if (quitPosted) {
            quitPosted = false;
            *msg = QuitMessage();
            return FALSE;
        }
        if (PlatformWindow *target = LatestDialog(targetTemplate)) {
            queue.push_back(AskTargetDirectory(target));
            continue;
        }
        if (!LatestDialog(progressTemplate))
            return -1;
        WaitForInterrupt();
    }
}

BOOL WINAPI PeekMessageA(LPMSG msg, HWND window, UINT first, UINT last, UINT remove)
{
    (void)window;
    (void)first;
    (void)last;
    const UINT removeFlag = 1;  // PM_REMOVE
    if (cancelAfter > 0 && LatestDialog(progressTemplate) && ++peeksCounted == cancelAfter) {
        cancelAfter = 0;
        interruptPending = 1;
    }
    CollectInterrupt();
    if (!queue.empty()) {
        *msg = queue.front();
        if (remove & removeFlag)
            queue.pop_front();
        return TRUE;
    }
    if (quitPosted) {
        *msg = QuitMessage();
        if (remove & removeFlag)
            quitPosted = false;
        return TRUE;
    }
    return FALSE;
}

static LRESULT Deliver(PlatformWindow *w, const MSG *msg)
{
    return w->proc ? w->proc(w, msg->message, msg->wParam, msg->lParam) : 0;
}

BOOL WINAPI IsDialogMessageA(HWND dialog, LPMSG msg)
{
    PlatformWindow *w = WindowOf(dialog);
    if (!w || msg->hwnd != dialog)
        return FALSE;
    Deliver(w, msg);
    return TRUE;
}

BOOL WINAPI TranslateMessage(const MSG *msg)
{
    (void)msg;
    return FALSE;  // there are no key messages to translate
}

LRESULT WINAPI DispatchMessageA(const MSG *msg)
{
    PlatformWindow *w = WindowOf(msg->hwnd);
    return w ? Deliver(w, msg) : 0;
}

void WINAPI PostQuitMessage(int code)
{
    quitPosted = true;
    quitCode = code;
}

static double Percent(const PlatformWindow *w)
{
    if (w->rangeHigh <= w->rangeLow)
        return 0;
    return (w->position - w->rangeLow) * 100.0 / (w->rangeHigh - w->rangeLow);
}

LRESULT WINAPI SendDlgItemMessageA(HWND dialog, int id, UINT msg, WPARAM wParam, LPARAM lParam)
{
    PlatformWindow *w = WindowOf(dialog);
    if (!w)
        return 0;
    switch (msg) {
    case WM_SETTEXT: {
        const char *text = lParam ? (const char *)lParam : "";
        w->texts[id] = text;
        if (w->templateId == progressTemplate && id == memberLine) {
            ShowProgressLine(Percent(w), text);
            w->shownTenths = -1;
        }
        return TRUE;
    }
    case WM_GETTEXT: {
        if (wParam == 0)
            return 0;
        const std::string &text = w->texts[id];
        size_t n = text.size() < wParam - 1 ? text.size() : wParam - 1;
        text.copy((char *)lParam, n);
        ((char *)lParam)[n] = 0;
        return (LRESULT)n;
    }
    case EM_LIMITTEXT:
        w->limits[id] = wParam ? (size_t)wParam : 0x7FFFFFFE;
        return 0;
    case PBM_SETRANGE: {
        LRESULT previous = MAKELPARAM(w->rangeLow, w->rangeHigh);
        w->rangeLow = LOWORD(lParam);
        w->rangeHigh = HIWORD(lParam);
        return previous;
    }
    case PBM_SETPOS: {
        LRESULT previous = w->position;
        int position = (int)wParam;
        w->position = position < w->rangeLow ? w->rangeLow
                    : position > w->rangeHigh ? w->rangeHigh : position;
        int tenths = (int)(Percent(w) * 10 + 0.5);
        if (w->templateId == progressTemplate && tenths != w->shownTenths) {
            w->shownTenths = tenths;
            ShowProgressFigure(Percent(w));
        }
        return previous;
    }
    default:
        return 0;
    }
}

BOOL WINAPI GetWindowRect(HWND window, LPRECT rect)
{
    PlatformWindow *w = WindowOf(window);
    if (!w)
        return FALSE;
    *rect = w->rect;
    return TRUE;
}

int WINAPI GetSystemMetrics(int index)
{
    return index == SM_CXSCREEN ? 1024 : index == SM_CYSCREEN ? 768 : 0;
}

BOOL WINAPI MoveWindow(HWND window, int x, int y, int width, int height, BOOL repaint)
{
    (void)repaint;
    PlatformWindow *w = WindowOf(window);
    if (!w)
        return FALSE;
    w->rect = {x, y, x + width, y + height};
    return TRUE;
}
