// A generated corpus of damaged archives, run through `corvane-sfx extract`.
//
// Each victim is an archive whose layout the test knows byte for byte:
// archives of every method at every header level, built around packed data
// that the independent jlha encoder wrote, and the jlha archives themselves.
// Every damage is one edit of those bytes (a cut, a flipped bit, rewritten
// sizes or lengths, a moved archive, a changed stub byte), and the test
// derives from the layout what the run must show: the exact messages, the
// exit code and what is left in the target directory. After every run,
// every file in the target is byte-identical to a member's original, and
// nothing exists outside the target.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/lzh_builder.h"
#include "tests/run_cli.h"

namespace fs = std::filesystem;

namespace {

const char kDamaged[] = "Error: The archive is damaged.";
const char kStubDamaged[] = "Error: The self-extracting archive is damaged.";
const char kNotFound[] = "Error: Cannot find the LHA archive.";
const char kGoOn[] = "Warning: Do you want to cancel extracting?";
const char kSpace[] = "Warning: There is not enough space on the data carrier.";

std::string DataPath(const std::string &name)
{
    return std::string(CORVANE_TEST_DATA) + "/" + name;
}

std::string ReadAll(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

int Occurrences(const std::string &text, const std::string &what)
{
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

uint32_t Get16(const std::string &s, size_t at)
{
    return (uint32_t)(uint8_t)s[at] | ((uint32_t)(uint8_t)s[at + 1] << 8);
}

void Set32(std::string &s, size_t at, uint32_t v)
{
    lzh::Set16(s, at, v & 0xFFFF);
    lzh::Set16(s, at + 2, v >> 16);
}

// ---- The victims and their layout.

struct Layout {
    std::string path;     // "/" separators, no trailing one
    bool isDirectory = false;
    bool compressed = false;
    bool blockCoded = false;  // -lh4-, -lh5-, -lh6-: data starts with a block count
    std::string content;  // the original bytes of a file member
    int level = 0;
    size_t headerStart = 0, headerLength = 0, dataLength = 0;
    size_t DataStart() const { return headerStart + headerLength; }
    size_t End() const { return DataStart() + dataLength; }
};

struct Victim {
    std::string name;
    std::string bytes;
    size_t archiveStart = 0;  // offset of the first header
    std::vector<Layout> members;
    size_t endMark = 0;       // offset of the 0 byte after the last member
};

// Archives written by jlha (tests/java), with their layout from the
// manifest: every member's header starts where the one before ended.
bool LoadJlhaVictim(const std::string &archive, Victim &v)
{
    std::ifstream in(DataPath("manifest.tsv"));
    std::string line;
    v.name = archive;
    v.bytes = ReadAll(DataPath(archive));
    size_t next = 0;
    while (std::getline(in, line)) {
        std::istringstream f(line);
        std::string name, kind, method, path, input;
        long long mtime;
        int level, attribute, ring;
        size_t offset, size;
        std::getline(f, name, '\t');
        if (name != archive)
            continue;
        f >> level >> kind >> method;
        f.ignore(1);
        std::getline(f, path, '\t');
        std::getline(f, input, '\t');
        f >> mtime >> attribute >> offset >> size >> ring;
        if (!f || offset < next)
            continue;  // the manifest may repeat a line
        Layout m;
        m.isDirectory = kind == "dir";
        m.path = m.isDirectory ? path.substr(0, path.size() - 1) : path;
        m.compressed = method != "lh0" && method != "lz4" && method != "lhd";
        m.blockCoded = method == "lh4" || method == "lh5" || method == "lh6";
        m.level = level;
        m.headerStart = next;
        m.headerLength = offset - next;
        m.dataLength = size;
        if (!m.isDirectory)
            m.content = ReadAll(DataPath("inputs/" + input));
        v.members.push_back(m);
        next = offset + size;
    }
    v.endMark = next;
    return !v.members.empty() && next + 1 == v.bytes.size();
}

// Three members around jlha's packed victim.txt of one method: a stored
// file, the victim in a subdirectory, another stored file. Level 1 headers
// come with and without a header CRC, and the last member carries an
// attribute extension, so that damage meets every kind of header field.
bool MakeVictim(const std::string &method, int level, Victim &v)
{
    std::string packedFrom = ReadAll(DataPath("damage-" + method + ".lzh"));
    std::string victim = ReadAll(DataPath("inputs/victim.txt"));
    Victim source;
    if (!LoadJlhaVictim("damage-" + method + ".lzh", source) || victim.empty())
        return false;
    const Layout &packed = source.members[0];

    lzh::Member first = lzh::Stored("a.txt", "alpha\n", level);
    lzh::Member middle;
    middle.method = "-" + method + "-";
    middle.packed = packedFrom.substr(packed.DataStart(), packed.dataLength);
    middle.originalSize = (uint32_t)victim.size();
    middle.crc = lzh::Crc16(victim);
    middle.level = level;
    middle.headerCrc = true;
    if (level == 0) {
        middle.name = "sub\\victim.txt";
    } else {
        middle.name = "victim.txt";
        middle.directory = "sub\\";
    }
    lzh::Member last = lzh::Stored("z.txt", "omega\n", level);
    if (level > 0)
        last.extra.push_back(std::string("\x40\x20", 2));

    v.name = method + "-level" + std::to_string(level);
    v.bytes.clear();
    v.members.clear();
    const std::vector<std::pair<lzh::Member, std::string>> all = {
        {first, "a.txt"}, {middle, "sub/victim.txt"}, {last, "z.txt"}};
    for (const auto &[m, path] : all) {
        Layout l;
        l.path = path;
        l.content = path == "sub/victim.txt" ? victim : m.packed;
        l.compressed = method != "lh0" && method != "lz4" && path == "sub/victim.txt";
        l.blockCoded = (method == "lh4" || method == "lh5" || method == "lh6") && l.compressed;
        l.level = level;
        l.headerStart = v.bytes.size();
        std::string h = lzh::Header(m);
        l.headerLength = h.size();
        l.dataLength = m.packed.size();
        v.bytes += h + m.packed;
        v.members.push_back(l);
    }
    v.endMark = v.bytes.size();
    v.bytes += '\0';
    return true;
}

// The same archive behind a stub of 1000 bytes (sealed, padded to 1024) or
// at a given offset.
Victim SelfExtracting(const Victim &plain, size_t at = 0)
{
    Victim v = plain;
    v.bytes = lzh::SelfExtracting(plain.bytes, 1000, at);
    v.archiveStart = v.bytes.size() - plain.bytes.size();
    v.name = plain.name + "+sfx@" + std::to_string(v.archiveStart);
    for (Layout &m : v.members)
        m.headerStart += v.archiveStart;
    v.endMark += v.archiveStart;
    return v;
}

// ---- Header surgery that keeps the header's own checks valid.

// Offset of a level 1 or 2 header's CRC field within the header, or 0.
size_t HeaderCrcField(const std::string &b, size_t start, int level, size_t *length)
{
    size_t o = level == 2 ? 24 : (uint8_t)b[start];
    size_t end = level == 2 ? Get16(b, start) : 0;
    size_t field = 0;
    for (;;) {
        uint32_t s = Get16(b, start + o);
        if (s == 0 && (level == 1 || o + 3 >= end))
            break;
        if (s < 3 || start + o + s + 2 > b.size())
            return 0;
        if ((uint8_t)b[start + o + 2] == 0)
            field = o + 3;
        o += s;
    }
    if (length)
        *length = level == 2 ? end : o + 2;
    return field;
}

// Recomputes the base header's checksum (levels 0 and 1) and the header
// CRC (when the header has one) after an edit.
void RefreshChecks(std::string &b, size_t start, int level)
{
    if (level < 2) {
        uint8_t S = (uint8_t)b[start];
        unsigned sum = 0;
        for (size_t i = 0; i < S; i++)
            sum += (uint8_t)b[start + 2 + i];
        b[start + 1] = (char)sum;
    }
    if (level == 0)
        return;
    size_t length = 0;
    size_t field = HeaderCrcField(b, start, level, &length);
    if (!field)
        return;
    lzh::Set16(b, start + field, 0);
    lzh::Set16(b, start + field, lzh::Crc16(b.substr(start, length)));
}

// The packed size as the reader sees it: a level 1 header's field also
// counts its extended headers.
void SetSizes(std::string &b, const Layout &m, uint32_t packed, uint32_t original)
{
    uint32_t extensions = m.level == 1 ? (uint32_t)(m.headerLength - (uint8_t)b[m.headerStart] - 2) : 0;
    Set32(b, m.headerStart + 7, packed + extensions);
    Set32(b, m.headerStart + 11, original);
    RefreshChecks(b, m.headerStart, m.level);
}

// ---- What a run must show.

enum class Outcome {
    Success,          // everything extracted, nothing said
    EndBefore,        // the archive ends quietly in front of member `at`
    HeaderDamaged,    // a bad header: one message, nothing extracted, exit 1
    MemberDamaged,    // member `at` fails, the user goes on, the rest is there
    MemberDamagedOrOk,  // as MemberDamaged, or nothing wrong at all
    CutInData,        // member `at` fails, and nothing follows it
    NotFound,         // the archive is not behind the stub where it may be
    StubDamaged,      // the stub's checksum fails
    LocatorAny,       // the first header is gone: one of the locator's messages
    SpaceOrMember,    // huge sizes: the space warning if the disk is short,
                      // else member `at` fails
    Loose,            // only the invariants: no crash, own messages, intact files
};

struct Case {
    std::string what;
    std::string bytes;
    Outcome outcome;
    size_t at = 0;
    uint64_t needed = 0;  // SpaceOrMember: the bytes the sizing pass adds up
};

struct Expected {
    int exitCode;
    std::map<std::string, int> messages;  // every Error/Warning line
    std::set<size_t> present;             // members left on disk
};

Expected Members(const Victim &v, int exitCode, std::map<std::string, int> messages,
                 size_t from, size_t to, size_t without = (size_t)-1)
{
    Expected e{exitCode, messages, {}};
    for (size_t i = from; i < to && i < v.members.size(); i++)
        if (i != without)
            e.present.insert(i);
    return e;
}

// The free space the extractor will see on the target's drive.
uint64_t FreeBytes(const std::string &dir)
{
    struct statvfs s;
    if (statvfs(dir.c_str(), &s) != 0)
        return 0;
    return (uint64_t)s.f_bavail * (s.f_frsize ? s.f_frsize : s.f_bsize);
}

class DamagedCorpus : public ::testing::Test {
protected:
    std::string root;
    uint64_t freeBytes = 0;
    int checked = 0;
    int loose = 0;  // cases only the invariants judge

    void SetUp() override
    {
        char pattern[] = "/tmp/corvane-damage-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
        freeBytes = FreeBytes(root);
    }

    void TearDown() override
    {
        Clear(root);
        fs::remove(root);
    }

    static void Clear(const std::string &dir)
    {
        std::error_code e;
        if (!fs::exists(dir, e))
            return;
        for (const auto &item : fs::recursive_directory_iterator(dir, e))
            fs::permissions(item.path(), fs::perms::owner_write, fs::perm_options::add, e);
        for (const auto &item : fs::directory_iterator(dir, e))
            fs::remove_all(item.path(), e);
    }

    void Report() const
    {
        std::cout << "[ corpus   ] " << checked << " damaged archives checked, " << checked - loose
                  << " of them against their exact outcome\n";
    }

    // The outcomes a case may have; none for a case that only the
    // invariants judge.
    std::vector<Expected> Expect(const Victim &v, const Case &c)
    {
        size_t n = v.members.size();
        switch (c.outcome) {
        case Outcome::Success:
            return {Members(v, 0, {}, 0, n)};
        case Outcome::EndBefore:
            return {Members(v, 0, {}, 0, c.at)};
        case Outcome::HeaderDamaged:
            return {Members(v, 1, {{kDamaged, 1}}, 0, 0)};
        case Outcome::MemberDamaged:
            return {Members(v, 0, {{kDamaged, 1}, {kGoOn, 1}}, 0, n, c.at)};
        case Outcome::MemberDamagedOrOk:
            return {Members(v, 0, {{kDamaged, 1}, {kGoOn, 1}}, 0, n, c.at), Members(v, 0, {}, 0, n)};
        case Outcome::CutInData:
            return {Members(v, 0, {{kDamaged, 1}, {kGoOn, 1}}, 0, c.at)};
        case Outcome::NotFound:
            return {Members(v, 1, {{kNotFound, 1}}, 0, 0)};
        case Outcome::StubDamaged:
            return {Members(v, 1, {{kStubDamaged, 1}}, 0, 0)};
        case Outcome::LocatorAny:
            return {Members(v, 1, {{kDamaged, 1}}, 0, 0), Members(v, 1, {{kStubDamaged, 1}}, 0, 0),
                    Members(v, 1, {{kNotFound, 1}}, 0, 0)};
        case Outcome::SpaceOrMember: {
            // The extractor counts whole 512-byte sectors; stay clear of the
            // edge, where the answer would depend on the last few clusters.
            if (c.needed > freeBytes + (1u << 24))
                return {Members(v, 1, {{kSpace, 1}}, 0, 0)};
            if (c.needed + (1u << 24) < freeBytes)
                return {Members(v, 0, {{kDamaged, 1}, {kGoOn, 1}}, 0, n, c.at)};
            return {};
        }
        case Outcome::Loose:
            return {};
        }
        return {};
    }

    // Runs one case and checks it.
    void Run(const Victim &v, const Case &c)
    {
        SCOPED_TRACE(v.name + ": " + c.what);
        std::string file = root + "/in.exe";
        std::string out = root + "/out";
        Clear(root);
        {
            std::ofstream f(file, std::ios::binary);
            f.write(c.bytes.data(), (std::streamsize)c.bytes.size());
        }
        CliOptions options;
        options.input = "n\nn\nn\nn\nn\nn\nn\nn\nn\nn\n";
        options.timeoutSeconds = 30;
        CliResult r = RunCli({CORVANE_SFX, "extract", file, "-d", out}, options);
        checked++;

        ASSERT_FALSE(r.timedOut) << "hung";
        ASSERT_EQ(r.signal, 0) << Describe(r);
        ASSERT_TRUE(r.exitCode == 0 || r.exitCode == 1) << Describe(r);

        // Nothing outside the target: the scratch directory holds the
        // input file and the target alone.
        std::error_code e;
        for (const auto &item : fs::directory_iterator(root, e)) {
            std::string name = item.path().filename().string();
            EXPECT_TRUE(name == "in.exe" || name == "out") << "written outside the target: " << name;
        }

        // No partial file: whatever is there is some member, whole.
        std::set<size_t> present;
        std::set<std::string> allowedDirectories;
        for (const Layout &m : v.members) {
            std::string p = m.path;
            if (m.isDirectory)
                allowedDirectories.insert(p);
            for (size_t s = p.find('/'); s != std::string::npos; s = p.find('/', s + 1))
                allowedDirectories.insert(p.substr(0, s));
        }
        bool renamed = false;
        if (fs::exists(out, e)) {
            for (const auto &item : fs::recursive_directory_iterator(out, e)) {
                std::string rel = fs::relative(item.path(), out).generic_string();
                if (item.is_directory()) {
                    if (!allowedDirectories.count(rel))
                        renamed = true;
                    continue;
                }
                std::string bytes = ReadAll(item.path().string());
                bool whole = false;
                for (size_t i = 0; i < v.members.size(); i++) {
                    if (v.members[i].isDirectory || v.members[i].content != bytes)
                        continue;
                    whole = true;
                    if (v.members[i].path == rel)
                        present.insert(i);
                    else
                        renamed = true;
                }
                EXPECT_TRUE(whole) << "partial or foreign file left: " << rel << " (" << bytes.size()
                                   << " bytes)";
            }
            for (size_t i = 0; i < v.members.size(); i++)
                if (v.members[i].isDirectory && fs::is_directory(out + "/" + v.members[i].path, e))
                    present.insert(i);
        }
        // Every line the run printed is one of the extractor's own.
        int errors = Occurrences(r.err, "Error: ");
        int warnings = Occurrences(r.err, "Warning: ");
        int known = Occurrences(r.err, kDamaged) + Occurrences(r.err, kStubDamaged) +
                    Occurrences(r.err, kNotFound) + Occurrences(r.err, kGoOn) +
                    Occurrences(r.err, kSpace) +
                    Occurrences(r.err, "Error: Version not supported.");
        EXPECT_EQ(errors + warnings, known) << r.err;

        std::vector<Expected> allowed = Expect(v, c);
        if (allowed.empty()) {
            loose++;
            return;  // the invariants above are all
        }
        EXPECT_FALSE(renamed) << "a member landed under another name";
        std::string seen;
        for (const Expected &x : allowed) {
            bool same = r.exitCode == x.exitCode && present == x.present;
            int total = 0;
            for (const auto &[message, count] : x.messages) {
                same = same && Occurrences(r.err, message) == count;
                total += count;
            }
            if (same && errors + warnings == total)
                return;
        }
        std::string members;
        for (size_t i : present)
            members += " " + v.members[i].path;
        ADD_FAILURE() << "unexpected outcome: exit " << r.exitCode << ", present:" << members
                      << "\nstderr:\n"
                      << r.err;
    }
};

// ---- The kinds of damage.

// Cuts at every header boundary, inside every header around the 21 bytes
// read first, and inside the data.
void Truncations(const Victim &v, std::vector<Case> &cases)
{
    for (size_t i = 0; i < v.members.size(); i++) {
        const Layout &m = v.members[i];
        const std::string &b = v.bytes;
        auto cut = [&](size_t p, Outcome o, size_t at, const std::string &what) {
            cases.push_back({what + " (cut at " + std::to_string(p) + ")", b.substr(0, p), o, at});
        };
        // Fewer than 21 bytes of a header read as the end of the archive;
        // the first header, though, is what the locator looks for.
        Outcome end = i == 0 ? Outcome::LocatorAny : Outcome::EndBefore;
        if (i > 0)
            cut(m.headerStart, end, i, "at the header of " + m.path);
        for (size_t r : {1, 7, 20})
            cut(m.headerStart + r, end, i, "in the first 21 bytes of " + m.path);
        for (size_t r : {(size_t)21, (size_t)22, m.headerLength / 2, m.headerLength - 1}) {
            if (r >= m.headerLength || r < 21)
                continue;
            // Level 0/1 with a first byte of 26 is taken for a 0x1A tail.
            bool eofTail = m.level < 2 && (uint8_t)b[m.headerStart] == 26;
            Outcome o = eofTail ? end : Outcome::HeaderDamaged;
            cut(m.headerStart + r, o, i, "inside the header of " + m.path);
        }
        if (m.dataLength == 0)
            continue;
        std::set<size_t> inside = {0, 1, m.dataLength / 3, m.dataLength / 2, m.dataLength - 2};
        for (size_t r : inside)
            if (r < m.dataLength - 1)
                cut(m.DataStart() + r, Outcome::CutInData, i, "in the data of " + m.path);
        // The last packed byte may hold nothing but fill bits.
        cut(m.End() - 1, m.compressed ? Outcome::Loose : Outcome::CutInData, i,
            "before the last data byte of " + m.path);
    }
    cases.push_back({"without the end mark", v.bytes.substr(0, v.endMark), Outcome::Success});
}

// One bit of every header byte. Where the header's own checks (checksum,
// CRC, length rules) see the flip, the sizing pass stops the run; the
// length fields may also make the header read as the archive's end.
void HeaderFlips(const Victim &v, std::vector<Case> &cases, size_t stride, size_t everyByteOf)
{
    for (size_t i = 0; i < v.members.size(); i++) {
        const Layout &m = v.members[i];
        const size_t S = (uint8_t)v.bytes[m.headerStart];
        size_t crcField = m.level > 0 ? HeaderCrcField(v.bytes, m.headerStart, m.level, nullptr) : 0;
        for (size_t k = 0; k < m.headerLength; k += (i == everyByteOf ? 1 : stride)) {
            int bit = (int)((k * 3 + i) % 8);
            std::string b = v.bytes;
            size_t at = m.headerStart + k;
            b[at] = (char)(b[at] ^ (1 << bit));
            uint8_t first = (uint8_t)b[m.headerStart];
            Outcome o = Outcome::HeaderDamaged;
            if (m.level < 2 && k == 0) {
                // A new S: below 20 or 26 ends the archive, else the
                // checksum over the new length decides.
                unsigned sum = 0;
                for (size_t j = 0; j < first && m.headerStart + 2 + j < b.size(); j++)
                    sum += (uint8_t)b[m.headerStart + 2 + j];
                if (first < 20 || first == 26)
                    o = Outcome::EndBefore;
                else if ((uint8_t)sum == (uint8_t)b[m.headerStart + 1])
                    o = Outcome::Loose;
            } else if (m.level < 2 && k == 20) {
                // The level byte: 0 and 1 trade places under the checksum;
                // 2 reads bytes 0-1 as a level 2 length.
                uint8_t level = (uint8_t)b[at];
                uint32_t L = Get16(b, m.headerStart);
                if (level == 2 && L < 26)
                    o = Outcome::EndBefore;
            } else if (m.level < 2 && k >= S + 2 && (!crcField || k == crcField - 1)) {
                // An extended header that nothing checks, or the type byte
                // of the header CRC, which level 1 does not require.
                o = Outcome::Loose;
            } else if (m.level == 2 && k < 2) {
                uint32_t L = Get16(b, m.headerStart);
                if (L < 26 || first == 0)
                    o = Outcome::EndBefore;
            } else if (m.level == 2 && k == 20) {
                if ((uint8_t)b[at] < 2)
                    o = Outcome::Loose;  // read as a level 0/1 header
                else if (first == 26)
                    o = Outcome::EndBefore;  // a 0x1A tail after all
            }
            if (i == 0 && (o == Outcome::EndBefore || k == 2 || k == 6))
                o = Outcome::LocatorAny;  // no longer a candidate
            cases.push_back({"bit " + std::to_string(bit) + " of header byte " + std::to_string(k) +
                                 " of " + m.path,
                             b, o, i});
        }
    }
}

// Bits flipped in the packed data: the decoder or the CRC finds them. Two
// places may change nothing: the fill bits of a compressed member's last
// byte, and the 16-bit block count in front of a static Huffman member,
// whose last block need not be used up (a larger count is harmless).
void DataFlips(const Victim &v, std::vector<Case> &cases)
{
    for (size_t i = 0; i < v.members.size(); i++) {
        const Layout &m = v.members[i];
        if (m.dataLength == 0)
            continue;
        std::set<size_t> where = {0, 1, 2, m.dataLength / 7, m.dataLength / 2, m.dataLength - 1};
        for (size_t r : where) {
            if (r >= m.dataLength)
                continue;
            for (int bit : std::set<int>{(int)(r % 8), 5}) {
                std::string b = v.bytes;
                b[m.DataStart() + r] = (char)(b[m.DataStart() + r] ^ (1 << bit));
                bool harmless = (m.compressed && r == m.dataLength - 1) || (m.blockCoded && r < 2);
                Outcome o = harmless ? Outcome::MemberDamagedOrOk : Outcome::MemberDamaged;
                cases.push_back({"bit " + std::to_string(bit) + " of data byte " + std::to_string(r) +
                                     " of " + m.path,
                                 b, o, i});
            }
        }
    }
}

// Sizes rewritten with valid header checks: swapped, one off, negative,
// huge, beyond the file.
void Sizes(const Victim &v, std::vector<Case> &cases)
{
    uint64_t total = 0;
    for (const Layout &m : v.members)
        if (!m.isDirectory)
            total += m.content.size();
    for (size_t i = 0; i < v.members.size(); i++) {
        const Layout &m = v.members[i];
        if (m.isDirectory)
            continue;
        uint32_t packed = (uint32_t)m.dataLength;
        uint32_t original = (uint32_t)m.content.size();
        auto add = [&](const std::string &what, uint32_t p, uint32_t o, Outcome outcome) {
            std::string b = v.bytes;
            SetSizes(b, m, p, o);
            Case c{what + " of " + m.path, b, outcome, i};
            c.needed = std::min<uint64_t>(total - original + o, 0xFFFFFFFFu);  // the sum saturates
            cases.push_back(c);
        };
        if (packed != original) {
            // The next header is looked for where the swapped size points.
            size_t next = m.DataStart() + original;
            Outcome o = next + 21 > v.bytes.size() ? Outcome::CutInData : Outcome::Loose;
            add("swapped sizes", original, packed, o);
        }
        add("original size one more", packed, original + 1, Outcome::MemberDamaged);
        if (original > 0)
            add("original size one less", packed, original - 1, Outcome::MemberDamaged);
        // A packed size with its top bit set would send the passes back.
        add("packed size 0x80000000", 0x80000000u, original, Outcome::HeaderDamaged);
        add("packed size 0xFFFFFFFF", 0xFFFFFFFFu, original, Outcome::HeaderDamaged);
        // Positive, but the data would end beyond 2^31 - 1.
        add("packed size 0x7FFFFFFF", 0x7FFFFFFFu, original, Outcome::HeaderDamaged);
        add("packed size reaching 2^31", (uint32_t)(0x80000000u - m.DataStart()), original,
            Outcome::HeaderDamaged);
        // Beyond the file's end: only the member's own decoding notices.
        add("packed size past the end", (uint32_t)(v.bytes.size() - m.DataStart() + 100), original,
            Outcome::CutInData);
        add("original size 0x80000000", packed, 0x80000000u, Outcome::SpaceOrMember);
        add("original size 0xFFFFFFFF", packed, 0xFFFFFFFFu, Outcome::SpaceOrMember);
        add("original size 0x7FFFFFFF", packed, 0x7FFFFFFFu, Outcome::SpaceOrMember);
    }
}

// Header lengths that point back into the header or out of it, with the
// header's checks made valid again, so that the length rules alone decide.
void Lengths(const Victim &v, std::vector<Case> &cases)
{
    for (size_t i = 0; i < v.members.size(); i++) {
        const Layout &m = v.members[i];
        Outcome end = i == 0 ? Outcome::LocatorAny : Outcome::EndBefore;
        auto add = [&](const std::string &what, std::string b, Outcome o) {
            if ((uint8_t)b[m.headerStart] >= 20 || m.level == 2)
                RefreshChecks(b, m.headerStart, m.level);
            cases.push_back({what + " in " + m.path, b, o, i});
        };
        std::string b = v.bytes;
        size_t h = m.headerStart;
        if (m.level < 2) {
            uint8_t n = (uint8_t)b[h + 21];
            b[h] = 19;
            add("base header length 19", b, end);
            if (m.level == 0 && n + 19 >= 20) {
                b = v.bytes;
                b[h] = (char)(n + 19);
                add("level 0 header too short for its name", b, Outcome::HeaderDamaged);
                b[h] = (char)(n + 21);
                add("level 0 header one byte longer than its CRC", b, Outcome::HeaderDamaged);
            }
            if (m.level == 1 && m.headerLength > (uint8_t)v.bytes[h] + 2u) {
                size_t first = h + (uint8_t)v.bytes[h];
                for (uint32_t s : {1u, 2u, 0xFFFFu}) {
                    b = v.bytes;
                    lzh::Set16(b, first, s);
                    add("extended header length " + std::to_string(s), b, Outcome::HeaderDamaged);
                }
            }
        } else {
            uint32_t L = Get16(b, h);
            for (uint32_t bad : {25u, 26u, 27u, L - 1, L + 1}) {
                b = v.bytes;
                lzh::Set16(b, h, bad);
                // One byte longer passes every check, CRC included: the data
                // is then read one byte late, and the next header one byte
                // into the real one, where its length's high byte is 0.
                Outcome o = bad == L + 1 ? Outcome::CutInData : Outcome::HeaderDamaged;
                if (bad < 26 || (bad & 0xFF) == 0)
                    o = end;
                add("level 2 length " + std::to_string(bad), b, o);
            }
            for (uint32_t s : {0u, 1u, 2u, 0xFFFFu}) {
                b = v.bytes;
                lzh::Set16(b, h + 24, s);
                add("first extended length " + std::to_string(s), b, Outcome::HeaderDamaged);
            }
        }
    }
}

// Level 2 headers padded to exactly 256 and 512 bytes start with a 0 byte
// and so read as the archive's end mark; one byte more reads as a header.
std::vector<std::pair<Victim, Case>> Level2Multiples()
{
    std::vector<std::pair<Victim, Case>> cases;
    const std::string data = "padded";
    for (uint32_t L : {256u, 257u, 512u, 768u}) {
        lzh::Member first = lzh::Stored("a.txt", "alpha\n", 2);
        lzh::Member padded = lzh::Stored("pad.txt", data, 2);
        lzh::Member last = lzh::Stored("z.txt", "omega\n", 2);
        // Each extended header adds its 2-byte length and its item.
        size_t plain = lzh::Header(padded).size();
        padded.extra.push_back(std::string(1, '\x7f') + std::string(L - plain - 3, 'p'));
        Victim v;
        v.name = "level 2 header of " + std::to_string(L) + " bytes";
        v.bytes = lzh::Archive({first, padded, last});
        size_t at = 0;
        for (const lzh::Member &m : {first, padded, last}) {
            Layout l;
            l.path = m.name;
            l.content = m.packed;
            l.level = 2;
            l.headerStart = at;
            l.headerLength = lzh::Header(m).size();
            l.dataLength = m.packed.size();
            v.members.push_back(l);
            at = l.End();
        }
        v.endMark = at;
        Case c{"as it is", v.bytes, L % 256 == 0 ? Outcome::EndBefore : Outcome::Success, 1};
        cases.push_back({v, c});
    }
    return cases;
}

// 0x1A bytes in place of the end mark, or after it, end the archive
// quietly whatever their number.
void EofTails(const Victim &v, std::vector<Case> &cases)
{
    std::string body = v.bytes.substr(0, v.endMark);
    for (size_t n : {1, 2, 20, 21, 22, 40, 300}) {
        cases.push_back({std::to_string(n) + " bytes 0x1A as the end", body + std::string(n, '\x1a'),
                         Outcome::Success});
        cases.push_back({std::to_string(n) + " bytes 0x1A after the end mark",
                         v.bytes + std::string(n, '\x1a'), Outcome::Success});
    }
    // Only the first byte counts: a level byte above 2 behind it is no
    // header either. (Zeros behind it would be one, with a valid checksum.)
    cases.push_back({"0x1A then text", body + "\x1a" + std::string(40, 'Z'), Outcome::Success});
}

// A changed byte anywhere in the stub breaks its checksum; the archive is
// found first, so nothing else is said.
void StubBytes(const Victim &sfx, std::vector<Case> &cases)
{
    for (size_t k = 0; k < sfx.archiveStart; k += 61) {
        for (int bit : {0, 7}) {
            std::string b = sfx.bytes;
            b[k] = (char)(b[k] ^ (1 << bit));
            cases.push_back({"stub byte " + std::to_string(k) + " bit " + std::to_string(bit), b,
                             Outcome::StubDamaged});
        }
    }
    std::string b = sfx.bytes;
    b[sfx.archiveStart - 1] ^= 0x10;
    cases.push_back({"last padding byte", b, Outcome::StubDamaged});
}

// The archive may start at any multiple of 512 up to 65,536.
void Placements(const Victim &plain, std::vector<Case> &cases)
{
    for (size_t at : {512u, 65024u, 65536u})
        cases.push_back({"archive at " + std::to_string(at),
                         lzh::SelfExtracting(plain.bytes, 300, at), Outcome::Success});
    for (size_t at : {66048u, 65537u, 70000u})
        cases.push_back({"archive at " + std::to_string(at),
                         lzh::SelfExtracting(plain.bytes, 300, at), Outcome::NotFound});
}

// Every step-th case (every third one more under the sanitizers, where a
// run costs several times as much); the cases of one kind of damage lie
// side by side, so each kind keeps its share.
std::vector<Case> Thinned(std::vector<Case> cases, size_t step = 1)
{
#if defined(__SANITIZE_ADDRESS__)
    const bool thin = true;
#elif defined(__has_feature)
    const bool thin = __has_feature(address_sanitizer);
#else
    const bool thin = false;
#endif
    if (thin)
        step *= 3;
    std::vector<Case> kept;
    for (size_t i = 0; i < cases.size(); i += step)
        kept.push_back(cases[i]);
    return kept;
}

std::vector<std::string> Methods()
{
    return {"lh0", "lh1", "lh4", "lh5", "lh6", "lzs", "lz5", "lz4"};
}

#define ASSERT_VICTIM(expression)                                                          \
    ASSERT_TRUE(expression) << "test archives missing or unreadable in " << CORVANE_TEST_DATA \
                            << " (the build writes them with jlha, tests/java)"

TEST_F(DamagedCorpus, EveryMethodAndLevelCutFlippedAndResized)
{
    for (const std::string &method : Methods()) {
        for (int level = 0; level <= 2; level++) {
            Victim v;
            ASSERT_VICTIM(MakeVictim(method, level, v));
            std::vector<Case> cases;
            cases.push_back({"undamaged", v.bytes, Outcome::Success});
            Truncations(v, cases);
            HeaderFlips(v, cases, 4, 1);
            DataFlips(v, cases);
            Sizes(v, cases);
            Lengths(v, cases);
            for (const Case &c : Thinned(cases))
                Run(v, c);
        }
    }
    Report();
    EXPECT_GE(checked, 1000);
}

TEST_F(DamagedCorpus, JlhaArchivesCutAndFlipped)
{
    std::vector<std::string> names = {"tree-l0.lzh", "tree-l1.lzh", "tree-l2.lzh"};
    for (const std::string &method : Methods())
        names.push_back("damage-" + method + ".lzh");
    for (const std::string &name : names) {
        Victim v;
        ASSERT_VICTIM(LoadJlhaVictim(name, v));
        std::vector<Case> cases;
        cases.push_back({"undamaged", v.bytes, Outcome::Success});
        Truncations(v, cases);
        HeaderFlips(v, cases, 6, 0);
        DataFlips(v, cases);
        Sizes(v, cases);
        for (const Case &c : Thinned(cases, 2))
            Run(v, c);
    }
    Report();
}

TEST_F(DamagedCorpus, SelfExtractingFilesStubAndPlacement)
{
    for (const std::string &method : Methods()) {
        for (int level = 0; level <= 2; level += 2) {
            Victim plain;
            ASSERT_VICTIM(MakeVictim(method, level, plain));
            Victim sfx = SelfExtracting(plain);
            std::vector<Case> cases;
            cases.push_back({"undamaged", sfx.bytes, Outcome::Success});
            // Cut at the archive: the stub's zero padding alone is a sound,
            // empty self-extractor.
            cases.push_back({"cut at the archive", sfx.bytes.substr(0, sfx.archiveStart),
                             Outcome::EndBefore, 0});
            StubBytes(sfx, cases);
            Placements(plain, cases);
            EofTails(sfx, cases);
            for (const Case &c : Thinned(cases))
                Run(sfx, c);
            // The first header is where the locator looks.
            std::vector<Case> first;
            HeaderFlips(sfx, first, 1, 0);
            Truncations(sfx, first);
            for (const Case &c : Thinned(first))
                if (c.at == 0)
                    Run(sfx, c);
        }
    }
    for (const auto &[victim, c] : Level2Multiples())
        Run(victim, c);
    Report();
}

// Files of 2 GiB and more lie outside the signed 32-bit offsets; their
// size as the extractor reads it is cut to 32 bits. Sparse files, so that
// nothing is written: the run ends with one of its own messages, unless
// the cut size happens to end right behind the archive, which then reads
// as a file of that size.
TEST_F(DamagedCorpus, FilesOf2GiBAndMore)
{
    std::string archive = lzh::Archive({lzh::Stored("a.txt", "alpha\n")});
    for (uint64_t size : {(1ull << 31) + 100, (1ull << 32) + 10, (1ull << 32) + archive.size()}) {
        SCOPED_TRACE(size);
        Clear(root);
        std::string file = root + "/in.exe";
        std::ofstream(file, std::ios::binary) << archive;
        std::error_code e;
        fs::resize_file(file, size, e);
        if (e)
            GTEST_SKIP() << "no sparse files of " << size << " bytes here";
        CliOptions options;
        options.timeoutSeconds = 60;
        CliResult r = RunCli({CORVANE_SFX, "extract", file, "-d", root + "/out"}, options);
        ASSERT_FALSE(r.timedOut);
        if ((uint32_t)size == archive.size()) {
            EXPECT_EQ(r.exitCode, 0) << Describe(r);
            EXPECT_EQ(ReadAll(root + "/out/a.txt"), "alpha\n");
            continue;
        }
        EXPECT_EQ(r.exitCode, 1) << Describe(r);
        EXPECT_EQ(Occurrences(r.err, kDamaged) + Occurrences(r.err, kStubDamaged) +
                      Occurrences(r.err, kNotFound),
                  1)
            << r.err;
        EXPECT_FALSE(fs::exists(root + "/out/a.txt"));
    }
}

}  // namespace
