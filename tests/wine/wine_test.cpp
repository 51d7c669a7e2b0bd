// The x86_64 stub end to end under Wine: a self-extracting file made by
// `corvane-sfx make`, started by tests/wine/driver.exe, which plays the
// user from a script and reports every dialog and message box it meets.
// Each test compares that report and the files on disk with what a user
// must see and get.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/lzh_builder.h"
#include "tests/run_cli.h"

namespace {

const char kDamaged[] = "box Error: The archive is damaged.";
const char kGoOn[] = "box Warning: Do you want to cancel extracting?";
const char kReallyCancel[] = "box Warning: Do you really want to cancel?";

std::string ReadFile(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

void WriteFile(const std::string &path, const std::string &bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

bool Exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// Wine shows the Linux root as drive Z:.
std::string WindowsPath(const std::string &unixPath)
{
    std::string path = "Z:" + unixPath;
    for (char &c : path)
        if (c == '/')
            c = '\\';
    return path;
}

std::vector<std::string> Lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty())
            lines.push_back(line);
    }
    return lines;
}

std::string Joined(const std::vector<std::string> &lines)
{
    std::string s;
    for (const std::string &line : lines)
        s += "  " + line + "\n";
    return s;
}

// One member of the archives that tests/java writes into build/testdata.
struct ManifestEntry {
    std::string archive, kind, method, path, input;
    int level = 0;
    long mtime = 0;  // UTC seconds of the instant the encoder was given
    long packedOffset = 0;
};

std::vector<ManifestEntry> Manifest(const std::string &archive)
{
    std::vector<ManifestEntry> entries;
    std::ifstream f(std::string(CORVANE_TEST_DATA) + "/manifest.tsv");
    for (std::string line; std::getline(f, line);) {
        if (line.empty() || line[0] == '#')
            continue;
        std::vector<std::string> field;
        std::istringstream in(line);
        for (std::string cell; std::getline(in, cell, '\t');)
            field.push_back(cell);
        if (field.size() < 10 || field[0] != archive)
            continue;
        ManifestEntry e;
        e.archive = field[0];
        e.level = atoi(field[1].c_str());
        e.kind = field[2];
        e.method = field[3];
        e.path = field[4];
        e.input = field[5];
        e.mtime = atol(field[6].c_str());
        e.packedOffset = atol(field[8].c_str());
        entries.push_back(e);
    }
    return entries;
}

// Seconds east of UTC in the test's zone at `when`.
long ZoneOffset(time_t when)
{
    struct tm local;
    localtime_r(&when, &local);
    return local.tm_gmtoff;
}

// The last-write time Windows gives an extracted member. Levels 0 and 1
// store local time, which the stub turns into UTC with the zone's offset
// of today (that is how LocalFileTimeToFileTime works), not with the offset
// the encoder used on that date; level 2 goes from UTC to local and back
// with the same offset and so arrives where it started.
long ExpectedWriteTime(const ManifestEntry &e)
{
    if (e.level == 2)
        return e.mtime;
    return e.mtime + ZoneOffset((time_t)e.mtime) - ZoneOffset(time(nullptr));
}

std::string Input(const std::string &name)
{
    return ReadFile(std::string(CORVANE_TEST_DATA) + "/inputs/" + name);
}

class WineSession : public ::testing::Environment {
public:
    void SetUp() override
    {
        std::string command = std::string(WINE_SESSION_SCRIPT) + " ensure " + WINE_SESSION_DIR;
        ASSERT_EQ(system(command.c_str()), 0) << "cannot start the Wine session";
        std::string display = ReadFile(std::string(WINE_SESSION_DIR) + "/display");
        while (!display.empty() && isspace((unsigned char)display.back()))
            display.pop_back();
        ASSERT_FALSE(display.empty());
        setenv("DISPLAY", (":" + display).c_str(), 1);
        setenv("WINEPREFIX", (std::string(WINE_SESSION_DIR) + "/prefix").c_str(), 1);
        setenv("WINEDEBUG", "-all", 1);
        setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);
        // The jlha archives hold local times written in this zone.
        setenv("TZ", "Europe/Berlin", 1);
    }
};

const ::testing::Environment *const session =
    ::testing::AddGlobalTestEnvironment(new WineSession);

struct Played {
    int driverStatus = -1;
    std::vector<std::string> seen;  // the driver's report, "exit N" last
    std::string Describe() const
    {
        return "driver status " + std::to_string(driverStatus) + ", saw:\n" + Joined(seen);
    }
};

