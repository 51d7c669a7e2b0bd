// Host-only controls of the Linux stand-in for Win32 (not part of the stub).
#pragma once
#include <stddef.h>
#include <stdio.h>

// The file that GetModuleFileNameA reports as the program's own executable
// (a Linux path; it is reported as a Z: path).
void HostSetModulePath(const char *unixPath);

// The first answer given to the target-directory dialog, as if typed into
// its edit field and confirmed with Extract. Later prompts read stdin.
void HostSetTargetAnswer(const char *text);

// Z:\a\b (or a\b relative to the current directory) to /a/b. Returns 0 when
// the path names another drive or does not fit.
int HostPathToUnix(const char *winPath, char *out, size_t size);

// /a/b to Z:\a\b. Returns 0 when it does not fit.
int HostPathFromUnix(const char *unixPath, char *out, size_t size);

// Where prompts and message boxes read their answers: stdin unless a test
// hands in another stream (null goes back to stdin). The target prompt and
// the message boxes share this one stream.
void HostSetConsoleInput(FILE *input);

// An answer given ahead of the questions (Yes/No and Yes/No/Cancel message
// boxes) whose text starts with `textStart`: the box is shown as usual and
// takes `answer` (IDYES, IDNO or IDCANCEL) without reading any input;
// `asked` counts how often it did. The table ends with a null textStart;
// a null table reads every answer from the input again.
struct HostAnswer {
    const char *textStart;
    int answer;
    int asked;
};
void HostSetAnswers(HostAnswer *answers);

// Makes the n-th PeekMessageA made while a progress dialog exists report a
// Ctrl-C, counted from this call (0 turns it off): a deterministic cancel
// for tests.
void HostCancelAfterBlocks(int n);
