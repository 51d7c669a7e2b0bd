// Member headers of levels 0, 1 and 2, checked and brought to one 23-byte
// record at the start of headerBuffer (which is also the decoders' output
// window: callers take what they need before decoding starts).
#include "archive/archive.h"
#include "decode/decode.h"
#include "shell/shell.h"

uint32_t expectedCrc;

static uint32_t Get16(const uint8_t *p) { return (uint32_t)p[0] | ((uint32_t)p[1] << 8); }

static int IsSeparator(uint8_t c) { return c == 0x5C || c == 0x2F || c == 0xFF; }

// The part of bytes[0..n) up to and including its last separator; 0 when
// it has none.
static int32_t SeparatorEnd(const uint8_t *bytes, int32_t n)
{
    while (n > 0 && !IsSeparator(bytes[n - 1]))
        n--;
    return n;
}

int IsDirectoryMethod(const char *method)
{
    return method[1] == 'l' && method[2] == 'h' && method[3] == 'd';
}

uint8_t HeaderByteSum(const uint8_t *bytes, int32_t count)
{
    uint8_t sum = 0;
    for (int32_t i = 0; i < count; i++)
        sum = (uint8_t)(sum + bytes[i]);
    return sum;
}

// Working values of one header read. Offsets are into headerBuffer.
struct HeaderScan {
    int32_t name, nameLength;
    int32_t directory, directoryLength;
    int32_t crcField;        // offset of the header-CRC field, or -1
    uint8_t attribute;
    int32_t extensionTotal;  // level 1: bytes of extended headers counted in packedSize
};

// Fewer than `count` bytes before the window's end? Computed in 64 bits so
// that a position near 2^31 cannot wrap.
static int BeyondLimit(int32_t count)
{
    return (int64_t)archiveInput.readPosition + count > archiveInput.archiveLimit;
}

// The next `count` bytes of the header into headerBuffer at `at`, if the
// window holds them and the read succeeds.
static int ReadHeaderBytes(int32_t at, int32_t count)
{
    return !BeyondLimit(count) && ReadArchive(headerBuffer + at, (uint32_t)count);
}

// The rules shared by the extended headers of levels 1 and 2; `osIsDos`
// says whether the header's OS identifier is "M". Returns 0 for damage.
static int ApplyExtendedHeader(HeaderScan *h, int32_t o, int32_t s, int osIsDos)
{
    switch (headerBuffer[o + 2]) {
    case 0x00:
        if (s < 5 || h->crcField >= 0)
            return 0;
        h->crcField = o + 3;
        return 1;
    case 0x01:
        if (h->nameLength > 0)
            return 0;
        h->name = o + 3;
        h->nameLength = s - 3;
        return 1;
    case 0x02:
        if (h->directoryLength > 0)
            return 0;
        h->directory = o + 3;
        h->directoryLength = s - 3;
        return 1;
    case 0x40:
        if (s == 3)
            return 0;
        if (osIsDos)
            h->attribute = headerBuffer[o + 3];
        return 1;
    default:
        return 1;
    }
}

// A path in the name becomes directory and name; a directory entry whose
// path stands wholly in the directory takes the directory's last component
// as its name. On level 0 headers, where the directory is always empty
// here, this is the same split with the same rule for directory entries.
static void SplitPath(HeaderScan *h)
{
    if (h->directoryLength == 0) {
        int32_t i = SeparatorEnd(headerBuffer + h->name, h->nameLength);
        h->directory = h->name;
        h->directoryLength = i;
        h->name += i;
        h->nameLength -= i;
    }
    if (h->nameLength == 0 && IsDirectoryMethod((const char *)headerBuffer + 2)) {
        const uint8_t *dir = headerBuffer + h->directory;
        int32_t end = h->directoryLength;
        if (end > 0 && IsSeparator(dir[end - 1]))
            end--;
        int32_t k = SeparatorEnd(dir, end);
        h->directoryLength = end;
        if (end > k) {
            h->name = h->directory + k;
            h->nameLength = end - k;
            h->directoryLength = k;
        }
    }
}

// Walks the extended headers whose first length field stands at offset o,
// each of which must end by `limit`, where the next length field stands.
// Level 1 (`readEach`) reads each one from the archive as its length
// becomes known and ends at the first zero length; level 2 has them all in
// the buffer, and only a zero length in its last bytes ends it. Returns the
// offset of that last length field, or -1 for damage.
static int32_t WalkExtendedHeaders(HeaderScan *h, int32_t o, int32_t limit, int readEach, int osIsDos)
{
    for (;;) {
        int32_t s = (int32_t)Get16(headerBuffer + o);
        if (s == 0 && (readEach || o >= limit - 1))
            return o;
        if (o + s > limit || s < 3)
            return -1;
        if (readEach && !ReadHeaderBytes(o + 2, s))
            return -1;
        if (!ApplyExtendedHeader(h, o, s, osIsDos))
            return -1;
        o += s;
    }
}

