// End to end over archives that an independent encoder wrote (tests/java):
// corvane-sfx must test and extract every method at every header level to
// exactly the files that went in, with their directories, times and
// read-only flag, refuse -lh7- without stopping the run, and turn cut or
// corrupted packed data into "The archive is damaged." and no file.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/run_cli.h"

namespace fs = std::filesystem;

namespace {

// The extractor reads local time through TZ; the archives' level 0 and 1
// times were written as wall-clock time in this zone.
const char kArchiveZone[] = "Europe/Berlin";

const char kDamaged[] = "Error: The archive is damaged.";
const char kRefused[] = "Error: Version not supported.";
const char kCancelQuestion[] = "Do you want to cancel extracting?";

struct Entry {
    std::string archive;
    int level = 0;
    bool isDirectory = false;
    std::string method;
    std::string path;   // "/" separators; a directory ends in "/"
    std::string input;  // file under inputs/
    time_t mtime = 0;   // UTC seconds as written into the header
    int attribute = 0;
    long packedOffset = 0;
    long packedSize = 0;
    int ringEdgeMatches = 0;  // -lzs-/-lz5- matches one whole ring back
};

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

bool WriteAll(const std::string &path, const std::string &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), bytes.size());
    return bool(out);
}

const std::vector<Entry> &Manifest()
{
    static const std::vector<Entry> entries = [] {
        std::vector<Entry> all;
        std::ifstream in(DataPath("manifest.tsv"));
        std::string line;
        while (std::getline(in, line)) {
            if (line.empty() || line[0] == '#')
                continue;
            std::istringstream fields(line);
            Entry e;
            std::string kind;
            long long mtime = 0;
            std::getline(fields, e.archive, '\t');
            fields >> e.level >> kind >> e.method;
            fields.ignore(1);
            std::getline(fields, e.path, '\t');
            std::getline(fields, e.input, '\t');
            fields >> mtime >> e.attribute >> e.packedOffset >> e.packedSize >> e.ringEdgeMatches;
            if (!fields)
                return std::vector<Entry>{};
            e.isDirectory = kind == "dir";
            e.mtime = (time_t)mtime;
            all.push_back(e);
        }
        return all;
    }();
    return entries;
}

#define ASSERT_TEST_DATA()                                                          \
    ASSERT_FALSE(Manifest().empty())                                                \
        << "no readable " << DataPath("manifest.tsv")                               \
        << ": the build writes it with javac, java and jlha.jar (tests/java)"

std::vector<Entry> MembersOf(const std::string &archive)
{
    std::vector<Entry> members;
    for (const Entry &e : Manifest())
        if (e.archive == archive)
            members.push_back(e);
    return members;
}

std::string ArchiveName(const std::string &method, int level)
{
    return method + "-l" + std::to_string(level) + ".lzh";
}

// A fresh directory per test, removed with everything in it.
struct TempDir {
    std::string path;
    TempDir()
    {
        char pattern[] = "/tmp/corvane-e2e-XXXXXX";
        if (mkdtemp(pattern))
            path = pattern;
    }
    ~TempDir()
    {
        std::error_code ignored;
        if (!path.empty())
            fs::remove_all(path, ignored);
    }
    std::string operator/(const std::string &name) const { return path + "/" + name; }
};

CliResult Extract(const std::string &archive, const std::string &target,
                  const std::string &answers = "", const char *zone = kArchiveZone)
{
    CliOptions options;
    options.input = answers;
    options.env = {std::string("TZ=") + zone};
    return RunCli({CORVANE_SFX, "extract", archive, "-d", target}, options);
}

CliResult TestCommand(const std::string &archive)
{
    CliOptions options;
    options.env = {std::string("TZ=") + kArchiveZone};
    return RunCli({CORVANE_SFX, "test", archive}, options);
}

