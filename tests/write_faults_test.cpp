// Runs broken off from outside the archive: target paths longer than
// Windows takes them, a directory and a file that cannot be changed, a full
// disk, a target that disappears in the middle of the run, and Cancel in
// the progress dialog. Each gives its own message (or none, where creating
// a file fails), asks what it must, and leaves no half-written file.
#include <string.h>
#include <sys/mount.h>

#include <functional>
#include <utility>

#include "tests/cli_fixture.h"
#include "tests/lzh_builder.h"
#include "tests/manifest.h"

namespace {

const char kGoOn[] = "Warning: Do you want to cancel extracting?";
const char kReplace[] = "Warning: Do you want to replace the file";
const char kReally[] = "Warning: Do you really want to cancel?";
const char kCannotWrite[] = "Error: Cannot write the file.";
const char kCannotCreate[] = "Error: Cannot create the directory.";
const char kSpace[] = "Warning: There is not enough space on the data carrier.\nDo you want extract the archive anyway?";

class WriteFaults : public CliTest {
protected:
    std::vector<std::string> immutable, mounted;

    void TearDown() override
    {
        for (const std::string &path : immutable)
            RunShell("chattr -i '" + path + "'");
        for (const std::string &path : mounted)
            umount(path.c_str());
        CliTest::TearDown();
    }
    // A file or directory that nobody, root included, may change; false
    // where the file system or the user cannot make one.
    bool MakeImmutable(const std::string &path)
    {
        return RunShell("chattr +i '" + path + "' 2>/dev/null") == 0 && (immutable.push_back(path), true);
    }
    std::string Out() const { return Path("out"); }
};

TEST_F(WriteFaults, PathsJustInsideAndJustOutsideWhatWindowsTakes)
{
    // 259 characters for a file, 247 for a directory (Windows keeps room
    // for an 8.3 name in it). Past those, the creation itself fails, as on
    // Windows: a file with no message, a directory with its own.
    char target[4096];
    ASSERT_TRUE(HostPathFromUnix(Out().c_str(), target, sizeof target));
    size_t room = 258 - strlen(target);  // member path characters behind "TARGET\"
    ASSERT_GT(room, 110u);
    ASSERT_LT(room + 1, 234u) << "a level 0 name holds 233 bytes";
    auto path = [](size_t length, char c, const char *separator) {
        return std::string(100, c) + separator + std::string(length - 101, c);
    };
    std::string file = Write("a.lzh", lzh::Archive({lzh::Stored(path(room, 'f', "\\"), "fits"),
                                                     lzh::Stored(path(room + 1, 'l', "\\"), "too long"),
                                                     lzh::Directory(path(room - 12, 'g', "\\") + "\\"),
                                                     lzh::Directory(path(room - 11, 'm', "\\") + "\\"),
                                                     lzh::Stored("after.txt", "after")}));
    RunResult r = Extract(file, "n\nn\n");
    EXPECT_EQ(r.exitCode, 0) << Describe(r);
    EXPECT_EQ(Occurrences(r.err, kCannotCreate), 1) << r.err;
    EXPECT_EQ(Occurrences(r.err, "Error: "), 1) << r.err;
    EXPECT_EQ(Occurrences(r.err, kGoOn), 2) << r.err;
    EXPECT_EQ(Read(Out() + "/" + path(room, 'f', "/")), "fits");
    EXPECT_TRUE(IsDirectory(Out() + "/" + path(room - 12, 'g', "/")));
    // What was made in front of the refused members stays, empty.
    EXPECT_TRUE(IsDirectory(Out() + "/" + std::string(100, 'l')));
    EXPECT_TRUE(IsDirectory(Out() + "/" + std::string(100, 'm')));
    EXPECT_EQ(CountEntries(Out()), 7);
    EXPECT_EQ(Read(Out() + "/after.txt"), "after");
}

TEST_F(WriteFaults, DirectoryAndFileThatCannotBeChanged)
{
    // The locked directory takes nothing; the busy file is one in use, as
    // far as writing goes: Yes to replacing it clears its attributes (which
    // fails without a word), and creating it fails without a message.
    ASSERT_EQ(RunShell("mkdir -p '" + Out() + "/locked'"), 0);
    Write("out/busy.txt", "in use");
    if (!MakeImmutable(Out() + "/locked") || !MakeImmutable(Out() + "/busy.txt"))
        GTEST_SKIP() << "chattr +i is not available here";
    std::string file = Write("a.lzh", lzh::Archive({
                                          lzh::Stored("locked/f.txt", "f"),      // no message
                                          lzh::Directory("locked\\sub\\"),       // cannot create
                                          lzh::Stored("locked/new/g.txt", "g"),  // cannot create either
                                          lzh::Stored("busy.txt", "replacement"),
                                          lzh::Stored("free.txt", "free"),
                                      }));
    RunResult r = Extract(file, "n\nn\nn\ny\nn\n");
    EXPECT_EQ(r.exitCode, 0) << Describe(r);
    EXPECT_EQ(Occurrences(r.err, kCannotCreate), 2) << r.err;
    EXPECT_EQ(Occurrences(r.err, "Error: "), 2) << r.err;
    EXPECT_EQ(Occurrences(r.err, kReplace), 1) << r.err;
    EXPECT_EQ(Occurrences(r.err, kGoOn), 4) << r.err;
    EXPECT_EQ(CountEntries(Out() + "/locked"), 0);
    EXPECT_EQ(Read(Out() + "/busy.txt"), "in use");
    EXPECT_EQ(Read(Out() + "/free.txt"), "free");
}

// A target on a tmpfs of 256 KiB (root only): the free-space warning, and
// the member that fails when the disk is full.
TEST_F(WriteFaults, SmallDisk)
{
    std::string disk = Path("disk");
    mkdir(disk.c_str(), 0755);
    if (mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=256k") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here";
    mounted.push_back(disk);
    std::string file = Write("a.lzh", lzh::Archive({lzh::Stored("small.txt", "s"),
                                                     lzh::Stored("big.bin", std::string(600 * 1024, 'b')),
                                                     lzh::Stored("after.txt", "a")}));
    auto run = [&](const std::string &answers, const std::vector<std::string> &options = {}) {
        RunShell("rm -rf '" + disk + "/out'");
        std::vector<std::string> args = {"extract", file, "-d", disk + "/out"};
        args.insert(args.end(), options.begin(), options.end());
        return Cli(args, answers);
    };
    // No stops before anything, also as the default of a scripted run.
    for (const auto &[answers, option, said] : {std::tuple<const char *, const char *, std::string>{"n\n", "", kSpace},
                                                {"y\n", "-n", std::string(kSpace) + " [y/n] n\n"}}) {
        RunResult r = run(answers, *option ? std::vector<std::string>{option} : std::vector<std::string>{});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(Occurrences(r.err, said), 1) << r.err;
        EXPECT_FALSE(Exists(disk + "/out"));
    }
    // Yes to the warning, No to "cancel extracting?" after the full disk;
    // --ignore-free-space says Yes, and a scripted run stops after a failure.
    for (bool scripted : {false, true}) {
        RunResult r = scripted ? run("n\n", {"--ignore-free-space"}) : run("y\nn\n");
        EXPECT_EQ(r.exitCode, scripted ? 1 : 0) << r.err;
        EXPECT_EQ(Occurrences(r.err, scripted ? std::string(kSpace) + " [y/n] y\n" : kSpace), 1) << r.err;
        EXPECT_EQ(Occurrences(r.err, kCannotWrite), 1) << r.err;
        EXPECT_EQ(Occurrences(r.err, kGoOn), 1) << r.err;
        EXPECT_EQ(Read(disk + "/out/small.txt"), "s");
        EXPECT_FALSE(Exists(disk + "/out/big.bin"));
        EXPECT_EQ(Exists(disk + "/out/after.txt"), !scripted);
    }
    // Enough space asks nothing.
    RunResult r = Cli({"extract", Write("b.lzh", lzh::Archive({lzh::Stored("f.bin", std::string(100000, 'f'))})),
                       "-d", disk + "/out2"});
    EXPECT_TRUE(r.exitCode == 0 && r.err.find("Warning") == std::string::npos) << Describe(r);
    EXPECT_EQ(Read(disk + "/out2/f.bin").size(), 100000u);
}

// ---- In-process runs held at a question: the answers come from a stream
// whose first read removes the target, or the progress dialog is cancelled
// at a chosen output block.

struct Hook {
    std::function<void()> action;
    std::string answers;
};

ssize_t ReadHook(void *cookie, char *buffer, size_t size)
{
    Hook *hook = (Hook *)cookie;
    if (hook->action)
        std::exchange(hook->action, nullptr)();
    size_t n = std::min(size, hook->answers.size());
    memcpy(buffer, hook->answers.data(), n);
    hook->answers.erase(0, n);
    return (ssize_t)n;
}

TEST_F(WriteFaults, TargetRemovedWhileAMemberIsWrittenOrBeforeOneIsCreated)
{
    auto run = [&](const std::string &archive, const std::string &answers, int cancelAfter) {
        Hook hook{[this] { Remove("out"); }, answers};
        FILE *input = fopencookie(&hook, "r", {ReadHook, nullptr, nullptr, nullptr});
        std::string said;
        EXPECT_EQ(RunInProcess(Write("a.lzh", archive), "", said, cancelAfter, input), 0) << said;
        fclose(input);
        return said;
    };
    // Cancel after big.bin's first block (the first pump follows a.txt);
    // while "Do you really want to cancel?" waits, the target goes, and the
    // answer is No. The open file is written to its end but cannot be given
    // its attributes where it was: "Cannot write the file.", and no trace
    // of it. The next member makes the target again.
    std::string said = run(lzh::Archive({lzh::Stored("a.txt", "a"), lzh::Stored("big.bin", std::string(200000, 'b')),
                                         lzh::Stored("z.txt", "z")}),
                           "n\nn\n", 2);
    EXPECT_EQ(Occurrences(said, kReally), 1) << said;
    EXPECT_EQ(Occurrences(said, kCannotWrite), 1) << said;
    EXPECT_EQ(Occurrences(said, "Error: "), 1) << said;
    EXPECT_EQ(Occurrences(said, kGoOn), 1) << said;
    EXPECT_FALSE(Exists(Out() + "/a.txt"));
    EXPECT_FALSE(Exists(Out() + "/big.bin"));
    EXPECT_EQ(Read(Out() + "/z.txt"), "z");

    // The replace question holds the run; the target goes; Yes. Creating
    // the file fails with no message of its own, the user goes on, and the
    // next member makes the target again.
    ASSERT_EQ(RunShell("mkdir -p '" + Out() + "/sub'"), 0);
    Write("out/sub/f.txt", "old");
    said = run(lzh::Archive({lzh::Stored("sub/f.txt", "new"), lzh::Stored("sub/g.txt", "g")}), "y\nn\n", 0);
    EXPECT_EQ(Occurrences(said, kReplace), 1) << said;
    EXPECT_EQ(Occurrences(said, "Error: "), 0) << said;
    EXPECT_EQ(Occurrences(said, kGoOn), 1) << said;
    EXPECT_FALSE(Exists(Out() + "/sub/f.txt"));
    EXPECT_EQ(Read(Out() + "/sub/g.txt"), "g");
}

// Cancel removes the member being decoded, keeps the earlier ones, asks
// nothing more and ends the run with 1; answered No, the member is written
// whole. In a compressing decoder the cancel leaves through the block flush.
TEST_F(WriteFaults, CancelInTheProgressDialog)
{
    std::string big(2 << 20, 'b');
    for (size_t i = 0; i < big.size(); i += 4096)
        big[i] = (char)i;
    std::string file = Write("a.lzh", lzh::Archive({lzh::Stored("a.txt", "a"), lzh::Stored("big.bin", big), lzh::Stored("c.txt", "c")}));
    std::string said;
    // a.txt pumps once; the 5th pump is inside big.bin.
    EXPECT_EQ(RunInProcess(file, "y\n", said, 5), 1);
    EXPECT_TRUE(Occurrences(said, kReally) == 1 && Occurrences(said, kGoOn) == 0) << said;
    EXPECT_EQ(Read(Out() + "/a.txt"), "a");
    EXPECT_EQ(CountEntries(Out()), 1);
    Remove("out");
    EXPECT_EQ(RunInProcess(file, "n\n", said, 5), 0);
    EXPECT_EQ(Occurrences(said, kReally), 1) << said;
    EXPECT_TRUE(Read(Out() + "/big.bin") == big && Read(Out() + "/c.txt") == "c");

    std::string data = CORVANE_TEST_DATA;
    int blocksBefore = 0;
    std::vector<std::string> before;
    for (const ManifestEntry &m : ReadManifest(data, "lh5-l1.lzh")) {
        if (m.path == "mixed.bin")
            break;
        blocksBefore += (int)((Read(data + "/inputs/" + m.input).size() + 65535) / 65536);
        before.push_back(m.path);
    }
    ASSERT_FALSE(before.empty()) << "test archives missing";
    Remove("out");
    EXPECT_EQ(RunInProcess(data + "/lh5-l1.lzh", "y\n", said, blocksBefore + 10), 1);
    EXPECT_TRUE(Occurrences(said, kReally) == 1 && Occurrences(said, "Error") == 0) << said;
    for (const std::string &p : before)
        EXPECT_TRUE(Exists(Out() + "/" + p)) << p;
    EXPECT_FALSE(Exists(Out() + "/mixed.bin"));
}

}  // namespace
