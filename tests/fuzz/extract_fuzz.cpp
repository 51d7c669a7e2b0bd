// The whole run of the self-extractor on an arbitrary file, the user's
// answers taken from the input too: a count n (low 4 bits) and when to
// press Cancel in the progress dialog (high bits: after that many output
// blocks, 0 for never), n answer bytes (each "y", "n" or "c"), the file.
// Checked: nothing was written outside the target directory.
#include <stdio.h>

#include "shell/shell.h"
#include "tests/fuzz/fuzz_support.h"

namespace fs = std::filesystem;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    size_t answerCount = size ? data[0] & 15 : 0;
    if (size < 1 + answerCount)
        return 0;
    // After the answers, the end of input answers No (an empty stream is
    // one byte, read off at once).
    std::string answers = answerCount ? "" : " ";
    for (size_t i = 0; i < answerCount; i++)
        answers += "ync"[data[1 + i] % 3] + std::string("\n");

    // Anything created relative to the current directory lands in the
    // scratch directory too, where the check below sees it.
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
    if (console && !answerCount)
        fgetc(console);
    HostSetConsoleInput(console);
    HostSetModulePath(exe.c_str());
    HostSetTargetAnswer(fuzz::WindowsPath((root / "t" / "out").string()).c_str());
    HostCancelAfterBlocks(data[0] >> 4);
    runState = RunState();
    RunSelfExtractor();
    HostCancelAfterBlocks(0);
    HostSetConsoleInput(nullptr);
    if (console)
        fclose(console);

    // The scratch directory holds the input and the path down to the
    // target, and nothing else; below the target anything goes.
    for (const auto &item : fs::directory_iterator(root, e))
        if (item.path().filename() != "in.exe" && item.path().filename() != "t")
            fuzz::Finding("a file was written outside the target directory");
    for (const auto &item : fs::directory_iterator(root / "t", e))
        if (item.path().filename() != "out")
            fuzz::Finding("a file was written next to the target directory");
    return 0;
}
