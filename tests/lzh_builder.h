// Hand-made LHA archives and self-extracting files for the tests: headers
// of levels 0, 1 and 2 written field by field, so that a test can also
// write them wrong on purpose.
#pragma once
#include <stdint.h>

#include <string>
#include <vector>

namespace lzh {

// CRC-16 with the reflected polynomial 0xA001, computed bit by bit: an
// independent reference for the table-driven one under test.
inline uint16_t Crc16(const std::string &bytes)
{
    uint16_t crc = 0;
    for (unsigned char c : bytes) {
        crc ^= c;
        for (int k = 0; k < 8; k++)
            crc = (crc & 1) ? (uint16_t)((crc >> 1) ^ 0xA001) : (uint16_t)(crc >> 1);
    }
    return crc;
}

inline void Put16(std::string &s, uint32_t v)
{
    s += (char)(v & 0xFF);
    s += (char)((v >> 8) & 0xFF);
}

inline void Put32(std::string &s, uint32_t v)
{
    Put16(s, v & 0xFFFF);
    Put16(s, v >> 16);
}

inline void Set16(std::string &s, size_t at, uint32_t v)
{
    s[at] = (char)(v & 0xFF);
    s[at + 1] = (char)((v >> 8) & 0xFF);
}

struct Member {
    std::string method = "-lh0-";
    std::string name;           // as stored in the base header (levels 0, 1) or extended header
    std::string directory;      // level 1/2: a directory extended header when not empty
    std::string packed;         // packed data (stored members: the data itself)
    uint32_t originalSize = 0;  // set by Stored()
    uint32_t packedSize = 0xFFFFFFFF;  // default: packed.size() (level 1: plus extensions)
    uint16_t dosTime = 0x6000;  // 12:00:00
    uint16_t dosDate = 0x5A21;  // 2025-01-01
    uint32_t unixTime = 1735732800;  // 2025-01-01 12:00:00 UTC (level 2)
    uint8_t attribute = 0x20;
    int level = 0;
    bool withCrc = true;        // level 0: the data CRC field present
    uint16_t crc = 0;           // set by Stored()
    char os = 'M';
    bool headerCrc = false;     // level 1: add a header-CRC extended header
    std::vector<std::string> extra;  // further extended headers, raw (type byte + data)
};

inline Member Stored(const std::string &path, const std::string &data, int level = 0)
{
    Member m;
    m.name = path;
    m.packed = data;
    m.originalSize = (uint32_t)data.size();
    m.crc = Crc16(data);
    m.level = level;
    return m;
}

inline Member Directory(const std::string &path, int level = 0)
{
    Member m = Stored(path, "", level);
    m.method = "-lhd-";
    m.attribute = 0x10;
    return m;
}

// Extended headers: each is its 2-byte length, then type and data; the
// length counts type, data and the next length field.
inline std::string Extended(const std::vector<std::string> &items)
{
    std::string s;
    for (const std::string &item : items)
        Put16(s, (uint32_t)item.size() + 2), s += item;
    return s;  // the caller appends the final 0 length
}

inline std::string Header(const Member &m)
{
    std::string h;
    if (m.level == 0) {
        h += '\0';  // S, set below
        h += '\0';  // checksum
        h += m.method;
        Put32(h, m.packedSize != 0xFFFFFFFF ? m.packedSize : (uint32_t)m.packed.size());
        Put32(h, m.originalSize);
        Put16(h, m.dosTime);
        Put16(h, m.dosDate);
        h += (char)m.attribute;
        h += '\0';
        h += (char)m.name.size();
        h += m.name;
        if (m.withCrc)
            Put16(h, m.crc);
        h[0] = (char)(h.size() - 2);
        unsigned sum = 0;
        for (size_t i = 2; i < h.size(); i++)
            sum += (unsigned char)h[i];
        h[1] = (char)sum;
        return h;
    }
    std::vector<std::string> items;
    if (m.level == 2 || m.headerCrc)
        items.push_back(std::string("\x00\x00\x00", 3));  // CRC filled in below
    if (m.level == 2)
        items.push_back(std::string(1, '\x01') + m.name);
    if (!m.directory.empty())
        items.push_back(std::string(1, '\x02') + m.directory);
    for (const std::string &e : m.extra)
        items.push_back(e);
    // Extended headers as stored: each length field, then type and data;
    // the first length field is the base header's last one.
    std::string ext = Extended(items);
    ext += std::string(2, '\0');
    if (m.level == 1) {
        h += std::string(2, '\0');  // S and checksum, set below
        h += m.method;
        uint32_t packed = m.packedSize != 0xFFFFFFFF ? m.packedSize
                                                      : (uint32_t)(m.packed.size() + ext.size() - 2);
        Put32(h, packed);
        Put32(h, m.originalSize);
        Put16(h, m.dosTime);
        Put16(h, m.dosDate);
        h += (char)m.attribute;
        h += '\x01';
        h += (char)m.name.size();
        h += m.name;
        Put16(h, m.crc);
        h += m.os;
        h[0] = (char)h.size();  // S: the first length field stands at offset S
        h += ext;
        unsigned sum = 0;
        for (size_t i = 2; i < (size_t)(unsigned char)h[0] + 2; i++)
            sum += (unsigned char)h[i];
        h[1] = (char)sum;
    } else {
        h += std::string(2, '\0');  // L, set below
        h += m.method;
        Put32(h, m.packedSize != 0xFFFFFFFF ? m.packedSize : (uint32_t)m.packed.size());
        Put32(h, m.originalSize);
        Put32(h, m.unixTime);
        h += (char)m.attribute;
        h += '\x02';
        Put16(h, m.crc);
        h += m.os;
        h += ext;
        Set16(h, 0, (uint32_t)h.size());
    }
    if (m.level == 2 || m.headerCrc) {
        // The CRC item comes first: its data follows the first length field
        // and the type byte.
        size_t at = (m.level == 2 ? 24 : (size_t)(unsigned char)h[0]) + 3;
        Set16(h, at, Crc16(h));
    }
    return h;
}

inline std::string Archive(const std::vector<Member> &members, bool endMark = true)
{
    std::string s;
    for (const Member &m : members)
        s += Header(m) + m.packed;
    if (endMark)
        s += '\0';
    return s;
}

// A stub of `stubSize` arbitrary bytes whose 32-bit words XOR to zero,
// padded to a multiple of 512 (or to `archiveAt`), then the archive.
inline std::string SelfExtracting(const std::string &archive, size_t stubSize = 1000,
                                  size_t archiveAt = 0)
{
    std::string stub(stubSize, '\0');
    uint32_t seed = 12345;
    for (size_t i = 0; i < stubSize; i++) {
        seed = seed * 1103515245 + 12345;
        char c = (char)(seed >> 16);
        stub[i] = c == '-' ? '+' : c;  // no stray candidates
    }
    size_t at = archiveAt ? archiveAt : (stubSize + 511) / 512 * 512;
    stub.resize(at, '\0');
    uint32_t x = 0;
    stub[0] = stub[1] = stub[2] = stub[3] = 0;  // the adjustment word
    for (size_t i = 0; i < at; i++)
        x ^= (uint32_t)(unsigned char)stub[i] << (8 * (i % 4));
    for (int k = 0; k < 4; k++)
        stub[k] = (char)(x >> (8 * k));
    return stub + archive;
}

}  // namespace lzh
