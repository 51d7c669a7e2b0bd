// Damaged archives run through `corvane-sfx extract`. Each case is one edit
// of an archive whose layout is known byte for byte (our headers, jlha's
// packed data), so its messages, exit code and surviving members follow.
#include <sys/statvfs.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>

#include "tests/cli_fixture.h"
#include "tests/lzh_builder.h"
#include "tests/manifest.h"

namespace fs = std::filesystem;

namespace {

const size_t kArchive = (size_t)-1;  // a case about no member in particular

uint32_t Get16(const std::string &s, size_t at) { return (uint8_t)s[at] | (uint32_t)(uint8_t)s[at + 1] << 8; }
std::string TestData(const std::string &name) { return CliTest::Read(std::string(CORVANE_TEST_DATA) + "/" + name); }

struct Layout {
    std::string path, content;  // "/" separators; the original bytes of a file member
    bool isDirectory = false, compressed = false, blockCoded = false;  // block coded: -lh4- to -lh6-
    int level = 0;
    size_t headerStart = 0, headerLength = 0, dataLength = 0;
    size_t DataStart() const { return headerStart + headerLength; }
};

struct Victim {
    std::string name, bytes;
    size_t archiveStart = 0;  // the first header; the last byte is the end mark
    std::vector<Layout> members;
};

Victim Build(const std::string &name, const std::vector<lzh::Member> &members, const std::string &stub = "")
{
    Victim v = {name, stub, stub.size()};
    for (const lzh::Member &m : members) {
        std::string header = lzh::Header(m), path = m.directory + m.name;
        std::replace(path.begin(), path.end(), '\\', '/');
        bool isDirectory = m.method == "-lhd-";
        path.erase(path.size() - (isDirectory && path.back() == '/'));
        v.members.push_back({path, m.packed, isDirectory, false, false, m.level, v.bytes.size(), header.size(), m.packed.size()});
        v.bytes += header + m.packed;
    }
    v.bytes += '\0';
    return v;
}

// A directory, jlha's victim.txt in it and a stored file; between them every
// kind of header field (level 1 with and without CRC, an attribute extension).
bool MakeVictim(const std::string &method, int level, Victim &v, const std::string &stub = "")
{
    std::vector<ManifestEntry> jlha = ReadManifest(CORVANE_TEST_DATA, "damage-" + method + ".lzh");
    if (jlha.size() != 1)
        return false;
    std::string original = TestData("inputs/" + jlha[0].input);
    lzh::Member middle = lzh::Stored(level ? "victim.txt" : "sub\\victim.txt", original, level);
    middle.method = "-" + method + "-";
    middle.packed = TestData(jlha[0].archive).substr(jlha[0].packedOffset, jlha[0].packedSize);
    middle.directory = level ? "sub\\" : "";
    middle.headerCrc = true;
    lzh::Member last = lzh::Stored("z.txt", "omega\n", level);
    if (level > 0)
        last.extra.push_back(std::string("\x40\x20", 2));
    v = Build(method + "-level" + std::to_string(level), {lzh::Directory("sub\\", level), middle, last}, stub);
    v.members[1].content = original;
    v.members[1].compressed = method != "lh0" && method != "lz4";
    v.members[1].blockCoded = method == "lh4" || method == "lh5" || method == "lh6";
    return !original.empty();
}

// Offset of a level 1 or 2 header's CRC field (0: none), and its length.
size_t HeaderCrcField(const std::string &b, size_t start, int level, size_t *length = nullptr)
{
    size_t o = level == 2 ? 24 : (uint8_t)b[start], end = level == 2 ? Get16(b, start) : 0, field = 0;
    for (uint32_t s; (s = Get16(b, start + o)) != 0 || (level == 2 && o + 3 < end); o += s) {
        if (s < 3 || start + o + s + 2 > b.size())
            return 0;
        field = (uint8_t)b[start + o + 2] == 0 ? o + 3 : field;
    }
    if (length)
        *length = level == 2 ? end : o + 2;
    return field;
}

void RefreshChecks(std::string &b, size_t start, int level)
{
    if (level < 2) {
        std::string h = b.substr(start, (uint8_t)b[start] + 2);
        lzh::SetSum(h);
        b[start + 1] = h[1];
    }
    size_t length = 0, field = level ? HeaderCrcField(b, start, level, &length) : 0;
    if (field) {
        lzh::Set16(b, start + field, 0);
        lzh::Set16(b, start + field, lzh::Crc16(b.substr(start, length)));
    }
}

// A level 1 header's packed size also counts its extended headers.
std::string WithSizes(const Victim &v, const Layout &m, uint32_t packed, uint32_t original)
{
    std::string b = v.bytes;
    if (m.level == 1)
        packed += (uint32_t)(m.headerLength - (uint8_t)b[m.headerStart] - 2);
    std::string sizes;
    lzh::Put32(sizes, packed);
    lzh::Put32(sizes, original);
    b.replace(m.headerStart + 7, 8, sizes);
    RefreshChecks(b, m.headerStart, m.level);
    return b;
}

enum Outcome {
    Success,        // everything extracted, nothing said
    EndBefore,      // the archive ends quietly in front of member `at`
    HeaderDamaged,  // the sizing pass stops at a bad header: nothing extracted, exit 1
    MemberDamaged,  // member `at` fails, the user goes on, the rest is there
    CutInData,      // member `at` fails, and nothing follows it
    NotFound,       // no archive where the stub may have one
    StubDamaged,    // the stub's checksum fails
    NoSpace,        // the sizes add up to more than the disk has, and the user stops
    Unknown,        // not derived from the layout: no case
};

struct Case {
    std::string what, bytes;
    Outcome outcome;
    size_t at;
};

// A lost first header: the locator scans on; a last 0 byte within 65,543
// bytes is an empty archive behind a stub of everything in front of it.
Outcome Unfound(const Victim &v, const std::string &b)
{
    for (size_t at = v.archiveStart + 512; at <= 65536 && at + 7 <= b.size(); at += 512)
        if (b[at + 2] == '-' && b[at + 6] == '-')
            return Unknown;
    if (b.size() > 65543)
        return NotFound;
    if (b.empty() || b.back() != 0)
        return HeaderDamaged;  // the read past the end fails
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < b.size(); i++)
        sum ^= (uint32_t)(uint8_t)b[i] << (8 * (i % 4));
    return sum ? StubDamaged : EndBefore;
}

