// Hand-made archives, written field by field so that tests can get them wrong.
#pragma once
#include <stdint.h>

#include <string>
#include <vector>

namespace lzh {

// Bit by bit: independent of the table-driven CRC under test.
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

inline void Set16(std::string &s, size_t at, uint32_t v) { s[at] = (char)v, s[at + 1] = (char)(v >> 8); }
inline void Put16(std::string &s, uint32_t v) { s += {(char)v, (char)(v >> 8)}; }
inline void Put32(std::string &s, uint32_t v) { Put16(s, v & 0xFFFF), Put16(s, v >> 16); }

struct Member {
    std::string method = "-lh0-";
    std::string name;           // as stored in the base header (levels 0, 1) or extended header
    std::string directory;      // level 1/2: a directory extended header when not empty
    std::string packed;         // packed data (stored members: the data itself)
    uint32_t originalSize = 0;  // set by Stored()
    uint32_t packedSize = 0xFFFFFFFF;  // default: packed.size() (level 1: plus extensions)
    uint16_t dosTime = 0x6000, dosDate = 0x5A21;  // 2025-01-01 12:00:00
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

inline void SetSum(std::string &h)
{
    unsigned sum = 0;
    for (size_t i = 2; i < (size_t)(unsigned char)h[0] + 2; i++)
        sum += (unsigned char)h[i];
    h[1] = (char)sum;
}

inline std::string Header(const Member &m)
{
    std::vector<std::string> items;
    if (m.level == 2 || m.headerCrc)
        items.push_back(std::string("\x00\x00\x00", 3));  // CRC filled in below
    if (m.level == 2)
        items.push_back(std::string(1, '\x01') + m.name);
    if (!m.directory.empty())
        items.push_back(std::string(1, '\x02') + m.directory);
    items.insert(items.end(), m.extra.begin(), m.extra.end());
    std::string ext;
    for (const std::string &item : items)
        Put16(ext, (uint32_t)item.size() + 2), ext += item;
    ext += std::string(2, '\0');

    std::string h = std::string(2, '\0') + m.method;
    uint32_t packed = (uint32_t)m.packed.size() + (m.level == 1 ? (uint32_t)ext.size() - 2 : 0);
    Put32(h, m.packedSize != 0xFFFFFFFF ? m.packedSize : packed);
    Put32(h, m.originalSize);
    if (m.level == 2) {
        Put32(h, m.unixTime);
    } else {
        Put16(h, m.dosTime);
        Put16(h, m.dosDate);
    }
    h += {(char)m.attribute, (char)m.level};
    if (m.level < 2)
        h += (char)m.name.size() + m.name;
    if (m.level > 0 || m.withCrc)
        Put16(h, m.crc);
    if (m.level == 0) {
        h[0] = (char)(h.size() - 2);
        SetSum(h);
        return h;
    }
    h += m.os;
    h[0] = (char)h.size();  // level 1: the first length field stands at offset S
    h += ext;
    if (m.level == 1)
        SetSum(h);
    else
        Set16(h, 0, (uint32_t)h.size());
    if (m.level == 2 || m.headerCrc)
        Set16(h, (m.level == 2 ? 24 : (size_t)(unsigned char)h[0]) + 3, Crc16(h));
    return h;
}

inline std::string Archive(const std::vector<Member> &members, bool endMark = true)
{
    std::string s;
    for (const Member &m : members)
        s += Header(m) + m.packed;
    return endMark ? s + '\0' : s;
}

// A stub of `stubSize` arbitrary bytes whose 32-bit words XOR to zero,
// padded to a multiple of 512 (or to `archiveAt`), then the archive.
inline std::string SelfExtracting(const std::string &archive, size_t stubSize = 1000, size_t archiveAt = 0)
{
    std::string stub(stubSize, '\0');
    uint32_t seed = 12345, x = 0;
    for (size_t i = 4; i < stubSize; i++) {
        seed = seed * 1103515245 + 12345;
        stub[i] = (char)(seed >> 16) == '-' ? '+' : (char)(seed >> 16);  // no stray candidates
    }
    stub.resize(archiveAt ? archiveAt : (stubSize + 511) / 512 * 512, '\0');
    for (size_t i = 0; i < stub.size(); i++)
        x ^= (uint32_t)(unsigned char)stub[i] << (8 * (i % 4));
    for (int k = 0; k < 4; k++)
        stub[k] = (char)(x >> (8 * k));  // the adjustment word
    return stub + archive;
}

}  // namespace lzh
