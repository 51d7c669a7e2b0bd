// Archive access: the stub's own file as a stream, the appended archive,
// member headers (parsed from bytes, read from the stream), the walk over
// the members, and member paths.
#pragma once
#include "core/core.h"

struct ArchiveInput {
    HANDLE archiveFile;
    int32_t bufferStart;   // file offset of readBuffer[0]
    int32_t bufferEnd;     // just past the last byte held; the OS file pointer
    int32_t readPosition;  // next byte ReadArchive delivers
    int32_t archiveLimit;  // end of the readable window (the file's size)
    uint8_t readBuffer[512];
};

extern ArchiveInput archiveInput;

// The stream reports a short read, a failed seek or size query to its
// caller and shows nothing: what it means is the caller's to say.
int ReadArchive(void *destination, uint32_t count);
int SeekArchive(int32_t offset, int origin);  // 0 start, 1 readPosition, 2 archiveLimit
uint32_t QueryArchiveSize(void);  // INVALID_FILE_SIZE on failure
void ResetArchiveInput(void);  // empty buffer at offset 0: the next seek moves the file
// "The archive is damaged.", unless a failure has been shown already;
// sets `failed`.
void ReportDamage(void);

// Offset of the first member to extract, -1 on failure, -2 when not found.
int32_t LocateArchive(void);

// The normalised 23-byte header record at the start of shared.header.
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

// A member header as bytes: `h` holds `have` bytes of it, and `complete`
// says that no more exist (the archive ends there). Offsets are into h.
enum HeaderVerdict {
    HeaderEnd,      // no member here: the end mark, a trailing 0x1A, too few bytes
    HeaderDamaged,
    HeaderFound,
    HeaderShort,    // needs `need` bytes in all before it can tell
};

struct HeaderFields {
    int32_t need;
    int32_t length;          // of the whole header, extended headers included
    int32_t name, nameLength;
    int32_t directory, directoryLength;
    int32_t crcField;        // the header-CRC field, or -1
    int32_t extensionTotal;  // level 1: extended headers counted in the packed size
    uint32_t dataCrc;        // or 0xFFFFFFFF
    uint8_t attribute;
};

// Field offsets of the base header, the same in every level.
enum {
    HEADER_METHOD = 2,        // "-lh5-"
    HEADER_PACKED_SIZE = 7,   // level 2: without the header
    HEADER_ORIGINAL_SIZE = 11,
    HEADER_TIME = 15,         // levels 0 and 1: DOS time, date; level 2: Unix time
    HEADER_ATTRIBUTE = 19,
    HEADER_LEVEL = 20,
    HEADER_BASE = 21,         // bytes every level starts with
};

// Checks a header and finds its parts. Reads no byte beyond a `need` it
// has asked for, so a caller that reads as asked reads no further than
// the header. A found header's CRC field is left as zeros.
HeaderVerdict ParseHeader(uint8_t *h, int32_t have, int complete, HeaderFields *f);

struct MemberNames {
    const uint8_t *name;
    int32_t nameLength;
    const uint8_t *directory;
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

// The member whose header starts at *next, the stream standing at its
// data, and *next moved past the data; null at the archive's end or after
// damage, which it has reported.
MemberHeader *NextMember(int32_t *next, MemberNames *names);

int IsNameCharAllowed(uint8_t c);
int32_t ConvertNameComponent(const uint8_t *source, int32_t length, uint8_t *destination);
// Directory and name joined, separators made "/", one leading "/" dropped;
// zero-terminated, to be freed with FreeBlock; null without memory.
char *JoinMemberPath(const MemberNames *names, int32_t *length);
char *ComposeTargetPath(const uint8_t *memberPath, int32_t length);
