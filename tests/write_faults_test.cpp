// Runs broken off from outside the archive: overlong paths, unchangeable
// files, a full disk, a vanishing target, Cancel. No half-written file stays.
#include <string.h>
#include <sys/mount.h>

#include <functional>
#include <utility>

#include "tests/cli_fixture.h"
#include "tests/lzh_builder.h"
#include "tests/manifest.h"

namespace {


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
    bool MakeImmutable(const std::string &path)
    {
        return RunShell("chattr +i '" + path + "' 2>/dev/null") == 0 && (immutable.push_back(path), true);
    }
    std::string Out() const { return Path("out"); }
};

TEST_F(WriteFaults, PathsJustInsideAndJustOutsideWhatWindowsTakes)
{
    // 259 characters for a file, 247 for a directory; past them a file fails
    // without a message, a directory with its own.
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
    ExpectSaid(r.err, {{kCannotCreate, 1}, {"Error: ", 1}, {kGoOn, 2}});
    EXPECT_EQ(Read(Out() + "/" + path(room, 'f', "/")), "fits");
    for (const std::string &dir : {path(room - 12, 'g', "/"), std::string(100, 'l'), std::string(100, 'm')})
        EXPECT_TRUE(IsDirectory(Out() + "/" + dir)) << dir;
    EXPECT_EQ(CountEntries(Out()), 7);
    EXPECT_EQ(Read(Out() + "/after.txt"), "after");
}

TEST_F(WriteFaults, DirectoryAndFileThatCannotBeChanged)
{
    // busy.txt stands for a file in use: Yes to replacing it fails silently.
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
    ExpectSaid(r.err, {{kCannotCreate, 2}, {"Error: ", 2}, {kReplace, 1}, {kGoOn, 4}});
    EXPECT_EQ(CountEntries(Out() + "/locked"), 0);
    EXPECT_EQ(Read(Out() + "/busy.txt"), "in use");
    EXPECT_EQ(Read(Out() + "/free.txt"), "free");
}

// A target on a tmpfs of 256 KiB (root only).
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
    // Refused (by No or by -n), then taken (by Yes or by --ignore-free-space):
    // small.txt fits, big.bin fails, and only the dialog goes on to after.txt.
    for (const auto &[answers, option, exitCode, said, wrote, after] :
         {std::tuple<const char *, const char *, int, std::string, bool, bool>{"n\n", "", 1, kSpace, false, false},
          {"y\n", "-n", 1, std::string(kSpace) + " [y/n] n\n", false, false},
          {"y\nn\n", "", 0, kSpace, true, true},
          {"n\n", "--ignore-free-space", 1, std::string(kSpace) + " [y/n] y\n", true, false}}) {
        RunShell("rm -rf '" + disk + "/out'");
        std::vector<std::string> args = {"extract", file, "-d", disk + "/out"};
        if (*option)
            args.push_back(option);
        RunResult r = Cli(args, answers);
        EXPECT_EQ(r.exitCode, exitCode) << option << r.err;
        ExpectSaid(r.err, {{said, 1}, {kCannotWrite, wrote}, {kGoOn, wrote}});
        EXPECT_EQ(Read(disk + "/out/small.txt"), wrote ? "s" : "");
        EXPECT_EQ(Exists(disk + "/out"), wrote);
        EXPECT_FALSE(Exists(disk + "/out/big.bin"));
        EXPECT_EQ(Exists(disk + "/out/after.txt"), after);
    }
}

// Answers from a stream whose first read runs `action`.
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
    // Cancel inside big.bin, the target goes while the question waits, No:
    // big.bin fails at the end and leaves no trace; z.txt makes the target again.
    std::string said = run(lzh::Archive({lzh::Stored("a.txt", "a"), lzh::Stored("big.bin", std::string(200000, 'b')),
                                         lzh::Stored("z.txt", "z")}),
                           "n\nn\n", 2);
    ExpectSaid(said, {{kReally, 1}, {kCannotWrite, 1}, {"Error: ", 1}, {kGoOn, 1}});
    EXPECT_FALSE(Exists(Out() + "/big.bin"));
    EXPECT_EQ(Read(Out() + "/z.txt"), "z");

    // The target goes while the replace question waits: f.txt fails silently.
    ASSERT_EQ(RunShell("mkdir -p '" + Out() + "/sub'"), 0);
    Write("out/sub/f.txt", "old");
    said = run(lzh::Archive({lzh::Stored("sub/f.txt", "new"), lzh::Stored("sub/g.txt", "g")}), "y\nn\n", 0);
    ExpectSaid(said, {{kReplace, 1}, {"Error: ", 0}, {kGoOn, 1}});
    EXPECT_FALSE(Exists(Out() + "/sub/f.txt"));
    EXPECT_EQ(Read(Out() + "/sub/g.txt"), "g");
}

// A compressing decoder leaves through the block flush.
TEST_F(WriteFaults, CancelInTheProgressDialog)
{
    std::string big(2 << 20, 'b');
    for (size_t i = 0; i < big.size(); i += 4096)
        big[i] = (char)i;
    std::string file = Write("a.lzh", lzh::Archive({lzh::Stored("a.txt", "a"), lzh::Stored("big.bin", big), lzh::Stored("c.txt", "c")}));
    std::string said;
    EXPECT_EQ(RunInProcess(file, "y\n", said, 5), 1);
    ExpectSaid(said, {{kReally, 1}, {kGoOn, 0}});
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
    ExpectSaid(said, {{kReally, 1}, {"Error", 0}});
    for (const std::string &p : before)
        EXPECT_TRUE(Exists(Out() + "/" + p)) << p;
    EXPECT_FALSE(Exists(Out() + "/mixed.bin"));
}

}  // namespace
