// The self-extractor's run, end to end through `corvane-sfx extract`, on
// hand-made archives: what lands on disk, which messages are shown, which
// questions are asked, and the exit code.
#include <sys/stat.h>
#include <time.h>

#include <algorithm>

#include "tests/cli_fixture.h"
#include "tests/lzh_builder.h"

using lzh::Member;

namespace {

const char kDamaged[] = "Error: The archive is damaged.";
const char kGoOn[] = "Warning: Do you want to cancel extracting?";

time_t LocalTime(int y, int mo, int d, int h, int mi, int s)
{
    struct tm t = {};
    t.tm_year = y - 1900;
    t.tm_mon = mo - 1;
    t.tm_mday = d;
    t.tm_hour = h;
    t.tm_min = mi;
    t.tm_sec = s;
    t.tm_isdst = -1;
    return mktime(&t);
}

time_t ModTime(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_mtime : (time_t)-1;
}

class ExtractTest : public CliTest {
protected:
    void SetUp() override
    {
        CliTest::SetUp();
        setenv("TZ", "Europe/Berlin", 1);
        tzset();
    }
};

// ---- Stored members of every header level, plain and self-extracting.

TEST_F(ExtractTest, StoredMembersOfEveryLevelExtractByteForByte)
{
    std::string big(200000, '\0');
    for (size_t i = 0; i < big.size(); i++)
        big[i] = (char)(i * 7 + i / 251);
    for (int level = 0; level <= 2; level++) {
        for (bool sfx : {false, true}) {
            SCOPED_TRACE("level " + std::to_string(level) + (sfx ? " sfx" : " plain"));
            std::vector<Member> members = {
                lzh::Directory(level == 0 ? "docs\\" : "docs", level),
                lzh::Stored(level == 0 ? "docs\\readme.txt" : "readme.txt", "hello\r\n", level),
                lzh::Stored("big.bin", big, level),
                lzh::Stored("empty", "", level),
            };
            if (level > 0) {
                members[0].name = "";
                members[0].directory = "docs\\";
                members[1].directory = "docs\xff";
            }
            if (level == 2)
                members[0].name = "";
            std::string archive = lzh::Archive(members);
            std::string file = Write("a.exe", sfx ? lzh::SelfExtracting(archive) : archive);
            RunResult r = Extract(file);
            EXPECT_EQ(r.exitCode, 0) << r.err;
            EXPECT_EQ(r.err.find("Error"), std::string::npos) << r.err;
            EXPECT_TRUE(IsDirectory(Path("out/docs")));
            EXPECT_EQ(Read(Path("out/docs/readme.txt")), "hello\r\n");
            EXPECT_EQ(Read(Path("out/big.bin")), big);
            EXPECT_TRUE(Exists(Path("out/empty")));
            EXPECT_EQ(Read(Path("out/empty")), "");
            system(("rm -rf '" + Path("out") + "'").c_str());
        }
    }
}

TEST_F(ExtractTest, TimesAndReadOnlyAttributeAreApplied)
{
    Member dos = lzh::Stored("dos.txt", "local time", 0);
    dos.dosDate = (uint16_t)(((2024 - 1980) << 9) | (7 << 5) | 15);  // 2024-07-15, summer time
    dos.dosTime = (uint16_t)((13 << 11) | (45 << 5) | (30 / 2));
    Member unix = lzh::Stored("unix.txt", "unix time", 2);
    unix.unixTime = 1700000000;  // 2023-11-14 22:13:20 UTC
    Member ro = lzh::Stored("ro.txt", "read only", 1);
    ro.attribute = 0x21;
    std::vector<Member> members = {dos, unix, ro};
    // MS-DOS stamps that name no instant: date 0, month 0, month 13, day 0,
    // hour 24, minute 60, second 60. Such files keep the time of writing.
    const uint16_t invalid[][2] = {{0, 0},      {0x5A01, 0x6000}, {0x5BA1, 0x6000}, {0x5A20, 0x6000},
                                   {0x5A21, 0xC000}, {0x5A21, 0x6780}, {0x5A21, 0x601E}};
    for (int level = 0; level <= 1; level++) {
        for (const auto &stamp : invalid) {
            members.push_back(lzh::Stored("bad" + std::to_string(members.size()), "x", level));
            members.back().dosDate = stamp[0];
            members.back().dosTime = stamp[1];
        }
    }
    std::string file = Write("a.lzh", lzh::Archive(members));
    time_t before = time(nullptr);
    RunResult r = Extract(file);
    time_t after = time(nullptr);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err.find("Error"), std::string::npos) << r.err;
    for (size_t i = 3; i < members.size(); i++) {
        time_t written = ModTime(Path("out/bad" + std::to_string(i)));
        EXPECT_TRUE(written >= before && written <= after) << "member " << i << ": " << written;
    }
    EXPECT_EQ(ModTime(Path("out/dos.txt")), LocalTime(2024, 7, 15, 13, 45, 30));
    EXPECT_EQ(ModTime(Path("out/unix.txt")), 1700000000);
    struct stat st;
    ASSERT_EQ(stat(Path("out/ro.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0222, 0u) << "read-only member must lose its write bits";
    ASSERT_EQ(stat(Path("out/dos.txt").c_str(), &st), 0);
    EXPECT_NE(st.st_mode & 0200, 0u);
}

TEST_F(ExtractTest, Level2TimeBefore1980BecomesFirstDosDay)
{
    Member m = lzh::Stored("old.txt", "x", 2);
    m.unixTime = 0;
    std::string file = Write("a.lzh", lzh::Archive({m}));
    ASSERT_EQ(Extract(file).exitCode, 0);
    EXPECT_EQ(ModTime(Path("out/old.txt")), LocalTime(1980, 1, 1, 0, 0, 0));
}

// ---- Locating the archive. Placement, the stub's checksum and cuts at
// every boundary are held to their exact outcome by the damaged corpus.

TEST_F(ExtractTest, FirstMemberNamedBangIsSkippedOnlyInFirstPlace)
{
    std::string archive = lzh::Archive({lzh::Stored("dir/!", "comment"), lzh::Stored("a.txt", "a"),
                                        lzh::Stored("!", "later")});
    RunResult r = Extract(Write("a.exe", lzh::SelfExtracting(archive)));
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_FALSE(Exists(Path("out/dir")));
    EXPECT_EQ(Read(Path("out/a.txt")), "a");
    EXPECT_EQ(Read(Path("out/!")), "later");
    // Only "!" is passed over: another one-character first member is data.
    r = Extract(Write("b.exe", lzh::SelfExtracting(lzh::Archive({lzh::Stored("x", "x")}))));
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(Read(Path("out/x")), "x");
}

// (0x1A tails and a missing end mark: the damaged corpus.)
TEST_F(ExtractTest, EmptyArchiveEndsQuietly)
{
    RunResult r = Extract(Write("empty.lzh", std::string(1, '\0')));
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err.find("Error"), std::string::npos) << r.err;
}

// ---- Damaged headers stop the run before anything is extracted.

// Level 0 and 1 headers carry an 8-bit sum; surgery must keep it right
// so that the case reaches the check it is meant for.
std::string WithSum(std::string h)
{
    unsigned sum = 0;
    for (size_t i = 2; i < (size_t)(unsigned char)h[0] + 2; i++)
        sum += (unsigned char)h[i];
    h[1] = (char)sum;
    return h;
}

TEST_F(ExtractTest, BadHeadersAnywhereStopTheRunBeforeExtracting)
{
    Member dash = lzh::Stored("c.txt", "c", 2);
    dash.method = "-lh0+";
    Member crc = lzh::Stored("c.txt", "c", 1);
    crc.headerCrc = true;
    crc.extra.push_back(std::string("\x40\x21", 2));
    std::string badCrc = lzh::Header(crc);
    badCrc[badCrc.size() - 3] ^= 1;  // the attribute, behind the base header's sum
    Member twoNames = lzh::Stored("c.txt", "c", 2);
    twoNames.extra.push_back(std::string("\x01other", 6));
    Member emptyAttr = lzh::Stored("c.txt", "c", 2);
    emptyAttr.extra.push_back(std::string("\x40", 1));
    std::string level3 = lzh::Header(lzh::Stored("c.txt", "c"));
    level3[20] = 3;
    Member noCrcField = lzh::Stored("c.txt", "c");
    noCrcField.withCrc = false;
    std::string odd = lzh::Header(noCrcField) + "x";  // S - n = 21
    odd[0] = (char)(odd.size() - 2);
    std::string level2 = lzh::Header(lzh::Stored("c.txt", "c", 2));
    std::string level2NoCrc = level2.substr(0, 24) + level2.substr(24 + 5);  // drop the CRC item
    level2NoCrc[0] = (char)level2NoCrc.size();
    std::string badSum = lzh::Header(lzh::Stored("c.txt", "c"));
    badSum[1] ^= 0x55;

    const std::pair<const char *, std::string> cases[] = {
        {"method without its closing dash", lzh::Header(dash)},
        {"header CRC mismatch", badCrc},
        {"a second name extension", lzh::Header(twoNames)},
        {"an attribute extension without data", lzh::Header(emptyAttr)},
        {"level above 2", WithSum(level3)},
        {"level 0 with S - n = 21", WithSum(odd)},
        {"level 2 without a header CRC", level2NoCrc},
        {"level 0 checksum", badSum},
    };
    std::string first = lzh::Archive({lzh::Stored("first.txt", "first")}, false);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.first);
        RunResult r = Extract(Write("a.lzh", first + c.second + "c" + std::string(1, '\0')));
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(Occurrences(r.err, kDamaged), 1) << r.err;
        EXPECT_EQ(r.err.find(kGoOn), std::string::npos);
        EXPECT_FALSE(Exists(Path("out/first.txt")));
    }
}

