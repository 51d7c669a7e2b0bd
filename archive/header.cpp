// Member headers of levels 0, 1 and 2: checked on their bytes, and read
// from the stream into shared.header as far as the checks ask, then
// brought to one 23-byte record there (the buffer is also the decoders'
// output window: callers take what they need before decoding starts).
#include "archive/archive.h"

uint32_t expectedCrc;

// A level 1 header's extensions end by this offset; a level 2 header is
// read whole. Either fits the shared buffer.
enum { LEVEL1_EXTENSION_END = 65534 };
static_assert(LEVEL1_EXTENSION_END + 2 <= WINDOW_SIZE && 65535 <= WINDOW_SIZE,
              "the longest header fits the shared buffer");

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

// The rules shared by the extended headers of levels 1 and 2 (o: the
// offset of its length field, s its length); `osIsDos` says whether the
// header's OS identifier is "M". Returns 0 for damage.
static int ApplyExtendedHeader(const uint8_t *h, HeaderFields *f, int32_t o, int32_t s, int osIsDos)
{
    switch (h[o + 2]) {
    case 0x00:
        if (s < 5 || f->crcField >= 0)
            return 0;
        f->crcField = o + 3;
        return 1;
    case 0x01:
        if (f->nameLength > 0)
            return 0;
        f->name = o + 3;
        f->nameLength = s - 3;
        return 1;
    case 0x02:
        if (f->directoryLength > 0)
            return 0;
        f->directory = o + 3;
        f->directoryLength = s - 3;
        return 1;
    case 0x40:
        if (s == 3)
            return 0;
        if (osIsDos)
            f->attribute = h[o + 3];
        return 1;
    default:
        return 1;
    }
}

// A path in the name becomes directory and name; a directory entry whose
// path stands wholly in the directory takes the directory's last component
// as its name. On level 0 headers, where the directory is always empty
// here, this is the same split with the same rule for directory entries.
static void SplitPath(const uint8_t *h, HeaderFields *f)
{
    if (f->directoryLength == 0) {
        int32_t i = SeparatorEnd(h + f->name, f->nameLength);
        f->directory = f->name;
        f->directoryLength = i;
        f->name += i;
        f->nameLength -= i;
    }
    if (f->nameLength == 0 && IsDirectoryMethod((const char *)h + HEADER_METHOD)) {
        const uint8_t *dir = h + f->directory;
        int32_t end = f->directoryLength;
        if (end > 0 && IsSeparator(dir[end - 1]))
            end--;
        int32_t k = SeparatorEnd(dir, end);
        f->directoryLength = end;
        if (end > k) {
            f->name = f->directory + k;
            f->nameLength = end - k;
            f->directoryLength = k;
        }
    }
}

// Walks the extended headers whose first length field stands at offset o,
// each of which must end by `limit`, where the next length field stands.
// Level 1 (`oneByOne`) learns each one's length as it comes and ends at
// the first zero length, so each is asked for only then; level 2 has them
// all, and only a zero length in its last bytes ends it. Returns the
// offset of that last length field, -1 for damage, -2 when f->need bytes
// must be had first.
static int32_t WalkExtendedHeaders(const uint8_t *h, int32_t have, HeaderFields *f, int32_t o,
                                   int32_t limit, int oneByOne, int osIsDos)
{
    for (;;) {
        int32_t s = (int32_t)Get16(h + o);
        if (s == 0 && (oneByOne || o >= limit - 1))
            return o;
        if (o + s > limit || s < 3)
            return -1;
        if (oneByOne && have < o + 2 + s) {
            f->need = o + 2 + s;
            return -2;
        }
        if (!ApplyExtendedHeader(h, f, o, s, osIsDos))
            return -1;
        o += s;
    }
}

// More bytes to come: ask for them; none to come: `verdict`.
static HeaderVerdict Short(HeaderFields *f, int32_t need, int complete, HeaderVerdict verdict)
{
    f->need = need;
    return complete ? verdict : HeaderShort;
}

// Levels 0 and 1; the base header is there.
static HeaderVerdict ParseLevel01(const uint8_t *h, int32_t have, int complete, HeaderFields *f)
{
    int32_t S = h[0];
    if (S < 20)
        return HeaderEnd;
    // A trailing run of 0x1A counts as the end of the archive.
    HeaderVerdict broken = h[0] == 26 ? HeaderEnd : HeaderDamaged;
    if (have < S + 2)
        return Short(f, S + 2, complete, broken);
    if (HeaderByteSum(h + 2, S) != h[1])
        return broken;
    int32_t n = h[21];
    f->nameLength = n;
    int32_t o = S;
    // A level 1 header too short to carry extensions reads as level 0.
    int extended = h[HEADER_LEVEL] == 1 && S - n >= 22;
    if (extended) {
        int osIsDos = S - n >= 25 && h[24 + n] == 'M';
        o = WalkExtendedHeaders(h, have, f, S, LEVEL1_EXTENSION_END, 1, osIsDos);
        if (o == -2)
            return Short(f, f->need, complete, HeaderDamaged);
        if (o < 0)
            return HeaderDamaged;
        f->extensionTotal = o - S;
    } else if (S - n < 20 || S - n == 21) {
        return HeaderDamaged;
    }
    SplitPath(h, f);
    if (extended && f->nameLength == 0)  // level 0 leaves an empty name to the path rules
        return HeaderDamaged;
    f->dataCrc = S - n >= (extended ? 24 : 22) ? Get16(h + 22 + n) : 0xFFFFFFFF;
    f->length = o + 2;
    return HeaderFound;
}