// Each list starts with the archive as it is, which comes to `o`.
struct Cases : std::vector<Case> {
    const Victim &v;
    explicit Cases(const Victim &victim, Outcome o = Success, size_t at = kArchive) : v(victim) { Add(at, "undamaged", v.bytes, o); }

    void Add(size_t member, const std::string &what, std::string bytes, Outcome o, bool lost = false)
    {
        if (member == 0 && (o == EndBefore || lost))
            o = Unfound(v, bytes);
        if (o != Unknown)
            push_back({what + (member == kArchive ? "" : " of " + v.members[member].path), std::move(bytes), o, member});
    }
};

// Unknown near the free space's edge, where the last clusters would decide.
Outcome SpaceOr(Outcome enough, uint64_t needed)
{
    static const uint64_t free = [] {
        struct statvfs s;
        return statvfs("/tmp", &s) == 0 ? (uint64_t)s.f_bavail * s.f_frsize : 0;
    }();
    return needed > free + (1u << 24) ? NoSpace : needed + (1u << 24) < free ? enough : Unknown;
}

void Truncations(Cases &cases, const std::vector<size_t> &members)
{
    const Victim &v = cases.v;
    for (size_t i : members) {
        const Layout &m = v.members[i];
        auto cut = [&](size_t at, Outcome o, const char *where) {
            cases.Add(i, where + std::to_string(at), v.bytes.substr(0, at), o);
        };
        for (size_t r : {0, 1, 7, 20})
            cut(m.headerStart + r, EndBefore, "cut in the first 21 header bytes at ");
        // With a first byte of 26, a level 0 or 1 header is taken for a 0x1A tail.
        bool eofTail = m.level < 2 && (uint8_t)v.bytes[m.headerStart] == 26;
        for (size_t r : {(size_t)21, (size_t)22, m.headerLength / 2, m.headerLength - 1})
            if (r >= 21 && r < m.headerLength)
                cut(m.headerStart + r, eofTail ? EndBefore : HeaderDamaged, "cut inside the header at ");
        for (size_t r : std::set<size_t>{0, 1, m.dataLength / 3, m.dataLength / 2, m.dataLength - 2})
            if (r + 1 < m.dataLength)
                cut(m.DataStart() + r, CutInData, "cut in the data at ");
        // The last packed byte may hold nothing but fill bits.
        if (m.dataLength && !m.compressed)
            cut(m.DataStart() + m.dataLength - 1, CutInData, "cut before the last data byte at ");
    }
    cases.Add(kArchive, "without the end mark", v.bytes.substr(0, v.bytes.size() - 1), Success);
}

std::string Flipped(std::string b, size_t at, int bit)
{
    b[at] ^= (char)(1 << bit);
    return b;
}

