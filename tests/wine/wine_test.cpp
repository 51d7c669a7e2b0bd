// The x86_64 stub end to end under Wine: driver.exe plays the user from a
// script and reports every dialog and box; the report and the files on disk
// must be what the user sees and gets.
#include <sys/mount.h>
#include <time.h>

#include "tests/cli_fixture.h"
#include "tests/lzh_builder.h"
#include "tests/manifest.h"

namespace {

using Lines = std::vector<std::string>;

void Shell(const std::string &command) { ASSERT_EQ(system(command.c_str()), 0) << command; }

// Wine shows the Linux root as drive Z:.
std::string WindowsPath(std::string path)
{
    std::replace(path.begin(), path.end(), '/', '\\');
    return "Z:" + path;
}

std::string TestData(const std::string &name) { return std::string(CORVANE_TEST_DATA) + "/" + name; }

long long UtcOffset(time_t when)
{
    struct tm local;
    return localtime_r(&when, &local)->tm_gmtoff;
}

// The test's folder is the current directory of my.tools.exe, which proposes my.tools.
class WineTest : public CliTest {
protected:
    std::string extractor;  // when set, Play runs `EXTRACTOR extract EXE` instead of EXE

    static void SetUpTestSuite()
    {
        Shell(WINE_SESSION_SCRIPT " ensure " WINE_SESSION_DIR);
        std::string display;
        std::ifstream(WINE_SESSION_DIR "/display") >> display;
        setenv("DISPLAY", (":" + display).c_str(), 1);
        setenv("WINEPREFIX", WINE_SESSION_DIR "/prefix", 1);
        setenv("WINEDEBUG", "-all", 1);
        setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);
        setenv("TZ", "Europe/Berlin", 1);  // the zone of the jlha archives' local times
    }

    void MakeSfx(const std::string &archivePath)
    {
        RunResult r = Cli({"make", "--stub", CORVANE_STUB64, "-o", Path("my.tools.exe"), archivePath});
        ASSERT_EQ(r.exitCode, 0) << r.err;
    }

    // The driver must report the proposal, then `expected`; $OUT is out/ as Windows names it.
    void Play(const Lines &steps, const Lines &expected)
    {
        auto Expand = [&](std::string s) {
            size_t at = s.find("$OUT");
            return at == std::string::npos ? s : s.replace(at, 4, WindowsPath(Path("out")));
        };
        Lines args = {WINE_EXECUTABLE, WINE_DRIVER, "--cwd", WindowsPath(root), "--args",
                      extractor.empty() ? "" : "extract my.tools.exe",
                      WindowsPath(extractor.empty() ? Path("my.tools.exe") : extractor)};
        for (const std::string &s : steps)
            args.push_back(Expand(s));
        CliResult r = RunCli(args, {"", {}, 170});  // the driver gives up after 150 s
        Lines seen, want = {"target " + WindowsPath(Path("my.tools"))};
        std::istringstream out(r.out);
        for (std::string line; std::getline(out, line);)
            if (line.erase(line.find_last_not_of("\r") + 1), !line.empty())
                seen.push_back(line);
        for (const std::string &s : expected)
            want.push_back(Expand(s));
        EXPECT_EQ(seen, want) << "driver status " << r.exitCode;
    }

    CliResult WinCli(Lines args)
    {
        args.insert(args.begin(), {WINE_EXECUTABLE, CORVANE_SFX_WIN64});
        CliResult r = RunCli(args);
        r.out.erase(std::remove(r.out.begin(), r.out.end(), '\r'), r.out.end());
        return r;
    }