// ---- Member paths cannot leave the target.

TEST_F(ExtractTest, HostilePathsLandInsideTheTarget)
{
    std::vector<Member> members = {
        lzh::Stored("../../notes.txt", "1"),
        lzh::Stored("c:/data.txt", "2"),
        lzh::Stored("/etc/abs.txt", "3"),
        lzh::Stored("\\win\\back.txt", "4"),
        lzh::Stored("x\xff..\xff" "ff.txt", "5"),
        lzh::Stored("a//b", "6"),
        lzh::Stored("q?.txt. . ", "7"),
    };
    Member backslash = lzh::Stored("in\\name.txt", "9", 2);
    backslash.directory = "d/";
    members.push_back(backslash);
    RunResult r = Extract(Write("a.lzh", lzh::Archive(members)));
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(Read(Path("out/NONAME/NONAME/notes.txt")), "1");
    EXPECT_EQ(Read(Path("out/c_/data.txt")), "2");
    EXPECT_EQ(Read(Path("out/etc/abs.txt")), "3");
    EXPECT_EQ(Read(Path("out/win/back.txt")), "4");
    EXPECT_EQ(Read(Path("out/x/NONAME/ff.txt")), "5");
    EXPECT_EQ(Read(Path("out/a/NONAME/b")), "6");
    EXPECT_EQ(Read(Path("out/q_.txt")), "7");
    EXPECT_EQ(Read(Path("out/d/in_name.txt")), "9");
    // Nothing escaped the scratch directory's out/.
    EXPECT_EQ(CountEntries(root), CountEntries(Path("out")) + 2);
}

