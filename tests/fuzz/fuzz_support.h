// What the fuzz targets share: a scratch directory of their own, the input
// written to a file there (the extractor reads only files), and a guard
// that turns a process exit inside a run into a crash the fuzzer reports.
#pragma once
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "archive/archive.h"
#include "decode/decode.h"
#include "platform/host.h"
#include "shell/shell.h"

namespace fuzz {

// One directory per process, so that parallel fuzzing jobs never meet;
// removed when the process ends normally (a crash leaves it for a look).
inline const std::string &ScratchRoot()
{
    static const std::string *root = [] {
        const char *tmp = getenv("TMPDIR");
        std::string *dir = new std::string(std::string(tmp && *tmp ? tmp : "/tmp") + "/corvane-fuzz-" +
                                           std::to_string((long)getpid()));
        std::filesystem::create_directories(*dir);
        atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(ScratchRoot(), ignored);
        });
        return dir;
    }();
    return *root;
}

inline bool WriteFile(const std::string &path, const uint8_t *data, size_t size)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = fwrite(data, 1, size, f) == size;
    return fclose(f) == 0 && ok;
}

inline std::string WindowsPath(const std::string &unixPath)
{
    char win[4096];
    return HostPathFromUnix(unixPath.c_str(), win, sizeof win) ? win : "";
}

// Opens `path` as the archive input, as the driver does. False when the
// stand-in cannot open it (then there is nothing to test).
inline bool OpenArchiveInput(const std::string &path)
{
    std::string win = WindowsPath(path);
    ResetArchiveInput();
    archiveInput.archiveFile = CreateFileA(win.c_str(), GENERIC_READ, FILE_SHARE_READ, 0,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, 0);
    if (archiveInput.archiveFile == INVALID_HANDLE_VALUE)
        return false;
    archiveInput.archiveLimit = (int32_t)QueryArchiveSize();
    return true;
}

// The extractor ends the process only in the stub's entry point; reaching
// exit() while a run is in progress is a finding.
inline bool &InsideRun()
{
    static bool inside = false;
    return inside;
}

inline void GuardExit()
{
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    atexit([] {
        if (InsideRun()) {
            fprintf(stderr, "fuzz: the process was ended in the middle of a run\n");
            abort();
        }
    });
}

[[noreturn]] inline void Finding(const char *what)
{
    fprintf(stderr, "fuzz: %s\n", what);
    abort();
}

}  // namespace fuzz