// One bit of every `stride`-th header byte.
void HeaderFlips(Cases &cases, const std::vector<size_t> &members, size_t stride)
{
    const Victim &v = cases.v;
    for (size_t i : members) {
        const Layout &m = v.members[i];
        size_t h = m.headerStart, S = (uint8_t)v.bytes[h], crc = m.level ? HeaderCrcField(v.bytes, h, m.level) : 0;
        for (size_t k = i % stride; k < m.headerLength; k += stride) {
            int bit = (int)((k * 3 + i) % 8);
            std::string b = Flipped(v.bytes, h + k, bit);
            uint8_t first = (uint8_t)b[h], level = (uint8_t)b[h + 20];
            Outcome o = HeaderDamaged;
            if (m.level < 2 && k == 0) {
                // A new S below 20 ends the archive; else the checksum over the
                // new length decides (failing with S = 26, a 0x1A tail ends it too).
                unsigned sum = 0;
                for (size_t j = 0; j < first && h + 2 + j < b.size(); j++)
                    sum += (uint8_t)b[h + 2 + j];
                o = first < 20 ? EndBefore : (uint8_t)sum == (uint8_t)b[h + 1] ? Unknown : first == 26 ? EndBefore : o;
            } else if (m.level < 2 && k == 20 && level == 2) {
                o = Get16(b, h) < 26 ? EndBefore : o;  // bytes 0-1 read as a level 2 length
            } else if (m.level < 2 && k < S + 2) {
                o = first == 26 ? EndBefore : o;  // a checksum failure in a 0x1A tail
            } else if (m.level < 2 && (!crc || k == crc - 1)) {
                o = Unknown;  // nothing checks the extended headers, nor a level 1 CRC's type
            } else if (m.level == 2 && k < 2) {
                o = Get16(b, h) < 26 || first == 0 ? EndBefore : o;
            } else if (m.level == 2 && k == 20) {
                o = level < 2 ? Unknown : first == 26 ? EndBefore : o;  // level 0/1, or above 2
            }
            cases.Add(i, "bit " + std::to_string(bit) + " of header byte " + std::to_string(k), b, o, k == 2 || k == 6);
        }
    }
}

// Left out: a compressed member's last byte (fill bits) and the block count
// in front of static Huffman data (a larger count is harmless).
void DataFlips(Cases &cases, size_t i)
{
    const Layout &m = cases.v.members[i];
    for (size_t r : std::set<size_t>{0, 1, 2, m.dataLength / 7, m.dataLength / 2, m.dataLength - 1}) {
        if (r >= m.dataLength || (m.compressed && r + 1 == m.dataLength) || (m.blockCoded && r < 2))
            continue;
        for (int bit : std::set<int>{(int)(r % 8), 5})
            cases.Add(i, "bit " + std::to_string(bit) + " of data byte " + std::to_string(r),
                      Flipped(cases.v.bytes, m.DataStart() + r, bit), MemberDamaged);
    }
}

void Sizes(Cases &cases, const std::vector<size_t> &members)
{
    const Victim &v = cases.v;
    uint64_t total = 0;
    for (const Layout &m : v.members)
        total += m.content.size();
    for (size_t i : members) {
        const Layout &m = v.members[i];
        uint32_t packed = (uint32_t)m.dataLength, original = (uint32_t)m.content.size();
        auto add = [&](const std::string &what, uint32_t p, uint32_t o, Outcome outcome) {
            cases.Add(i, what, WithSizes(v, m, p, o), outcome);
        };
        if (packed != original && m.DataStart() + original + 21 > v.bytes.size())
            add("swapped sizes", original, packed, CutInData);
        // Top bit set, or ending beyond 2^31 - 1: offsets would go back or wrap.
        for (uint32_t p : {0x80000000u, 0xFFFFFFFFu, 0x7FFFFFFFu, (uint32_t)(0x80000000u - m.DataStart())})
            add("packed size " + std::to_string(p), p, original, HeaderDamaged);
        add("packed size past the end", (uint32_t)(v.bytes.size() - m.DataStart() + 100), original, CutInData);
        // The sizing pass adds the original sizes up, saturating at 2^32 - 1.
        for (uint32_t o : {original + 1, original - 1, 0x80000000u, 0xFFFFFFFFu, 0x7FFFFFFFu})
            add("original size " + std::to_string(o), packed, o,
                SpaceOr(MemberDamaged, std::min<uint64_t>(total - original + o, 0xFFFFFFFFu)));
    }
}

