// The x86_64 stub end to end under Wine: a self-extracting file made by
// `corvane-sfx make`, started by driver.exe, which plays the user from a
// script and reports every dialog and message box it meets (and leaves a
// screenshot of each in build/screenshots). Each test compares the report
// and the files on disk with what the user must see and get.
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <unistd.h>

#include "tests/cli_fixture.h"
#include "tests/lzh_builder.h"
#include "tests/manifest.h"

namespace {

using Lines = std::vector<std::string>;

const char kDamaged[] = "box Error: The archive is damaged.";
const char kGoOn[] = "box Warning: Do you want to cancel extracting?";
const char kReallyCancel[] = "box Warning: Do you really want to cancel?";
const char kSetup[] = "box Execute: Do you want to execute setup now?";

void Shell(const std::string &command) { ASSERT_EQ(system(command.c_str()), 0) << command; }

// Wine shows the Linux root as drive Z:.
std::string WindowsPath(std::string path)
{
    for (char &c : path)
        c = c == '/' ? '\\' : c;
    return "Z:" + path;
}

Lines Concat(Lines a, const Lines &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::string TestData(const std::string &name) { return std::string(CORVANE_TEST_DATA) + "/" + name; }

// The last-write time Windows gives a member. Levels 0 and 1 store local
// time, which LocalFileTimeToFileTime turns into UTC with today's offset,
// not the one of that date; level 2 stores UTC and arrives unchanged.
long long ExpectedWriteTime(const ManifestEntry &e)
{
    auto offset = [](time_t when) {
        struct tm local;
        localtime_r(&when, &local);
        return (long long)local.tm_gmtoff;
    };
    return e.level == 2 ? e.mtime : e.mtime + offset((time_t)e.mtime) - offset(time(nullptr));
}

class WineSession : public ::testing::Environment {
public:
    void SetUp() override
    {
        Shell(std::string(WINE_SESSION_SCRIPT) + " ensure " + WINE_SESSION_DIR);
        std::string display;
        std::ifstream(std::string(WINE_SESSION_DIR) + "/display") >> display;
        setenv("DISPLAY", (":" + display).c_str(), 1);
        setenv("WINEPREFIX", (std::string(WINE_SESSION_DIR) + "/prefix").c_str(), 1);
        setenv("WINEDEBUG", "-all", 1);
        setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);
        setenv("TZ", "Europe/Berlin", 1);  // the zone of the jlha archives' local times
    }
};

const ::testing::Environment *const session = ::testing::AddGlobalTestEnvironment(new WineSession);

// The test's folder is the self-extractor's current directory.
class WineTest : public CliTest {
protected:
    std::string name;
    int runs = 0;
    std::string extractor;  // when set, Play runs `EXTRACTOR extract EXE` instead of EXE

    void SetUp() override
    {
        CliTest::SetUp();
        name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        for (char &c : name)
            c = isalnum((unsigned char)c) ? c : '_';
        Shell("mkdir -p '" SCREENSHOT_DIR "'");
    }

    void MakeSfx(const std::string &archivePath, const std::string &exe = "sample.exe")
    {
        RunResult r = Cli({"make", "--stub", CORVANE_STUB64, "-o", Path(exe), archivePath});
        ASSERT_EQ(r.exitCode, 0) << r.err;
    }

    void MakeSfxFrom(const std::vector<lzh::Member> &members, const std::string &exe = "sample.exe")
    {
        MakeSfx(Write("archive.lzh", lzh::Archive(members)), exe);
    }