class WineTest : public ::testing::Test {
protected:
    std::string work;  // the test's folder, the self-extractor's current directory
    std::string name;

    void SetUp() override
    {
        name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        for (char &c : name)
            if (!isalnum((unsigned char)c))
                c = '_';
        work = std::string(WINE_WORK_DIR) + "/" + name;
        ASSERT_EQ(system(("chmod -R u+w '" + work + "' 2>/dev/null; rm -rf '" + work + "'").c_str()), 0);
        ASSERT_EQ(system(("mkdir -p '" + work + "' '" + SCREENSHOT_DIR + "'").c_str()), 0);
    }

    std::string Path(const std::string &relative) const { return work + "/" + relative; }

    // Makes WORK/sample.exe from the archive with the 64-bit stub.
    void MakeSfx(const std::string &archivePath, const std::string &exe = "sample.exe")
    {
        CliResult r = RunCli({CORVANE_SFX, "make", "--stub", CORVANE_STUB64, "-o", Path(exe),
                              archivePath});
        ASSERT_EQ(r.exitCode, 0) << r.err;
    }

    void MakeSfxFrom(const std::string &archiveBytes)
    {
        WriteFile(Path("archive.lzh"), archiveBytes);
        MakeSfx(Path("archive.lzh"));
        remove(Path("archive.lzh").c_str());
    }

    Played Play(const std::vector<std::string> &steps, const std::string &exe = "sample.exe")
    {
        std::vector<std::string> args = {WINE_EXECUTABLE, WINE_DRIVER, "--cwd", WindowsPath(work),
                                         "--shots", WindowsPath(Path(name)), WindowsPath(Path(exe))};
        args.insert(args.end(), steps.begin(), steps.end());
        CliOptions options;
        options.timeoutSeconds = 90;
        CliResult r = RunCli(args, options);
        Played run;
        run.driverStatus = r.exitCode;
        run.seen = Lines(r.out);
        KeepScreenshots();
        return run;
    }

    // The driver's BMPs become PNGs in build/screenshots.
    void KeepScreenshots()
    {
        for (int i = 1; i < 100; i++) {
            for (const char *kind : {"target", "progress", "box"}) {
                char suffix[32];
                snprintf(suffix, sizeof suffix, "-%02d-%s", i, kind);
                std::string bmp = Path(name + suffix + ".bmp");
                if (!Exists(bmp))
                    continue;
                std::string png = std::string(SCREENSHOT_DIR) + "/" + name + suffix + ".png";
                std::string convert = IMAGEMAGICK_CONVERT;
                if (!convert.empty()) {
                    EXPECT_EQ(system(("'" + convert + "' '" + bmp + "' '" + png + "'").c_str()), 0);
                }
                remove(bmp.c_str());
            }
        }
    }

    std::string Proposal(const std::string &base = "sample") const
    {
        return "target " + WindowsPath(work) + "\\" + base;
    }

    // Every file of `archive` (a jlha archive of build/testdata) below
    // `into`, byte for byte, with its time stamp.
    void ExpectExtracted(const std::string &archive, const std::string &into)
    {
        std::vector<ManifestEntry> entries = Manifest(archive);
        ASSERT_FALSE(entries.empty()) << archive << " is not in " << CORVANE_TEST_DATA;
        for (const ManifestEntry &e : entries) {
            SCOPED_TRACE(e.path);
            std::string path = into + "/" + e.path;
            struct stat st;
            ASSERT_EQ(stat(path.c_str(), &st), 0);
            if (e.kind == "dir") {
                EXPECT_TRUE(S_ISDIR(st.st_mode));
                continue;
            }
            EXPECT_TRUE(ReadFile(path) == Input(e.input)) << "contents differ";
            EXPECT_EQ((long)st.st_mtime, ExpectedWriteTime(e));
        }
    }
};

// ---- Every method, and the three header levels along the way.

class EveryMethod : public WineTest, public ::testing::WithParamInterface<int> {};

const char *const kMethods[] = {"lh0", "lh1", "lh4", "lh5", "lh6", "lzs", "lz5", "lz4"};

// The header levels take turns over the methods. For the LArc methods the
// single-member archives are taken whose encodings have no match at the
// ring's edge (see tests/java): those are the ones that must come out whole.
std::string MethodArchive(int index)
{
    std::string method = kMethods[index];
    if (method == "lzs" || method == "lz5")
        return "damage-" + method + ".lzh";
    return method + "-l" + std::to_string(index % 3) + ".lzh";
}

