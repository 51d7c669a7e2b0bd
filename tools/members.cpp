// `corvane-sfx list` and `corvane-sfx test` walk the members with the same
// locator and header reader as the stub, and `test` decodes each file
// member with the stub's decoders into a sink, checking its CRC.
#include "tools/members.h"

#include <stdio.h>
#include <string>

#include "decode/decode.h"
#include "extract/extract.h"
#include "platform/host.h"
#include "shell/shell.h"

static bool OpenArchive(const char *file)
{
    char winPath[MAX_PATH * 4];
    if (!HostPathFromUnix(file, winPath, sizeof winPath))
        return false;
    runState = RunState();
    BuildCrcTable();
    ResetArchiveInput();
    archiveInput.archiveFile = CreateFileA(winPath, GENERIC_READ, FILE_SHARE_READ, 0, OPEN_EXISTING,
                                           FILE_ATTRIBUTE_NORMAL, 0);
    if (archiveInput.archiveFile == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "corvane-sfx: cannot open %s\n", file);
        return false;
    }
    archiveInput.archiveLimit = (int32_t)QueryArchiveSize();
    return !runState.failed;
}

static std::string MemberPath(const MemberNames &names)
{
    std::string path;
    for (int32_t i = 0; i < names.directoryLength; i++) {
        uint8_t c = names.directory[i];
        path += (c == 0x5C || c == 0xFF) ? '/' : (char)c;
    }
    path.append((const char *)names.name, (size_t)names.nameLength);
    return path;
}

static bool IsDirectoryMember(const MemberHeader &h)
{
    return h.method[1] == 'l' && h.method[2] == 'h' && h.method[3] == 'd';
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

// Calls `visit` with each member's record (a copy), path and data offset,
// in archive order. Returns false when the archive proved damaged.
template <typename Visit> static bool WalkMembers(Visit visit)
{
    int32_t offset = LocateArchive();
    if (runState.failed)
        return false;
    MemberNames names;
    for (;;) {
        MemberHeader *found = ReadMemberHeader(&names);
        if (!found) {
            if (names.damaged) {
                if (!runState.failed)
                    ShowError("The archive is damaged.");
                return false;
            }
            return true;
        }
        MemberHeader header = *found;
        if ((int32_t)header.packedSize < 0) {
            ShowError("The archive is damaged.");
            return false;
        }
        int32_t dataOffset = offset + names.headerLength;
        visit(header, MemberPath(names), dataOffset);
        offset = dataOffset + (int32_t)header.packedSize;
        ResetArchiveInput();
        if (!SeekArchive(offset, 0))
            return false;
    }
}

int CommandList(const char *file)
{
    if (!OpenArchive(file))
        return 1;
    printf("%-7s %10s %10s %-6s %-19s %-5s %s\n", "method", "packed", "size", "crc", "time", "attr",
           "path");
    bool ok = WalkMembers([](const MemberHeader &h, const std::string &path, int32_t) {
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
    outputFile = (HANDLE)HostNullOutput();
    bool ok = WalkMembers([&](const MemberHeader &h, const std::string &path, int32_t data) {
        if (IsDirectoryMember(h))
            return;
        // Decoding reads ahead of the header; start at the data itself.
        MemberHeader header = h;
        uint32_t crc = expectedCrc;
        ResetArchiveInput();
        if (!SeekArchive(data, 0)) {
            bad++;
            runState.failed = 0;
            return;
        }
        expectedCrc = crc;
        runState.decoderActive = 1;
        int result = DecodeMember(&header);
        runState.decoderActive = 0;
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