    // Plays the steps and checks the driver's report: the proposal, then
    // the expected lines (the last one "exit N").
    void Play(const Lines &steps, Lines expected, const std::string &exe = "sample.exe")
    {
        std::string shots = Path(name + "-" + std::to_string(++runs));
        Lines args = {WINE_EXECUTABLE, WINE_DRIVER, "--cwd", WindowsPath(root), "--shots", WindowsPath(shots),
                      "--args", extractor.empty() ? "" : "extract " + exe,
                      WindowsPath(extractor.empty() ? Path(exe) : extractor)};
        args.insert(args.end(), steps.begin(), steps.end());
        CliOptions options;
        options.timeoutSeconds = 90;
        CliResult r = RunCli(args, options);
        Lines seen;
        std::istringstream out(r.out);
        for (std::string line; std::getline(out, line);) {
            line.erase(line.find_last_not_of("\r") + 1);
            if (!line.empty())
                seen.push_back(line);
        }
        expected.insert(expected.begin(), "target " + WindowsPath(Path(exe.substr(0, exe.rfind('.')))));
        EXPECT_EQ(seen, expected) << "driver status " << r.exitCode;
        if (std::string(IMAGEMAGICK_CONVERT).empty())
            return;
        Shell("for f in '" + shots + "'-*.bmp; do [ ! -e \"$f\" ] || { '" + IMAGEMAGICK_CONVERT + "' \"$f\" '" +
              SCREENSHOT_DIR + "'/\"$(basename \"$f\" .bmp)\".png && rm \"$f\"; }; done");
    }

    std::string Out() const { return WindowsPath(Path("out")); }

    // corvane-sfx.exe under Wine.
    CliResult WinCli(Lines args)
    {
        args.insert(args.begin(), {WINE_EXECUTABLE, CORVANE_SFX_WIN64});
        CliResult r = RunCli(args);
        r.out.erase(std::remove(r.out.begin(), r.out.end(), '\r'), r.out.end());
        return r;
    }

    // Every member of a jlha archive below `into`: contents, time stamp,
    // and the read-only flag as Wine shows it.
    void ExpectExtracted(const std::string &archive, const std::string &into)
    {
        std::vector<ManifestEntry> entries = ReadManifest(CORVANE_TEST_DATA, archive);
        ASSERT_FALSE(entries.empty()) << archive << " is not in " << CORVANE_TEST_DATA;
        for (const ManifestEntry &e : entries) {
            SCOPED_TRACE(e.path);
            struct stat st;
            ASSERT_EQ(stat((into + "/" + e.path).c_str(), &st), 0);
            EXPECT_EQ(S_ISDIR(st.st_mode), e.kind == "dir");
            if (e.kind == "dir")
                continue;
            EXPECT_TRUE(Read(into + "/" + e.path) == Read(TestData("inputs/" + e.input))) << "contents differ";
            EXPECT_EQ((long long)st.st_mtime, ExpectedWriteTime(e));
            EXPECT_EQ((st.st_mode & 0222) == 0, (e.attribute & 1) != 0) << "read-only";
        }
    }
};

// ---- Every method, the header levels taking turns, and a directory tree.
// For the LArc methods the archives whose encodings have no match at the
// ring's edge (see tests/java): those must come out whole.

class EveryMethod : public WineTest, public ::testing::WithParamInterface<const char *> {};

TEST_P(EveryMethod, ExtractsIntoTheProposedDirectory)
{
    std::string archive = std::string(GetParam()) + ".lzh";
    MakeSfx(TestData(archive));
    Play({"target:extract"}, {"exit 0"});
    ExpectExtracted(archive, Path("sample"));
}

INSTANTIATE_TEST_SUITE_P(Wine, EveryMethod,
                         ::testing::Values("lh0-l0", "lh1-l1", "lh4-l2", "lh5-l0", "lh6-l1", "damage-lzs",
                                           "damage-lz5", "lz4-l1", "tree-l1"),
                         [](const ::testing::TestParamInfo<const char *> &test) {
                             std::string name = test.param;
                             return name.replace(name.find('-'), 1, "_");
                         });

// ---- The target-directory dialog.

TEST_F(WineTest, CancelAndEscapeWriteNothing)
{
    // The proposal is the program's name without its last extension.
    MakeSfxFrom({lzh::Stored("a.txt", "a")}, "my.tools.exe");
    for (const char *step : {"target:cancel", "target:escape"}) {
        SCOPED_TRACE(step);
        Play({step}, {"exit 1"}, "my.tools.exe");
        EXPECT_FALSE(Exists(Path("my.tools")));
    }
}

TEST_F(WineTest, IncorrectPathIsAskedAgainThenEnterExtracts)
{
    // An empty path cannot be made absolute; the dialog stays for another
    // try, where a relative path counts from the current directory.
    MakeSfxFrom({lzh::Stored("a.txt", "first"), lzh::Stored("d/b.txt", "second", 2)});
    Play({"target:extract=", "box:ok", "target:enter=rel\\out"}, {"box Error: Incorrect path.", "exit 0"});
    EXPECT_EQ(Read(Path("rel/out/a.txt")), "first");
    EXPECT_EQ(Read(Path("rel/out/d/b.txt")), "second");
}

// ---- Replacing existing files: a.txt, and c.txt, which is read-only.

TEST_F(WineTest, ReplaceYesNoAndCancel)
{
    MakeSfxFrom({lzh::Stored("a.txt", "new a"), lzh::Stored("b.txt", "new b"), lzh::Stored("c.txt", "new c")});
    std::string a = "box Warning: Do you want to replace the file\\n" + Out() + "\\a.txt?";
    std::string c = "box Warning: Do you want to replace the file\\n" + Out() + "\\c.txt?\\nThe R, S or H attribute is set!";
    const struct {
        Lines answers, said;
        const char *a, *b, *c;  // the files afterwards; null: none
    } cases[] = {
        {{"box:yes", "box:no"}, {a, c, "exit 0"}, "new a", "new b", "old c"},
        {{"box:cancel", "box:yes"}, {a, kGoOn, "exit 1"}, "old a", nullptr, "old c"},
        {{"box:cancel", "box:no", "box:yes"}, {a, kGoOn, c, "exit 0"}, "old a", "new b", "new c"},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.answers[0] + " " + k.answers[1]);
        Shell("rm -rf '" + Path("out") + "' && mkdir '" + Path("out") + "'");
        Write("out/a.txt", "old a");
        Write("out/c.txt", "old c");
        chmod(Path("out/c.txt").c_str(), 0444);
        Lines steps = {"target:extract=" + Out()};
        steps.insert(steps.end(), k.answers.begin(), k.answers.end());
        Play(steps, k.said);
        EXPECT_EQ(Read(Path("out/a.txt")), k.a);
        EXPECT_EQ(Exists(Path("out/b.txt")), k.b != nullptr);
        EXPECT_EQ(Read(Path("out/b.txt")), k.b ? k.b : "");
        EXPECT_EQ(Read(Path("out/c.txt")), k.c);
    }
}

