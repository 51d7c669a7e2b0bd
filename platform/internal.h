// What the pieces of the Linux stand-in share among themselves; the
// extractor never sees this.
#pragma once
#include "platform/win32.h"
#include <string>
#include <time.h>

// Win32 path of any form (Z:\x, \x, x, Z:x, C:\x) made absolute and
// normalised, as GetFullPathNameA reports it. False for an empty name.
bool FullWindowsPath(const char *name, std::string &full);

// The Linux path of a Win32 path on drive Z:. False for other drives,
// UNC names and empty names: every file function fails on those. Also
// false, with Windows' error code, for a name longer than MAX_PATH and a
// full path that does not fit `room` characters with its terminator.
bool UnixPathOf(const char *winPath, std::string &unixPath, size_t room = MAX_PATH);

// FILETIME counts 100 ns ticks since 1601-01-01 UTC.
uint64_t FileTimeTicks(const FILETIME *ft);
FILETIME FileTimeFromTicks(uint64_t ticks);
struct timespec TimespecFromFileTime(const FILETIME *ft);

// Console side of the window system (console.cpp), used by the dialogs.
bool ReadConsoleLine(std::string &line);
bool ConsoleInputIsTerminal();
void ClearProgressFigure();
void ShowProgressFigure(double percent);
void ShowProgressLine(double percent, const char *path);