int Occurrences(const std::string &text, const std::string &what)
{
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

// Every path below root, relative, directories with a trailing "/".
std::set<std::string> Tree(const std::string &root)
{
    std::set<std::string> paths;
    std::error_code error;
    if (!fs::exists(root, error))
        return paths;
    for (const auto &item : fs::recursive_directory_iterator(root, error)) {
        std::string relative = fs::relative(item.path(), root).generic_string();
        paths.insert(item.is_directory() ? relative + "/" : relative);
    }
    return paths;
}

// What a member list must leave on disk: each member and the directories
// in front of it, whether the archive names them or not.
std::set<std::string> ExpectedTree(const std::vector<Entry> &members)
{
    std::set<std::string> paths;
    for (const Entry &m : members) {
        paths.insert(m.path);
        for (size_t slash = m.path.find('/'); slash != std::string::npos && slash + 1 < m.path.size();
             slash = m.path.find('/', slash + 1))
            paths.insert(m.path.substr(0, slash + 1));
    }
    return paths;
}

std::string Text(const std::set<std::string> &paths)
{
    std::string s;
    for (const std::string &p : paths)
        s += "  " + p + "\n";
    return s;
}

// The UTC offset of zone at instant t, looked up through the C library with
// TZ switched for the moment.
long ZoneOffset(const char *zone, time_t t)
{
    const char *old = getenv("TZ");
    std::string saved = old ? old : "";
    setenv("TZ", zone, 1);
    tzset();
    tm parts{};
    localtime_r(&t, &parts);
    long offset = parts.tm_gmtoff;
    if (old)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
    return offset;
}

// One extracted member against what went into the archive.
void ExpectMember(const std::string &root, const Entry &m, time_t expectedMtime)
{
    SCOPED_TRACE(m.archive + ": " + m.path);
    std::string path = root + "/" + m.path;
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0) << "missing " << path;
    if (m.isDirectory) {
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        return;
    }
    ASSERT_TRUE(S_ISREG(st.st_mode));
    std::string want = ReadAll(DataPath("inputs/" + m.input));
    std::string got = ReadAll(path);
    ASSERT_EQ(got.size(), want.size());
    EXPECT_TRUE(got == want) << "content differs";
    EXPECT_EQ(st.st_mtime, expectedMtime) << "last-write time";
    bool readOnly = (m.attribute & 0x01) != 0;
    EXPECT_EQ((st.st_mode & S_IWUSR) == 0, readOnly) << "mode " << std::oct << st.st_mode;
}

void ExpectExtractedAsWritten(const std::string &root, const std::vector<Entry> &members)
{
    EXPECT_EQ(Tree(root), ExpectedTree(members)) << "extracted:\n" << Text(Tree(root));
    for (const Entry &m : members)
        ExpectMember(root, m, m.mtime);
}

// ---- every decodable method at every header level ----

class Method : public ::testing::TestWithParam<const char *> {};

INSTANTIATE_TEST_SUITE_P(E2e, Method,
                         ::testing::Values("lh0", "lh1", "lh4", "lh5", "lh6", "lzs", "lz5", "lz4"),
                         [](const ::testing::TestParamInfo<const char *> &info) {
                             return std::string(info.param);
                         });

// Members with a match at the ring's edge (-lzs-, -lz5-; see tests/java)
// decode differently from how they were encoded: they may come out whole or
// be refused as damaged, never anything else. All others must come out whole.
int RingEdgeMembers(const std::vector<Entry> &members)
{
    int n = 0;
    for (const Entry &m : members)
        n += m.ringEdgeMatches > 0;
    return n;
}

TEST_P(Method, TestCommandPassesEveryLevel)
{
    ASSERT_TEST_DATA();
    for (int level = 0; level <= 2; level++) {
        std::string archive = ArchiveName(GetParam(), level);
        SCOPED_TRACE(archive);
        std::vector<Entry> members = MembersOf(archive);
        ASSERT_FALSE(members.empty());
        CliResult r = TestCommand(DataPath(archive));
        int damaged = Occurrences(r.err, kDamaged);
        EXPECT_LE(damaged, RingEdgeMembers(members)) << r.err;
        EXPECT_EQ(Occurrences(r.err, "Error"), damaged) << r.err;
        EXPECT_EQ(r.exitCode, damaged ? 1 : 0) << Describe(r);
    }
}

TEST_P(Method, ExtractsEveryLevelByteForByte)
{
    ASSERT_TEST_DATA();
    for (int level = 0; level <= 2; level++) {
        std::string archive = ArchiveName(GetParam(), level);
        SCOPED_TRACE(archive);
        std::vector<Entry> members = MembersOf(archive);
        ASSERT_FALSE(members.empty());
        TempDir tmp;
        ASSERT_FALSE(tmp.path.empty());
        std::string answers;
        for (int i = RingEdgeMembers(members); i > 0; i--)
            answers += "n\n";  // go on after a refused member
        CliResult r = Extract(DataPath(archive), tmp / "out", answers);
        EXPECT_EQ(r.exitCode, 0) << Describe(r);

        std::vector<Entry> present;
        int refused = 0;
        for (const Entry &m : members) {
            if (m.ringEdgeMatches > 0 && !fs::exists(tmp / ("out/" + m.path)))
                refused++;
            else
                present.push_back(m);
        }
        EXPECT_EQ(Occurrences(r.err, kDamaged), refused) << r.err;
        EXPECT_EQ(Occurrences(r.err, "Error"), refused) << r.err;
        ExpectExtractedAsWritten(tmp / "out", present);
    }
}

// The one-member archive of this method whose data the damage tests spoil.
Entry Victim(const std::string &method)
{
    std::vector<Entry> members = MembersOf("damage-" + method + ".lzh");
    return members.size() == 1 ? members[0] : Entry{};
}