TEST_P(EveryMethod, ExtractsIntoTheProposedDirectory)
{
    std::string archive = MethodArchive(GetParam());
    MakeSfx(std::string(CORVANE_TEST_DATA) + "/" + archive);
    Played run = Play({"target:extract"});
    EXPECT_EQ(run.seen, (std::vector<std::string>{Proposal(), "exit 0"})) << run.Describe();
    EXPECT_EQ(run.driverStatus, 0);
    ExpectExtracted(archive, Path("sample"));
}

INSTANTIATE_TEST_SUITE_P(Wine, EveryMethod, ::testing::Range(0, 8),
                         [](const ::testing::TestParamInfo<int> &info) {
                             return std::string(kMethods[info.param]);
                         });

TEST_F(WineTest, DirectoriesAndReadOnlyFiles)
{
    MakeSfx(std::string(CORVANE_TEST_DATA) + "/tree-l1.lzh");
    Played run = Play({"target:extract=" + WindowsPath(Path("out"))});
    EXPECT_EQ(run.seen, (std::vector<std::string>{Proposal(), "exit 0"})) << run.Describe();
    ExpectExtracted("tree-l1.lzh", Path("out"));
    struct stat st;
    ASSERT_EQ(stat(Path("out/locked.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0222, 0u) << "read-only";
    ASSERT_EQ(stat(Path("out/notes.txt").c_str(), &st), 0);
    EXPECT_NE(st.st_mode & 0200, 0u);
}

// ---- The target-directory dialog.

TEST_F(WineTest, CancelAndEscapeWriteNothing)
{
    MakeSfxFrom(lzh::Archive({lzh::Stored("a.txt", "a")}));
    for (const char *step : {"target:cancel", "target:escape"}) {
        SCOPED_TRACE(step);
        Played run = Play({step});
        EXPECT_EQ(run.seen, (std::vector<std::string>{Proposal(), "exit 1"})) << run.Describe();
        EXPECT_EQ(run.driverStatus, 0);
        EXPECT_FALSE(Exists(Path("sample")));
    }
}

TEST_F(WineTest, IncorrectPathIsAskedAgainThenEnterExtracts)
{
    MakeSfxFrom(lzh::Archive({lzh::Stored("a.txt", "first"), lzh::Stored("d/b.txt", "second", 2)}));
    // An empty path cannot be made absolute; the dialog stays for another
    // try, where a relative path counts from the current directory.
    Played run = Play({"target:extract=", "box:ok", "target:enter=rel\\out"});
    EXPECT_EQ(run.seen, (std::vector<std::string>{Proposal(), "box Error: Incorrect path.", "exit 0"}))
        << run.Describe();
    EXPECT_EQ(run.driverStatus, 0);
    EXPECT_EQ(ReadFile(Path("rel/out/a.txt")), "first");
    EXPECT_EQ(ReadFile(Path("rel/out/d/b.txt")), "second");
}

TEST_F(WineTest, ProposalIsTheStubNameWithoutItsLastExtension)
{
    MakeSfxFrom(lzh::Archive({lzh::Stored("a.txt", "a")}));
    ASSERT_EQ(rename(Path("sample.exe").c_str(), Path("my.tools.exe").c_str()), 0);
    Played run = Play({"target:extract"}, "my.tools.exe");
    EXPECT_EQ(run.seen, (std::vector<std::string>{Proposal("my.tools"), "exit 0"})) << run.Describe();
    EXPECT_EQ(ReadFile(Path("my.tools/a.txt")), "a");
}

// ---- Replacing existing files.

class ReplaceTest : public WineTest {
protected:
    void SetUp() override
    {
        WineTest::SetUp();
        MakeSfxFrom(lzh::Archive({lzh::Stored("a.txt", "new a"), lzh::Stored("b.txt", "new b"),
                                  lzh::Stored("c.txt", "new c")}));
        ASSERT_EQ(mkdir(Path("out").c_str(), 0755), 0);
        WriteFile(Path("out/a.txt"), "old a");
        WriteFile(Path("out/c.txt"), "old c");
        chmod(Path("out/c.txt").c_str(), 0444);
    }

    std::string Question(const std::string &file, bool flagged = false) const
    {
        return "box Warning: Do you want to replace the file\\n" + WindowsPath(Path("out/" + file)) +
               "?" + (flagged ? "\\nThe R, S or H attribute is set!" : "");
    }

    Played Extract(const std::vector<std::string> &answers)
    {
        std::vector<std::string> steps = {"target:extract=" + WindowsPath(Path("out"))};
        steps.insert(steps.end(), answers.begin(), answers.end());
        return Play(steps);
    }
};

TEST_F(ReplaceTest, YesReplacesNoKeeps)
{
    Played run = Extract({"box:yes", "box:no"});
    EXPECT_EQ(run.seen, (std::vector<std::string>{Proposal(), Question("a.txt"), Question("c.txt", true),
                                                  "exit 0"}))
        << run.Describe();
    EXPECT_EQ(ReadFile(Path("out/a.txt")), "new a");
    EXPECT_EQ(ReadFile(Path("out/b.txt")), "new b");
    EXPECT_EQ(ReadFile(Path("out/c.txt")), "old c");
}

TEST_F(ReplaceTest, YesOverwritesAReadOnlyFile)
{
    Played run = Extract({"box:no", "box:yes"});
    EXPECT_EQ(run.seen, (std::vector<std::string>{Proposal(), Question("a.txt"), Question("c.txt", true),
                                                  "exit 0"}))
        << run.Describe();
    EXPECT_EQ(ReadFile(Path("out/a.txt")), "old a");
    EXPECT_EQ(ReadFile(Path("out/c.txt")), "new c");
}

TEST_F(ReplaceTest, CancelAsksWhetherToStop)
{
    Played stop = Extract({"box:cancel", "box:yes"});
    EXPECT_EQ(stop.seen, (std::vector<std::string>{Proposal(), Question("a.txt"), kGoOn, "exit 1"}))
        << stop.Describe();
    EXPECT_EQ(ReadFile(Path("out/a.txt")), "old a") << "a cancelled replace leaves the file";
    EXPECT_FALSE(Exists(Path("out/b.txt")));

    Played goOn = Extract({"box:cancel", "box:no", "box:yes"});
    EXPECT_EQ(goOn.seen, (std::vector<std::string>{Proposal(), Question("a.txt"), kGoOn,
                                                   Question("c.txt", true), "exit 0"}))
        << goOn.Describe();
    EXPECT_EQ(ReadFile(Path("out/a.txt")), "old a");
    EXPECT_EQ(ReadFile(Path("out/b.txt")), "new b");
    EXPECT_EQ(ReadFile(Path("out/c.txt")), "new c");
}

// ---- Damage.

class DamagedMemberTest : public WineTest {
protected:
    // lh0-l1.lzh with one byte of text.txt's stored data changed: its CRC
    // fails, the members around it are fine.
    void SetUp() override
    {
        WineTest::SetUp();
        std::string archive = ReadFile(std::string(CORVANE_TEST_DATA) + "/lh0-l1.lzh");
        long at = -1;
        for (const ManifestEntry &e : Manifest("lh0-l1.lzh"))
            if (e.path == "text.txt")
                at = e.packedOffset + 1000;
        ASSERT_GT(at, 0);
        archive[(size_t)at] ^= 0x20;
        MakeSfxFrom(archive);
    }
};

TEST_F(DamagedMemberTest, StopEndsTheRun)
{
    Played run = Play({"target:extract", "box:ok", "box:yes"});
    EXPECT_EQ(run.seen, (std::vector<std::string>{Proposal(), kDamaged, kGoOn, "exit 1"})) << run.Describe();
    EXPECT_TRUE(ReadFile(Path("sample/runs.bin")) == Input("runs.bin"));
    EXPECT_FALSE(Exists(Path("sample/text.txt"))) << "a damaged member leaves no file";
    EXPECT_FALSE(Exists(Path("sample/random.bin")));
}

TEST_F(DamagedMemberTest, GoingOnExtractsTheRest)
{
    Played run = Play({"target:extract", "box:ok", "box:no"});
    EXPECT_EQ(run.seen, (std::vector<std::string>{Proposal(), kDamaged, kGoOn, "exit 0"})) << run.Describe();
    EXPECT_FALSE(Exists(Path("sample/text.txt")));
    EXPECT_TRUE(ReadFile(Path("sample/random.bin")) == Input("random.bin"));
    EXPECT_TRUE(ReadFile(Path("sample/mixed.bin")) == Input("mixed.bin"));
}

TEST_F(WineTest, DamagedStubIsRefusedBeforeAnythingIsWritten)
{
    MakeSfxFrom(lzh::Archive({lzh::Stored("a.txt", "a")}));
    std::string sfx = ReadFile(Path("sample.exe"));
    size_t dosMessage = sfx.find("Needs Windows.");
    ASSERT_NE(dosMessage, std::string::npos);
    sfx[dosMessage] = 'n';  // a byte Windows never reads: only the seal notices
    WriteFile(Path("sample.exe"), sfx);
    Played run = Play({"target:extract", "box:ok"});
    EXPECT_EQ(run.seen, (std::vector<std::string>{Proposal(), "box Error: The self-extracting archive is damaged.",
                                                  "exit 1"}))
        << run.Describe();
    EXPECT_FALSE(Exists(Path("sample/a.txt")));
}

// ---- The setup offer.

class SetupTest : public WineTest {
protected:
    void SetUp() override
    {
        WineTest::SetUp();
        MakeSfxFrom(lzh::Archive({lzh::Stored("readme.txt", "read me"),
                                  lzh::Stored("disk1/Setup.exe", ReadFile(WINE_SETUP_PROBE), 1),
                                  lzh::Stored("disk2/SETUP.EXE", "second, never offered", 2)}));
    }

    const std::string note = "out/disk1/SETUP-RAN.TXT";
};

TEST_F(SetupTest, YesStartsTheFirstSetupInItsOwnDirectory)
{
    Played run = Play({"target:extract=" + WindowsPath(Path("out")), "box:yes"});
    EXPECT_EQ(run.seen, (std::vector<std::string>{Proposal(), "box Execute: Do you want to execute setup now?",
                                                  "exit 0"}))
        << run.Describe();
    // The setup program runs on its own after the self-extractor has ended.
    for (int i = 0; i < 100 && !Exists(Path(note)); i++)
        usleep(100000);
    EXPECT_EQ(ReadFile(Path(note)), WindowsPath(Path("out/disk1")));
}

TEST_F(SetupTest, NoLeavesItAlone)
{
    Played run = Play({"target:extract=" + WindowsPath(Path("out")), "box:no"});
    EXPECT_EQ(run.seen, (std::vector<std::string>{Proposal(), "box Execute: Do you want to execute setup now?",
                                                  "exit 0"}))
        << run.Describe();
    usleep(1500000);
    EXPECT_FALSE(Exists(Path(note)));
    EXPECT_TRUE(Exists(Path("out/disk1/Setup.exe")));
}

// ---- Cancelling in the progress dialog.
//
// A click on Cancel waits in the queue until the pump after the next output
// block. To make that happen inside a given member every time, the target
// already holds that member: the click is posted right after the answer to
// the replace question, so the first block of that member takes it.

class ProgressCancelTest : public WineTest {
protected:
    void SetUp() override
    {
        WineTest::SetUp();
        MakeSfx(std::string(CORVANE_TEST_DATA) + "/lh5-l1.lzh");
        ASSERT_EQ(mkdir(Path("out").c_str(), 0755), 0);
        WriteFile(Path("out/over64k.bin"), "to be replaced");
    }

    std::vector<std::string> Expected(std::vector<std::string> tail) const
    {
        std::vector<std::string> lines = {
            Proposal(), "box Warning: Do you want to replace the file\\n" +
                            WindowsPath(Path("out/over64k.bin")) + "?"};
        lines.insert(lines.end(), tail.begin(), tail.end());
        return lines;
    }
};

TEST_F(ProgressCancelTest, YesAbandonsTheMemberAndEndsTheRun)
{
    for (const char *how : {"box:yes+stop", "box:yes+escape"}) {
        SCOPED_TRACE(how);
        Played run = Play({"target:extract=" + WindowsPath(Path("out")), how, "box:yes"});
        EXPECT_EQ(run.seen, Expected({kReallyCancel, "exit 1"})) << run.Describe();
        EXPECT_FALSE(Exists(Path("out/over64k.bin"))) << "the member being decoded is removed";
        EXPECT_TRUE(ReadFile(Path("out/exact64k.bin")) == Input("exact64k.bin")) << "earlier members stay";
        EXPECT_FALSE(Exists(Path("out/runs.bin"))) << "nothing after the cancel";
        ASSERT_EQ(system(("rm -rf '" + Path("out") + "'").c_str()), 0);
        ASSERT_EQ(mkdir(Path("out").c_str(), 0755), 0);
        WriteFile(Path("out/over64k.bin"), "to be replaced");
    }
}

TEST_F(ProgressCancelTest, NoGoesOnWithTheMember)
{
    Played run = Play({"target:extract=" + WindowsPath(Path("out")), "box:yes+stop", "box:no"});
    EXPECT_EQ(run.seen, Expected({kReallyCancel, "exit 0"})) << run.Describe();
    ExpectExtracted("lh5-l1.lzh", Path("out"));
}

}  // namespace