// ---- Damage.

TEST_F(WineTest, DamagedMemberThenStopOrGoOn)
{
    // One byte of text.txt's stored data changed: its CRC fails, the
    // members around it are fine.
    std::string archive = Read(TestData("lh0-l1.lzh"));
    for (const ManifestEntry &e : ReadManifest(CORVANE_TEST_DATA, "lh0-l1.lzh"))
        if (e.path == "text.txt")
            archive[e.packedOffset + 1000] ^= 0x20;
    MakeSfx(Write("archive.lzh", archive));
    for (bool stop : {true, false}) {
        SCOPED_TRACE(stop ? "stop" : "go on");
        Shell("rm -rf '" + Path("sample") + "'");
        Play({"target:extract", "box:ok", stop ? "box:yes" : "box:no"}, {kDamaged, kGoOn, stop ? "exit 1" : "exit 0"});
        EXPECT_TRUE(Read(Path("sample/runs.bin")) == Read(TestData("inputs/runs.bin")));
        EXPECT_FALSE(Exists(Path("sample/text.txt"))) << "a damaged member leaves no file";
        EXPECT_TRUE(Read(Path("sample/random.bin")) == (stop ? "" : Read(TestData("inputs/random.bin"))));
    }
}

TEST_F(WineTest, DamagedStubIsRefusedBeforeAnythingIsWritten)
{
    MakeSfxFrom({lzh::Stored("a.txt", "a")});
    std::string sfx = Read(Path("sample.exe"));
    size_t dosMessage = sfx.find("Needs Windows.");
    ASSERT_NE(dosMessage, std::string::npos);
    sfx[dosMessage] = 'n';  // a byte Windows never reads: only the stub's sum notices
    Write("sample.exe", sfx);
    Play({"target:extract", "box:ok"}, {"box Error: The self-extracting archive is damaged.", "exit 1"});
    EXPECT_FALSE(Exists(Path("sample/a.txt")));
}

// ---- The setup offer: the first SETUP.EXE, in any case, started in its
// own directory once the self-extractor has ended.