    // Every member of a jlha archive below `into`, as Wine shows it.
    void ExpectExtracted(const std::string &archive, const std::string &into)
    {
        std::vector<ManifestEntry> entries = ReadManifest(CORVANE_TEST_DATA, archive);
        ASSERT_FALSE(entries.empty()) << archive;
        for (const ManifestEntry &e : entries) {
            SCOPED_TRACE(e.path);
            struct stat st;
            ASSERT_EQ(stat((into + "/" + e.path).c_str(), &st), 0);
            EXPECT_EQ(S_ISDIR(st.st_mode), e.kind == "dir");
            if (e.kind == "dir")
                continue;
            EXPECT_TRUE(Read(into + "/" + e.path) == Read(TestData("inputs/" + e.input))) << "contents differ";
            // Local time (levels 0, 1) becomes UTC with today's offset, not that date's.
            EXPECT_EQ((long long)st.st_mtime, e.level == 2 ? e.mtime : e.mtime + UtcOffset(e.mtime) - UtcOffset(time(0)));
            EXPECT_EQ((st.st_mode & 0222) == 0, (e.attribute & 1) != 0) << "read-only";
        }
    }

    // A line a file: "PATH=TEXT", "PATH<JLHA-INPUT", "PATH!" (absent); "PATH*=..." is read-only.
    void Tree(const Lines &lines, bool write)
    {
        for (const std::string &line : lines) {
            SCOPED_TRACE(line);
            size_t op = line.find_first_of("=<!");
            bool readOnly = line[op - 1] == '*';
            std::string path = Path(line.substr(0, op - readOnly)), value = line.substr(op + 1);
            if (write) {
                Write(line.substr(0, op - readOnly), value);
                chmod(path.c_str(), readOnly ? 0444 : 0644);
                continue;
            }
            struct stat st = {};
            EXPECT_EQ(stat(path.c_str(), &st) == 0, line[op] != '!');
            EXPECT_TRUE(line[op] == '!' || Read(path) == (line[op] == '<' ? Read(TestData("inputs/" + value)) : value));
            EXPECT_TRUE(!readOnly || (st.st_mode & 0222) == 0) << "read-only";
        }
    }
};

// ---- The dialogs, one run a row.

struct Case {
    std::string name;
    std::string archive;  // a jlha archive, with "!MEMBER": one byte of its data spoilt, "!stub": of the stub
    Lines members;        // else stored members "PATH=TEXT", levels 0, 1, 2 taking turns
    Lines before, steps, said, after;
    std::string whole;  // where `archive` must come out whole
};
void PrintTo(const Case &c, std::ostream *out) { *out << c.name; }

const char kBoxGoOn[] = "box Warning: Do you want to cancel extracting?", kBoxDamaged[] = "box Error: The archive is damaged.";
const char kReplaceA[] = "box Warning: Do you want to replace the file\\n$OUT\\a.txt?";
const char kReplaceC[] = "box Warning: Do you want to replace the file\\n$OUT\\c.txt?\\nThe R, S or H attribute is set!";
const char kReplaceBig[] = "box Warning: Do you want to replace the file\\n$OUT\\over64k.bin?";
const char kReallyCancel[] = "box Warning: Do you really want to cancel?";
const Lines kAbc = {"a.txt=new a", "b.txt=new b", "c.txt=new c"}, kOldAc = {"out/a.txt=old a", "out/c.txt*=old c"};

