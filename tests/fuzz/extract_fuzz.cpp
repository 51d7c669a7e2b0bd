// The whole self-extractor run on an arbitrary file. Input: a count n (low
// 4 bits) and a Cancel in the progress dialog after that many output blocks
// (high bits, 0 for never), n answers (each byte "y", "n" or "c" mod 3),
// the file. Checked: nothing was written outside the target directory.
#include <stdio.h>

#include "shell/shell.h"
#include "tests/fuzz/fuzz_support.h"

namespace fs = std::filesystem;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    size_t answerCount = size ? data[0] & 15 : 0;
    if (size < 1 + answerCount)
        return 0;
    std::string answers = " ";  // read off at once: an empty stream is the end of input, No
    for (size_t i = 0; i < answerCount; i++)
        answers += "ync"[data[1 + i] % 3] + std::string("\n");

    // Run inside the scratch directory, so that whatever is created relative
    // to the current directory is seen by the check below too.
    fs::path root = fuzz::ScratchRoot();
    static const bool entered = chdir(root.c_str()) == 0;
    (void)entered;
    std::error_code e;
    for (const auto &item : fs::recursive_directory_iterator(root, e))
        fs::permissions(item.path(), fs::perms::owner_all, fs::perm_options::add, e);
    for (const auto &item : fs::directory_iterator(root, e))
        fs::remove_all(item.path(), e);
    fs::create_directories(root / "t");
    std::string exe = (root / "in.exe").string();
    if (!fuzz::WriteFile(exe, data + 1 + answerCount, size - 1 - answerCount))
        return 0;

    FILE *console = fmemopen(answers.data(), answers.size(), "r");
    fgetc(console);
    HostSetConsoleInput(console);
    HostSetModulePath(exe.c_str());
    HostSetTargetAnswer(fuzz::WindowsPath((root / "t" / "out").string()).c_str());
    HostCancelAfterBlocks(data[0] >> 4);
    runState = RunState();
    RunSelfExtractor();
    HostCancelAfterBlocks(0);
    HostSetConsoleInput(nullptr);
    fclose(console);

    for (const auto &item : fs::directory_iterator(root, e))
        if (item.path().filename() != "in.exe" && item.path().filename() != "t")
            fuzz::Finding("a file was written outside the target directory");
    for (const auto &item : fs::directory_iterator(root / "t", e))
        if (item.path().filename() != "out")
            fuzz::Finding("a file was written next to the target directory");
    return 0;
}
