// Locator and header reader over arbitrary bytes, walked as the driver's
// sizing pass walks them (the whole-run target spends most of its time
// writing files). Checked: the walk never goes back, and every member path,
// made into a target path, is the target followed by clean components:
// none empty, "." or "..", none holding a separator or a drive colon, none
// ending in a dot or a blank.
#include <string.h>

#include "tests/fuzz/fuzz_support.h"

static const char kTarget[] = "Z:\\t\\";

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (!fuzz::OpenArchiveInput("header.bin", data, size))
        return 0;
    runState = RunState();
    strcpy(runState.targetDir, kTarget);
    runState.targetDirLength = (int32_t)strlen(kTarget);
    int32_t next = LocateArchive();
    if (!runState.failed && next < 0)
        fuzz::Finding("a located archive at a negative offset");
    MemberNames names;
    bool located = !runState.failed;
    for (int32_t at = next; located && NextMember(&next, &names); at = next) {
        if (names.headerLength < 22)
            fuzz::Finding("a header shorter than any level allows");
        if (next <= at)
            fuzz::Finding("the walk went back");
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
    CloseHandle(archiveInput.archiveFile);
    return 0;
}