std::vector<Case> Cases()
{
    // Every method, header levels taking turns, a tree; for the LArc methods
    // the archives free of matches at the ring's edge, which come out whole.
    std::vector<Case> runs;
    for (const char *archive : {"lh0-l0", "lh1-l1", "lh4-l2", "lh5-l0", "lh6-l1", "damage-lzs", "damage-lz5", "lz4-l1", "tree-l1"})
        runs.push_back({archive, std::string(archive) + ".lzh", {}, {}, {"target:extract"}, {"exit 0"}, {}, "my.tools"});
    const Case more[] = {
        // Cancel and Escape in the target dialog write nothing.
        {"Cancel", "", {"a.txt=a"}, {}, {"target:cancel"}, {"exit 1"}, {"my.tools!"}},
        {"Escape", "", {"a.txt=a"}, {}, {"target:escape"}, {"exit 1"}, {"my.tools!"}},
        // An empty path is refused; a relative one counts from the current directory.
        {"IncorrectPathThenEnter", "", {"a.txt=1", "d/b.txt=2", "d/e/c.txt=3"}, {},
         {"target:extract=", "box:ok", "target:enter=rel\\out"}, {"box Error: Incorrect path.", "exit 0"},
         {"rel/out/a.txt=1", "rel/out/d/b.txt=2", "rel/out/d/e/c.txt=3"}},
        // Replacing existing files: a.txt, and c.txt, which is read-only.
        {"ReplaceYesNo", "", kAbc, kOldAc, {"target:extract=$OUT", "box:yes", "box:no"}, {kReplaceA, kReplaceC, "exit 0"},
         {"out/a.txt=new a", "out/b.txt=new b", "out/c.txt*=old c"}},
        {"ReplaceCancelStop", "", kAbc, kOldAc, {"target:extract=$OUT", "box:cancel", "box:yes"}, {kReplaceA, kBoxGoOn, "exit 1"},
         {"out/a.txt=old a", "out/b.txt!", "out/c.txt=old c"}},
        {"ReplaceCancelGoOnYes", "", kAbc, kOldAc, {"target:extract=$OUT", "box:cancel", "box:no", "box:yes"},
         {kReplaceA, kBoxGoOn, kReplaceC, "exit 0"}, {"out/a.txt=old a", "out/b.txt=new b", "out/c.txt=new c"}},
        // text.txt's CRC fails: it leaves no file, the members around it are fine.
        {"DamagedMemberStop", "lh0-l1.lzh!text.txt", {}, {}, {"target:extract", "box:ok", "box:yes"}, {kBoxDamaged, kBoxGoOn, "exit 1"},
         {"my.tools/runs.bin<runs.bin", "my.tools/text.txt!", "my.tools/random.bin!"}},
        {"DamagedMemberGoOn", "lh0-l1.lzh!text.txt", {}, {}, {"target:extract", "box:ok", "box:no"}, {kBoxDamaged, kBoxGoOn, "exit 0"},
         {"my.tools/runs.bin<runs.bin", "my.tools/text.txt!", "my.tools/random.bin<random.bin"}},
        // A byte that Windows never reads: only the stub's own sum notices.
        {"DamagedStub", "!stub", {"a.txt=a"}, {}, {"target:extract", "box:ok"},
         {"box Error: The self-extracting archive is damaged.", "exit 1"}, {"my.tools/a.txt!"}},
        // Cancel in the progress dialog, by button or key, within a large member replacing a file.
        {"ProgressStopYes", "lh5-l1.lzh", {}, {"out/over64k.bin=old"}, {"target:extract=$OUT", "box:yes+stop", "box:yes"},
         {kReplaceBig, kReallyCancel, "exit 1"}, {"out/over64k.bin!", "out/exact64k.bin<exact64k.bin", "out/runs.bin!"}},
        {"ProgressEscapeYes", "lh5-l1.lzh", {}, {"out/over64k.bin=old"}, {"target:extract=$OUT", "box:yes+escape", "box:yes"},
         {kReplaceBig, kReallyCancel, "exit 1"}, {"out/over64k.bin!", "out/exact64k.bin<exact64k.bin", "out/runs.bin!"}},
        {"ProgressStopNo", "lh5-l1.lzh", {}, {"out/over64k.bin=old"}, {"target:extract=$OUT", "box:yes+stop", "box:no"},
         {kReplaceBig, kReallyCancel, "exit 0"}, {}, "out"},
    };
    runs.insert(runs.end(), std::begin(more), std::end(more));
    return runs;
}

class Dialogs : public WineTest, public ::testing::WithParamInterface<Case> {};

TEST_P(Dialogs, Play)
{
    const Case &run = GetParam();
    size_t bang = run.archive.find('!');
    std::string archive = run.archive.substr(0, bang), spoilt = bang == std::string::npos ? "" : run.archive.substr(bang + 1);
    std::vector<lzh::Member> members;
    for (const std::string &m : run.members)
        members.push_back(lzh::Stored(m.substr(0, m.find('=')), m.substr(m.find('=') + 1), (int)members.size() % 3));
    std::string bytes = archive.empty() ? lzh::Archive(members) : Read(TestData(archive));
    for (const ManifestEntry &e : ReadManifest(CORVANE_TEST_DATA, archive.empty() ? "-" : archive))
        if (e.path == spoilt)
            bytes[e.packedOffset + 1000] ^= 0x20;
    MakeSfx(Write("archive.lzh", bytes));
    if (spoilt == "stub") {
        std::string sfx = Read(Path("my.tools.exe"));
        size_t dosMessage = sfx.find("Needs Windows.");
        ASSERT_NE(dosMessage, std::string::npos);
        sfx[dosMessage] = 'n';
        Write("my.tools.exe", sfx);
    }
    Shell("mkdir -p '" + Path("out") + "'");
    Tree(run.before, true);
    Play(run.steps, run.said);
    Tree(run.after, false);
    if (!run.whole.empty())
        ExpectExtracted(archive, Path(run.whole));
}