TEST_F(WineTest, SetupOfferYesAndNo)
{
    MakeSfxFrom({lzh::Stored("readme.txt", "read me"), lzh::Stored("disk1/Setup.exe", Read(WINE_SETUP_PROBE), 1),
                 lzh::Stored("disk2/SETUP.EXE", "second, never offered", 2)});
    for (bool yes : {false, true}) {
        std::string out = yes ? "yes" : "no", note = Path(out + "/disk1/SETUP-RAN.TXT");
        Play({"target:extract=" + WindowsPath(Path(out)), yes ? "box:yes" : "box:no"}, {kSetup, "exit 0"});
        for (int i = 0; i < (yes ? 100 : 15) && !Exists(note); i++)
            usleep(100000);
        EXPECT_EQ(Read(note), yes ? WindowsPath(Path(out + "/disk1")) : "");
    }
}

// A self-extractor runs from a downloads folder: a comctl32.dll planted
// beside it must not be loaded. Wine is told to prefer a native comctl32,
// and the control, a program that loads the name the naive way, does get
// the planted one: the plant would work on a stub that searched its own
// folder.
TEST_F(WineTest, PlantedDllBesideTheStubIsNotLoaded)
{
    std::string marker = Path("planted-dll-loaded.txt");
    Shell("cp '" + std::string(WINE_PLANTED_DLL) + "' '" + std::string(WINE_PLAIN_LOADER) + "' '" + root + "'");
    std::string saved = getenv("WINEDLLOVERRIDES");
    setenv("WINEDLLOVERRIDES", (saved + ";comctl32=n,b").c_str(), 1);
    CliResult control = RunCli({WINE_EXECUTABLE, Path("plain_loader.exe")});
    EXPECT_EQ(control.exitCode, 0);
    EXPECT_TRUE(Exists(marker)) << "the planted DLL is not picked up even by a naive loader";
    Shell("rm -f '" + marker + "'");

    MakeSfxFrom({lzh::Stored("a.txt", "a")});
    Play({"target:extract=" + WindowsPath(Path("out"))}, {"exit 0"});
    setenv("WINEDLLOVERRIDES", saved.c_str(), 1);
    EXPECT_EQ(Read(Path("out/a.txt")), "a");
    EXPECT_FALSE(Exists(marker));
}

// A distributor signs the self-extractor and reseals it: Windows runs it
// like any other (the host-side half of this is tests/signing_test.cpp).
TEST_F(WineTest, SignedAndResealedSelfExtractorRuns)
{
    if (system("command -v osslsigncode >/dev/null && command -v openssl >/dev/null") != 0)
        GTEST_SKIP() << "osslsigncode or openssl missing";
    MakeSfxFrom({lzh::Stored("signed.txt", "signed")});
    Shell("cd '" + root + "' && openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem"
          " -days 2 -subj /CN=Throwaway >/dev/null 2>&1 && osslsigncode sign -certs cert.pem -key key.pem"
          " -in sample.exe -out signed.exe >/dev/null && mv signed.exe sample.exe");
    Shell("cp '" + Path("sample.exe") + "' '" + Path("signed.exe") + "'");
    for (bool windows : {false, !!*CORVANE_SFX_WIN64}) {
        SCOPED_TRACE(windows ? "sealed by corvane-sfx.exe" : "sealed by corvane-sfx");
        Shell("cp '" + Path("signed.exe") + "' '" + Path("sample.exe") + "' && rm -rf '" + Path("out") + "'");
        CliResult r = windows ? WinCli({"seal", WindowsPath(Path("sample.exe"))}) : RunCli({CORVANE_SFX, "seal", Path("sample.exe")});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        Shell("cd '" + root + "' && osslsigncode verify -CAfile cert.pem sample.exe >/dev/null 2>&1");
        Play({"target:extract=" + WindowsPath(Path("out"))}, {"exit 0"});
        EXPECT_EQ(Read(Path("out/signed.txt")), "signed");
    }
}

// ---- corvane-sfx.exe: a tree with directories, a read-only file and
// names in code page 437 gives the Linux tool's very bytes at every header
// level; list and test read it as the Linux tool does; the self-extractor
// it makes and its own `extract` unpack it through the real dialogs.