// What a damaged member must lead to when the user answers Yes to the
// question that follows it: one message, the question, exit code 1, and
// nothing left of the member.
void ExpectDamageRefused(const CliResult &r, const std::string &root, const Entry &victim)
{
    EXPECT_EQ(r.exitCode, 1) << Describe(r);
    EXPECT_EQ(Occurrences(r.err, kDamaged), 1) << r.err;
    EXPECT_NE(r.err.find(kCancelQuestion), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(root + "/" + victim.path)) << "partial output left behind";
}

TEST_P(Method, TruncatedPackedDataIsDamaged)
{
    ASSERT_TEST_DATA();
    Entry victim = Victim(GetParam());
    ASSERT_GT(victim.packedSize, 16) << "no damage archive for " << GetParam();
    ASSERT_EQ(victim.ringEdgeMatches, 0) << "the victim must decode whole when unspoilt";
    std::string whole = ReadAll(DataPath(victim.archive));
    ASSERT_GE((long)whole.size(), victim.packedOffset + victim.packedSize);

    // No data at all, one byte, half of it, all but the last byte.
    for (long keep : {0L, 1L, victim.packedSize / 2, victim.packedSize - 1}) {
        SCOPED_TRACE("packed bytes kept: " + std::to_string(keep));
        TempDir tmp;
        std::string cut = tmp / victim.archive;
        ASSERT_TRUE(WriteAll(cut, whole.substr(0, victim.packedOffset + keep)));

        CliResult r = Extract(cut, tmp / "out", "y\n");
        ExpectDamageRefused(r, tmp / "out", victim);

        CliResult t = TestCommand(cut);
        EXPECT_EQ(t.exitCode, 1) << Describe(t);
        EXPECT_NE(t.err.find(kDamaged), std::string::npos) << t.err;
    }
}

// A flipped bit may, rarely and legitimately, decode to the same bytes (a
// match that now copies equal bytes from elsewhere, a padding bit at the
// end). What must never happen is a wrong file without a message; and most
// flips must be caught, or the check proves nothing.
TEST_P(Method, FlippedBitsAreCaught)
{
    ASSERT_TEST_DATA();
    Entry victim = Victim(GetParam());
    ASSERT_GT(victim.packedSize, 16) << "no damage archive for " << GetParam();
    ASSERT_EQ(victim.ringEdgeMatches, 0) << "the victim must decode whole when unspoilt";
    std::string whole = ReadAll(DataPath(victim.archive));
    std::string original = ReadAll(DataPath("inputs/" + victim.input));
    const int flips = 12;
    int caught = 0;
    for (int i = 0; i < flips; i++) {
        long at = victim.packedOffset + victim.packedSize * (i + 1) / (flips + 1);
        int bit = i % 8;
        SCOPED_TRACE("bit " + std::to_string(bit) + " of byte " + std::to_string(at));
        std::string spoilt = whole;
        spoilt[at] = (char)(spoilt[at] ^ (1 << bit));
        TempDir tmp;
        std::string path = tmp / victim.archive;
        ASSERT_TRUE(WriteAll(path, spoilt));

        CliResult r = Extract(path, tmp / "out", "y\n");
        if (r.exitCode == 0 && r.err.empty() &&
            ReadAll(tmp / ("out/" + victim.path)) == original)
            continue;
        ExpectDamageRefused(r, tmp / "out", victim);
        caught++;
    }
    EXPECT_GE(caught, flips - 2);
}

// ---- directories, times, attributes ----

TEST(E2eTree, DirectoriesTimesAndReadOnlyAtEveryLevel)
{
    ASSERT_TEST_DATA();
    for (int level = 0; level <= 2; level++) {
        std::string archive = "tree-l" + std::to_string(level) + ".lzh";
        SCOPED_TRACE(archive);
        std::vector<Entry> members = MembersOf(archive);
        ASSERT_FALSE(members.empty());
        TempDir tmp;
        CliResult r = Extract(DataPath(archive), tmp / "out");
        EXPECT_EQ(r.exitCode, 0) << Describe(r);
        EXPECT_EQ(r.err.find("Error"), std::string::npos) << r.err;
        ExpectExtractedAsWritten(tmp / "out", members);
    }
}

// Levels 0 and 1 hold local wall-clock time, level 2 an instant. Extracted
// where the clocks show UTC, the first two land later by the archive zone's
// offset at that moment (one or two hours), the third exactly where it was.
TEST(E2eTree, LevelsZeroAndOneHoldLocalTime)
{
    ASSERT_TEST_DATA();
    for (int level = 0; level <= 2; level++) {
        std::string archive = "tree-l" + std::to_string(level) + ".lzh";
        SCOPED_TRACE(archive);
        TempDir tmp;
        CliResult r = Extract(DataPath(archive), tmp / "out", "", "UTC");
        ASSERT_EQ(r.exitCode, 0) << Describe(r);
        std::set<long> shifts;
        for (const Entry &m : MembersOf(archive)) {
            if (m.isDirectory)
                continue;
            long shift = level < 2 ? ZoneOffset(kArchiveZone, m.mtime) : 0;
            shifts.insert(shift);
            ExpectMember(tmp / "out", m, m.mtime + shift);
        }
        if (level < 2) {
            EXPECT_EQ(shifts, (std::set<long>{3600, 7200})) << "want winter and summer times";
        }
    }
}