TEST_F(ExtractTest, EmptyNameBecomesNoname)
{
    RunResult r = Extract(Write("a.lzh", lzh::Archive({lzh::Stored("", "8")})));
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(Read(Path("out/NONAME")), "8");
}

// ---- Output files: the replace question, directories in the way.

TEST_F(ExtractTest, ReplaceQuestionYesNoCancel)
{
    std::string file = Write("a.lzh", lzh::Archive({lzh::Stored("f.txt", "new"),
                                                      lzh::Stored("g.txt", "g")}));
    mkdir(Path("out").c_str(), 0755);
    Write("out/f.txt", "old");

    RunResult r = Extract(file, "n\n");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find("Warning: Do you want to replace the file\nZ:" ), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("attribute is set"), std::string::npos);
    EXPECT_EQ(Read(Path("out/f.txt")), "old");
    EXPECT_EQ(Read(Path("out/g.txt")), "g");

    remove(Path("out/g.txt").c_str());
    r = Extract(file, "c\ny\n");  // Cancel, then yes: stop extracting
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(Occurrences(r.err, kGoOn), 1) << r.err;
    EXPECT_EQ(Read(Path("out/f.txt")), "old");
    EXPECT_FALSE(Exists(Path("out/g.txt")));

    chmod(Path("out/f.txt").c_str(), 0444);
    r = Extract(file, "y\n");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find("f.txt?\nThe R, S or H attribute is set!"), std::string::npos) << r.err;
    EXPECT_EQ(Read(Path("out/f.txt")), "new");
}

