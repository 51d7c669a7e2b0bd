// Archive access: the stub's own file as a stream, the appended archive,
// member headers and member paths.
#pragma once
#include "platform/win32.h"

struct ArchiveInput {
    HANDLE archiveFile;
    int32_t bufferStart;   // file offset of readBuffer[0]
    int32_t bufferEnd;     // just past the last byte held; the OS file pointer
    int32_t readPosition;  // next byte ReadArchive delivers
    int32_t archiveLimit;  // end of the readable window (the file's size)
    uint8_t readBuffer[512];
};

extern ArchiveInput archiveInput;

// Reports "The archive is damaged." and returns 0, or leaves the decoder
// with Damaged while one is active.
int ReadArchive(void *destination, uint32_t count);
int SeekArchive(int32_t offset, int origin);  // 0 start, 1 readPosition, 2 archiveLimit
uint32_t QueryArchiveSize(void);
// "The archive is damaged." for a damaged header, unless a failure has been
// shown already (the stream's own); sets `failed`.
void ReportDamage(void);
void ResetArchiveInput(void);  // empty buffer at offset 0: the next seek moves the file

// Offset of the first member to extract, -1 on failure, -2 when not found.
int32_t LocateArchive(void);

// The normalised 23-byte header record at the start of headerBuffer.
#pragma pack(push, 1)
struct MemberHeader {
    uint8_t headerSize;
    uint8_t headerSum;
    char method[5];         // "-lh5-"
    uint32_t packedSize;    // bytes of packed data alone
    uint32_t originalSize;
    uint16_t dosTime;       // local
    uint16_t dosDate;       // local
    uint8_t attribute;
    uint8_t level;
    uint8_t tailBytes[2];
};
#pragma pack(pop)
static_assert(sizeof(MemberHeader) == 23, "the record is 23 bytes");

extern uint32_t expectedCrc;  // data CRC-16, or 0xFFFFFFFF when the header has none

struct MemberNames {
    uint8_t *name;
    int32_t nameLength;
    uint8_t *directory;
    int32_t directoryLength;
    int32_t headerLength;
    int damaged;
};

uint8_t HeaderByteSum(const uint8_t *bytes, int32_t count);
// Whether the method field of a header ("-lhd-") marks a directory entry.
int IsDirectoryMethod(const char *method);
// The record, or null at the end of the archive (names->damaged 0) or on a
// bad header (names->damaged 1). The stream then stands at the packed data.
MemberHeader *ReadMemberHeader(MemberNames *names);

int IsNameCharAllowed(uint8_t c);
int32_t ConvertNameComponent(const uint8_t *source, int32_t length, uint8_t *destination);
char *ComposeTargetPath(const uint8_t *memberPath, int32_t length);
