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
    std::string path;
    for (int32_t i = 0; i < names.directoryLength; i++) {
        uint8_t c = names.directory[i];
        path += (c == 0x5C || c == 0xFF) ? '/' : (char)c;
    }
    if (!path.empty() && path[0] == '/')
        path.erase(0, 1);
    path.append((const char *)names.name, (size_t)names.nameLength);
    char *target = ComposeTargetPath((const uint8_t *)path.data(), (int32_t)path.size());
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

// The sizing pass: a record, its data passed over with a relative seek. A
// packed size with its top bit set is damage.
void SizingWalk()
{
    MemberNames names;
    for (;;) {
        int32_t headerAt = archiveInput.readPosition;
        MemberHeader *header = ReadMemberHeader(&names);
        if (!header || (int32_t)header->packedSize < 0)
            return;
        if (names.headerLength < 22)
            fuzz::Finding("a header shorter than any level allows");
        CheckTargetPath(names);
        if (!SeekArchive((int32_t)header->packedSize, 1))
            return;
        if (archiveInput.readPosition <= headerAt)
            fuzz::Finding("the sizing pass went back");
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
    BuildCrcTable();
    if (fuzz::OpenArchiveInput(file)) {
        int32_t offset = LocateArchive();
        if (!runState.failed && offset < 0)
            fuzz::Finding("a located archive at a negative offset");
        if (!runState.failed)
            SizingWalk();
        CloseHandle(archiveInput.archiveFile);
    }
    return 0;
}
