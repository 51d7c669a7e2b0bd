// Member headers of levels 0, 1 and 2, checked and brought to one 23-byte
// record at the start of headerBuffer (which is also the decoders' output
// window: callers take what they need before decoding starts).
#include "archive/archive.h"
#include "decode/decode.h"
#include "shell/shell.h"

uint32_t expectedCrc;

static uint32_t Get16(const uint8_t *p) { return (uint32_t)p[0] | ((uint32_t)p[1] << 8); }

static int IsSeparator(uint8_t c) { return c == 0x5C || c == 0x2F || c == 0xFF; }

static int IsDirectoryMethod(void)
{
    return headerBuffer[3] == 'l' && headerBuffer[4] == 'h' && headerBuffer[5] == 'd';
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

// The rules shared by the extended headers of levels 1 and 2; `osIsDos`
// says whether the header's OS identifier is "M". Returns 0 for damage.
static int ApplyExtendedHeader(HeaderScan *h, int32_t o, int32_t s, int minCrcLength, int osIsDos)
{
    switch (headerBuffer[o + 2]) {
    case 0x00:
        if (s < minCrcLength || h->crcField >= 0)
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

// Levels 1 and 2: a path in the name becomes directory and name; a
// directory entry whose path stands wholly in the directory takes the
// directory's last component as its name.
static void SplitPath(HeaderScan *h)
{
    if (h->directoryLength == 0 && h->nameLength > 0) {
        int32_t i = h->nameLength;
        while (i > 0 && !IsSeparator(headerBuffer[h->name + i - 1]))
            i--;
        if (i > 0) {
            h->directory = h->name;
            h->directoryLength = i;
            h->name += i;
            h->nameLength -= i;
        }
    }
    if (h->nameLength == 0 && IsDirectoryMethod()) {
        const uint8_t *dir = headerBuffer + h->directory;
        int32_t end = h->directoryLength;
        int32_t trailing = end > 0 && IsSeparator(dir[end - 1]);
        int32_t k = end - trailing;
        while (k > 0 && !IsSeparator(dir[k - 1]))
            k--;
        end -= trailing;
        if (end > k) {
            h->name = h->directory + k;
            h->nameLength = end - k;
        }
        h->directoryLength = end > k ? k : end;
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
    if (BeyondLimit(S - 19) || !ReadArchive(headerBuffer + 21, (uint32_t)(S - 19)) ||
        HeaderByteSum(headerBuffer + 2, S) != headerBuffer[1]) {
        // A trailing run of 0x1A counts as the end of the archive; a failed
        // read has set `failed` and so always counts as damage.
        if (headerBuffer[0] == 26 && !runState.failed) {
            *none = 1;
            return 1;
        }
        return 0;
    }
    if (headerBuffer[2] != '-' || headerBuffer[6] != '-')
        return 0;
    int32_t n = headerBuffer[21];
    if (headerBuffer[20] == 1 && S - n >= 22) {
        h->name = 22;
        h->nameLength = n;
        h->directory = 22;
        h->directoryLength = 0;
        int osIsDos = S - n >= 25 && headerBuffer[24 + n] == 'M';
        int32_t o = S;
        int32_t s = (int32_t)Get16(headerBuffer + o);
        while (s != 0) {
            if (o + s > 65534 || s < 3 || BeyondLimit(s))
                return 0;
            if (!ReadArchive(headerBuffer + o + 2, (uint32_t)s))
                return 0;
            if (!ApplyExtendedHeader(h, o, s, 5, osIsDos))
                return 0;
            o += s;
            s = (int32_t)Get16(headerBuffer + o);
        }
        SplitPath(h);
        if (h->nameLength == 0)
            return 0;
        h->extensionTotal = o - S;
        expectedCrc = S - n >= 24 ? Get16(headerBuffer + 22 + n) : 0xFFFFFFFF;
        names->headerLength = o + 2;
        return 1;
    }
    int32_t d = S - n;
    if (d < 20 || d == 21)
        return 0;
    int32_t len = n;
    int32_t k = len;
    while (k > 0 && !IsSeparator(headerBuffer[22 + k - 1]))
        k--;
    if (IsDirectoryMethod() && k == len && k > 0) {
        len--;
        k = len;
        while (k > 0 && !IsSeparator(headerBuffer[22 + k - 1]))
            k--;
    }
    h->name = 22 + k;
    h->nameLength = len - k;
    h->directory = 22;
    h->directoryLength = k;
    expectedCrc = d >= 22 ? Get16(headerBuffer + 22 + n) : 0xFFFFFFFF;
    names->headerLength = S + 2;
    return 1;
}

static int ReadLevel2(HeaderScan *h, MemberNames *names, int *none, FILETIME *localTime)
{
    int32_t L = (int32_t)Get16(headerBuffer);
    if (L < 26) {
        *none = 1;
        return 1;
    }
    if (BeyondLimit(L - 21) || !ReadArchive(headerBuffer + 21, (uint32_t)(L - 21)))
        return 0;
    if (headerBuffer[2] != '-' || headerBuffer[6] != '-')
        return 0;
    h->name = 22;
    h->nameLength = 0;
    h->directory = 22;
    h->directoryLength = 0;
    int osIsDos = headerBuffer[23] == 'M';
    // o + s <= L - 2 keeps every extended header and the next length field
    // inside the header; a zero length is the end only in its last bytes.
    for (int32_t o = 24;;) {
        int32_t s = (int32_t)Get16(headerBuffer + o);
        if (s == 0 && o >= L - 3)
            break;
        if (o + s > L - 2 || s < 3)
            return 0;
        if (!ApplyExtendedHeader(h, o, s, 5, osIsDos))
            return 0;
        o += s;
    }
    SplitPath(h);
    if (h->nameLength == 0 || h->crcField < 0)
        return 0;
    expectedCrc = Get16(headerBuffer + 21);

    SYSTEMTIME epoch = {1970, 1, 0, 1, 0, 0, 0, 0};
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
    if (!ok) {
        names->damaged = 1;
        return 0;
    }
    if (none)
        return 0;

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
