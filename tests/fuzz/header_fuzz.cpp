// Locator and header reader over arbitrary bytes, walked the way both
// passes of the driver walk them: the sizing pass relative to where the
// reader left the input, the member loop by absolute offsets. Checked on
// the way: neither walk goes back, and every member path, made into a
// target path, stays below the target directory.
#include <string.h>

#include "tests/fuzz/fuzz_support.h"

namespace {

const char kTarget[] = "Z:\\t\\";

// A composed path is the target followed by clean components: none empty,
// "." or "..", none with a separator or a drive colon in it.
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
    if (!target)
        fuzz::Finding("no target path");
    if (strncmp(target, kTarget, sizeof kTarget - 1) != 0)
        fuzz::Finding("target path does not start with the target directory");
    std::string rest = target + sizeof kTarget - 1;
    size_t start = 0;
    for (;;) {
        size_t end = rest.find('\\', start);
        std::string part = rest.substr(start, end == std::string::npos ? end : end - start);
        if (part.empty() || part == "." || part == ".." || part.find_first_of("/:") != std::string::npos)
            fuzz::Finding("target path component that could leave the target");
        if (part.back() == '.' || part.back() == ' ')
            fuzz::Finding("target path component with a trailing dot or blank");
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    FreeBlock(target);
}

// The sizing pass: a record, its size added up, its data passed over with
// a relative seek. A packed size with its top bit set is damage.
void SizingWalk()
{
    MemberNames names;
    for (;;) {
        int32_t headerAt = archiveInput.readPosition;
        MemberHeader *header = ReadMemberHeader(&names);
        if (!header)
            return;
        if ((int32_t)header->packedSize < 0)
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

// The member loop: absolute offsets, each the previous one plus the
// header's length and the packed size. The first seek goes from wherever
// the sizing pass left the input, as in the driver (a seek to 0 from an
// emptied buffer would not move the file).
void MemberWalk(int32_t offset)
{
    MemberNames names;
    if (!SeekArchive(offset, 0))
        return;
    for (;;) {
        MemberHeader *header = ReadMemberHeader(&names);
        if (!header || (int32_t)header->packedSize < 0)
            return;
        int32_t next = (int32_t)((uint32_t)offset + (uint32_t)names.headerLength + header->packedSize);
        if (next <= offset)
            return;  // the sizing pass has refused this archive already
        offset = next;
        ResetArchiveInput();
        if (!SeekArchive(offset, 0))
            return;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::GuardExit();
    std::string file = fuzz::ScratchRoot() + "/header.bin";
    if (!fuzz::WriteFile(file, data, size))
        return 0;
    runState = RunState();
    strcpy(runState.targetDir, kTarget);
    runState.targetDirLength = (int32_t)strlen(kTarget);
    BuildCrcTable();
    fuzz::InsideRun() = true;
    if (fuzz::OpenArchiveInput(file)) {
        int32_t offset = LocateArchive();
        if (!runState.failed) {
            if (offset < 0)
                fuzz::Finding("a located archive at a negative offset");
            SizingWalk();
            runState.failed = 0;
            MemberWalk(offset);
        }
        CloseHandle(archiveInput.archiveFile);
    }
    fuzz::InsideRun() = false;
    return 0;
}
