// The XOR seal of the stub and a host-side walk over LHA member headers.
//
// The walk is written for the host tool, apart from the stub's own header
// reader (which works through the stub's file stream and message boxes), and
// answers the questions `make` and `seal` ask: is this an archive, which
// members does it hold, where does the stub find it.
#include "tools/seal.h"

#include <string.h>

static uint32_t Get16(const uint8_t *p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8;
}

static uint32_t Get32(const uint8_t *p)
{
    return Get16(p) | Get16(p + 2) << 16;
}

uint32_t StubXor(const uint8_t *bytes, size_t count)
{
    uint32_t sum = 0;
    for (size_t i = 0; i < count; i++)
        sum ^= (uint32_t)bytes[i] << (8 * (i & 3));
    return sum;
}

size_t CheckSumOffset(const uint8_t *bytes, size_t count)
{
    if (count < 0x40 || bytes[0] != 'M' || bytes[1] != 'Z')
        return 0;
    size_t pe = Get32(bytes + 0x3C);
    // Signature, file header (20 bytes), then the optional header, whose
    // CheckSum sits at offset 64 in both the 32-bit and the 64-bit layout.
    if (pe > count || count - pe < 24 + 68 || memcmp(bytes + pe, "PE\0\0", 4) != 0)
        return 0;
    uint32_t magic = Get16(bytes + pe + 24);
    if (magic != 0x10B && magic != 0x20B)
        return 0;
    return pe + 24 + 64;
}

bool SealStubPart(uint8_t *bytes, size_t length)
{
    size_t field = CheckSumOffset(bytes, length);
    if (field == 0 || field + 4 > length)
        return false;
    memset(bytes + field, 0, 4);
    uint32_t sum = StubXor(bytes, length);
    // Each byte of the field lands in the lane of its own file offset, so
    // the field need not be aligned: give each byte the lane's residue.
    for (size_t i = 0; i < 4; i++)
        bytes[field + i] = (uint8_t)(sum >> (8 * ((field + i) & 3)));
    return true;
}

// CRC-16 of LHA headers: reflected polynomial 0xA001, starting at 0.
static uint32_t Crc16(const uint8_t *bytes, size_t count)
{
    uint32_t crc = 0;
    for (size_t i = 0; i < count; i++) {
        crc ^= bytes[i];
        for (int k = 0; k < 8; k++)
            crc = (crc >> 1) ^ (crc & 1 ? 0xA001 : 0);
    }
    return crc;
}

static bool IsSeparator(uint8_t c)
{
    return c == '\\' || c == '/' || c == 0xFF;
}

static std::string SlashPath(const uint8_t *bytes, size_t count)
{
    std::string path;
    for (size_t i = 0; i < count; i++)
        path += IsSeparator(bytes[i]) ? '/' : (char)bytes[i];
    return path;
}

// What the extended headers of levels 1 and 2 contribute.
struct Extensions {
    long crcField = -1;  // offset in the header of the header-CRC value
    std::string name, directory;
    bool hasName = false, hasDirectory = false;
};

// One extended header of length s whose length field stands at offset o.
static bool ApplyExtension(const uint8_t *h, size_t o, size_t s, size_t minCrcLength,
                           Extensions *x)
{
    const uint8_t *data = h + o + 3;
    switch (h[o + 2]) {
    case 0x00:
        if (s < minCrcLength || x->crcField >= 0)
            return false;
        x->crcField = (long)(o + 3);
        return true;
    case 0x01:
        if (x->hasName)
            return false;
        x->hasName = true;
        x->name = SlashPath(data, s - 3);
        return true;
    case 0x02:
        if (x->hasDirectory)
            return false;
        x->hasDirectory = true;
        x->directory = SlashPath(data, s - 3);
        return true;
    case 0x40:
        return s != 3;
    default:
        return true;
    }
}

static bool HeaderCrcMatches(const uint8_t *h, size_t length, long field)
{
    if (field < 0)
        return true;
    std::vector<uint8_t> copy(h, h + length);
    uint32_t stored = Get16(&copy[(size_t)field]);
    copy[(size_t)field] = copy[(size_t)field + 1] = 0;
    return Crc16(copy.data(), length) == stored;
}

static std::string JoinPath(const Extensions &x, const std::string &baseName)
{
    std::string directory = x.directory;
    if (!directory.empty() && directory.back() != '/')
        directory += '/';
    return directory + (x.hasName ? x.name : baseName);
}