TEST_F(ExtractTest, DirectoryInTheWay)
{
    // A file where a directory must be created.
    mkdir(Path("out").c_str(), 0755);
    Write("out/sub", "a plain file");
    std::string file = Write("a.lzh", lzh::Archive({lzh::Stored("sub/f.txt", "f"),
                                                      lzh::Stored("g.txt", "g")}));
    RunResult r = Extract(file, "n\n");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(Occurrences(r.err, "Error: Cannot create the directory."), 1) << r.err;
    EXPECT_EQ(Occurrences(r.err, kGoOn), 1);
    EXPECT_EQ(Read(Path("out/g.txt")), "g");

    // A directory with the member's file name: no question, no message of
    // its own, only the go-on question.
    mkdir(Path("out/h.txt").c_str(), 0755);
    file = Write("b.lzh", lzh::Archive({lzh::Stored("h.txt", "h")}));
    r = Extract(file, "y\n");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err.find("Error"), std::string::npos) << r.err;
    EXPECT_EQ(Occurrences(r.err, kGoOn), 1);
    EXPECT_TRUE(IsDirectory(Path("out/h.txt")));
}

// ---- Members that fail while decoding.

TEST_F(ExtractTest, FailedMembersAreRemovedAndTheUserDecides)
{
    Member badCrc = lzh::Stored("crc.txt", "payload");
    badCrc.crc ^= 1;
    Member sizes = lzh::Stored("sizes.txt", "abc");
    sizes.originalSize = 4;
    Member lh7 = lzh::Stored("seven.bin", "xx");
    lh7.method = "-lh7-";
    Member unknown = lzh::Stored("what.bin", "xx");
    unknown.method = "-xyz-";
    Member negative = lzh::Stored("neg.bin", "");
    negative.originalSize = 0x80000000u;
    Member noCrc = lzh::Stored("nocrc.txt", "fine");
    noCrc.withCrc = false;
    std::string file = Write("a.lzh", lzh::Archive({badCrc, sizes, lh7, unknown, negative, noCrc}));
    RunResult r = Extract(file, "n\nn\nn\nn\nn\n");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(Occurrences(r.err, kDamaged), 3) << r.err;
    EXPECT_EQ(Occurrences(r.err, "Error: Version not supported."), 2) << r.err;
    EXPECT_EQ(Occurrences(r.err, kGoOn), 5);
    for (const char *gone : {"crc.txt", "sizes.txt", "seven.bin", "what.bin", "neg.bin"})
        EXPECT_FALSE(Exists(Path(std::string("out/") + gone))) << gone;
    EXPECT_EQ(Read(Path("out/nocrc.txt")), "fine");

    // Yes stops the run: later members stay in the archive.
    system(("rm -rf '" + Path("out") + "'").c_str());
    r = Extract(file, "y\n");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(Occurrences(r.err, kGoOn), 1);
    EXPECT_EQ(CountEntries(Path("out")), 0);
}

