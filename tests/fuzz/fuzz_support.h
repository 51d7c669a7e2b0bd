// What the fuzz targets share: a scratch directory of their own, the input
// written to a file there (the extractor reads only files), the archive
// input opened on it, and the report of a finding.
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

namespace fuzz {

// One directory per process, so that parallel fuzzing jobs never meet;
// removed at a normal exit (a crash leaves it for a look). Never destroyed,
// so that the exit handler still finds the name.
inline const std::string &ScratchRoot()
{
    static const std::string *root = [] {
        const char *tmp = getenv("TMPDIR");
        auto *dir = new std::string(std::string(tmp && *tmp ? tmp : "/tmp") + "/corvane-fuzz-" +
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
    bool ok = f && fwrite(data, 1, size, f) == size;
    return f && fclose(f) == 0 && ok;
}

inline std::string WindowsPath(const std::string &unixPath)
{
    char win[4096];
    return HostPathFromUnix(unixPath.c_str(), win, sizeof win) ? win : "";
}

// Opens `path` as the archive input, as the driver does; false when the
// stand-in cannot open it (then there is nothing to test).
inline bool OpenArchiveInput(const std::string &path)
{
    ResetArchiveInput();
    archiveInput.archiveFile = CreateFileA(WindowsPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, 0,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, 0);
    if (archiveInput.archiveFile == INVALID_HANDLE_VALUE)
        return false;
    archiveInput.archiveLimit = (int32_t)QueryArchiveSize();
    return true;
}

[[noreturn]] inline void Finding(const char *what)
{
    fprintf(stderr, "fuzz: %s\n", what);
    abort();
}

}  // namespace fuzz