static HeaderResult ReadLevel01(const uint8_t *h, size_t available, LzhMember *m)
{
    size_t s = h[0];
    if (s < 20)
        return HeaderNone;
    uint8_t sum = 0;
    if (s + 2 <= available)
        for (size_t i = 0; i < s; i++)
            sum = (uint8_t)(sum + h[2 + i]);
    if (s + 2 > available || sum != h[1])
        return h[0] == 0x1A ? HeaderNone : HeaderDamaged;
    if (h[2] != '-' || h[6] != '-')
        return HeaderDamaged;
    size_t n = h[21];
    if (m->level == 0 || s < n + 22) {
        if (s < n + 20 || s == n + 21)
            return HeaderDamaged;
        m->path = SlashPath(h + 22, n);
        m->headerLength = s + 2;
        return HeaderFound;
    }
    Extensions x;
    std::string baseName = SlashPath(h + 22, n);
    size_t o = s;
    for (size_t length = Get16(h + o); length != 0; length = Get16(h + o)) {
        if (o + length > 65534 || length < 3 || o + 2 + length > available)
            return HeaderDamaged;
        if (!ApplyExtension(h, o, length, 5, &x) || (x.hasName && n > 0))
            return HeaderDamaged;
        o += length;
    }
    uint32_t extensionTotal = (uint32_t)(o - s);
    if (m->packedSize < extensionTotal)
        return HeaderDamaged;
    m->packedSize -= extensionTotal;
    m->headerLength = o + 2;
    m->path = JoinPath(x, baseName);
    if (m->path.empty() || !HeaderCrcMatches(h, m->headerLength, x.crcField))
        return HeaderDamaged;
    return HeaderFound;
}

static HeaderResult ReadLevel2(const uint8_t *h, size_t available, LzhMember *m)
{
    size_t total = Get16(h);
    if (total < 26)
        return HeaderNone;
    if (total > available || h[2] != '-' || h[6] != '-')
        return HeaderDamaged;
    Extensions x;
    size_t o = 24;
    for (;;) {
        size_t length = Get16(h + o);
        if (length == 0 && o + 3 >= total)
            break;
        if (o + length + 2 > total || length < 3)
            return HeaderDamaged;
        if (!ApplyExtension(h, o, length, 5, &x))
            return HeaderDamaged;
        o += length;
    }
    m->headerLength = total;
    m->path = JoinPath(x, std::string());
    if (m->path.empty() || x.crcField < 0 || !HeaderCrcMatches(h, total, x.crcField))
        return HeaderDamaged;
    return HeaderFound;
}

HeaderResult ReadLzhHeader(const uint8_t *bytes, size_t size, size_t offset, LzhMember *member)
{
    if (offset > size || size - offset < 21)
        return HeaderNone;
    const uint8_t *h = bytes + offset;
    if (h[0] == 0)
        return HeaderNone;
    *member = LzhMember();
    member->offset = offset;
    member->level = h[20];
    member->method.assign((const char *)h + 2, 5);
    member->packedSize = Get32(h + 7);
    member->originalSize = Get32(h + 11);
    if (member->level > 2)
        return h[0] == 0x1A ? HeaderNone : HeaderDamaged;
    if (member->level == 2)
        return ReadLevel2(h, size - offset, member);
    return ReadLevel01(h, size - offset, member);
}

bool WalkLzh(const uint8_t *bytes, size_t size, size_t offset, std::vector<LzhMember> *members,
             std::string *error)
{
    for (;;) {
        LzhMember member;
        HeaderResult result = ReadLzhHeader(bytes, size, offset, &member);
        if (result == HeaderNone)
            return true;
        if (result == HeaderDamaged) {
            *error = "damaged member header at offset " + std::to_string(offset);
            return false;
        }
        size_t end = offset + member.headerLength + member.packedSize;
        if (end > size) {
            *error = "member " + member.path + " is cut short";
            return false;
        }
        members->push_back(member);
        offset = end;
    }
}

long FindArchive(const uint8_t *bytes, size_t size)
{
    for (size_t at = 0; at <= ARCHIVE_MAX_OFFSET && at + 7 < size; at += ARCHIVE_ALIGNMENT) {
        if (bytes[at + 2] != '-' || bytes[at + 6] != '-')
            continue;
        LzhMember member;
        HeaderResult result = ReadLzhHeader(bytes, size, at, &member);
        if (result == HeaderFound)
            return (long)at;
        if (result == HeaderDamaged)
            return -2;
    }
    // The scan gives up after 65,544 bytes; a shorter file is read to its
    // end, where a last byte 0 is an archive holding nothing but its end mark.
    if (size > 0 && size - 1 <= ARCHIVE_MAX_OFFSET + 7 && bytes[size - 1] == 0)
        return (long)(size - 1);
    return -1;
}

bool IsExtractableMethod(const std::string &method)
{
    static const char *const methods[] = {
        "-lh0-", "-lh1-", "-lh4-", "-lh5-", "-lh6-", "-lzs-", "-lz5-", "-lz4-", "-lhd-",
    };
    for (const char *known : methods)
        if (method == known)
            return true;
    return false;
}
