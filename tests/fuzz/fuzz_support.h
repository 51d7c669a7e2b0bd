// Shared by the fuzz targets: a scratch directory per process (left behind
// by a crash for a look), the input written there as the archive input, and
// outside libFuzzer a driver that replays the files of the given directories.
#pragma once
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "decode/decode.h"
#include "platform/host.h"

namespace fuzz {

inline const std::string &ScratchRoot()
{
    static const std::string *root = [] {  // never destroyed: the exit handler needs it
        auto dir = std::filesystem::temp_directory_path() / ("corvane-fuzz-" + std::to_string(getpid()));
        std::filesystem::create_directories(dir);
        atexit([] { std::error_code e; std::filesystem::remove_all(ScratchRoot(), e); });
        return new std::string(dir.string());
    }();
    return *root;
}

inline bool WriteFile(const std::string &path, const uint8_t *data, size_t size)
{
    std::ofstream out(path, std::ios::binary);
    return out.write((const char *)data, (std::streamsize)size).flush().good();
}

inline std::string WindowsPath(const std::string &unixPath)
{
    char win[4096];
    return HostPathFromUnix(unixPath.c_str(), win, sizeof win) ? win : "";
}

inline bool OpenArchiveInput(const char *name, const uint8_t *data, size_t size)
{
    std::string path = ScratchRoot() + "/" + name;
    if (!WriteFile(path, data, size))
        return false;
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

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

#ifdef FUZZ_REPLAY
// The summary goes to stderr (stdout is the extractor's console); CTest
// passes the run only when it appears.
int main(int argc, char **argv)
{
    std::vector<std::filesystem::path> inputs;
    for (int i = 1; i < argc; i++)
        for (const auto &item : std::filesystem::directory_iterator(std::filesystem::absolute(argv[i])))
            if (item.is_regular_file() && item.path().filename().string()[0] != '.')
                inputs.push_back(item.path());
    std::sort(inputs.begin(), inputs.end());
    for (const auto &path : inputs) {
        std::ifstream in(path, std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        fprintf(stderr, "replay: %s\n", path.c_str());
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    fprintf(stderr, "replay: %zu inputs, no crash\n", inputs.size());
}
#endif
