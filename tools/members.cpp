// `corvane-sfx list` and `corvane-sfx test` walk the members with the same
// locator and member walk as the stub, and `test` decodes each file member
// with the stub's decoders into a sink that only counts, checking its CRC.
#include "tools/members.h"

#include <stdio.h>
#include <string>

#include "decode/decode.h"
#include "extract/extract.h"
#include "tools/system.h"

static bool OpenArchive(const char *file)
{
    char winPath[MAX_PATH * 4];
    if (!ExtractorPath(file, winPath, sizeof winPath))
        return false;
    runState = RunState();
    ResetArchiveInput();
    archiveInput.archiveFile = CreateFileA(winPath, GENERIC_READ, FILE_SHARE_READ, 0, OPEN_EXISTING,
                                           FILE_ATTRIBUTE_NORMAL, 0);
    if (archiveInput.archiveFile == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "corvane-sfx: cannot open %s\n", file);
        return false;
    }
    archiveInput.archiveLimit = (int32_t)QueryArchiveSize();
    if (archiveInput.archiveLimit != (int32_t)INVALID_FILE_SIZE)
        return true;
    ReportDamage();
    CloseHandle(archiveInput.archiveFile);
    return false;
}

static std::string MemberPath(const MemberNames &names)
{
    int32_t length;
    char *joined = JoinMemberPath(&names, &length);
    std::string path(joined, (size_t)length);
    FreeBlock(joined);
    return path;
}

static std::string Attributes(uint8_t a)
{
    std::string s = "-----";
    if (a & 0x10) s[0] = 'd';
    if (a & 0x20) s[1] = 'a';
    if (a & 0x04) s[2] = 's';
    if (a & 0x02) s[3] = 'h';
    if (a & 0x01) s[4] = 'r';
    return s;
}

// Calls `visit` with each member's record (a copy) and path, the archive
// input standing at its data, in archive order. Returns false when the
// archive proved damaged.
template <typename Visit> static bool WalkMembers(Visit visit)
{
    int32_t next = LocateArchive();
    MemberNames names;
    while (!runState.failed) {
        MemberHeader *found = NextMember(&next, &names);
        if (!found)
            break;
        MemberHeader header = *found;
        visit(header, MemberPath(names));
    }
    return !runState.failed;
}

int CommandList(const char *file)
{
    if (!OpenArchive(file))
        return 1;
    printf("%-7s %10s %10s %-6s %-19s %-5s %s\n", "method", "packed", "size", "crc", "time", "attr",
           "path");
    bool ok = WalkMembers([](const MemberHeader &h, const std::string &path) {
        unsigned date = h.dosDate, time = h.dosTime;
        char crc[16] = "-";
        if (expectedCrc != 0xFFFFFFFF)
            snprintf(crc, sizeof crc, "%04X", (unsigned)expectedCrc);
        printf("%.5s %10u %10u %-6s %04u-%02u-%02u %02u:%02u:%02u %s %s\n", h.method,
               (unsigned)h.packedSize, (unsigned)h.originalSize, crc, 1980 + (date >> 9),
               (date >> 5) & 15, date & 31, time >> 11, (time >> 5) & 63, (time & 31) * 2,
               Attributes(h.attribute).c_str(), path.c_str());
    });
    CloseHandle(archiveInput.archiveFile);
    return ok ? 0 : 1;
}

int CommandTest(const char *file)
{
    if (!OpenArchive(file))
        return 1;
    int bad = 0;
    int good = 0;
    bool ok = WalkMembers([&](const MemberHeader &h, const std::string &path) {
        if (IsDirectoryMethod(h.method))
            return;
        int result = ReportDecodeExit(DecodeMember(&h, [](const uint8_t *, int32_t) { return 0; }));
        printf("%s  %s\n", result ? "ok    " : "FAILED", path.c_str());
        if (result)
            good++;
        else
            bad++;
        runState.failed = 0;
    });
    CloseHandle(archiveInput.archiveFile);
    printf("%d members ok, %d failed\n", good, bad);
    return ok && bad == 0 ? 0 : 1;
}
