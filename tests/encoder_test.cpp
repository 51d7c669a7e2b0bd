// The archive writer and its -lh5-/-lh6- packer, read back by readers that
// share none of its code (7-Zip, jlha) and by our extractor, whose `list`
// shows the header fields. Inputs are those of the jlha archives (tests/java).
#include <gtest/gtest.h>

#include <iconv.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "core/core.h"
#include "tests/cli_fixture.h"
#include "tools/archive_writer.h"
#include "tools/file_walker.h"
#include "tools/lzh_encoder.h"

namespace fs = std::filesystem;

namespace {

std::string Input(const std::string &name)
{
    std::string bytes = CliTest::Read(std::string(CORVANE_TEST_DATA) + "/inputs/" + name);
    EXPECT_TRUE(name == "empty.bin" || !bytes.empty()) << "no test input " << name << " (tests/java)";
    return bytes;
}

void WriteBytes(const fs::path &path, const std::string &bytes)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

struct Rng {  // xorshift64: the same inputs on every run and machine
    uint64_t state;
    uint32_t Next() { return state ^= state << 13, state ^= state >> 7, state ^= state << 17, (uint32_t)(state >> 16); }
};

// Lopsided bytes, so that the shortest literal codes are 1, 2, 3 bits and
// more, and the code-length code's 2-bit zero count takes all its values.
std::string Skewed(size_t size, bool geometric)
{
    Rng rng{99};
    std::string s(size, '\0');
    for (char &c : s) {
        uint32_t x = rng.Next();
        c = (char)(geometric ? __builtin_ctz(x | 0x100) : (x % 100 < 50 ? 0 : (x >> 8) % 64));
    }
    return s;
}

struct Listed {  // a member as `corvane-sfx list` shows it
    std::string method, crc, time, attributes, path;
    uint32_t packed = 0, size = 0;
};

class EncoderTest : public CliTest {
public:
    fs::path dir() const { return root; }
    std::vector<Listed> List(const fs::path &archive)
    {
        CliResult r = Cli({"list", archive.string()}), t = Cli({"test", archive.string()});
        EXPECT_EQ(r.exitCode, 0) << Describe(r);
        EXPECT_EQ(t.exitCode, 0) << Describe(t);  // every member's data and CRC as listed
        std::vector<Listed> members;
        std::istringstream lines(r.out);
        std::string line, date;
        for (std::getline(lines, line); std::getline(lines, line);) {  // after the column titles
            std::istringstream f(line);
            Listed m;
            f >> m.method >> m.packed >> m.size >> m.crc >> date >> m.time >> m.attributes;
            m.time = date + " " + m.time;
            std::getline(f >> std::ws, m.path);
            members.push_back(m);
        }
        return members;
    }
};

// `files` and one empty directory under root/tree, as the walker lists them.
std::vector<MemberSource> MakeTree(const fs::path &root, const std::map<std::string, std::string> &files)
{
    for (const auto &f : files)
        WriteBytes(root / "tree" / f.first, f.second);
    fs::create_directories(root / "tree" / "empty dir");
    std::vector<MemberSource> members;
    std::string error;
    EXPECT_TRUE(CollectMembers({(root / "tree").string()}, &members, &error)) << error;
    return members;
}

void ExpectExtracted(const fs::path &extracted, const std::map<std::string, std::string> &files,
                     const std::string &who)
{
    for (const auto &f : files) {
        fs::path p = extracted / "tree" / f.first;
        EXPECT_TRUE(fs::is_regular_file(p) && CliTest::Read(p) == f.second) << who << ": " << f.first;
    }
    EXPECT_TRUE(fs::is_directory(extracted / "tree" / "empty dir")) << who;
}

// Local time, as MS-DOS keeps it (even seconds).
std::string LocalStamp(time_t t)
{
    t &= ~(time_t)1;
    char text[32];
    struct tm local;
    strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", localtime_r(&t, &local));
    return text;
}

TEST(HuffmanCode, LengthsFormACompleteCodeWithinSixteenBits)
{
    std::map<std::string, std::vector<uint32_t>> distributions = {
        {"uniform", std::vector<uint32_t>(510, 7)}, {"two", {0, 0, 0, 0, 1000, 0, 0, 0, 0, 0, 0, 1}},
        {"lone", {0, 0, 0, 0, 0, 0, 0, 0, 0, 5}},  // length 1, written as a constant
        {"none", std::vector<uint32_t>(14, 0)}};
    for (uint32_t n : {18, 30}) {  // a tree of depth n - 1 unless limited
        std::vector<uint32_t> &fibonacci = distributions["Fibonacci " + std::to_string(n)];
        fibonacci.assign(510, 0);
        for (uint32_t i = 0, a = 1, b = 1; i < n; i++, b += a, a = b - a)
            fibonacci[i * 17] = a;
    }
    Rng rng{77};
    for (int i = 0; i < 510; i++)
        distributions["random with gaps"].push_back(rng.Next() % 3 == 0 ? 0 : 1 + (rng.Next() >> rng.Next() % 28));
    for (const auto &[what, freq] : distributions) {
        int n = (int)freq.size(), used = 0;
        std::vector<uint8_t> len(n);
        BuildCodeLengths(freq.data(), n, 16, len.data());
        uint64_t kraft = 0;  // in units of 2^-16
        for (int i = 0; i < n; i++) {
            EXPECT_TRUE(len[i] <= 16 && (len[i] == 0) == (freq[i] == 0)) << what << " symbol " << i;
            kraft += len[i] ? 1u << (16 - len[i]) : 0;
            used += freq[i] != 0;
            for (int j = 0; j < n; j++)  // a more frequent symbol never gets a longer code
                EXPECT_TRUE(freq[i] <= freq[j] || freq[j] == 0 || len[i] <= len[j]) << what;
        }
        EXPECT_EQ(kraft, used == 0 ? 0u : used == 1 ? 32768u : 65536u)
            << what << ": readers refuse incomplete or over-full codes";
    }
}

// Inputs are mapped files: the byte after may be unmapped.
TEST(Packer, ReadsNothingPastTheInput)
{
    const size_t page = (size_t)sysconf(_SC_PAGESIZE), room = 64 * page;
    uint8_t *area = (uint8_t *)mmap(nullptr, room + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(area, MAP_FAILED);
    ASSERT_EQ(mprotect(area + room, page, PROT_NONE), 0);
    std::vector<std::string> inputs = {Input("runs.bin").substr(0, 100000), Input("text.txt"), std::string(300, 'z'), "xyz"};
    for (int period = 3; period < 12; period++)
        for (inputs.emplace_back(); inputs.back().size() < 5000;)
            inputs.back() += (char)('a' + inputs.back().size() % period);
    for (const std::string &input : inputs) {
        uint8_t *start = area + room - input.size();
        memcpy(start, input.data(), input.size());
        for (const LzhMethodParams &params : {kLh5Params, kLh6Params}) {
            for (const LzhEffort &effort : {DefaultLzhEffort(params), BestLzhEffort(params)}) {
                std::vector<uint8_t> out;
                PackLzh(start, input.size(), params, effort, &out);
                EXPECT_FALSE(out.empty());
            }
        }
    }
    munmap(area, room + page);
}

TEST(Packer, LargerDictionaryReachesFurther)
{
    // Noise repeated at 20,000 bytes: beyond -lh5-'s 8 KiB, within -lh6-'s 32 KiB.
    std::string block = Input("random.bin").substr(0, 20000), input = block + block + block;
    std::vector<uint8_t> lh5, lh6;
    PackLzh((const uint8_t *)input.data(), input.size(), kLh5Params, DefaultLzhEffort(kLh5Params), &lh5);
    PackLzh((const uint8_t *)input.data(), input.size(), kLh6Params, DefaultLzhEffort(kLh6Params), &lh6);
    EXPECT_GT(lh5.size(), input.size() * 9 / 10);
    EXPECT_LT(lh6.size(), block.size() * 11 / 10);
}

TEST(MemberNames, CodePage437AndTheCharactersRefused)
{
    iconv_t cd = iconv_open("UTF-8", "IBM437");
    if (cd == (iconv_t)-1)
        GTEST_SKIP() << "the C library has no IBM437 converter";
    for (int b = 0x20; b < 0xFF; b++) {
        char in[1] = {(char)b}, out[8], *inp = in, *outp = out;
        size_t inLeft = 1, outLeft = sizeof out;
        ASSERT_NE(iconv(cd, &inp, &inLeft, &outp, &outLeft), (size_t)-1) << b;
        std::string oem, error;
        bool ok = Utf8ToOem("x" + std::string(out, outp) + "y", &oem, &error);
        EXPECT_EQ(ok, b != '\\') << "byte " << b << ": " << error;  // a separator in headers
        EXPECT_TRUE(!ok || oem == std::string("x") + (char)b + "y") << "byte " << b;
    }
    iconv_close(cd);

    // U+00A0 would be byte 0xFF, a separator.
    const struct { const char *utf8, *mention; } refused[] = {{"\xe4\xb8\xad.txt", "U+4E2D"},
        {"euro\xe2\x82\xac", "U+20AC"}, {"no\xc2\xa0" "break", "U+00A0"}, {"bad\xc3", "not valid UTF-8"},
        {"over\xc0\xaflong", "not valid UTF-8"}, {"sur\xed\xa0\x80gate", "not valid UTF-8"}};
    for (const auto &c : refused) {
        std::string oem, error;
        EXPECT_FALSE(Utf8ToOem(c.utf8, &oem, &error)) << c.utf8;
        EXPECT_NE(error.find(c.mention), std::string::npos) << error;
    }
}

TEST(MemberTimes, LocalMsDosTimeHeldToItsRange)
{
    const char *saved = getenv("TZ");
    std::string savedZone = saved ? saved : "";
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
    const struct { long long unixTime; int y, mo, d, h, mi, s; } cases[] = {
        {1234567890, 2009, 2, 14, 0, 31, 30},     // winter, UTC+1
        {1246406401, 2009, 7, 1, 2, 0, 0},        // summer, odd second
        {0, 1980, 1, 1, 0, 0, 0},                 // before MS-DOS time
        {315529200, 1980, 1, 1, 0, 0, 0},         // its first second
        {4354819200LL, 2107, 12, 31, 23, 59, 58}  // year 2108
    };
    for (const auto &c : cases)
        EXPECT_EQ(UnixToDosDateTime(c.unixTime), (uint32_t)(c.y - 1980) << 25 | (uint32_t)c.mo << 21 |
                  (uint32_t)c.d << 16 | (uint32_t)c.h << 11 | (uint32_t)c.mi << 5 | (uint32_t)c.s / 2) << c.unixTime;
    saved ? setenv("TZ", savedZone.c_str(), 1) : unsetenv("TZ");
    tzset();
}

TEST_F(EncoderTest, EveryHeaderLevelReadsBackWithNamesTimesAttributesAndCrc)
{
    std::string readme = Input("readme.txt");
    WriteBytes(dir() / "docs" / "readme.txt", readme);
    WriteBytes(dir() / "docs" / "sub" / "locked.bin", "fixed");
    chmod((dir() / "docs" / "sub" / "locked.bin").c_str(), 0444);
    std::vector<MemberSource> members;
    std::string error;
    ASSERT_TRUE(CollectMembers({(dir() / "docs").string()}, &members, &error)) << error;
    const Listed want[] = {{"-lhd-", "", "", "d----", "docs"},
                           {"-lh5-", "", "", "-a---", "docs/readme.txt"},
                           {"-lhd-", "", "", "d----", "docs/sub"},
                           {"-lh0-", "", "", "-a--r", "docs/sub/locked.bin"}};  // five bytes do not pack
    for (int variant = 0; variant < 4; variant++) {  // levels 0, 1, 2, and 1 with a header CRC
        ArchiveOptions options;
        options.level = variant == 3 ? 1 : variant;
        options.level1HeaderCrc = variant == 3;
        options.fixedTime = true;
        options.fixedMtime = 1234567891;
        SCOPED_TRACE("level " + std::to_string(options.level) + (variant == 3 ? " with header CRC" : ""));
        std::vector<uint8_t> archive;
        ASSERT_TRUE(WriteArchive(members, options, &archive, &error)) << error;
        EXPECT_EQ(archive[20], options.level);
        EXPECT_TRUE(options.level != 1 || archive[24 + archive[21]] == 'M') << "OS id of level 1";
        WriteBytes(dir() / "a.lzh", std::string(archive.begin(), archive.end()));
        std::vector<Listed> back = List(dir() / "a.lzh");
        ASSERT_EQ(back.size(), 4u);
        for (int i = 0; i < 4; i++) {
            EXPECT_EQ(back[i].path, want[i].path);
            EXPECT_EQ(back[i].method, want[i].method);
            EXPECT_EQ(back[i].attributes, want[i].attributes);
            EXPECT_EQ(back[i].time, LocalStamp(1234567891)) << "local MS-DOS time, CTest's zone";
        }
        EXPECT_LT(back[1].packed, readme.size());
        EXPECT_EQ(back[3].packed, 5u);
    }
}

TEST_F(EncoderTest, NameLengthsAtTheLimitsOfEachHeaderLevel)
{
    // With a 222-byte name a level 2 header is 256 bytes: its first byte
    // would be 0, the end mark, unless it grows by one.
    std::string name(222, 'n');
    WriteBytes(dir() / name, "data");
    std::vector<MemberSource> members;
    std::vector<uint8_t> archive;
    std::string error;
    ASSERT_TRUE(CollectMembers({(dir() / name).string()}, &members, &error));
    ASSERT_TRUE(WriteArchive(members, ArchiveOptions(), &archive, &error)) << error;
    WriteBytes(dir() / "a.lzh", std::string(archive.begin(), archive.end()));
    std::vector<Listed> back = List(dir() / "a.lzh");
    EXPECT_TRUE(back.size() == 1 && back[0].path == name);

    MemberFields f = {};
    memcpy(f.method, "-lh0-", 6);
    f.directory = std::string(200, 'd') + "/";
    // 234 and 233 bytes with the directory at level 0; level 1 keeps it apart.
    const struct { size_t nameLength; int level; bool fits; } cases[] = {
        {33, 0, false}, {32, 0, true}, {231, 1, false}, {230, 1, true}, {1000, 2, true}};
    for (const auto &c : cases) {
        f.name = std::string(c.nameLength, 'n');
        EXPECT_EQ(AppendMemberHeader(f, c.level, false, &archive, &error), c.fits) << c.nameLength;
        EXPECT_TRUE(c.fits || error.find("too long") != std::string::npos) << error;
    }
}

TEST_F(EncoderTest, FileWalkerSortsDirectoriesFirstAndRefuses)
{
    for (const char *p : {"top/b.txt", "top/a/z.txt", "top/a/y.txt", "top/B2.txt", "top/c/.hidden"})
        WriteBytes(dir() / p, p);
    std::vector<MemberSource> members;
    std::string error;
    ASSERT_TRUE(CollectMembers({(dir() / "top").string()}, &members, &error)) << error;
    std::vector<std::string> paths;
    for (const MemberSource &m : members)
        paths.push_back(m.memberPath + (m.isDirectory ? "/" : ""));
    EXPECT_EQ(paths, (std::vector<std::string>{"top/", "top/B2.txt", "top/a/", "top/a/y.txt",
                                               "top/a/z.txt", "top/b.txt", "top/c/", "top/c/.hidden"}));
    // With a trailing slash, only what is below goes in.
    ASSERT_TRUE(CollectMembers({(dir() / "top").string() + "/"}, &members, &error)) << error;
    ASSERT_EQ(members.size(), paths.size() - 1);
    EXPECT_EQ(members[0].memberPath, "B2.txt");

    for (const char *p : {"Read.me", "READ.ME", "b.txt"})
        WriteBytes(dir() / "one" / p, p);
    fs::create_directory_symlink(dir() / "top", dir() / "top" / "again");
    const struct { std::vector<std::string> paths; const char *mention; } refused[] = {
        {{"one"}, "same file on Windows"}, {{"top"}, "leads back"},
        {{"one/b.txt", "top/b.txt"}, "given twice"}, {{"nowhere"}, "nowhere"}};
    for (const auto &c : refused) {
        std::vector<std::string> full;
        for (const std::string &p : c.paths)
            full.push_back((dir() / p).string());
        EXPECT_FALSE(CollectMembers(full, &members, &error)) << c.mention;
        EXPECT_NE(error.find(c.mention), std::string::npos) << error;
    }
}

class RoundTrip : public EncoderTest, public ::testing::WithParamInterface<std::tuple<int, int, bool>> {};

TEST_P(RoundTrip, ThreeReadersExtractEveryInputByteForByte)
{
    const auto [method, level, best] = GetParam();
    std::string far = Input("random.bin").substr(0, 32768), near = far.substr(0, 8192);
    std::map<std::string, std::string> files = {{"two.bin", "AA"},
                                                {"reach.bin", far + far + near + near},  // the greatest distances
                                                {"skew/geometric.bin", Skewed(200000, true)},
                                                {"skew/half.bin", Skewed(200000, false)}};
    for (const char *name : {"empty.bin", "one.bin", "exact64k.bin", "over64k.bin", "runs.bin",
                             "sub/text.txt", "sub/deeper/random.bin"})
        files[name] = Input(fs::path(name).filename());
    for (int period = 2; period <= 9; period++)  // every short distance, each copy overlapping itself
        for (std::string &p = files["periods/" + std::to_string(period)]; p.size() < 70000;)
            p += far.substr((size_t)period * 100, (size_t)period);
    if (level == 2)  // the large input goes through every method once
        files["sub/mixed.bin"] = Input("mixed.bin");
    std::vector<MemberSource> members = MakeTree(dir(), files);
    ArchiveOptions options;
    options.method = method;
    options.level = level;
    options.best = best;
    options.storeIfLarger = false;  // the packer must cope with what does not pack, too
    std::vector<uint8_t> archive;
    std::string error;
    ASSERT_TRUE(WriteArchive(members, options, &archive, &error)) << error;
    fs::path file = dir() / "out.lzh";
    WriteBytes(file, std::string(archive.begin(), archive.end()));
    for (const Listed &m : List(file))
        EXPECT_TRUE(m.method == "-lhd-" || m.method == "-lh" + std::to_string(method) + "-") << m.path;

    fs::path ours = dir() / "ours";
    CliResult r = Cli({"extract", file.string(), "-d", ours.string()});
    ASSERT_EQ(r.exitCode, 0) << Describe(r);
    ExpectExtracted(ours, files, "corvane-sfx extract");
    std::string sevenZip = FindOnPath("7zz"), jlha = FindOnPath("jlha");
    if (!sevenZip.empty()) {
        CliResult x = RunCli({sevenZip, "x", "-y", "-o" + (dir() / "7zz").string(), file.string()});
        ASSERT_EQ(x.exitCode, 0) << Describe(x) << x.out;
        ExpectExtracted(dir() / "7zz", files, "7zz");
    }
    if (!jlha.empty()) {  // its exit code says nothing; its complaints go to stderr
        fs::create_directories(dir() / "jlha");
        CliResult x = RunCli({jlha, "xw=" + (dir() / "jlha").string(), file.string()});
        EXPECT_EQ(x.err.find("SEVERE"), std::string::npos) << x.err;
        ExpectExtracted(dir() / "jlha", files, "jlha");
    }
    if (sevenZip.empty() || jlha.empty())
        GTEST_SKIP() << "7zz or jlha missing: checked only by corvane-sfx";
}

std::string RoundTripName(const ::testing::TestParamInfo<std::tuple<int, int, bool>> &test)
{
    return "lh" + std::to_string(std::get<0>(test.param)) + "_level" +
           std::to_string(std::get<1>(test.param)) + (std::get<2>(test.param) ? "_best" : "");
}
INSTANTIATE_TEST_SUITE_P(MethodsAndLevels, RoundTrip,
                         ::testing::Combine(::testing::Values(5, 6, 0), ::testing::Values(0, 1, 2),
                                            ::testing::Values(false)), RoundTripName);
INSTANTIATE_TEST_SUITE_P(Best, RoundTrip,
                         ::testing::Combine(::testing::Values(5, 6), ::testing::Values(2),
                                            ::testing::Values(true)), RoundTripName);

TEST_F(EncoderTest, MakeIsReproducibleAndBuildsTheSelfExtractor)
{
    std::map<std::string, std::string> files = {{"a.txt", Input("main.c")},
                                                {"lib/b.bin", Input("mixed.bin").substr(0, 300000)}};
    MakeTree(dir(), files);
    std::string first = (dir() / "first.lzh").string(), second = (dir() / "second.lzh").string();
    for (const std::string &out : {first, second}) {
        CliResult r = Cli({"make", "--archive-only", out, "--method", "lh6", "--level", "1",
                           "--mtime", "1600000000", "--best", (dir() / "tree").string()});
        ASSERT_EQ(r.exitCode, 0) << Describe(r);
        fs::last_write_time(dir() / "tree" / "a.txt", fs::file_time_type::clock::now());
    }
    EXPECT_TRUE(Read(first) == Read(second)) << "another time on disk changes nothing";
    EXPECT_EQ(Read(first)[20], 1) << "level";
    for (const Listed &m : List(first)) {
        EXPECT_EQ(m.time, LocalStamp(1600000000)) << m.path;
        EXPECT_TRUE(m.path.find("b.bin") == std::string::npos || m.method == "-lh6-");
    }

    std::string exe = (dir() / "setup.exe").string();
    CliResult made = Cli({"make", "-o", exe, (dir() / "tree").string()});
    if (made.exitCode == 1 && made.err.find("--stub") != std::string::npos)
        GTEST_SKIP() << "this build has no stub of its own";
    ASSERT_EQ(made.exitCode, 0) << Describe(made);
    ASSERT_EQ(Cli({"extract", exe, "-d", (dir() / "sfx").string()}).exitCode, 0);
    ExpectExtracted(dir() / "sfx", files, "the self-extractor");
}

TEST_F(EncoderTest, MakeRefusalsNameTheirCauseAndWriteNothing)
{
    std::string d = dir().string(), out = d + "/x.lzh";
    // U+00E9 is in code page 437, the euro sign is not.
    for (const char *p : {"/in/caf\xc3\xa9.txt", "/in/\xe2\x82\xac.txt", "/bang/!", "/bang/z.txt"})
        WriteBytes(d + p, p);
    const struct { std::vector<std::string> args; int exitCode; const char *mention; } cases[] = {
        {{d + "/in"}, 1, "U+20AC"},
        {{"--level", "3", d}, 2, "--level"},
        {{d + "/bang/"}, 1, "would be skipped"},  // the self-extractor skips a first member "!"
    };
    for (const auto &c : cases) {
        std::vector<std::string> args = {"make", "--archive-only", out};
        args.insert(args.end(), c.args.begin(), c.args.end());
        CliResult r = Cli(args);
        EXPECT_EQ(r.exitCode, c.exitCode) << Describe(r);
        EXPECT_NE(r.err.find(c.mention), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists(out)) << c.mention;
    }
    CliResult later = Cli({"make", "--archive-only", out, d + "/bang/z.txt", d + "/bang/!"});
    EXPECT_EQ(later.exitCode, 0) << "\"!\" in second place is an ordinary member: " << Describe(later);
}

}  // namespace
