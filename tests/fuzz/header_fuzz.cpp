// Locator and header reader over arbitrary bytes, walked as the driver's
// sizing pass walks them. Checked: the walk only goes forward, and every
// member's target path is the target followed by components that are not
// empty, "." or "..", hold no separator or colon, and end in no dot or blank.
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
    for (int32_t at = next; !runState.failed && NextMember(&next, &names); at = next) {
        if (next <= at || names.headerLength < 22)
            fuzz::Finding("the walk went back, or a header too short for any level");
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
