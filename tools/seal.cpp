// The XOR seal of the stub, and the questions `make` and `seal` ask of an
// archive in memory (is it one, which members does it hold, where does the
// stub find it), answered by the stub's own header parser.
#include "tools/seal.h"

#include <string.h>

#include "decode/decode.h"

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

HeaderVerdict ReadLzhHeader(const uint8_t *bytes, size_t size, size_t offset, LzhMember *member)
{
    if (offset > size)
        return HeaderEnd;
    // Taken as the stub reads it: as far as the parser asks, into a buffer
    // it may write to.
    size_t have = size - offset;
    std::vector<uint8_t> copy;
    HeaderFields f;
    HeaderVerdict verdict;
    for (size_t need = HEADER_BASE;; need = (size_t)f.need) {
        bool complete = need > have;
        copy.assign(bytes + offset, bytes + offset + (complete ? have : need));
        verdict = ParseHeader(copy.data(), (int32_t)copy.size(), complete, &f);
        if (verdict != HeaderShort)
            break;
    }
    if (verdict != HeaderFound)
        return verdict;
    const uint8_t *h = copy.data();
    MemberNames names = {h + f.name, f.nameLength, h + f.directory, f.directoryLength, f.length, 0};
    int32_t length;
    char *path = JoinMemberPath(&names, &length);
    *member = LzhMember();
    member->path.assign(path, (size_t)length);
    FreeBlock(path);
    member->method.assign((const char *)h + HEADER_METHOD, 5);
    member->offset = offset;
    member->headerLength = (size_t)f.length;
    member->packedSize = Get32(h + HEADER_PACKED_SIZE) - (uint32_t)f.extensionTotal;
    member->originalSize = Get32(h + HEADER_ORIGINAL_SIZE);
    member->level = h[HEADER_LEVEL];
    return HeaderFound;
}

bool WalkLzh(const uint8_t *bytes, size_t size, size_t offset, std::vector<LzhMember> *members,
             std::string *error)
{
    for (;;) {
        LzhMember member;
        HeaderVerdict result = ReadLzhHeader(bytes, size, offset, &member);
        if (result == HeaderEnd)
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
        HeaderVerdict result = ReadLzhHeader(bytes, size, at, &member);
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
    return HasDecoder(method.c_str()) || IsDirectoryMethod(method.c_str());
}
