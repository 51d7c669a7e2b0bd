// The whole run of the self-extractor on an arbitrary file, with the user's
// answers taken from the input too.
//
// Input: a count n (low 4 bits) and whether to press Cancel in the
// progress dialog (high bits: after that many output blocks, 0 for never),
// then n answer bytes (each one of "y", "n", "c"), then the file itself.
//
// Checked after the run: nothing was written outside the target directory,
// and the process was not ended on the way. The run's own messages and
// answers go to the console stand-in.
#include <stdio.h>
#include <string.h>

#include <system_error>

#include "tests/fuzz/fuzz_support.h"

namespace fs = std::filesystem;

namespace {

void Clear(const fs::path &dir)
{
    std::error_code e;
    for (const auto &item : fs::recursive_directory_iterator(dir, e))
        fs::permissions(item.path(), fs::perms::owner_all, fs::perm_options::add, e);
    for (const auto &item : fs::directory_iterator(dir, e))
        fs::remove_all(item.path(), e);
}

// The scratch directory may hold the input file and the path down to the
// target, and nothing else; below the target anything goes.
void CheckNothingOutside(const fs::path &root)
{
    std::error_code e;
    for (const auto &item : fs::directory_iterator(root, e))
        if (item.path().filename() != "in.exe" && item.path().filename() != "t")
            fuzz::Finding("a file was written outside the target directory");
    for (const auto &item : fs::directory_iterator(root / "t", e))
        if (item.path().filename() != "out")
            fuzz::Finding("a file was written next to the target directory");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    fuzz::GuardExit();
    size_t answerCount = data[0] & 15;
    int cancelAfter = data[0] >> 4;
    if (size < 1 + answerCount)
        return 0;
    std::string answers;
    for (size_t i = 0; i < answerCount; i++)
        answers += "ync"[data[1 + i] % 3] + std::string("\n");
    const uint8_t *file = data + 1 + answerCount;
    size_t fileSize = size - 1 - answerCount;

    fs::path root = fuzz::ScratchRoot();
    // Anything created relative to the current directory lands in the
    // scratch directory too, where the check below sees it.
    static bool entered = chdir(root.c_str()) == 0;
    (void)entered;
    Clear(root);
    fs::create_directories(root / "t");
    std::string exe = (root / "in.exe").string();
    if (!fuzz::WriteFile(exe, file, fileSize))
        return 0;
    std::string target = fuzz::WindowsPath((root / "t" / "out").string());

    FILE *console = fmemopen(answers.empty() ? (void *)"" : (void *)answers.data(),
                             answers.empty() ? 1 : answers.size(), "r");
    if (answers.empty() && console)
        fgetc(console);  // an empty stream: the end of input answers No
    HostSetConsoleInput(console);
    HostSetModulePath(exe.c_str());
    HostSetTargetAnswer(target.c_str());
    HostCancelAfterBlocks(cancelAfter);
    runState = RunState();
    fuzz::InsideRun() = true;
    RunSelfExtractor();
    fuzz::InsideRun() = false;
    HostCancelAfterBlocks(0);
    HostSetConsoleInput(nullptr);
    if (console)
        fclose(console);
    CheckNothingOutside(root);
    return 0;
}