static HeaderVerdict ParseLevel2(const uint8_t *h, int32_t have, int complete, HeaderFields *f)
{
    int32_t L = (int32_t)Get16(h);
    if (L < 26)
        return HeaderEnd;
    if (have < L)
        return Short(f, L, complete, HeaderDamaged);
    // L - 2 keeps every extended header and the next length field inside
    // the header.
    if (WalkExtendedHeaders(h, have, f, 24, L - 2, 0, h[23] == 'M') < 0)
        return HeaderDamaged;
    SplitPath(h, f);
    if (f->nameLength == 0 || f->crcField < 0)
        return HeaderDamaged;
    f->dataCrc = Get16(h + 21);
    f->length = L;
    return HeaderFound;
}

HeaderVerdict ParseHeader(uint8_t *h, int32_t have, int complete, HeaderFields *f)
{
    *f = HeaderFields();
    if (have < HEADER_BASE)
        return Short(f, HEADER_BASE, complete, HeaderEnd);
    if (h[0] == 0)
        return HeaderEnd;
    f->name = 22;  // where the base header of levels 0 and 1 keeps it
    f->directory = 22;
    f->crcField = -1;
    f->attribute = h[HEADER_ATTRIBUTE];
    int level = h[HEADER_LEVEL];
    HeaderVerdict verdict;
    if (level <= 1)
        verdict = ParseLevel01(h, have, complete, f);
    else if (level == 2)
        verdict = ParseLevel2(h, have, complete, f);
    else
        verdict = h[0] == 26 ? HeaderEnd : HeaderDamaged;
    if (verdict != HeaderFound)
        return verdict;
    // Checked once the whole header is in: a header without its dashes is
    // damaged whatever else it holds.
    if (h[HEADER_METHOD] != '-' || h[HEADER_METHOD + 4] != '-')
        return HeaderDamaged;
    if (f->crcField >= 0) {
        // The CRC covers the header with its own field as zeros.
        uint32_t stored = Get16(h + f->crcField);
        h[f->crcField] = 0;
        h[f->crcField + 1] = 0;
        if (Crc16(0, h, (size_t)f->length) != stored)
            return HeaderDamaged;
    }
    return HeaderFound;
}

// Level 2 keeps a Unix time; the record takes the local DOS time.
static void SetDosTime(MemberHeader *record, uint32_t unixTime)
{
    static const SYSTEMTIME epoch = {1970, 1, 0, 1, 0, 0, 0, 0};
    FILETIME base, localTime;
    SystemTimeToFileTime(&epoch, &base);
    uint64_t t = ((uint64_t)base.dwHighDateTime << 32) | base.dwLowDateTime;
    t += (uint64_t)unixTime * 10000000u;
    FILETIME utc = {(DWORD)t, (DWORD)(t >> 32)};
    FileTimeToLocalFileTime(&utc, &localTime);
    WORD date, time;
    if (FileTimeToDosDateTime(&localTime, &date, &time)) {
        record->dosTime = time;
        record->dosDate = date;
    } else {
        record->dosTime = 0;
        record->dosDate = 0x0021;
    }
}

MemberHeader *ReadMemberHeader(MemberNames *names)
{
    uint8_t *h = shared.header;
    HeaderFields f;
    HeaderVerdict verdict;
    int32_t have = 0;
    int32_t need = HEADER_BASE;
    names->damaged = 0;
    for (;;) {
        // In 64 bits, so that a position near 2^31 cannot wrap.
        int complete = (int64_t)archiveInput.readPosition + (need - have) > archiveInput.archiveLimit;
        if (!complete) {
            if (!ReadArchive(h + have, (uint32_t)(need - have))) {
                names->damaged = 1;
                return 0;
            }
            have = need;
        }
        verdict = ParseHeader(h, have, complete, &f);
        if (verdict != HeaderShort)
            break;
        need = f.need;
    }
    if (verdict != HeaderFound) {
        names->damaged = verdict == HeaderDamaged;
        return 0;
    }
    MemberHeader *record = (MemberHeader *)h;
    if (record->level == 2)
        SetDosTime(record, (uint32_t)Get16(h + HEADER_TIME) | (Get16(h + HEADER_TIME + 2) << 16));
    record->attribute = f.attribute;
    record->packedSize -= (uint32_t)f.extensionTotal;
    expectedCrc = f.dataCrc;
    names->name = h + f.name;
    names->nameLength = f.nameLength;
    names->directory = h + f.directory;
    names->directoryLength = f.directoryLength;
    names->headerLength = f.length;
    return record;
}

MemberHeader *NextMember(int32_t *next, MemberNames *names)
{
    MemberHeader *header = 0;
    if (SeekArchive(*next, 0))
        header = ReadMemberHeader(names);
    else
        names->damaged = 1;
    if (!header) {
        if (names->damaged)
            ReportDamage();
        return 0;
    }
    // A packed size with its top bit set, or one that takes the end past
    // 2^31, has no file offset: damage, not a seek backwards.
    int32_t end;
    if ((int32_t)header->packedSize < 0 ||
        __builtin_add_overflow(archiveInput.readPosition, (int32_t)header->packedSize, &end)) {
        ReportDamage();
        return 0;
    }
    *next = end;
    return header;
}
