// The terminal as the screen: message boxes are lines on standard error,
// questions read one answer line, and the progress dialog prints a line per
// member on standard output.
//
// Everything that reads the user's answers goes through one buffered
// reader (stdin, or a stream a test hands in), so that the target prompt
// and the message boxes take their lines from the same input in order.
// When that input is not a terminal the answer read is echoed after the
// question, so a log of a scripted run reads like the session it was.
// Answers the host tool gives ahead (HostSetAnswers) take the place of
// reading one, and are echoed the same way.
#include "platform/internal.h"
#include "platform/host.h"

#include <stdio.h>
#include <string.h>
#include <unistd.h>

static FILE *consoleInput;  // null: stdin
static HostAnswer *givenAnswers;
static bool figureShown;    // a live "  42.1%" stands unfinished on stdout

void HostSetConsoleInput(FILE *input)
{
    consoleInput = input;
}

void HostSetAnswers(HostAnswer *answers)
{
    givenAnswers = answers;
}

static HostAnswer *GivenAnswer(const char *text)
{
    for (HostAnswer *a = givenAnswers; a && a->textStart; a++)
        if (strncmp(text, a->textStart, strlen(a->textStart)) == 0)
            return a;
    return 0;
}

static FILE *Input()
{
    return consoleInput ? consoleInput : stdin;
}

bool ConsoleInputIsTerminal()
{
    int fd = fileno(Input());
    return fd >= 0 && isatty(fd);
}

// A last line without its newline still counts; false only at the end of
// the input. The '\r' of a CRLF line goes with the newline.
bool ReadConsoleLine(std::string &line)
{
    FILE *in = Input();
    line.clear();
    int c;
    bool any = false;
    while ((c = getc(in)) != EOF) {
        any = true;
        if (c == '\n')
            break;
        line += (char)c;
    }
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return any;
}

void ClearProgressFigure()
{
    if (!figureShown)
        return;
    fputs("\r        \r", stdout);
    fflush(stdout);
    figureShown = false;
}

// Only a terminal gets the live figure: "\r" updates would fill a file or
// a pipe with one figure per output block.
void ShowProgressFigure(double percent)
{
    if (!isatty(fileno(stdout)))
        return;
    printf("\r%6.1f%%", percent);
    fflush(stdout);
    figureShown = true;
}

void ShowProgressLine(double percent, const char *path)
{
    if (figureShown)
        fputc('\r', stdout);  // the line overwrites the live figure
    figureShown = false;
    printf("%6.1f%%  %s\n", percent, path);
    fflush(stdout);
}

static std::string Trimmed(const std::string &text)
{
    size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos)
        return "";
    size_t end = text.find_last_not_of(" \t");
    return text.substr(begin, end - begin + 1);
}

// 0 for an answer that fits none of the buttons.
static int AnswerId(const std::string &line, bool withCancel)
{
    std::string answer = Trimmed(line);
    if (lstrcmpiA(answer.c_str(), "y") == 0 || lstrcmpiA(answer.c_str(), "yes") == 0)
        return IDYES;
    if (lstrcmpiA(answer.c_str(), "n") == 0 || lstrcmpiA(answer.c_str(), "no") == 0)
        return IDNO;
    if (withCancel &&
        (lstrcmpiA(answer.c_str(), "c") == 0 || lstrcmpiA(answer.c_str(), "cancel") == 0))
        return IDCANCEL;
    return 0;
}

// Boxes other than Yes/No and Yes/No/Cancel have only an OK button for
// the extractor, so they are shown and closed at once. The end of the
// input answers No, never Yes: nothing is replaced or started unasked.
int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT flags)
{
    (void)owner;
    const char *title = caption ? caption : "Error";
    const char *body = text ? text : "";
    UINT type = flags & 0x0F;
    ClearProgressFigure();
    fflush(stdout);
    if (type != MB_YESNO && type != MB_YESNOCANCEL) {
        fprintf(stderr, "%s: %s\n", title, body);
        fflush(stderr);
        return IDOK;
    }
    bool withCancel = type == MB_YESNOCANCEL;
    bool echo = !ConsoleInputIsTerminal();
    for (;;) {
        fprintf(stderr, "%s: %s %s ", title, body, withCancel ? "[y/n/c]" : "[y/n]");
        fflush(stderr);
        // Echoed like a typed answer, so that a log shows what was decided.
        if (HostAnswer *given = GivenAnswer(body)) {
            given->asked++;
            fprintf(stderr, "%s\n", given->answer == IDYES ? "y" : given->answer == IDNO ? "n" : "c");
            return given->answer;
        }
        std::string line;
        if (!ReadConsoleLine(line)) {
            fputc('\n', stderr);
            return IDNO;
        }
        if (echo)
            fprintf(stderr, "%s\n", line.c_str());
        int id = AnswerId(line, withCancel);
        if (id)
            return id;
    }
}