TEST_F(WineTest, WindowsToolPacksAsTheLinuxOneAndExtractsThroughTheDialogs)
{
    if (!*CORVANE_SFX_WIN64)
        GTEST_SKIP() << "built without corvane-sfx.exe";
    Shell("mkdir -p '" + Path("tree/Fächer/Öl") + "' && cd '" + root + "/tree' && cp '" + TestData("inputs/main.c") +
          "' . && cp '" + TestData("inputs/runs.bin") + "' Fächer/Grüße.bin && cp '" + TestData("inputs/locked.txt") +
          "' Fächer/Öl/ß.txt && chmod 444 Fächer/Öl/ß.txt");
    std::string tree = Path("tree"), onLinux = Path("linux.lzh"), onWindows = Path("windows.lzh");
    for (const char *level : {"0", "1", "2"}) {
        SCOPED_TRACE(std::string("level ") + level);
        Lines make = {"make", "--level", level, "--mtime", "1690000000", "--archive-only"};
        CliResult l = Cli(Concat(make, {onLinux, tree})), w = WinCli(Concat(make, {WindowsPath(onWindows), WindowsPath(tree)}));
        ASSERT_EQ(l.exitCode, 0) << l.err;
        ASSERT_EQ(w.exitCode, 0) << w.err;
        EXPECT_TRUE(Read(onWindows) == Read(onLinux)) << "the archives differ";
        for (std::string command : {"list", "test"}) {
            // A level 2 time is UTC, which list shows in local time: Wine
            // converts with that date's offset, the Linux stand-in (as
            // Windows itself) with today's.
            if (command == "list" && level == std::string("2"))
                continue;
            w = WinCli({command, WindowsPath(onWindows)});
            l = Cli({command, onLinux});
            EXPECT_EQ(w.exitCode, 0) << w.err;
            EXPECT_EQ(w.out, l.out);
        }
    }
    CliResult r = WinCli({"make", "--stub", WindowsPath(CORVANE_STUB64), "-o", WindowsPath(Path("sample.exe")), WindowsPath(tree)});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    for (bool viaTool : {false, true}) {
        SCOPED_TRACE(viaTool ? "corvane-sfx.exe extract sample.exe" : "sample.exe");
        extractor = viaTool ? CORVANE_SFX_WIN64 : "";
        Shell("rm -rf '" + Path("sample") + "'");
        Play({"target:extract"}, {"exit 0"});
        EXPECT_TRUE(Read(Path("sample/tree/main.c")) == Read(TestData("inputs/main.c")));
        EXPECT_TRUE(Read(Path("sample/tree/Fächer/Grüße.bin")) == Read(TestData("inputs/runs.bin")));
        struct stat st;
        ASSERT_EQ(stat(Path("sample/tree/Fächer/Öl/ß.txt").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0222, 0u) << "read-only";
    }
}

// ---- Cancel in the progress dialog. A click waits in the queue until the
// pump after the next output block. To land inside the large member every
// time, the target already holds it, and the click is posted right after
// the answer to the replace question.

TEST_F(WineTest, CancelInTheProgressDialogYesAndNo)
{
    MakeSfx(TestData("lh5-l1.lzh"));
    const struct {
        const char *replace, *really, *exit;
    } cases[] = {{"box:yes+stop", "box:yes", "exit 1"}, {"box:yes+escape", "box:yes", "exit 1"},
                 {"box:yes+stop", "box:no", "exit 0"}};
    for (const auto &k : cases) {
        SCOPED_TRACE(std::string(k.replace) + " " + k.really);
        Shell("rm -rf '" + Path("out") + "' && mkdir '" + Path("out") + "'");
        Write("out/over64k.bin", "to be replaced");
        Play({"target:extract=" + Out(), k.replace, k.really},
             {"box Warning: Do you want to replace the file\\n" + Out() + "\\over64k.bin?", kReallyCancel, k.exit});
        if (std::string(k.exit) == "exit 0") {
            ExpectExtracted("lh5-l1.lzh", Path("out"));
            continue;
        }
        EXPECT_FALSE(Exists(Path("out/over64k.bin"))) << "the member being decoded is removed";
        EXPECT_TRUE(Read(Path("out/exact64k.bin")) == Read(TestData("inputs/exact64k.bin")));
        EXPECT_FALSE(Exists(Path("out/runs.bin"))) << "nothing after the cancel";
    }
}

}  // namespace