INSTANTIATE_TEST_SUITE_P(Wine, Dialogs, ::testing::ValuesIn(Cases()), [](const ::testing::TestParamInfo<Case> &test) {
    std::string name = test.param.name;
    std::replace(name.begin(), name.end(), '-', '_');
    return name;
});

// Free space is measured on the target's drive, not on the current one: the
// target lies directly under the root of Y:, a tmpfs of 256 KiB (root only).
TEST_F(WineTest, FreeSpaceOnTheTargetsDrive)
{
    std::string disk = Path("disk"), drive = WINE_SESSION_DIR "/prefix/dosdevices/y:";
    Shell("mkdir -p '" + disk + "'");
    if (mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=256k") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here";
    Shell("ln -sfn '" + disk + "' '" + drive + "'");
    MakeSfx(Write("archive.lzh", lzh::Archive({lzh::Stored("big.bin", std::string(600 * 1024, 'b'))})));
    Play({"target:extract=Y:\\new", "box:no"}, {"box Warning: There is not enough space on the data carrier.\\n"
                                                "Do you want extract the archive anyway?", "exit 1"});
    EXPECT_FALSE(Exists(disk + "/new"));
    unlink(drive.c_str());
    umount2(disk.c_str(), MNT_DETACH);
}

// The first SETUP.EXE in any case, started in its own directory. "No" runs
// first, so that once "yes" has left its note, "no" would have too.
TEST_F(WineTest, SetupOfferYesAndNo)
{
    MakeSfx(Write("archive.lzh", lzh::Archive({lzh::Stored("readme.txt", "read me"),
                                               lzh::Stored("disk1/Setup.exe", Read(WINE_SETUP_PROBE), 1),
                                               lzh::Stored("disk2/SETUP.EXE", "second, never offered", 2)})));
    for (const char *answer : {"no", "yes"})
        Play({"target:extract=" + WindowsPath(Path(answer)), std::string("box:") + answer},
             {"box Execute: Do you want to execute setup now?", "exit 0"});
    std::string note = Path("yes/disk1/SETUP-RAN.TXT");
    for (int i = 0; i < 600 && !Exists(note); i++)
        usleep(100000);
    EXPECT_EQ(Read(note), WindowsPath(Path("yes/disk1")));
    EXPECT_FALSE(Exists(Path("no/disk1/SETUP-RAN.TXT")));
}

// A comctl32.dll planted in the downloads folder must not be loaded, though
// Wine prefers a native one and a naive loader (the control) does load it.
TEST_F(WineTest, PlantedDllBesideTheStubIsNotLoaded)
{
    std::string marker = Path("planted-dll-loaded.txt");
    Shell("cp '" WINE_PLANTED_DLL "' '" WINE_PLAIN_LOADER "' '" + root + "'");
    std::string saved = getenv("WINEDLLOVERRIDES");
    setenv("WINEDLLOVERRIDES", (saved + ";comctl32=n,b").c_str(), 1);
    EXPECT_EQ(RunCli({WINE_EXECUTABLE, Path("plain_loader.exe")}).exitCode, 0);
    EXPECT_TRUE(Exists(marker)) << "the planted DLL is not picked up even by a naive loader";
    Shell("rm -f '" + marker + "'");
    MakeSfx(Write("archive.lzh", lzh::Archive({lzh::Stored("a.txt", "a")})));
    Play({"target:extract=$OUT"}, {"exit 0"});
    setenv("WINEDLLOVERRIDES", saved.c_str(), 1);
    EXPECT_EQ(Read(Path("out/a.txt")), "a");
    EXPECT_FALSE(Exists(marker));
}

// Signed, then resealed by corvane-sfx.exe: Windows runs it like any other.
// (The Linux tool's reseal is checked on the host.)
TEST_F(WineTest, SignedAndResealedSelfExtractorRuns)
{
    if (!*CORVANE_SFX_WIN64 || system("command -v osslsigncode >/dev/null && command -v openssl >/dev/null") != 0)
        GTEST_SKIP() << "built without corvane-sfx.exe, or osslsigncode or openssl missing";
    MakeSfx(Write("archive.lzh", lzh::Archive({lzh::Stored("signed.txt", "signed")})));
    Shell("cd '" + root + "' && openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem"
          " -days 2 -subj /CN=Throwaway >/dev/null 2>&1 && osslsigncode sign -certs cert.pem -key key.pem"
          " -in my.tools.exe -out signed.exe >/dev/null && mv signed.exe my.tools.exe");
    CliResult r = WinCli({"seal", WindowsPath(Path("my.tools.exe"))});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    Shell("cd '" + root + "' && osslsigncode verify -CAfile cert.pem my.tools.exe >/dev/null 2>&1");
    Play({"target:extract=$OUT"}, {"exit 0"});
    EXPECT_EQ(Read(Path("out/signed.txt")), "signed");
}

// corvane-sfx.exe packs a tree with a read-only file and code page 437 names as the Linux
// tool does at every level, lists and tests alike, and its self-extractor and `extract` work.
TEST_F(WineTest, WindowsToolPacksAsTheLinuxOneAndExtractsThroughTheDialogs)
{
    if (!*CORVANE_SFX_WIN64)
        GTEST_SKIP() << "built without corvane-sfx.exe";
    Shell("mkdir -p '" + Path("tree/Fächer/Öl") + "' && cd '" + root + "/tree' && cp '" + TestData("inputs/main.c") +
          "' . && cp '" + TestData("inputs/runs.bin") + "' Fächer/Grüße.bin && cp '" + TestData("inputs/locked.txt") +
          "' Fächer/Öl/ß.txt && chmod 444 Fächer/Öl/ß.txt");
    for (std::string level : {"0", "1", "2"}) {
        SCOPED_TRACE("level " + level);
        Lines make = {"make", "--level", level, "--mtime", "1690000000", "--archive-only"};
        auto with = [&](Lines tail) { return tail.insert(tail.begin(), make.begin(), make.end()), tail; };
        CliResult l = Cli(with({Path("l.lzh"), Path("tree")}));
        CliResult w = WinCli(with({WindowsPath(Path("w.lzh")), WindowsPath(Path("tree"))}));
        ASSERT_EQ(l.exitCode, 0) << l.err;
        ASSERT_EQ(w.exitCode, 0) << w.err;
        EXPECT_TRUE(Read(Path("w.lzh")) == Read(Path("l.lzh"))) << "the archives differ";
        // list converts level 2 (UTC) times with that date's offset under Wine, today's on Linux.
        for (std::string command : {"list", "test"})
            if (command == "test" || level != "2") {
                w = WinCli({command, WindowsPath(Path("w.lzh"))});
                EXPECT_EQ(w.exitCode, 0) << w.err;
                EXPECT_EQ(w.out, Cli({command, Path("l.lzh")}).out);
            }
    }
    CliResult r = WinCli({"make", "--stub", WindowsPath(CORVANE_STUB64), "-o", WindowsPath(Path("my.tools.exe")),
                          WindowsPath(Path("tree"))});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    for (bool viaTool : {false, true}) {
        SCOPED_TRACE(viaTool ? "corvane-sfx.exe extract my.tools.exe" : "my.tools.exe");
        extractor = viaTool ? CORVANE_SFX_WIN64 : "";
        Shell("rm -rf '" + Path("my.tools") + "'");
        Play({"target:extract"}, {"exit 0"});
        Tree({"my.tools/tree/main.c<main.c", "my.tools/tree/Fächer/Grüße.bin<runs.bin",
              "my.tools/tree/Fächer/Öl/ß.txt*<locked.txt"}, false);
    }
}

}  // namespace