TEST_F(ExtractTest, EndOfInputAnswersNo)
{
    Member bad = lzh::Stored("crc.txt", "payload");
    bad.crc ^= 1;
    RunResult r = Extract(Write("a.lzh", lzh::Archive({bad, lzh::Stored("b.txt", "b")})));
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(Read(Path("out/b.txt")), "b");
}

// ---- The setup offer.

TEST_F(ExtractTest, SetupOfferFollowsAFlawlessRun)
{
    std::string file = Write("a.lzh", lzh::Archive({lzh::Stored("MYSETUP.EXE", "no"),
                                                      lzh::Stored("sub/Setup.exe", "yes"),
                                                      lzh::Stored("SETUP.EXE", "second")}));
    // Without wine on the PATH the host says what it would have started.
    const std::vector<std::string> noWine = {"PATH=/nonexistent"};
    RunResult r = Extract(file, "y\n", noWine);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(Occurrences(r.err, "Execute: Do you want to execute setup now?"), 1) << r.err;
    EXPECT_NE(r.err.find("\\out\\sub\\Setup.exe (in Z:"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("\\out\\sub)"), std::string::npos) << r.err;

    // Again, keeping the existing files: skipped files count as handled,
    // and the answer No starts nothing.
    r = Extract(file, "n\nn\nn\nn\n", noWine);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(Occurrences(r.err, "Execute: Do you want to execute setup now?"), 1) << r.err;
    EXPECT_EQ(r.err.find("Would start"), std::string::npos) << r.err;

    // A failure the user went on after still ends with exit code 0 and
    // the offer; a run stopped after a failure makes none.
    Member bad = lzh::Stored("bad.txt", "x");
    bad.crc ^= 1;
    std::string failing = Write("b.lzh", lzh::Archive({lzh::Stored("SETUP.EXE", "s"), bad}));
    system(("rm -rf '" + Path("out") + "'").c_str());
    r = Extract(failing, "y\n", noWine);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err.find("Execute:"), std::string::npos) << r.err;
}

TEST_F(ExtractTest, NoSetupNoQuestion)
{
    RunResult r = Extract(Write("a.lzh", lzh::Archive({lzh::Directory("SETUP.EXE\\")})));
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(IsDirectory(Path("out/SETUP.EXE")));
    EXPECT_EQ(r.err.find("Execute:"), std::string::npos);
}

// ---- Scripted runs: each question answered by the options (or their
// default) while standard input holds the opposite answer, unread.