// Levels 0 and 1; the base header's first 21 bytes are read.
static int ReadLevel01(HeaderScan *h, MemberNames *names, int *none)
{
    int32_t S = headerBuffer[0];
    if (S < 20) {
        *none = 1;
        return 1;
    }
    if (!ReadHeaderBytes(21, S - 19) || HeaderByteSum(headerBuffer + 2, S) != headerBuffer[1]) {
        // A trailing run of 0x1A counts as the end of the archive; a failed
        // read has set `failed` and so always counts as damage.
        if (headerBuffer[0] == 26 && !runState.failed) {
            *none = 1;
            return 1;
        }
        return 0;
    }
    int32_t n = headerBuffer[21];
    h->nameLength = n;
    int32_t o = S;
    // A level 1 header too short to carry extensions reads as level 0.
    int extended = headerBuffer[20] == 1 && S - n >= 22;
    if (extended) {
        int osIsDos = S - n >= 25 && headerBuffer[24 + n] == 'M';
        o = WalkExtendedHeaders(h, S, 65534, 1, osIsDos);
        if (o < 0)
            return 0;
        h->extensionTotal = o - S;
    } else if (S - n < 20 || S - n == 21) {
        return 0;
    }
    SplitPath(h);
    if (extended && h->nameLength == 0)  // level 0 leaves an empty name to the path rules
        return 0;
    expectedCrc = S - n >= (extended ? 24 : 22) ? Get16(headerBuffer + 22 + n) : 0xFFFFFFFF;
    names->headerLength = o + 2;
    return 1;
}

static int ReadLevel2(HeaderScan *h, MemberNames *names, int *none, FILETIME *localTime)
{
    int32_t L = (int32_t)Get16(headerBuffer);
    if (L < 26) {
        *none = 1;
        return 1;
    }
    if (!ReadHeaderBytes(21, L - 21))
        return 0;
    // L - 2 keeps every extended header and the next length field inside
    // the header.
    if (WalkExtendedHeaders(h, 24, L - 2, 0, headerBuffer[23] == 'M') < 0)
        return 0;
    SplitPath(h);
    if (h->nameLength == 0 || h->crcField < 0)
        return 0;
    expectedCrc = Get16(headerBuffer + 21);

    static const SYSTEMTIME epoch = {1970, 1, 0, 1, 0, 0, 0, 0};
    FILETIME base;
    SystemTimeToFileTime(&epoch, &base);
    uint64_t t = ((uint64_t)base.dwHighDateTime << 32) | base.dwLowDateTime;
    uint32_t unixTime = (uint32_t)Get16(headerBuffer + 15) | (Get16(headerBuffer + 17) << 16);
    t += (uint64_t)unixTime * 10000000u;
    FILETIME utc = {(DWORD)t, (DWORD)(t >> 32)};
    FileTimeToLocalFileTime(&utc, localTime);
    names->headerLength = L;
    return 1;
}

MemberHeader *ReadMemberHeader(MemberNames *names)
{
    names->damaged = 0;
    if (BeyondLimit(21))
        return 0;
    if (!ReadArchive(headerBuffer, 21)) {
        names->damaged = 1;
        return 0;
    }
    if (headerBuffer[0] == 0)
        return 0;

    HeaderScan h = {};
    h.name = 22;  // where the base header of levels 0 and 1 keeps it
    h.directory = 22;
    h.crcField = -1;
    h.attribute = headerBuffer[19];
    int level = headerBuffer[20];
    int none = 0;
    int ok;
    FILETIME localTime = {0, 0};
    if (level <= 1) {
        ok = ReadLevel01(&h, names, &none);
    } else if (level == 2) {
        ok = ReadLevel2(&h, names, &none, &localTime);
    } else {
        none = headerBuffer[0] == 26;
        ok = none;
    }
    if (none)
        return 0;
    // Checked once the whole header is in: a header without its dashes is
    // damaged whatever else it holds.
    if (!ok || headerBuffer[2] != '-' || headerBuffer[6] != '-') {
        names->damaged = 1;
        return 0;
    }

    if (h.crcField >= 0) {
        uint32_t stored = Get16(headerBuffer + h.crcField);
        headerBuffer[h.crcField] = 0;
        headerBuffer[h.crcField + 1] = 0;
        ResetCrc();
        UpdateCrc(headerBuffer, names->headerLength);
        if (GetCrc() != stored) {
            names->damaged = 1;
            return 0;
        }
    }
    MemberHeader *record = (MemberHeader *)headerBuffer;
    record->attribute = h.attribute;
    record->packedSize -= (uint32_t)h.extensionTotal;
    if (level == 2) {
        WORD date, time;
        if (FileTimeToDosDateTime(&localTime, &date, &time)) {
            record->dosTime = time;
            record->dosDate = date;
        } else {
            record->dosTime = 0;
            record->dosDate = 0x0021;
        }
    }
    names->name = headerBuffer + h.name;
    names->nameLength = h.nameLength;
    names->directory = headerBuffer + h.directory;
    names->directoryLength = h.directoryLength;
    return record;
}