// Header lengths edited under valid checks: the length rules alone decide.
void Lengths(Cases &cases)
{
    const Victim &v = cases.v;
    for (size_t i = 0; i < v.members.size(); i++) {
        const Layout &m = v.members[i];
        size_t h = m.headerStart;
        auto add = [&](const std::string &what, size_t at, uint32_t value, bool wide, Outcome o) {
            std::string b = v.bytes;
            b[h + at] = (char)value;
            if (wide)
                b[h + at + 1] = (char)(value >> 8);
            if ((uint8_t)b[h] >= 20 || m.level == 2)
                RefreshChecks(b, h, m.level);
            cases.Add(i, what + " " + std::to_string(value), b, o);
        };
        uint8_t S = (uint8_t)v.bytes[h], n = (uint8_t)v.bytes[h + 21];
        if (m.level == 0) {
            add("level 0 header too short for its name:", 0, n + 19, false, n ? HeaderDamaged : EndBefore);
            add("level 0 header one byte longer than its CRC:", 0, n + 21, false, HeaderDamaged);
        }
        if (m.level < 2)
            add("base header length", 0, 19, false, EndBefore);
        for (uint32_t s : {1u, 2u, 0xFFFFu})
            if (m.level == 1 && m.headerLength > S + 2u)
                add("extended header length", S, s, true, HeaderDamaged);
        if (m.level < 2)
            continue;
        // One byte longer passes every check: the data is read one byte late,
        // the next header one byte in, where its length's high byte is 0.
        uint32_t L = Get16(v.bytes, h);
        for (uint32_t bad : {25u, 26u, 27u, L - 1, L + 1})
            if (bad != L + 1 || !m.isDirectory)
                add("level 2 length", 0, bad, true,
                    bad < 26 || (bad & 0xFF) == 0 ? EndBefore : bad == L + 1 ? CutInData : HeaderDamaged);
        for (uint32_t s : {0u, 1u, 2u, 0xFFFFu})
            add("first extended length", 24, s, true, HeaderDamaged);
    }
}

void AroundTheArchive(Cases &cases)
{
    const Victim &v = cases.v;
    std::string body = v.bytes.substr(0, v.bytes.size() - 1);
    for (size_t n : {1, 20, 21, 300}) {
        cases.Add(kArchive, std::to_string(n) + " bytes 0x1A as the end", body + std::string(n, '\x1a'), Success);
        cases.Add(kArchive, std::to_string(n) + " bytes 0x1A after the end", v.bytes + std::string(n, '\x1a'), Success);
    }
    cases.Add(kArchive, "0x1A then text", body + "\x1a" + std::string(40, 'Z'), Success);
    for (size_t k = 0; k < v.archiveStart; k += 101)
        for (int bit : {0, 7})
            cases.Add(kArchive, "stub byte " + std::to_string(k) + " bit " + std::to_string(bit),
                      Flipped(v.bytes, k, bit), StubDamaged);
    for (size_t at : {512, 65024, 65536, 65537, 66048, 70000})
        cases.Add(kArchive, "archive at " + std::to_string(at), lzh::SelfExtracting(v.bytes.substr(v.archiveStart), 300, at),
                  at % 512 == 0 && at <= 65536 ? Success : NotFound);
}

class DamagedCorpus : public CliTest {
protected:
    size_t generated = 0;

    // Every third case under the sanitizers, where a run costs several times as much.
    void RunAll(const Cases &cases)
    {
        generated += cases.size();
        for (size_t i = 0; i < cases.size(); i += CORVANE_CORPUS_STEP)
            Run(cases.v, cases[i]);
    }

    void Run(const Victim &v, const Case &c)
    {
        SCOPED_TRACE(v.name + ": " + c.what);
        Remove("out");
        std::string out = Path("out");
        std::error_code e;
        RunResult r = Extract(Write("in.exe", c.bytes), "n\nn\nn\nn\nn\n");

        size_t present = c.outcome == EndBefore || c.outcome == CutInData ? c.at : v.members.size();
        std::map<Outcome, std::vector<const char *>> messages = {
            {MemberDamaged, {kDamaged, kGoOn}}, {CutInData, {kDamaged, kGoOn}}, {HeaderDamaged, {kDamaged}},
            {NotFound, {kNotFound}},           {StubDamaged, {kStubDamaged}},   {NoSpace, {kSpace}}};
        std::vector<const char *> said = messages[c.outcome];
        bool stopped = said.size() == 1;
        EXPECT_EQ(r.exitCode, stopped ? 1 : 0) << Describe(r);
        for (const char *message : said)
            EXPECT_EQ(Occurrences(r.err, message), 1) << message << " in:\n" << r.err;
        EXPECT_EQ(Occurrences(r.err, "Error: ") + Occurrences(r.err, "Warning: "), (int)said.size()) << r.err;

        std::set<std::string> paths;
        for (size_t i = 0; i < v.members.size(); i++) {
            const Layout &m = v.members[i];
            for (size_t s = 0; s != std::string::npos; s = m.path.find('/', s + 1))
                paths.insert(m.path.substr(0, s ? s : std::string::npos));
            std::string p = out + "/" + m.path;
            bool expected = !stopped && i < present && !(c.outcome == MemberDamaged && i == c.at);
            EXPECT_EQ(m.isDirectory ? IsDirectory(p) : Exists(p), expected) << m.path;
            EXPECT_TRUE(!expected || m.isDirectory || Read(p) == m.content) << "partial file: " << m.path;
        }
        for (const auto &item : fs::recursive_directory_iterator(out, e))
            EXPECT_TRUE(paths.count(fs::relative(item.path(), out).generic_string())) << item.path();
        for (const auto &item : fs::directory_iterator(root))
            EXPECT_TRUE(item.path().filename() == "in.exe" || item.path().filename() == "out") << item.path();
    }
};