// ---- -lh7- is refused, the run goes on ----

TEST(E2eLh7, RefusedMemberBetweenGoodOnes)
{
    ASSERT_TEST_DATA();
    for (int level = 0; level <= 2; level++) {
        std::string archive = "lh7mix-l" + std::to_string(level) + ".lzh";
        SCOPED_TRACE(archive);
        std::vector<Entry> members = MembersOf(archive);
        ASSERT_EQ(members.size(), 3u);
        ASSERT_EQ(members[1].method, "lh7");

        // No to "cancel?": the member after it is extracted and the run succeeds.
        TempDir tmp;
        CliResult r = Extract(DataPath(archive), tmp / "out", "n\n");
        EXPECT_EQ(r.exitCode, 0) << Describe(r);
        EXPECT_EQ(Occurrences(r.err, kRefused), 1) << r.err;
        EXPECT_EQ(Occurrences(r.err, kCancelQuestion), 1) << r.err;
        ExpectExtractedAsWritten(tmp / "out", {members[0], members[2]});

        // Yes: the run stops there with exit code 1.
        TempDir tmp2;
        CliResult y = Extract(DataPath(archive), tmp2 / "out", "y\n");
        EXPECT_EQ(y.exitCode, 1) << Describe(y);
        EXPECT_EQ(Occurrences(y.err, kRefused), 1) << y.err;
        ExpectExtractedAsWritten(tmp2 / "out", {members[0]});
    }
}

TEST(E2eLh7, EveryMemberRefusedAtEveryLevel)
{
    ASSERT_TEST_DATA();
    for (int level = 0; level <= 2; level++) {
        std::string archive = ArchiveName("lh7", level);
        SCOPED_TRACE(archive);
        std::vector<Entry> members = MembersOf(archive);
        ASSERT_FALSE(members.empty());
        std::string answers;
        for (size_t i = 0; i < members.size(); i++)
            answers += "n\n";
        TempDir tmp;
        CliResult r = Extract(DataPath(archive), tmp / "out", answers);
        EXPECT_EQ(r.exitCode, 0) << Describe(r);
        EXPECT_EQ(Occurrences(r.err, kRefused), (int)members.size()) << r.err;
        std::set<std::string> left;
        for (const std::string &p : Tree(tmp / "out"))
            if (p.back() != '/')
                left.insert(p);
        EXPECT_TRUE(left.empty()) << "files left:\n" << Text(left);

        CliResult t = TestCommand(DataPath(archive));
        EXPECT_EQ(t.exitCode, 1) << Describe(t);
        EXPECT_EQ(Occurrences(t.err, kRefused), (int)members.size()) << t.err;
    }
}

// ---- the test data itself, through another decoder ----

std::string FindOnPath(const std::string &program)
{
    const char *path = getenv("PATH");
    std::istringstream dirs(path ? path : "");
    std::string dir;
    while (std::getline(dirs, dir, ':'))
        if (!dir.empty() && access((dir + "/" + program).c_str(), X_OK) == 0)
            return dir + "/" + program;
    return "";
}

// 7-Zip reads these methods; its verdict on the same archives shows that a
// failure above lies with us and not with the test data.
TEST(E2eSevenZip, AgreesWithTheInputs)
{
    ASSERT_TEST_DATA();
    std::string sevenZip = FindOnPath("7zz");
    if (sevenZip.empty()) {
        GTEST_SKIP() << "7zz not found";
    }
    for (const char *method : {"lh0", "lh4", "lh5", "lh6", "lh7", "lz4"}) {
        for (int level = 0; level <= 2; level++) {
            std::string archive = ArchiveName(method, level);
            SCOPED_TRACE(archive);
            CliResult t = RunCli({sevenZip, "t", "-bd", DataPath(archive)});
            EXPECT_EQ(t.exitCode, 0) << Describe(t) << t.out;

            TempDir tmp;
            CliResult x = RunCli({sevenZip, "x", "-bd", "-o" + tmp.path, DataPath(archive)});
            ASSERT_EQ(x.exitCode, 0) << Describe(x) << x.out;
            for (const Entry &m : MembersOf(archive))
                EXPECT_TRUE(ReadAll(tmp / m.path) == ReadAll(DataPath("inputs/" + m.input))) << m.path;
        }
    }
}

}  // namespace
