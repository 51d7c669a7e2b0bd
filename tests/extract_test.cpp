// The self-extractor's run through `corvane-sfx extract` on hand-made
// archives; each row is one run and the whole tree it leaves in the target.
#include <sys/stat.h>
#include <time.h>

#include <filesystem>
#include <map>

#include "tests/cli_fixture.h"
#include "tests/lzh_builder.h"

using lzh::Member;

namespace {


Member With(Member m, void (*edit)(Member &))
{
    edit(m);
    return m;
}

struct Row {
    const char *what;
    std::string archive;
    std::string answers;
    int exitCode;
    std::map<std::string, int> said;  // message: times shown ("Error: " counts every error)
    std::map<std::string, std::string> tree;  // path: content, "/" for a directory; parents implied
    const char *before = "";                // shell commands run in out/ first
    std::vector<std::string> options = {};  // behind `extract FILE -d OUT`
};

class ExtractTest : public CliTest {
protected:
    void SetUp() override
    {
        CliTest::SetUp();
        setenv("TZ", "Europe/Berlin", 1);
        tzset();
    }

    void Check(const std::vector<Row> &rows)
    {
        namespace fs = std::filesystem;
        for (const Row &row : rows) {
            SCOPED_TRACE(row.what);
            Remove("out");
            ASSERT_EQ(RunShell("mkdir '" + Path("out") + "' && cd '" + Path("out") + "' && " + row.before + " true"), 0);
            std::vector<std::string> args = {"extract", Write("in.exe", row.archive), "-d", Path("out")};
            args.insert(args.end(), row.options.begin(), row.options.end());
            RunResult r = Cli(args, row.answers, {"PATH=/nonexistent"});
            EXPECT_EQ(r.exitCode, row.exitCode) << Describe(r);
            ExpectSaid(r.err, row.said);
            std::map<std::string, std::string> tree, want = row.tree;
            for (const auto &[path, content] : row.tree)
                for (size_t s = path.find('/'); s != std::string::npos && s + 1 < path.size(); s = path.find('/', s + 1))
                    want.emplace(path.substr(0, s), "/");
            for (const auto &item : fs::recursive_directory_iterator(Path("out")))
                tree[fs::relative(item.path(), Path("out")).generic_string()] =
                    item.is_directory() ? "/" : Read(item.path());
            EXPECT_EQ(tree, want);
        }
    }
};

time_t LocalTime(int y, int mo, int d, int h, int mi, int s)
{
    struct tm t = {s, mi, h, d, mo - 1, y - 1900};
    t.tm_isdst = -1;
    return mktime(&t);
}

struct stat Stat(const std::string &path)
{
    struct stat st = {};
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return st;
}

TEST_F(ExtractTest, StoredMembersOfEveryLevelPlainAndSelfExtracting)
{
    std::string big(200000, '\0');
    for (size_t i = 0; i < big.size(); i++)
        big[i] = (char)(i * 7 + i / 251);
    std::vector<Row> rows;
    for (int level = 0; level <= 2; level++) {
        std::vector<Member> members = {lzh::Directory(level ? "" : "docs\\", level),
                                       lzh::Stored(level ? "readme.txt" : "docs\\readme.txt", "hello\r\n", level),
                                       lzh::Stored("big.bin", big, level), lzh::Stored("empty", "", level)};
        members[0].directory = level ? "docs\\" : "";
        members[1].directory = level ? "docs\xff" : "";
        for (bool sfx : {false, true}) {
            std::string archive = lzh::Archive(members);
            rows.push_back({level == 0 ? "level 0" : level == 1 ? "level 1" : "level 2",
                            sfx ? lzh::SelfExtracting(archive) : archive, "", 0, {{"Error", 0}},
                            {{"docs", "/"}, {"docs/readme.txt", "hello\r\n"}, {"big.bin", big}, {"empty", ""}}});
        }
    }
    Check(rows);
}

TEST_F(ExtractTest, TimesAndReadOnlyAttributeAreApplied)
{
    Member dos = lzh::Stored("dos.txt", "local time", 0);
    dos.dosDate = (uint16_t)(((2024 - 1980) << 9) | (7 << 5) | 15);  // 2024-07-15, summer time
    dos.dosTime = (uint16_t)((13 << 11) | (45 << 5) | (30 / 2));
    Member unix = lzh::Stored("unix.txt", "unix time", 2), old = lzh::Stored("old.txt", "x", 2);
    unix.unixTime = 1700000000;  // 2023-11-14 22:13:20 UTC
    old.unixTime = 0;            // before 1980: the first MS-DOS day
    Member foreign = lzh::Stored("unix-ro.txt", "x", 2);
    Member all = lzh::Stored("..\\all.txt", "x", 1);  // also a name component that becomes NONAME
    all.attribute = 0x27;
    foreign.os = 'U';  // the attribute extension is MS-DOS's alone
    foreign.extra.push_back(std::string("\x40\x21", 2));
    std::vector<Member> members = {dos, unix, old, foreign, all};
    // Stamps that name no instant (date 0, month 0 and 13, day 0, hour 24,
    // minute 60, second 60) leave the time of writing.
    const uint16_t invalid[][2] = {{0, 0},           {0x5A01, 0x6000}, {0x5BA1, 0x6000}, {0x5A20, 0x6000},
                                   {0x5A21, 0xC000}, {0x5A21, 0x6780}, {0x5A21, 0x601E}};
    for (int level = 0; level <= 1; level++) {
        for (const auto &stamp : invalid) {
            members.push_back(lzh::Stored("bad" + std::to_string(members.size()), "x", level));
            members.back().dosDate = stamp[0];
            members.back().dosTime = stamp[1];
        }
    }
    time_t before = time(nullptr);
    RunResult r = Extract(Write("a.lzh", lzh::Archive(members)));
    time_t after = time(nullptr);
    ASSERT_TRUE(r.exitCode == 0 && r.err.empty()) << Describe(r);
    for (size_t i = 5; i < members.size(); i++) {
        time_t written = Stat(Path("out/bad" + std::to_string(i))).st_mtime;
        EXPECT_TRUE(written >= before && written <= after) << "member " << i << ": " << written;
    }
    EXPECT_EQ(Stat(Path("out/dos.txt")).st_mtime, LocalTime(2024, 7, 15, 13, 45, 30));
    EXPECT_EQ(Stat(Path("out/unix.txt")).st_mtime, 1700000000);
    EXPECT_EQ(Stat(Path("out/old.txt")).st_mtime, LocalTime(1980, 1, 1, 0, 0, 0));
    EXPECT_EQ(Stat(Path("out/NONAME/all.txt")).st_mode & 0222, 0u) << "read-only member must lose its write bits";
    EXPECT_NE(Stat(Path("out/dos.txt")).st_mode & 0200, 0u);
    EXPECT_NE(Stat(Path("out/unix-ro.txt")).st_mode & 0200, 0u);
    char name[1024];
    ASSERT_TRUE(HostPathFromUnix(Path("out/NONAME/all.txt").c_str(), name, sizeof name));
    EXPECT_EQ(GetFileAttributesA(name), 0x27u);
}

TEST_F(ExtractTest, NamesLandCleanedInsideTheTarget)
{
    Member backslash = lzh::Stored("in\\name.txt", "9", 2), lead = lzh::Stored("l.txt", "l", 2);
    backslash.directory = "d/";
    lead.directory = "/lead\xff";
    Check({
        {"hostile names",
         lzh::Archive({lzh::Stored("../../notes.txt", "1"), lzh::Stored("c:/data.txt", "2"),
                       lzh::Stored("/etc/abs.txt", "3"), lzh::Stored("\\win\\back.txt", "4"),
                       lzh::Stored("x\xff..\xff" "ff.txt", "5"), lzh::Stored("a//b", "6"), lzh::Stored("q?.txt. . ", "7"),
                       backslash, lead, lzh::Stored("a\x1f" "b\x7f", "10"),
                       lzh::Stored("\x81.txt", "11"), lzh::Stored(" .profile", "12"), lzh::Stored("con", "13")}),
         "", 0, {{"Error", 0}},
         {{"NONAME/NONAME/notes.txt", "1"}, {"c_/data.txt", "2"}, {"etc/abs.txt", "3"}, {"win/back.txt", "4"},
          {"x/NONAME/ff.txt", "5"}, {"a/NONAME/b", "6"}, {"q_.txt", "7"}, {"d/in_name.txt", "9"},
          {"lead/l.txt", "l"}, {"a_b\x7f", "10"}, {"\xfc.txt", "11"}, {" .profile", "12"}, {"con", "13"}}},
        {"first member named !",
         lzh::SelfExtracting(lzh::Archive({lzh::Stored("dir/!", "comment"), lzh::Stored("a.txt", "a"), lzh::Stored("!", "later")})),
         "", 0, {}, {{"a.txt", "a"}, {"!", "later"}}},
        {"first member named x", lzh::SelfExtracting(lzh::Archive({lzh::Stored("x", "x")})), "", 0, {}, {{"x", "x"}}},
        {"empty name", lzh::Archive({lzh::Stored("", "8")}), "", 0, {{"Error", 0}}, {{"NONAME", "8"}}},
        {"empty archive", std::string(1, '\0'), "", 0, {{"Error", 0}}, {}},
    });
}

// Well-formed headers breaking a rule, which flipped bits cannot make.
TEST_F(ExtractTest, HeadersBreakingARuleStopTheRunBeforeExtracting)
{
    std::string odd = lzh::Header(With(lzh::Stored("c.txt", "c"), [](Member &m) { m.withCrc = false; })) + "x";
    odd[0] = (char)(odd.size() - 2);  // S - n = 21
    lzh::SetSum(odd);
    std::string level2 = lzh::Header(lzh::Stored("c.txt", "c", 2));
    std::string level2NoCrc = level2.substr(0, 24) + level2.substr(24 + 5);  // the CRC item dropped
    level2NoCrc[0] = (char)level2NoCrc.size();
    const std::pair<const char *, std::string> headers[] = {
        {"method without its closing dash", lzh::Header(With(lzh::Stored("c.txt", "c", 2), [](Member &m) { m.method = "-lh0+"; }))},
        {"a second name extension", lzh::Header(With(lzh::Stored("c.txt", "c", 2), [](Member &m) { m.extra = {std::string("\x01other", 6)}; }))},
        {"an attribute extension without data", lzh::Header(With(lzh::Stored("c.txt", "c", 2), [](Member &m) { m.extra = {"\x40"}; }))},
        {"level 0 with S - n = 21", odd},
        {"level 2 without a header CRC", level2NoCrc},
    };
    std::vector<Row> rows;
    for (const auto &[what, header] : headers)
        rows.push_back({what, lzh::Archive({lzh::Stored("first.txt", "first")}, false) + header + "c" + '\0', "", 1,
                        {{kDamaged, 1}, {"Error: ", 1}, {kGoOn, 0}}, {}});
    Check(rows);
}

TEST_F(ExtractTest, FailedMembersAreRemovedAndTheUserDecides)
{
    std::string failing = lzh::Archive({
        With(lzh::Stored("crc.txt", "payload"), [](Member &m) { m.crc ^= 1; }),
        With(lzh::Stored("sizes.txt", "abc"), [](Member &m) { m.originalSize = 4; }),
        With(lzh::Stored("seven.bin", "xx"), [](Member &m) { m.method = "-lh7-"; }),
        With(lzh::Stored("what.bin", "xx"), [](Member &m) { m.method = "-xyz-"; }),
        With(lzh::Stored("neg.bin", ""), [](Member &m) { m.originalSize = 0x80000000u; }),
        With(lzh::Stored("nocrc.txt", "fine"), [](Member &m) { m.withCrc = false; }),
    });
    Check({
        {"No goes on", failing, "n\nn\nn\nn\nn\n", 0, {{kDamaged, 3}, {kRefused, 2}, {kGoOn, 5}}, {{"nocrc.txt", "fine"}}},
        {"Yes stops", failing, "y\n", 1, {{kGoOn, 1}, {"Error: ", 1}}, {}},
        {"end of input is No", failing, "", 0, {{kGoOn, 5}}, {{"nocrc.txt", "fine"}}},
        {"file in the way", lzh::Archive({lzh::Stored("sub/f.txt", "f"), lzh::Stored("g.txt", "g")}), "n\n", 0,
         {{kCannotCreate, 1}, {"Error: ", 1}, {kGoOn, 1}}, {{"sub", "a plain file"}, {"g.txt", "g"}},
         "printf 'a plain file' >sub &&"},
        {"directory in the way", lzh::Archive({lzh::Stored("h.txt", "h")}), "y\n", 1, {{"Error", 0}, {kGoOn, 1}},
         {{"h.txt", "/"}}, "mkdir h.txt &&"},
    });
}

TEST_F(ExtractTest, ReplaceQuestionAndScriptedAnswers)
{
    const std::string kReplaceZ = std::string(kReplace) + "\nZ:";
    const char kProtected[] = "f.txt?\nThe R, S or H attribute is set!";
    std::string replace = lzh::Archive({lzh::Stored("f.txt", "new"), lzh::Stored("g.txt", "g")});
    std::string failing = lzh::Archive({With(lzh::Stored("bad.txt", "x"), [](Member &m) { m.crc ^= 1; }),
                                        lzh::Stored("after.txt", "a")});
    const char *old = "printf old >f.txt &&";
    const std::map<std::string, std::string> kept = {{"f.txt", "old"}, {"g.txt", "g"}}, replaced = {{"f.txt", "new"}, {"g.txt", "g"}};
    Check({
        {"No", replace, "n\n", 0, {{kReplaceZ, 1}, {kProtected, 0}}, kept, old},
        {"Cancel, then Yes to stop", replace, "c\ny\n", 1, {{kReplaceZ, 1}, {kGoOn, 1}}, {{"f.txt", "old"}}, old},
        {"Yes to a read-only file", replace, "y\n", 0, {{kProtected, 1}}, replaced, "printf old >f.txt && chmod 444 f.txt &&"},
        {"system file", replace, "y\n", 0, {{kProtected, 1}}, replaced, "printf old >f.txt && python3 -c \"import os; os.setxattr('f.txt', 'user.DOSATTRIB', b'0x4')\" &&"},
        // Scripted: standard input holds the opposite answer, unread.
        {"-y", replace, "n\n", 0, {{"f.txt? [y/n/c] y\n", 1}}, replaced, old, {"-y"}},
        {"--overwrite=all", replace, "n\n", 0, {{"f.txt? [y/n/c] y\n", 1}}, replaced, old, {"--overwrite=all"}},
        {"--skip-existing", replace, "y\n", 0, {{"f.txt? [y/n/c] n\n", 1}}, kept, old, {"--skip-existing"}},
        {"--overwrite none", replace, "y\n", 0, {{"f.txt? [y/n/c] n\n", 1}}, kept, old, {"--overwrite", "none"}},
        {"-y after a failure", failing, "n\n", 1, {{"extracting? [y/n] y\n", 1}}, {}, "", {"-y"}},
        {"--keep-going", failing, "y\n", 1, {{"extracting? [y/n] n\n", 1}}, {{"after.txt", "a"}}, "", {"--keep-going"}},
    });
}

TEST_F(ExtractTest, SetupOfferFollowsAFlawlessRun)
{
    std::string setups = lzh::Archive({lzh::Stored("MYSETUP.EXE", "no"), lzh::Stored("sub/Setup.exe", "yes"),
                                       lzh::Stored("SETUP.EXE", "second")});
    const std::map<std::string, std::string> all = {{"MYSETUP.EXE", "no"}, {"sub/Setup.exe", "yes"}, {"SETUP.EXE", "second"}};
    std::string failing = lzh::Archive({lzh::Stored("SETUP.EXE", "s"), With(lzh::Stored("bad.txt", "x"), [](Member &m) { m.crc ^= 1; })});
    std::string setup = lzh::Archive({lzh::Stored("SETUP.EXE", "s")});
    Check({
        {"the first setup program", setups, "y\n", 0,
         {{kExecute, 1}, {"Would start", 1}, {"\\out\\sub\\Setup.exe (in Z:", 1}, {"\\out\\sub)", 1}}, all},
        {"existing files kept", setups, "n\nn\nn\nn\n", 0, {{kExecute, 1}, {"Would start", 0}},
         {{"MYSETUP.EXE", ""}, {"sub/Setup.exe", ""}, {"SETUP.EXE", ""}}, "mkdir sub && touch MYSETUP.EXE sub/Setup.exe SETUP.EXE &&"},
        {"went on after a failure", failing, "n\nn\n", 0, {{kExecute, 1}, {"Would start", 0}}, {{"SETUP.EXE", "s"}}},
        {"stopped after a failure", failing, "y\n", 1, {{"Execute:", 0}}, {{"SETUP.EXE", "s"}}},
        {"a directory named SETUP.EXE", lzh::Archive({lzh::Directory("SETUP.EXE\\")}), "y\n", 0, {{"Execute:", 0}}, {{"SETUP.EXE", "/"}}},
        {"--run-setup", setup, "", 0, {{"now? [y/n] y\nWould start: ", 1}}, {{"SETUP.EXE", "s"}}, "", {"--run-setup"}},
        {"-n", setup, "y\n", 0, {{"now? [y/n] n\n", 1}, {"Would start", 0}}, {{"SETUP.EXE", "s"}}, "", {"-n"}},
    });
}

TEST_F(ExtractTest, TargetDialogProposesAcceptsAndAsksAgain)
{
    Write("tools.exe", lzh::SelfExtracting(lzh::Archive({lzh::Stored("t.txt", "t")})));
    auto run = [&](const std::string &dir, const std::string &command) {
        return WEXITSTATUS(RunShell("cd '" + dir + "' && " + command + " 2>'" + Path("said") + "'"));
    };
    std::string sfx = std::string("'") + CORVANE_SFX + "' extract ";
    EXPECT_EQ(run(root, "printf '\\n' | " + sfx + "tools.exe"), 0);
    EXPECT_EQ(Read(Path("tools/t.txt")), "t");
    Remove("tools");
    EXPECT_EQ(run(root, sfx + "tools.exe </dev/null"), 1);
    EXPECT_FALSE(Exists(Path("tools")));
    EXPECT_EQ(run(root, "echo elsewhere | " + sfx + "-n tools.exe"), 0);
    EXPECT_EQ(Read(Path("tools/t.txt")), "t");

    // The edit field holds 259 characters; a longer proposal is the directory alone.
    std::string here = "Z:" + root;
    std::replace(here.begin(), here.end(), '/', '\\');
    for (size_t proposal : {259u, 260u}) {
        std::string dir(proposal - here.size() - 7, 'c');  // HERE\DIR\tools
        ASSERT_EQ(mkdir(Path(dir).c_str(), 0777), 0);
        EXPECT_EQ(run(Path(dir), sfx + "../tools.exe </dev/null"), 1);
        std::string shown = "[" + here + "\\" + dir + (proposal == 259 ? "\\tools]" : "]");
        EXPECT_NE(Read(Path("said")).find(shown), std::string::npos) << Read(Path("said"));
    }
    RunResult r = Cli({"extract", Path("tools.exe"), "-d", std::string(259, 'x')}, Path("again") + "\n");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(Occurrences(r.err, "Error: Incorrect path."), 1) << r.err;
    EXPECT_EQ(Read(Path("again/t.txt")), "t");
}

TEST_F(ExtractTest, CommandLineErrors)
{
    EXPECT_EQ(Cli({"--help"}).exitCode, 0);
    for (const char *command : {"extract", "list", "test", "make", "seal"}) {
        RunResult r = Cli({command, "--help"});
        EXPECT_EQ(r.exitCode, 0) << command;
        EXPECT_EQ(r.out.find(std::string("usage: corvane-sfx ") + command), 0u) << r.out;
    }
    const std::pair<std::vector<std::string>, const char *> usage[] = {
        {{}, "no command"},
        {{"frobnicate"}, "unknown command"},
        {{"extract"}, "no file"},
        {{"extract", "a", "b"}, "exactly one file"},
        {{"extract", "a", "-d"}, "-d/--directory needs a value: DIR"},
        {{"extract", "--overwrite=some", "a"}, "--overwrite expects all or none, not \"some\""},
        {{"extract", "--yes=no", "a"}, "-y/--yes takes no value"},
        {{"list"}, "exactly one file"},
        {{"list", "--run-setup", "a"}, "unknown option --run-setup"},
        {{"test", "-x"}, "unknown option -x"},
        {{"make"}, "no output file"},
        {{"make", "--level", "7", "-o", "x", "y"}, "--level expects 0, 1 or 2, not \"7\""},
        {{"make", "--method=lh7", "-o", "x", "y"}, "--method expects lh5, lh6 or lh0"},
        {{"make", "--mtime", "-1", "-o", "x", "y"}, "--mtime expects seconds since 1970"},
        {{"seal", "a", "b"}, "exactly one file"},
    };
    for (const auto &[args, mention] : usage) {
        RunResult r = Cli(args);
        EXPECT_EQ(r.exitCode, 2) << Describe(r);
        EXPECT_NE(r.err.find(mention), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("usage:"), std::string::npos);
    }
    for (const char *command : {"extract", "list", "test"}) {
        RunResult r = Cli({command, Path("missing.lzh")});
        EXPECT_EQ(r.exitCode, 1) << command;
        EXPECT_NE(r.err.find("cannot read"), std::string::npos) << r.err;
    }
}

}  // namespace