TEST_F(ExtractTest, ScriptedRunsTakeTheirAnswersFromTheOptions)
{
    Member bad = lzh::Stored("bad.txt", "x");
    bad.crc ^= 1;
    std::string replace = Write("r.lzh", lzh::Archive({lzh::Stored("f.txt", "new")}));
    std::string failing = Write("b.lzh", lzh::Archive({bad, lzh::Stored("after.txt", "a")}));
    std::string setup = Write("s.lzh", lzh::Archive({lzh::Stored("SETUP.EXE", "s")}));
    const struct {
        std::string file;
        std::vector<std::string> options;
        const char *unread;
        int exitCode;
        const char *member, *content;  // null content: not extracted
        const char *answered;          // the end of the question and its answer
    } cases[] = {
        {replace, {"-y"}, "n\n", 0, "f.txt", "new", "f.txt? [y/n/c] y\n"},
        {replace, {"--overwrite=all"}, "n\n", 0, "f.txt", "new", "f.txt? [y/n/c] y\n"},
        {replace, {"-n"}, "y\n", 0, "f.txt", "old", "f.txt? [y/n/c] n\n"},
        {replace, {"--skip-existing"}, "y\n", 0, "f.txt", "old", "f.txt? [y/n/c] n\n"},
        {replace, {"--overwrite", "none"}, "y\n", 0, "f.txt", "old", "f.txt? [y/n/c] n\n"},
        {failing, {"-y"}, "n\n", 1, "after.txt", nullptr, "extracting? [y/n] y\n"},
        {failing, {"--keep-going"}, "y\n", 1, "after.txt", "a", "extracting? [y/n] n\n"},
        {setup, {"--run-setup"}, "", 0, "SETUP.EXE", "s", "now? [y/n] y\nWould start: "},
        {setup, {"-n"}, "y\n", 0, "SETUP.EXE", "s", "now? [y/n] n\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.options[0] + " on " + c.file);
        system(("rm -rf '" + Path("out") + "'").c_str());
        mkdir(Path("out").c_str(), 0755);
        Write("out/f.txt", "old");
        std::vector<std::string> args = {"extract", c.file, "-d", Path("out")};
        args.insert(args.end(), c.options.begin(), c.options.end());
        RunResult r = Cli(args, c.unread, {"PATH=/nonexistent"});
        EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
        EXPECT_EQ(Occurrences(r.err, c.answered), 1) << r.err;
        if (c.content) {
            EXPECT_EQ(Read(Path("out/") + c.member), c.content);
        } else {
            EXPECT_FALSE(Exists(Path("out/") + c.member));
        }
    }
}

// ---- The target-directory dialog on the console.

TEST_F(ExtractTest, TargetDialogProposesAndAccepts)
{
    std::string file = Write("tools.exe", lzh::SelfExtracting(lzh::Archive({lzh::Stored("t.txt", "t")})));
    std::vector<std::string> args = {CORVANE_SFX, "extract", file};
    // Run inside root: the proposal is the current directory plus "tools".
    std::string cmd = "cd '" + root + "' && printf '\\n' | '" + CORVANE_SFX + "' extract tools.exe";
    EXPECT_EQ(system(cmd.c_str()), 0);
    EXPECT_EQ(Read(Path("tools/t.txt")), "t");

    // End of input at the prompt is Cancel: exit 1, nothing written.
    cmd = "cd '" + root + "' && '" + CORVANE_SFX + "' extract tools.exe </dev/null 2>/dev/null";
    system(("rm -rf '" + Path("tools") + "'").c_str());
    EXPECT_EQ(WEXITSTATUS(system(cmd.c_str())), 1);
    EXPECT_FALSE(Exists(Path("tools")));

    // A scripted run takes the proposal and leaves the typed answer unread.
    cmd = "cd '" + root + "' && echo elsewhere | '" + CORVANE_SFX + "' extract -n tools.exe 2>/dev/null";
    EXPECT_EQ(system(cmd.c_str()), 0);
    EXPECT_EQ(Read(Path("tools/t.txt")), "t");

    // The edit field gives back at most 259 characters: a proposal one
    // longer is the current directory alone.
    std::string here = "Z:" + root;
    std::replace(here.begin(), here.end(), '/', '\\');
    for (size_t proposal : {259u, 260u}) {
        std::string dir(proposal - here.size() - 7, 'c');  // HERE\DIR\tools
        ASSERT_EQ(mkdir(Path(dir).c_str(), 0777), 0);
        cmd = "cd '" + Path(dir) + "' && '" + CORVANE_SFX + "' extract ../tools.exe </dev/null 2>'" + Path("said") + "'";
        EXPECT_EQ(WEXITSTATUS(system(cmd.c_str())), 1);
        std::string shown = "[" + here + "\\" + dir + (proposal == 259 ? "\\tools]" : "]");
        EXPECT_NE(Read(Path("said")).find(shown), std::string::npos) << Read(Path("said"));
    }
}

TEST_F(ExtractTest, IncorrectPathAsksAgain)
{
    std::string file = Write("a.lzh", lzh::Archive({lzh::Stored("t.txt", "t")}));
    std::string tooLong(259, 'x');  // with the current directory in front it exceeds 259
    RunResult r = Cli({"extract", file, "-d", tooLong}, Path("again") + "\n");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(Occurrences(r.err, "Error: Incorrect path."), 1) << r.err;
    EXPECT_EQ(Read(Path("again/t.txt")), "t");
}

// ---- The command line around the run.

TEST_F(ExtractTest, CommandLineErrorsAndListing)
{
    EXPECT_EQ(Cli({"--help"}).exitCode, 0);
    for (const char *command : {"extract", "list", "test", "make", "seal"}) {
        RunResult r = Cli({command, "--help"});
        EXPECT_EQ(r.exitCode, 0) << command;
        EXPECT_EQ(r.out.find(std::string("usage: corvane-sfx ") + command), 0u) << r.out;
    }
    const struct {
        std::vector<std::string> args;
        const char *mention;
    } usage[] = {
        {{}, "no command"},
        {{"frobnicate"}, "unknown command"},
        {{"extract"}, "no file"},
        {{"extract", "a", "b"}, "exactly one file"},
        {{"extract", "a", "-d"}, "-d/--directory needs a value: DIR"},
        {{"extract", "--overwrite=some", "a"}, "--overwrite expects all or none, not \"some\""},
        {{"list"}, "exactly one file"},
        {{"test", "-x"}, "unknown option -x"},
        {{"list", "--run-setup", "a"}, "unknown option --run-setup"},
        {{"extract", "--yes=no", "a"}, "-y/--yes takes no value"},
        {{"make"}, "no output file"},
        {{"make", "-o"}, "-o/--output needs a value: OUT.exe"},
        {{"make", "--fast", "-o", "x", "y"}, "unknown option --fast"},
        {{"make", "--level", "7", "-o", "x", "y"}, "--level expects 0, 1 or 2, not \"7\""},
        {{"make", "--method=lh7", "-o", "x", "y"}, "--method expects lh5, lh6 or lh0"},
        {{"make", "--mtime", "-1", "-o", "x", "y"}, "--mtime expects seconds since 1970"},
        {{"seal"}, "exactly one file"},
        {{"seal", "a", "b"}, "exactly one file"},
    };
    for (const auto &c : usage) {
        RunResult r = Cli(c.args);
        EXPECT_EQ(r.exitCode, 2) << Describe(r);
        EXPECT_NE(r.err.find(c.mention), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("usage:"), std::string::npos);
    }
    for (const char *command : {"extract", "list", "test"}) {
        RunResult r = Cli({command, Path("missing.lzh")});
        EXPECT_EQ(r.exitCode, 1) << command;
        EXPECT_NE(r.err.find("cannot read"), std::string::npos) << r.err;
    }

    Member m = lzh::Stored("dir/f.txt", "listed", 1);
    m.attribute = 0x21;
    std::string good = Write("a.lzh", lzh::Archive({m}));
    RunResult r = Cli({"list", good});
    EXPECT_EQ(r.exitCode, 0) << Describe(r);
    EXPECT_NE(r.out.find("-lh0-"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" -a--r dir/f.txt"), std::string::npos) << r.out;

    std::string bad = lzh::Archive({m});
    bad[1] ^= 1;  // the header checksum
    r = Cli({"list", Write("b.lzh", bad)});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(Occurrences(r.err, kDamaged), 1) << r.err;
    r = Cli({"test", Write("b.lzh", bad)});
    EXPECT_EQ(r.exitCode, 1);
}

}  // namespace