#define ASSERT_VICTIM(expression) \
    ASSERT_TRUE(expression) << "test archives missing in " << CORVANE_TEST_DATA << " (tests/java writes them)"

TEST_F(DamagedCorpus, EveryMethodAndLevelCutFlippedAndResized)
{
    for (const char *method : {"lh0", "lh1", "lh4", "lh5", "lh6", "lzs", "lz5", "lz4"}) {
        for (int level = 0; level <= 2; level++) {
            Victim v;
            ASSERT_VICTIM(MakeVictim(method, level, v));
            // Headers in full for one method only: their fields do not depend on it.
            bool full = std::string(method) == "lh5";
            Cases cases(v);
            Truncations(cases, {0, 1, 2});
            HeaderFlips(cases, {1}, full ? 1 : 5);
            HeaderFlips(cases, {0, 2}, full ? 2 : 9);
            DataFlips(cases, 1);
            if (full)
                DataFlips(cases, 2);
            Sizes(cases, full ? std::vector<size_t>{1, 2} : std::vector<size_t>{1});
            Lengths(cases);
            RunAll(cases);
        }
    }
    EXPECT_GE(generated, 1000u);
}

TEST_F(DamagedCorpus, SelfExtractingFilesStubPlacementAndTails)
{
    for (const char *method : {"lh0", "lh5", "lzs"}) {
        Victim v;
        ASSERT_VICTIM(MakeVictim(method, std::string(method) == "lh5" ? 2 : 0, v, lzh::SelfExtracting("")));
        Cases cases(v);
        AroundTheArchive(cases);
        HeaderFlips(cases, {0}, 1);
        Truncations(cases, {0});
        RunAll(cases);
    }
    // Level 2 headers of exactly 256 and 512 bytes start with a 0 byte and
    // so read as the archive's end mark; one byte more reads as a header.
    for (uint32_t L : {256u, 257u, 512u, 768u}) {
        lzh::Member padded = lzh::Stored("pad.txt", "padded", 2);
        padded.extra.push_back("\x7f" + std::string(L - lzh::Header(padded).size() - 3, 'p'));
        Victim v = Build("level 2 header of " + std::to_string(L) + " bytes",
                         {lzh::Stored("a.txt", "alpha\n", 2), padded, lzh::Stored("z.txt", "omega\n", 2)});
        RunAll(Cases(v, L % 256 ? Success : EndBefore, 1));
    }
}

// Sparse files of 2 GiB and more: their size is read cut to 32 bits; one
// cut to end right behind the archive reads whole.
TEST_F(DamagedCorpus, FilesOf2GiBAndMore)
{
    std::string archive = lzh::Archive({lzh::Stored("a.txt", "alpha\n")});
    for (uint64_t size : {(1ull << 31) + 100, (1ull << 32) + 10, (1ull << 32) + archive.size()}) {
        SCOPED_TRACE(size);
        ASSERT_EQ(system(("rm -rf '" + Path("out") + "'").c_str()), 0);
        std::string file = Write("in.exe", archive);
        std::error_code e;
        fs::resize_file(file, size, e);
        if (e)
            GTEST_SKIP() << "no sparse files of " << size << " bytes here";
        RunResult r = Extract(file);
        bool whole = (uint32_t)size == archive.size();
        EXPECT_EQ(r.exitCode, whole ? 0 : 1) << Describe(r);
        EXPECT_EQ(Read(Path("out/a.txt")), whole ? "alpha\n" : "");
        EXPECT_EQ(Occurrences(r.err, kDamaged) + Occurrences(r.err, kStubDamaged) + Occurrences(r.err, kNotFound),
                  whole ? 0 : 1)
            << r.err;
    }
}

}  // namespace
