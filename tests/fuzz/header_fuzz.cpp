// Locator and header reader over arbitrary bytes, walked the way the
// driver's sizing pass walks them (the whole-run target has the member loop
// too, but spends most of its time writing files). Checked on the way: the
// walk never goes back, and every member path, made into a target path,
// stays below the target directory.
#include <string.h>

#include "tests/fuzz/fuzz_support.h"

namespace {

const char kTarget[] = "Z:\\t\\";

// A composed path is the target followed by clean components: none empty,
// "." or "..", none with a separator or a drive colon in it, none ending in
// a dot or a blank.
void CheckTargetPath(const MemberNames &names)
{
    int32_t length;
    char *path = JoinMemberPath(&names, &length);
    char *target = ComposeTargetPath((const uint8_t *)path, length);
    FreeBlock(path);
    if (!target || strncmp(target, kTarget, sizeof kTarget - 1) != 0)
        fuzz::Finding("no target path, or one outside the target directory");
    std::string rest = std::string(target + sizeof kTarget - 1) + "\\";
    for (size_t start = 0, end; (end = rest.find('\\', start)) != std::string::npos; start = end + 1) {
        std::string part = rest.substr(start, end - start);
        if (part.empty() || part == "." || part == ".." || part.find_first_of("/:") != std::string::npos ||
            part.back() == '.' || part.back() == ' ')
            fuzz::Finding("a target path component that could leave the target");
    }
    FreeBlock(target);
}

// The member walk of both passes.
void SizingWalk(int32_t next)
{
    MemberNames names;
    for (int32_t headerAt = next; NextMember(&next, &names); headerAt = next) {
        if (names.headerLength < 22)
            fuzz::Finding("a header shorter than any level allows");
        CheckTargetPath(names);
        if (next <= headerAt)
            fuzz::Finding("the walk went back");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string file = fuzz::ScratchRoot() + "/header.bin";
    if (!fuzz::WriteFile(file, data, size))
        return 0;
    runState = RunState();
    strcpy(runState.targetDir, kTarget);
    runState.targetDirLength = (int32_t)strlen(kTarget);
    if (fuzz::OpenArchiveInput(file)) {
        int32_t offset = LocateArchive();
        if (!runState.failed && offset < 0)
            fuzz::Finding("a located archive at a negative offset");
        if (!runState.failed)
            SizingWalk(offset);
        CloseHandle(archiveInput.archiveFile);
    }
    return 0;
}
